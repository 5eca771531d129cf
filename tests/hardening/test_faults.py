"""Fault injection: every operation the updater makes on the machine fails
once, at each of its calls in a run (UPDATER_FAULTS=kind=N). Each run must
end with the right message and status, and every file must be as it was
before its entry or completely new, never partial, with no temporary file
left behind."""

from __future__ import annotations

import os
import random
import subprocess
import tempfile
from typing import Dict, Tuple

import archive_forge as forge
import harness as h
from registry import test

P = h.INSTALL_DIR + b'\\'
NEW, OLD, KEEP, PIC = P + b'new.txt', P + b'old.txt', P + b'keep.txt', P + b'bitmap\\pic.bmp'

_rng = random.Random(5)
CONTENT = {
    NEW: bytes(_rng.randrange(32, 127) for _ in range(5000)),   # 5 writes: 4 full buffers and 1
    OLD: bytes(_rng.randrange(32, 127) for _ in range(3000)),   # 3 writes
    KEEP: b'\0' * 1500 + b'tail' * 100,                          # 2 writes
    PIC: b'BM' + bytes(range(98)),                               # 1 write
}
BEFORE = {
    OLD: h.FileState(b'OLD', h.OLD_TIME, False),
    KEEP: h.FileState(b'KEEP-NEWER', h.NEW_TIME, True),   # newer and read-only: asked, answered y
}
NAMES = {NEW: (b'new.txt', b'i'), OLD: (b'old.txt', b'i'), KEEP: (b'keep.txt', b'i'),
         PIC: (b'pic.bmp', b'b')}
ORDER = (NEW, OLD, KEEP, PIC)

# Calls of each kind in a run without faults, in the order they come.
CALLS = {
    'write': [NEW] * 5 + [OLD] * 3 + [KEEP] * 2 + [PIC],
    'close': list(ORDER), 'create_temp': list(ORDER), 'replace': list(ORDER),
    'set_times': list(ORDER),
    'create_directory': [NEW, OLD, KEEP, PIC, PIC],     # the install folder each time, then bitmap
    'open_read': ['archive'] + list(ORDER),             # the archive (read once: it is small), probes
    'query_time': [OLD, KEEP],
    'get_attributes': [NEW, OLD, 'keep-saved', KEEP, PIC],
    'set_attributes': ['keep-clear', 'keep-restore'],
}

STOP_AT = 'stop'


def machine() -> h.Machine:
    entries = [(NAMES[p][0], h.ENTRY_TIME, NAMES[p][1], CONTENT[p]) for p in ORDER]
    return h.Machine(forge.encode(b'1.01', entries), files=dict(BEFORE))


def expected(kind: str, call: int) -> Tuple[int, bytes, Dict[bytes, str]]:
    """Exit status, the output's last message and each file's end state
    ('before', 'new', 'new-late': new content with the time unset,
    'new-writable': new content, read-only bit lost)."""
    states = {p: 'new' for p in ORDER}
    calls = CALLS[kind]
    if call > len(calls):
        return 0, h.UPDATE_DONE, states
    what = calls[call - 1]

    def stop_at(path: bytes) -> Tuple[int, bytes, Dict[bytes, str]]:
        index = ORDER.index(path)
        for later in ORDER[index:]:
            states[later] = 'before'
        return 1, h.cannot_write(path), states

    if kind in ('write', 'close', 'create_temp', 'replace'):
        return stop_at(what)
    if kind == 'set_times':
        states[what] = 'new-late'
        return 0, h.UPDATE_DONE, states
    if kind == 'create_directory':
        # Only the bitmap folder is missing; without it the file cannot be made.
        return stop_at(PIC) if call == 5 else (0, h.UPDATE_DONE, states)
    if kind == 'open_read':
        if what == 'archive':
            return 1, h.ARCHIVE_MISSING, {p: 'before' for p in ORDER}
        # A failed probe counts as no file: a read-only file then refuses the write.
        return stop_at(KEEP) if what == KEEP else (0, h.UPDATE_DONE, states)
    if kind == 'query_time':
        states[what] = 'before'  # MSG_BAD_FILE_HANDLE, entry skipped
        return 0, h.UPDATE_DONE, states
    if kind == 'get_attributes':
        # No saved word: the read-only bit is not cleared and the write is refused.
        return stop_at(KEEP) if what == 'keep-saved' else (0, h.UPDATE_DONE, states)
    if kind == 'set_attributes':
        if what == 'keep-clear':
            return stop_at(KEEP)
        states[KEEP] = 'new-writable'
        return 0, h.UPDATE_DONE, states
    raise AssertionError(kind)


def check_files(outcome: h.Outcome, states: Dict[bytes, str], context: str) -> None:
    for path in ORDER:
        state = states[path]
        found = outcome.files.get(path)
        before = BEFORE.get(path)
        if state == 'before':
            if before is None:
                h.expect(found is None, '%s: %r should not exist' % (context, path))
            else:
                h.expect(found == before, '%s: %r changed: %r' % (context, path, found and found.content[:40]))
            continue
        h.expect(found is not None and found.content == CONTENT[path],
                 '%s: %r not completely new (%r)' % (context, path, found and len(found.content)))
        if state != 'new-late':
            h.expect(found.mtime == h.ENTRY_TIME, '%s: %r has time %d' % (context, path, found.mtime))
        read_only = path == KEEP and state != 'new-writable'
        h.expect(found.readonly == read_only, '%s: %r read-only %r' % (context, path, found.readonly))


def _fault_case(kind: str):
    def case(ctx):
        for call in range(1, len(CALLS[kind]) + 2):
            context = '%s=%d' % (kind, call)
            outcome = h.run(machine(), build=ctx.build, stdin=b'y\n', faults=context)
            h.check_clean_end(outcome, context)
            status, last, states = expected(kind, call)
            h.expect(outcome.status == status, '%s: status %r, expected %d; output %r'
                     % (context, outcome.status, status, outcome.stdout[-120:]))
            h.expect(outcome.stdout.endswith(last), '%s: output ends %r' % (context, outcome.stdout[-160:]))
            if kind == 'query_time' and call <= len(CALLS[kind]):
                h.expect(h.BAD_FILE_HANDLE in outcome.stdout, context + ': no MSG_BAD_FILE_HANDLE')
            check_files(outcome, states, context)
    return case


for _kind in CALLS:
    test('fault ' + _kind + ' at every call')(_fault_case(_kind))


@test('fault plan: clean run and a combined plan')
def combined(ctx):
    outcome = h.run(machine(), build=ctx.build, stdin=b'y\n')
    h.check_clean_end(outcome, 'no faults')
    h.expect(outcome.status == 0 and outcome.stdout.endswith(h.UPDATE_DONE), 'clean run did not finish')
    check_files(outcome, {p: 'new' for p in ORDER}, 'no faults')
    # A second fault after the first stop never comes; the first decides.
    outcome = h.run(machine(), build=ctx.build, stdin=b'y\n', faults='write=7,close=1,replace=3')
    h.check_clean_end(outcome, 'combined')
    h.expect(outcome.stdout.endswith(h.cannot_write(NEW)), 'combined: %r' % outcome.stdout[-100:])
    check_files(outcome, {NEW: 'before', OLD: 'before', KEEP: 'before', PIC: 'before'}, 'combined')


def _changing_archive() -> h.Machine:
    """The check pass reads a sound archive; the real run reads one cut in
    the middle of the last entry's data, an overwrite of a newer read-only
    file. The first entry decodes to 300 MB, more than the check keeps in
    memory, so the real run reads the archive again; it is skipped (a newer
    file is there, answer n) so nothing that large is written. Only a file
    swapped between the two reads can fail this way."""
    rng = random.Random(9)
    keep = bytes(rng.randrange(256) for _ in range(6000))
    entries = [(b'big.bin', h.ENTRY_TIME, b'i', [('run', 0, 300 * 1000 * 1000)]),
               (b'new.txt', h.ENTRY_TIME, b'i', [('bytes', CONTENT[NEW])]),
               (b'keep.txt', h.ENTRY_TIME, b'i', [('bytes', keep)])]
    sound, _ = forge.encode_fixed(b'1.01', entries)
    files = {KEEP: BEFORE[KEEP], BIG: BIG_BEFORE}
    return h.Machine(sound, files=files, archive_opens=[sound, sound[:len(sound) - 2500]])


BIG = P + b'big.bin'
BIG_BEFORE = h.FileState(b'newer', h.NEW_TIME, False)
CHANGING_ANSWERS = b'n\ny\n'


def check_changing_archive(outcome: h.Outcome, context: str) -> None:
    h.check_clean_end(outcome, context)
    h.expect(outcome.status == 1 and outcome.stdout.endswith(h.DECODE_ERROR),
             '%s: status %r, %r' % (context, outcome.status, outcome.stdout[-100:]))
    # The bar of the abandoned file had begun: the failure came mid-entry.
    h.expect(outcome.stdout.count(b'\x81\xa0' * 25 + b'\r') == 2, context + ': last entry never started')
    h.expect(outcome.files.get(BIG) == BIG_BEFORE, context + ': big.bin changed')
    h.expect(outcome.files.get(NEW) is not None and outcome.files[NEW].content == CONTENT[NEW],
             context + ': the first entry is lost')
    h.expect(outcome.files.get(KEEP) == BEFORE[KEEP], '%s: keep.txt is %r' % (context, outcome.files.get(KEEP)))


@test('a large archive swapped after the check: decoding failure mid-overwrite; second open failing')
def changing_archive(ctx):
    for build in (ctx.build, ctx.sanitize):
        outcome = h.run(_changing_archive(), build=build, stdin=CHANGING_ANSWERS, timeout=60)
        check_changing_archive(outcome, build)
    # The second read of such an archive failing to open: the run stops
    # before anything is written.
    machine = _changing_archive()
    machine.archive_opens = None
    outcome = h.run(machine, build=ctx.build, stdin=CHANGING_ANSWERS, faults='open_read=2', timeout=60)
    h.check_clean_end(outcome, 'second open fails')
    h.expect(outcome.status == 1 and outcome.stdout.endswith(h.ARCHIVE_MISSING),
             'second open fails: %r' % outcome.stdout[-100:])
    h.expect(set(outcome.files) == {b'C:\\update\\3pupdate.z', KEEP, BIG}, 'second open fails: files changed')


@test('a real full disk (a 1 MiB tmpfs) in the middle of an entry')
def full_disk(ctx):
    mount_point = tempfile.mkdtemp(prefix='harden-full-', dir=os.environ.get('HARDEN_TMP'))
    mounted = subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=1m', 'tmpfs', mount_point],
                             capture_output=True)
    if mounted.returncode != 0:
        os.rmdir(mount_point)
        raise h.Skip('cannot mount a small tmpfs here (%s); fault injection covers the path'
                     % mounted.stderr.decode(errors='replace').strip())
    try:
        big = b'\0' * (3 << 20) + b'end'  # 3 MiB, 12 kB once packed
        before = h.FileState(bytes(range(256)) * 800, h.OLD_TIME, False)  # 200 kB, older
        entries = [(b'small.txt', h.ENTRY_TIME, b'i', b'fits'), (b'old.txt', h.ENTRY_TIME, b'i', big)]
        for build in (ctx.build, ctx.sanitize):
            machine = h.Machine(forge.encode(b'1.01', entries), files={OLD: before})
            outcome = h.run(machine, build=build, scratch_parent=mount_point, timeout=30)
            h.check_clean_end(outcome, build + ' full disk')
            h.expect(outcome.status == 1 and outcome.stdout.endswith(h.cannot_write(OLD)),
                     '%s full disk: %r' % (build, outcome.stdout[-100:]))
            h.expect(outcome.files[OLD] == before, build + ' full disk: old.txt changed')
            h.expect(outcome.files[P + b'small.txt'].content == b'fits', build + ' full disk: small.txt lost')
    finally:
        subprocess.run(['umount', mount_point], capture_output=True)
        os.rmdir(mount_point)
