"""Hostile archives, on the host build and on the sanitizer build: every
truncation, every bit flip of the header, run counts of gigabytes, the
longest names, a 256-row table that is not prefix-free, names Windows
forbids. Each run ends in success with the files the archive holds, or in a
catalogue stop with nothing changed, within a bounded time and with no
sanitizer report. The archive tool's plain reference decoder (3ppack
extract --plain), which does not use the updater's lookup tables, says
what an archive holds."""

from __future__ import annotations

import concurrent.futures
import os
import random
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import List

from checks import (ENTRY_TIME, NEW_TIME, P, ROOT, T, archive, cannot_write, changes, check,
                    check_clean_end, check_ending, check_stop, check_unchanged, expect, fields, file,
                    machine, run)
import archive_fields  # noqa: E402 (found through checks)

# Three entries, literals and runs.
SMALL = [(b'i', b'a.txt', ENTRY_TIME, b'hello, world\r\n' * 2),
         (b'b', b'b.bin', ENTRY_TIME, [(0, 299), b'\1\2\3']),
         (b'i', b'c', ENTRY_TIME, b'')]
# Two entries over a four-row table (3-bit codes, escape 111): a short
# header of 143 bits to flip one by one.
FLIPPED = [(b'i', b'a.txt', ENTRY_TIME, b'abba' * 3 + b'c' * 9 + b'\n'), (b'b', b'b.txt', ENTRY_TIME, b'ab')]
FLIP_BITS = 143
# How each flipped bit ends, read from the archive by hand: D the decoding
# error, M the major mismatch, C the downgrade question (no answer: cancelled),
# O the update done.
FLIP_OUTCOMES = ('DDDDDDDDDDDDDDDDDOOOOOOOOOODDDDDDDDDDDOOOOOOOODDDDDDDDDDDOOOOOOOODDDDDDDDDDDOOOOOOOO'
                 'DDDMMDDDDDDDDDCCDDDMMMMMMMMMMMMMMMMMMMMMMMMCOCCOOOCDDDDDDOD')
LETTERS = {'DECODE_ERROR': 'D', 'MAJOR_MISMATCH': 'M', 'UPDATE_CANCELLED': 'C', 'UPDATE_DONE': 'O'}


def ending(result) -> str:
    return next((letter for name, letter in LETTERS.items() if result.stdout.endswith(T[name])), '?')


def extracted(data: bytes) -> List[bytes]:
    """The contents of the files `3ppack extract --plain` writes for the archive, sorted."""
    folder = Path(tempfile.mkdtemp(prefix='harden-extract-'))
    try:
        (folder / 'a.z').write_bytes(data)
        done = subprocess.run([str(ROOT / 'build' / 'host' / 'bin' / '3ppack'), 'extract', '--plain',
                               str(folder / 'a.z'), '-C', str(folder / 'out')], capture_output=True)
        expect(done.returncode == 0, '3ppack extract failed: %r' % done.stderr[-300:])
        return sorted(p.read_bytes() for p in (folder / 'out').rglob('*') if p.is_file())
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def check_as_extracted(build: str, data: bytes, context: str, outcome: str):
    """Runs the archive: it ends as outcome says; a stop changes nothing; a
    complete update writes exactly what the archive tool extracts."""
    result = run(machine(data), build)
    check_clean_end(result, context)
    expect(ending(result) == outcome,
           '%s: expected %s, output ends %r' % (context, outcome, result.stdout[-120:]))
    if outcome != 'O':
        check_unchanged(result, context)
        return
    written = sorted(s.content for p, s in changes(result).items() if s is not None)
    expect(written == extracted(data), '%s: the files are not what the archive holds' % context)


def _both(name: str, function) -> None:
    check(name + ' (host build)')(lambda ctx: function(ctx.build))
    check(name + ' (sanitizer build)')(lambda ctx: function(ctx.sanitize))


def truncations(build: str) -> None:
    data = archive(b'1.01', SMALL)
    for length in range(len(data)):
        context = '%s, %d of %d bytes' % (build, length, len(data))
        result = run(machine(data[:length]), build)
        check_stop(result, T['DECODE_ERROR'], context)
        expect(result.stdout == T['DECODE_ERROR'], '%s: %r' % (context, result.stdout[-100:]))
        check_unchanged(result, context)


def header_flips(build: str) -> None:
    data = archive(b'1.01', FLIPPED)
    for bit in range(FLIP_BITS):
        flipped = bytearray(data)
        flipped[bit // 8] ^= 0x80 >> (bit % 8)
        context = '%s, header bit %d flipped' % (build, bit)
        check_as_extracted(build, bytes(flipped), context, FLIP_OUTCOMES[bit])


@check('every single-bit flip of an archive 3ppack creates, trailer and all (host build)')
def packed_flips(ctx):
    # The entries of FLIPPED packed by the archive tool, which ends them with
    # the trailer: whatever bit is flipped, the check finds the damage before
    # anything is asked or changed.
    folder = Path(tempfile.mkdtemp(prefix='harden-pack-', dir=os.environ.get('HARDEN_TMP')))
    try:
        command = [str(ROOT / 'build' / 'host' / 'bin' / '3ppack'), 'create', '-o', str(folder / 'a.z'),
                   '-V', '1.01']
        for number, (kind, name, when, data) in enumerate(FLIPPED):
            (folder / str(number)).write_bytes(data)
            command += ['-E', kind.decode(), str(folder / str(number)), name.decode(), str(when)]
        subprocess.run(command, check=True, capture_output=True)
        data = (folder / 'a.z').read_bytes()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    def flip(bit: int) -> None:
        flipped = bytearray(data)
        flipped[bit // 8] ^= 0x80 >> (bit % 8)
        context = 'packed archive of %d bytes, bit %d flipped' % (len(data), bit)
        result = run(machine(bytes(flipped)), ctx.build)
        check_stop(result, T['DECODE_ERROR'], context)
        expect(result.stdout == T['DECODE_ERROR'], '%s: %r' % (context, result.stdout[-100:]))
        check_unchanged(result, context)

    # Hundreds of short runs: two at a time.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        list(pool.map(flip, range(8 * len(data))))


_both('archive truncated at every byte', truncations)
_both('every single-bit flip of the header', header_flips)


def run_archive(count: int, size: int = 2) -> bytes:
    """One entry claiming size bytes: a literal A, then a run of count."""
    return fields(archive_fields.header([(0x41, '0')], '1', b'1.01', 1) +
                  archive_fields.entry_record(b'i', b'run.bin', ENTRY_TIME, size) +
                  'bits 0 bits 1 ' + archive_fields.count_bytes(count))


@check('run counts of gigabytes finish in bounded time (host and sanitizer builds)')
def huge_runs(ctx):
    report = []
    for build in ctx.builds:
        # Written: 1 + 254 * 2^18 bytes (about 67 MB).
        count = 254 << 18
        result = run(machine(run_archive(count), timeout=120), build)
        check_stop(result, T['UPDATE_DONE'], build + ' written run', status=0)
        found = result.files.get(P + b'run.bin')
        expect(found is not None and found.content == b'A' * (1 + count), build + ' written run: wrong file')
        report.append('%s: written %.2f GB in %.2fs, %d MB peak'
                      % (build, (1 + count) / 1e9, result.seconds, result.peak_memory_kb // 1024))
        # Skipped (a newer file is there and the answer is n): a run of more
        # than 4 GiB, decoded and never written.
        count = 254 * 17_000_000
        newer = {P + b'run.bin': file(b'mine', NEW_TIME)}
        result = run(machine(run_archive(count), newer, stdin=b'n\n', timeout=120), build)
        check_stop(result, T['UPDATE_DONE'], build + ' skipped 4 GiB run', status=0)
        check_unchanged(result, build + ' skipped run')
        report.append('%s: skipped %.2f GB in %.2fs, %d MB peak'
                      % (build, (1 + count) / 1e9, result.seconds, result.peak_memory_kb // 1024))
        # An entry that claims 4 GiB - 1 bytes but whose data ends at once.
        data = fields(archive_fields.header([(0x41, '0')], '1', b'1.01', 1) +
                      archive_fields.entry_record(b'i', b'big.bin', ENTRY_TIME, 0xFFFFFFFF) + 'bits 0')
        result = run(machine(data, timeout=30), build)
        check_stop(result, T['DECODE_ERROR'], build + ' claimed 4 GiB')
        expect(result.stdout == T['DECODE_ERROR'], build + ' claimed 4 GiB: %r' % result.stdout[-80:])
    print('    large runs: ' + '; '.join(report))


@check('255 entries of the longest names; 255 paths of 255 characters')
def long_names(ctx):
    for build in ctx.builds:
        # 255-byte names never fit below a root: the first entry stops the run.
        names = [b'%03d' % i + b'n' * 252 for i in range(255)]
        result = run(machine(archive(b'1.01', [(b'i', n, ENTRY_TIME, b'x') for n in names])), build)
        check_stop(result, cannot_write(P + names[0]), build + ' 255-byte names')
        check_unchanged(result, build + ' 255-byte names')
        # Names that fill the path to exactly 255 characters: all 255 written.
        names = [b'%03d' % i + b'f' * (255 - len(P) - 3) for i in range(255)]
        data = archive(b'1.01', [(b'i', n, ENTRY_TIME, b'%d' % i) for i, n in enumerate(names)])
        result = run(machine(data), build)
        check_stop(result, T['UPDATE_DONE'], build + ' 255-character paths', status=0)
        for i, n in enumerate(names):
            found = result.files.get(P + n)
            expect(found is not None and found.content == b'%d' % i, '%s: entry %d not written' % (build, i))


# How each 256-row table that is not prefix-free ends, by trial.
NOT_PREFIX_FREE_OUTCOMES = 'ODOD'


@check('256-row table that is not prefix-free')
def not_prefix_free(ctx):
    rng = random.Random(256)
    tables = []
    for trial in range(4):
        rows = [(rng.randrange(32, 127), ''.join(rng.choice('01') for _ in range(
            rng.choice([1, 2, 3, 4, 6, 9, 13, 20, 32])))) for _ in range(255)]
        rows.append((0x5A, '0'))  # a catch-all for words starting with 0, behind the rest
        # One entry, then random bits: more than its data can use, or (odd
        # trials) too few, so that the data runs past the end of the file.
        text = archive_fields.header(rows, '1' * 32, b'1.01', 1)
        text += archive_fields.entry_record(b'i', b'npf.txt', ENTRY_TIME, 200)
        data_bits = ''.join(rng.choice('01') for _ in range(60 if trial % 2 else 4000))
        text += 'bits 0 ' + archive_fields.bits(data_bits)
        tables.append(fields(text))
    for build in ctx.builds:
        for trial, data in enumerate(tables):
            check_as_extracted(build, data, '%s, table %d' % (build, trial), NOT_PREFIX_FREE_OUTCOMES[trial])


# Names Windows forbids or the code page cannot convert, and how each ends
# on the emulated machine: written (the next entry follows) or refused.
HOSTILE_NAMES = {b'a:b.txt': 1, b'star*.txt': 1, b'q?.txt': 1, b'lt<.txt': 1, b'pipe|.txt': 1,
                 b'quote".txt': 1, b'ctl\x01.txt': 1, b'a/b.txt': 1, b'\x95\x5c.txt': 0, b'bad\x81': 0,
                 b'bad\xff\xfe.txt': 0, b'trail. ': 0, b'con': 0, b'NUL.txt': 0, b'\x82\xa0\x82\xa2.txt': 0}


@check('names Windows forbids or the code page cannot convert')
def hostile_names(ctx):
    for build in ctx.builds:
        for name, status in HOSTILE_NAMES.items():
            context = '%s, name %r' % (build, name)
            data = archive(b'1.01', [(b'i', name, ENTRY_TIME, b'data'), (b'i', b'after.txt', ENTRY_TIME, b'x')])
            result = run(machine(data), build)
            check_clean_end(result, context)
            check_ending(result, context)
            expect(result.exit_status == status, '%s: status %r' % (context, result.exit_status))
            if status == 0:
                expect(P + b'after.txt' in result.files, context + ': next entry lost')
            else:
                expect(result.stdout.endswith(cannot_write(P + name)),
                       '%s: %r' % (context, result.stdout[-80:]))
