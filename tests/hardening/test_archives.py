"""Hostile archives, on the host build and on the sanitizer build: every
truncation, every bit flip of the header, code lengths outside 1..32, run
counts of gigabytes, the longest names, over-long paths and a 256-row table
that is not prefix-free. Each run ends in success with exactly the files the
plain reading of the archive gives, or in a catalogue stop with nothing
changed, within a bounded time and with no sanitizer report."""

from __future__ import annotations

import random
from typing import List, Optional

import archive_forge as forge
import harness as h
from registry import test

P = h.INSTALL_DIR + b'\\'


def small_archive() -> bytes:
    """Three entries, literals and runs, 80-odd bytes."""
    return forge.encode(b'1.01', [(b'a.txt', h.ENTRY_TIME, b'i', b'hello, world\r\n' * 2),
                                  (b'b.bin', h.ENTRY_TIME, b'b', b'\0' * 300 + b'\1\2\3'),
                                  (b'c', h.ENTRY_TIME, b'i', b'')])


def _signed(byte: int) -> int:
    return byte - 256 if byte >= 128 else byte


def minor_value(version: bytes) -> int:
    text = version.split(b'\0')[0]
    fourth = _signed(text[3]) if len(text) > 3 else 0
    fifth = _signed(text[4]) if len(text) > 4 else 0
    return (fourth - 48) * 100 + (0 if fifth == 0 else fifth - 96)


def gate_stop(archive_version: bytes, installed: bytes = b'1.01') -> Optional[bytes]:
    """The stop the version gate makes with no answer typed, or None."""
    a = archive_version.split(b'\0')[0]
    if a[:3] != installed[:3]:
        return h.MAJOR_MISMATCH
    if minor_value(installed) > minor_value(a):
        return h.UPDATE_CANCELLED  # asked, and standard input is empty
    return None


def destination(name: bytes, kind: bytes) -> Optional[bytes]:
    k = kind.lower()
    roots = {b'i': P, b'b': P + b'bitmap\\', b'w': b'C:\\windows\\', b's': b'C:\\windows\\system\\'}
    return roots[k] + name if k in roots else None


def check_against_reference(ctx_build: str, archive: bytes, context: str, timeout: float = 60.0) -> h.Outcome:
    """Runs archive on a fresh machine and checks the run against the plain
    reading of the archive: a decoding failure stops with nothing written,
    a version the gate refuses stops with nothing written, and otherwise
    every entry's file holds exactly its data."""
    outcome = h.run(h.Machine(archive), build=ctx_build, timeout=timeout)
    h.check_clean_end(outcome, context)
    unchanged = set(outcome.files) == {b'C:\\update\\3pupdate.z'}
    try:
        version, entries = forge.decode(archive)
    except forge.DecodeFailure:
        h.expect(outcome.status == 1 and outcome.stdout == h.DECODE_ERROR,
                 '%s: expected only the decoding error, got %r' % (context, outcome.stdout[-120:]))
        h.expect(unchanged, context + ': files changed before the decoding error')
        return outcome
    stop = gate_stop(version)
    if stop is not None:
        h.expect(outcome.status == 1 and outcome.stdout.endswith(stop),
                 '%s: expected the gate to stop, got %r' % (context, outcome.stdout[-120:]))
        h.expect(unchanged, context + ': files changed after the gate stopped')
        return outcome
    expected = {}
    for name, _, kind, content in entries:
        path = destination(name, kind) if name else None
        if path is not None and len(path) <= 255 and not path.endswith(b'\\'):
            expected[path] = content
    h.check_ending(outcome, context)
    if outcome.status == 0:
        for path, content in expected.items():
            found = outcome.files.get(path)
            h.expect(found is not None and found.content == content,
                     '%s: %r is not the entry data (%r)' % (context, path, found and found.content[:30]))
    return outcome


def _both_builds(ctx) -> List[str]:
    return [ctx.build, ctx.sanitize]


def flip_archive() -> bytes:
    """Two entries over a four-row table: a short header to flip bit by bit."""
    return forge.encode(b'1.01', [(b'a.txt', h.ENTRY_TIME, b'i', b'abba' * 3 + b'c' * 9 + b'\n'),
                                  (b'b.txt', h.ENTRY_TIME, b'b', b'ab')])


def header_length_bits(archive: bytes) -> int:
    """Where the first entry record begins."""
    reader = forge._Reader(archive)
    rows = reader.read(8) + 1
    reader.read(reader.read(8))
    for _ in range(rows):
        reader.read(8)
        reader.read(reader.read(8))
    reader.read(8 * reader.read(8))
    reader.read(8)
    return reader.position


def _truncations(build: str) -> None:
    archive = small_archive()
    for length in range(len(archive)):
        outcome = h.run(h.Machine(archive[:length]), build=build)
        context = '%s, %d of %d bytes' % (build, length, len(archive))
        h.check_clean_end(outcome, context)
        h.expect(outcome.status == 1 and outcome.stdout == h.DECODE_ERROR,
                 '%s: %r' % (context, outcome.stdout[-100:]))
        h.expect(set(outcome.files) == {b'C:\\update\\3pupdate.z'}, context + ': files written')


def _header_flips(build: str) -> None:
    archive = flip_archive()
    outcomes = {0: 0, 1: 0}
    for bit in range(header_length_bits(archive)):
        outcome = check_against_reference(build, forge.flip_bit(archive, bit),
                                          '%s, header bit %d flipped' % (build, bit))
        outcomes[outcome.status] += 1
    h.expect(outcomes[0] > 0 and outcomes[1] > 0, 'flips gave one outcome only: %r' % outcomes)


@test('archive truncated at every byte (host build)')
def truncations(ctx):
    _truncations(ctx.build)


@test('archive truncated at every byte (sanitizer build)')
def truncations_sanitized(ctx):
    _truncations(ctx.sanitize)


@test('every single-bit flip of the header (host build)')
def header_flips(ctx):
    _header_flips(ctx.build)


@test('every single-bit flip of the header (sanitizer build)')
def header_flips_sanitized(ctx):
    _header_flips(ctx.sanitize)


def _length_case(escape_length: Optional[int], row_length: Optional[int]) -> bytes:
    w = forge.BitWriter()
    forge.put_header(w, [(0x41, '0'), (0x42, '10')], '11', b'1.01', 1,
                     stored_lengths=None if row_length is None else {1: row_length},
                     escape_length=escape_length)
    forge.put_entry_header(w, b'x.txt', h.ENTRY_TIME, b'i', 2)
    w.code('0')
    w.code('10')
    w.put(0, 64)
    return w.data()


@test('code lengths 0 and 33 for the escape and for a row')
def bad_lengths(ctx):
    for build in _both_builds(ctx):
        for escape_length, row_length in ((0, None), (33, None), (None, 0), (None, 33), (255, None)):
            context = '%s, escape %r row %r' % (build, escape_length, row_length)
            outcome = h.run(h.Machine(_length_case(escape_length, row_length)), build=build)
            h.check_clean_end(outcome, context)
            h.expect(outcome.status == 1 and outcome.stdout == h.DECODE_ERROR, '%s: %r' % (context, outcome.stdout))
        outcome = h.run(h.Machine(_length_case(None, None)), build=build)
        h.expect(outcome.status == 0 and outcome.files.get(P + b'x.txt').content == b'AB', build + ': valid twin failed')


def run_archive(count_bytes: int, size: int = 2) -> bytes:
    """One entry of size bytes: a literal A, then a run whose count is made of
    count_bytes bytes of 255 and a final 0 (254 copies per count byte)."""
    w = forge.BitWriter()
    forge.put_header(w, [(0x41, '0')], '1', b'1.01', 1)
    forge.put_entry_header(w, b'run.bin', h.ENTRY_TIME, b'i', size)
    w.code('0')
    w.code('1')
    head = w.data()
    bits = w.bits
    assert bits % 8 != 0
    # Append the count bytes quickly: they follow at a bit offset of bits % 8.
    shift = bits % 8
    body = bytearray(head)
    tail = [255] * count_bytes + [0]
    carry = body.pop()
    for byte in tail:
        body.append(carry | (byte >> shift))
        carry = (byte << (8 - shift)) & 0xFF
    body.append(carry)
    return bytes(body)


@test('run counts of gigabytes finish in bounded time (host and sanitizer builds)')
def huge_runs(ctx):
    report = []
    for build in _both_builds(ctx):
        # Written: 1 + 254 * 2^18 bytes (about 67 MB).
        count = 1 << 18
        outcome = h.run(h.Machine(run_archive(count)), build=build, timeout=120)
        h.check_clean_end(outcome, build + ' written run')
        found = outcome.files.get(P + b'run.bin')
        h.expect(outcome.status == 0 and found is not None and len(found.content) == 1 + 254 * count
                 and found.content.count(b'A') == len(found.content), build + ' written run: wrong file')
        report.append('%s: written %.2f GB in %.2fs, %d MB peak' % (
            build, (1 + 254 * count) / 1e9, outcome.seconds, outcome.max_rss_kb // 1024))
        # Skipped (a newer file is there and the answer is n): a run of more
        # than 4 GiB, 1 + 254 * 17 000 000 bytes, decoded and never written.
        count = 17_000_000
        newer = {P + b'run.bin': h.FileState(b'mine', h.NEW_TIME, False)}
        outcome = h.run(h.Machine(run_archive(count), files=newer), build=build, stdin=b'n\n', timeout=120)
        h.check_clean_end(outcome, build + ' skipped 4 GiB run')
        h.expect(outcome.status == 0 and outcome.files[P + b'run.bin'].content == b'mine',
                 build + ' skipped run changed the file')
        report.append('%s: skipped %.2f GB in %.2fs, %d MB peak' % (
            build, (1 + 254 * count) / 1e9, outcome.seconds, outcome.max_rss_kb // 1024))
        # An entry that claims 4 GiB - 1 bytes but whose data ends at once.
        w = forge.BitWriter()
        forge.put_header(w, [(0x41, '0')], '1', b'1.01', 1)
        forge.put_entry_header(w, b'big.bin', h.ENTRY_TIME, b'i', 0xFFFFFFFF)
        w.code('0')
        outcome = h.run(h.Machine(w.data()), build=build, timeout=30)
        h.check_clean_end(outcome, build + ' claimed 4 GiB')
        h.expect(outcome.stdout == h.DECODE_ERROR, build + ' claimed 4 GiB: %r' % outcome.stdout[-80:])
    print('    large runs: ' + '; '.join(report))


@test('255 entries of the longest names; paths over 255 characters')
def long_names(ctx):
    for build in _both_builds(ctx):
        # 255-byte names never fit below a root: the first entry stops the run.
        names = [b'%03d' % i + b'n' * 252 for i in range(255)]
        archive = forge.encode(b'1.01', [(n, h.ENTRY_TIME, b'i', b'x') for n in names])
        outcome = h.run(h.Machine(archive), build=build)
        h.check_clean_end(outcome, build + ' 255-byte names')
        h.expect(outcome.status == 1 and outcome.stdout.endswith(h.cannot_write(P + names[0])),
                 '%s 255-byte names: %r' % (build, outcome.stdout[-100:]))
        h.expect(len(outcome.files) == 1, build + ' 255-byte names: something written')
        # Names that fill the path to exactly 255 characters: all 255 written.
        fit = 255 - len(P)
        names = [b'%03d' % i + b'f' * (fit - 3) for i in range(255)]
        archive = forge.encode(b'1.01', [(n, h.ENTRY_TIME, b'i', b'%d' % i) for i, n in enumerate(names)])
        outcome = h.run(h.Machine(archive), build=build)
        h.check_clean_end(outcome, build + ' 255-character paths')
        h.expect(outcome.status == 0, '%s 255-character paths: %r' % (build, outcome.stdout[-100:]))
        for i, n in enumerate(names):
            h.expect(outcome.files.get(P + n, h.FileState(b'', 0, False)).content == b'%d' % i,
                     '%s: entry %d not written' % (build, i))
        # Over 255 through subfolders and the bitmap folder; the first fits.
        deep = b'\\'.join([b'd' * 60] * 4)
        cases = [(b'ok.txt', b'i'), (deep, b'i'), (b'b' * 240, b'b')]
        archive = forge.encode(b'1.01', [(n, h.ENTRY_TIME, k, b'z') for n, k in cases])
        outcome = h.run(h.Machine(archive), build=build)
        h.check_clean_end(outcome, build + ' deep path')
        h.expect(outcome.stdout.endswith(h.cannot_write(P + deep)), '%s deep: %r' % (build, outcome.stdout[-100:]))
        h.expect(outcome.files.get(P + b'ok.txt') is not None, build + ' deep: first entry lost')


@test('256-row table that is not prefix-free')
def not_prefix_free(ctx):
    rng = random.Random(256)
    for build in _both_builds(ctx):
        for trial in range(4):
            rows = []
            for j in range(256):
                length = rng.choice([1, 2, 3, 4, 6, 9, 13, 20, 32])
                rows.append((rng.randrange(32, 127), ''.join(rng.choice('01') for _ in range(length))))
            rows[255] = (0x5A, '0')  # a catch-all for words starting with 0, behind the rest
            w = forge.BitWriter()
            forge.put_header(w, rows, '1' * 9, b'1.01', 2)
            for n in range(2):
                forge.put_entry_header(w, b'npf%d.txt' % n, h.ENTRY_TIME, b'i', 200)
                w.code('0')
                for _ in range(900):
                    w.put(rng.getrandbits(1), 1)
            check_against_reference(build, w.data(), '%s, table %d' % (build, trial))


@test('odd names and kind letters: empty, unknown kinds, dot-dot')
def odd_names(ctx):
    for build in _both_builds(ctx):
        # An empty name names the root folder itself: the write is refused.
        outcome = h.run(h.Machine(forge.encode(b'1.01', [(b'', h.ENTRY_TIME, b'i', b'x')])), build=build)
        h.check_clean_end(outcome, build + ' empty name')
        h.expect(outcome.status == 1 and outcome.stdout.endswith(h.cannot_write(P)),
                 '%s empty name: %r' % (build, outcome.stdout[-100:]))
        # Unknown kind letters are decoded and skipped; dot-dot stays on the drive.
        entries = [(b'q.txt', h.ENTRY_TIME, b'x', b'unknown kind'),
                   (b'Z.txt', h.ENTRY_TIME, b'Z', b'upper unknown kind'),
                   (b'..\\..\\..\\..\\..\\..\\..\\up.txt', h.ENTRY_TIME, b'i', b'dot dot'),
                   (b'last.txt', h.ENTRY_TIME, b'i', b'last')]
        outcome = h.run(h.Machine(forge.encode(b'1.01', entries)), build=build)
        h.check_clean_end(outcome, build + ' odd names')
        h.expect(outcome.status == 0, '%s odd names: %r' % (build, outcome.stdout[-100:]))
        h.expect(set(outcome.files) == {b'C:\\update\\3pupdate.z', b'C:\\up.txt', P + b'last.txt'},
                 '%s odd names: %r' % (build, sorted(outcome.files)))
        h.expect(outcome.files[b'C:\\up.txt'].content == b'dot dot', build + ': dot-dot entry wrong')


@test('names Windows forbids or the code page cannot convert')
def hostile_names(ctx):
    names = [b'a:b.txt', b'star*.txt', b'q?.txt', b'lt<.txt', b'pipe|.txt', b'quote".txt', b'ctl\x01.txt',
             b'a/b.txt', b'\x95\x5c.txt', b'bad\x81', b'bad\xff\xfe.txt', b'trail. ', b'con', b'NUL.txt',
             b'\x82\xa0\x82\xa2.txt']
    for build in _both_builds(ctx):
        for name in names:
            context = '%s, name %r' % (build, name)
            entries = [(name, h.ENTRY_TIME, b'i', b'data'), (b'after.txt', h.ENTRY_TIME, b'i', b'x')]
            outcome = h.run(h.Machine(forge.encode(b'1.01', entries)), build=build)
            h.check_clean_end(outcome, context)
            h.check_ending(outcome, context)
            if outcome.status == 0:
                h.expect(outcome.files.get(P + b'after.txt') is not None, context + ': next entry lost')
            else:
                h.expect(outcome.stdout.endswith(h.cannot_write(P + name)), '%s: %r' % (context, outcome.stdout[-80:]))
