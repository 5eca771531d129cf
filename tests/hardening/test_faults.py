"""Fault injection: every operation the updater makes on the machine fails
once, at each of its calls in a run (UPDATER_FAULTS=kind=N). Each run must
end with the right message and status; a run that stops leaves every file as
it was before the run, a complete one every file new, never partial, and no
temporary or backup file is left behind. Also: an archive that changes between the check and the real
run, a real full disk, and valgrind over a complete and a failed update."""

from __future__ import annotations

import os
import random
import shutil
import subprocess
import tempfile
from typing import Dict, Tuple

from checks import (ARCHIVE, ENTRY_TIME, NEW_TIME, P, T, Failure, Skip, archive, cannot_write, check,
                    check_clean_end, check_stop, check_unchanged, expect, file, fill, machine, run)
import archive_fields  # noqa: E402 (found through checks)

NEW, OLD, KEEP, PIC = P + b'new.txt', P + b'old.txt', P + b'keep.txt', P + b'bitmap\\pic.bmp'

_rng = random.Random(5)
CONTENT = {
    NEW: bytes(_rng.randrange(32, 127) for _ in range(5000)),   # 5 writes: 4 full buffers and 1
    OLD: bytes(_rng.randrange(32, 127) for _ in range(3000)),   # 3 writes
    KEEP: b'\0' * 1500 + b'tail' * 100,                          # 2 writes
    PIC: b'BM' + bytes(range(98)),                               # 1 write
}
BEFORE = {
    OLD: file(b'OLD'),
    KEEP: file(b'KEEP-NEWER', NEW_TIME, True),   # newer and read-only: asked, answered y
}
NAMES = {NEW: (b'new.txt', b'i'), OLD: (b'old.txt', b'i'), KEEP: (b'keep.txt', b'i'),
         PIC: (b'pic.bmp', b'b')}
ORDER = (NEW, OLD, KEEP, PIC)

# Calls of each kind in a run without faults, in the order they come. The
# files are staged under temporary names and put in place by one commit
# after the last entry, so a stop anywhere changes nothing.
ALL = list(ORDER)
CALLS = {
    'write': [NEW] * 5 + [OLD] * 3 + [KEEP] * 2 + [PIC],
    'close': ALL, 'flush': ALL, 'create_temp': ALL, 'set_times': ALL,
    'replace': ALL,                                      # the commit, in archive order
    'replace_halfway': [OLD, KEEP],                      # only replaces of an existing file
    'create_directory': [NEW, OLD, KEEP, PIC, PIC],     # the install folder each time, then bitmap
    'open_read': ['archive'] + ALL,                     # the archive (read once: it is small), probes
    'query_time': [OLD, KEEP],
    # each destination's word for the checks and the one kept for a rollback;
    # the commit's read before it clears a read-only bit
    'get_attributes': [NEW, NEW, OLD, OLD, OLD, 'keep-saved', 'keep-check', 'keep-free', KEEP,
                       PIC, PIC, NEW, OLD, 'keep-commit', PIC],
    'set_attributes': ['keep-free-clear', 'keep-free-restore', 'keep-commit-clear',
                       'keep-restore'],
}


def fault_machine(**options):
    entries = [(NAMES[p][1], NAMES[p][0], ENTRY_TIME, CONTENT[p]) for p in ORDER]
    return machine(archive(b'1.01', entries), dict(BEFORE), stdin=b'y\n', **options)


def expected(kind: str, call: int) -> Tuple[int, bytes, Dict[bytes, str]]:
    """Exit status, the output's last message and each file's end state
    ('before', 'new', 'new-late': new content with the time unset,
    'new-writable': new content, read-only bit lost). A stop leaves every
    file as it was."""
    states = {p: 'new' for p in ORDER}
    calls = CALLS[kind]
    if call > len(calls):
        return 0, T['UPDATE_DONE'], states
    what = calls[call - 1]

    def stop_at(path: bytes) -> Tuple[int, bytes, Dict[bytes, str]]:
        return 1, cannot_write(path), {p: 'before' for p in ORDER}

    if kind in ('write', 'close', 'flush', 'create_temp', 'replace', 'replace_halfway'):
        return stop_at(what)
    if kind == 'set_times':
        states[what] = 'new-late'
        return 0, T['UPDATE_DONE'], states
    if kind == 'create_directory':
        # Only the bitmap folder is missing; without it the file cannot be made.
        return stop_at(PIC) if call == 5 else (0, T['UPDATE_DONE'], states)
    if kind == 'open_read':
        if what == 'archive':
            return 1, T['ARCHIVE_MISSING'], {p: 'before' for p in ORDER}
        # A failed probe counts as no file: a read-only file then refuses the write.
        return stop_at(KEEP) if what == KEEP else (0, T['UPDATE_DONE'], states)
    if kind == 'query_time':
        states[what] = 'before'  # MSG_BAD_FILE_HANDLE, entry skipped
        return 0, T['UPDATE_DONE'], states
    if kind == 'get_attributes':
        # No saved word, or no word to judge the read-only file by (nor to
        # clear its bit before the replace): it may not be replaced.
        if what in ('keep-saved', 'keep-check', 'keep-free', 'keep-commit'):
            return stop_at(KEEP)
        return 0, T['UPDATE_DONE'], states
    if kind == 'set_attributes':
        if what in ('keep-free-clear', 'keep-commit-clear'):
            # Still read-only: the test for a holder, or the replace, refuses it.
            return stop_at(KEEP)
        if what == 'keep-restore':
            states[KEEP] = 'new-writable'
        return 0, T['UPDATE_DONE'], states
    raise AssertionError(kind)


def check_files(result, states: Dict[bytes, str], context: str) -> None:
    for path in ORDER:
        if path not in states:
            continue
        state = states[path]
        found = result.files.get(path)
        before = BEFORE.get(path)
        if state == 'before':
            if before is None:
                expect(found is None, '%s: %r should not exist' % (context, path))
            else:
                expect(found == before, '%s: %r changed: %r' % (context, path, found and found.content[:40]))
            continue
        expect(found is not None and found.content == CONTENT[path],
                 '%s: %r not completely new (%r)' % (context, path, found and len(found.content)))
        if state != 'new-late':
            expect(found.mtime == ENTRY_TIME, '%s: %r has time %d' % (context, path, found.mtime))
        read_only = path == KEEP and state != 'new-writable'
        expect(found.readonly == read_only, '%s: %r read-only %r' % (context, path, found.readonly))


def _fault_case(kind: str):
    def case(ctx):
        for call in range(1, len(CALLS[kind]) + 2):
            context = '%s=%d' % (kind, call)
            result = run(fault_machine(env={'UPDATER_FAULTS': context}), ctx.build)
            status, last, states = expected(kind, call)
            check_stop(result, last, context, status)
            if kind == 'query_time' and call <= len(CALLS[kind]):
                expect(T['BAD_FILE_HANDLE'] in result.stdout, context + ': no MSG_BAD_FILE_HANDLE')
            check_files(result, states, context)
    return case


for _kind in CALLS:
    check('fault ' + _kind + ' at every call')(_fault_case(_kind))


# The run's log on a disk that refuses it from some call on: whichever
# call that is (the open, the start line, a line per entry, the end), the
# update completes, the failure is reported once, and the log keeps the
# lines before it.
LOG_CALLS = 1 + 1 + len(ORDER) + 1
LOG_FAILED = fill(T['LOG_FAILED'], b'C:\\update.log')


@check('fault log at every call: reported once, the update completes')
def log_fault(ctx):
    # From each call to one past the last: the last plan fails no call.
    for call in range(1, LOG_CALLS + 2):
        context = 'log=%d-%d' % (call, LOG_CALLS + 1)
        result = run(fault_machine(env={'UPDATER_FAULTS': context}, args=[b'/log=C:\\update.log']),
                     ctx.build)
        check_clean_end(result, context)
        expect(result.exit_status == 0 and T['UPDATE_DONE'] in result.stdout,
               '%s: status %r' % (context, result.exit_status))
        reports = result.stdout.count(LOG_FAILED)
        expect(reports == (1 if call <= LOG_CALLS else 0), '%s: reported %d times' % (context, reports))
        log = result.files.get(b'C:\\update.log')
        lines = log.content.count(b'\r\n') if log else 0
        expect(lines == min(max(call - 2, 0), LOG_CALLS - 1), '%s: the log holds %d lines' % (context, lines))
        check_files(result, {p: 'new' for p in ORDER}, context)


@check('fault plan: clean run and a combined plan')
def combined(ctx):
    result = run(fault_machine(), ctx.build)
    check_stop(result, T['UPDATE_DONE'], 'no faults', status=0)
    check_files(result, {p: 'new' for p in ORDER}, 'no faults')
    # A second fault after the first stop never comes; the first decides.
    result = run(fault_machine(env={'UPDATER_FAULTS': 'write=7,close=1,replace=3'}), ctx.build)
    check_stop(result, cannot_write(NEW), 'combined')
    check_files(result, {NEW: 'before', OLD: 'before', KEEP: 'before', PIC: 'before'}, 'combined')


BIG = P + b'big.bin'
BIG_BEFORE = file(b'newer', NEW_TIME)


def changing_archives():
    """A sound archive with its trailer, and the same archive with the last
    entry's data changed (the same bytes in another order, so the same code
    table and size), its trailer kept:
    keep.txt, a newer read-only file (asked, answered y); big.bin, which
    decodes to 300 MB, more than the check keeps in memory, of an unknown
    kind (no destination: nothing is staged or written for it), so that the
    real run reads the archive again; then new.txt."""
    rng = random.Random(9)
    tail = bytes(rng.randrange(256) for _ in range(6000))
    made = [archive(b'1.01', [(b'i', b'keep.txt', ENTRY_TIME, CONTENT[KEEP]),
                              (b'x', b'big.bin', ENTRY_TIME, [(0, 300 * 1000 * 1000 - 1)]),
                              (b'i', b'new.txt', ENTRY_TIME, tail + ending)])
            for ending in (b'xy', b'yx')]
    expect(len(made[0]) == len(made[1]) and made[0] != made[1] and made[0][:1 << 20] == made[1][:1 << 20],
           'the two archives must differ in the last entry only')
    # The sound one with its trailer; the changed one keeps that trailer.
    sound = archive_fields.with_trailer(made[0])
    return sound, made[1] + sound[len(made[1]):]


CHANGING_FILES = {KEEP: BEFORE[KEEP], BIG: BIG_BEFORE}


def changing_machine(sound: bytes, changed: bytes, **options):
    """The sound archive, rewritten in place as changed while the program
    waits at keep.txt's question. By then the real run reads the archive a
    second time, through the file it has open (Windows would refuse the
    write: the file is open without write sharing; Linux lets it through)."""
    def change_in_place(root):
        with open(root / 'drive_c' / 'update' / '3pupdate.z', 'r+b') as stream:
            stream.write(changed)
            stream.truncate()
    return machine(sound, CHANGING_FILES, stdin=b'y\n', when_waiting=change_in_place, **options)


def check_swapped_back(result, context: str) -> None:
    check_stop(result, T['DECODE_ERROR'], context)
    expect(result.files.get(BIG) == BIG_BEFORE, context + ': big.bin changed')
    expect(NEW not in result.files, context + ': new.txt was left')
    expect(result.files.get(KEEP) == BEFORE[KEEP], '%s: keep.txt is %r' % (context, result.files.get(KEEP)))


@check('a large archive changed in place between its two reads: rolled back; one that cannot be read twice')
def changing_archive(ctx):
    sound, changed = changing_archives()
    for build in ctx.builds:
        result = run(changing_machine(sound, changed), build)
        check_swapped_back(result, build)
        # The whole update had been written: the change shows only in the
        # digest of the second read, compared before the commit.
        expect(result.stdout.count(T['PROGRESS_EMPTY']) == 2, build + ': new.txt never written')
    # An archive that cannot be read from its start again (a pipe, which has
    # no end to find a trailer from: served without one): the run stops
    # before anything is written.
    plain = sound[:len(sound) - 54]
    result = run(machine(None, CHANGING_FILES, stdin=b'y\n', served_files={ARCHIVE: [plain]}), ctx.build)
    check_stop(result, T['ARCHIVE_MISSING'], 'read twice from a pipe')
    check_unchanged(result, 'read twice from a pipe')


@check('a real full disk (a 1 MiB tmpfs) in the middle of an entry')
def full_disk(ctx):
    mount_point = tempfile.mkdtemp(prefix='harden-full-', dir=os.environ.get('HARDEN_TMP'))
    mounted = subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=1m', 'tmpfs', mount_point],
                             capture_output=True)
    if mounted.returncode != 0:
        os.rmdir(mount_point)
        raise Skip('cannot mount a small tmpfs here (%s); fault injection covers the path'
                   % mounted.stderr.decode(errors='replace').strip())
    try:
        before = file(bytes(range(256)) * 800)  # 200 kB, older
        # The second entry is 3 MiB of zeros, a few bytes once packed.
        data = archive(b'1.01', [(b'i', b'small.txt', ENTRY_TIME, b'fits'),
                                 (b'i', b'old.txt', ENTRY_TIME, [(0, (3 << 20) - 1), b'end'])])
        for build in ctx.builds:
            result = run(machine(data, {OLD: before}, timeout=30), build, scratch_parent=mount_point)
            check_stop(result, cannot_write(OLD), build + ' full disk')
            expect(result.files[OLD] == before, build + ' full disk: old.txt changed')
            expect(P + b'small.txt' not in result.files, build + ' full disk: small.txt not undone')
    finally:
        subprocess.run(['umount', mount_point], capture_output=True)
        os.rmdir(mount_point)


VALGRIND = ['valgrind', '--error-exitcode=99', '--leak-check=full', '--track-fds=no',
            '--errors-for-leak-kinds=definite,indirect,possible',
            '--show-leak-kinds=definite,indirect,possible', '-q']


@check('valgrind: a complete update, a decoding failure and an abandoned entry, no error, no leak')
def valgrind(ctx):
    if shutil.which('valgrind') is None:
        raise Failure('valgrind is not installed (Debian: valgrind)')

    def quiet(result, context):
        expect(result.stderr == b'',
               '%s: valgrind reported: %s' % (context, result.stderr.decode(errors='replace')[-3000:]))

    # Every path the program has: a written file, an overwritten newer
    # read-only file (answered y), a folder made, a skipped unknown kind.
    entries = [(b'i', b'a.txt', ENTRY_TIME, b'alpha ' * 500),
               (b'i', b'ro.txt', ENTRY_TIME, b'\0' * 2000 + b'end'),
               (b'b', b'pic.bmp', ENTRY_TIME, bytes(range(256)) * 5),
               (b'x', b'odd', ENTRY_TIME, b'not written')]
    files = {P + b'ro.txt': file(b'older content', NEW_TIME, True)}
    data = archive(b'1.01', entries)
    result = run(machine(data, files, stdin=b'y\n', wrapper=VALGRIND, timeout=120), ctx.build)
    check_stop(result, T['UPDATE_DONE'], 'complete update under valgrind', status=0)
    expect(result.files[P + b'ro.txt'].content == b'\0' * 2000 + b'end', 'valgrind run: ro.txt not written')
    quiet(result, 'complete update')
    # A damaged archive: found by the check before anything is written.
    data = archive(b'1.01', entries[:1])
    result = run(machine(data[:-20] + b'\xff' * 20, wrapper=VALGRIND, timeout=120), ctx.build)
    check_stop(result, T['DECODE_ERROR'], 'decoding failure under valgrind')
    quiet(result, 'decoding failure')
    # A decoding failure in the middle of a written entry (the archive swapped
    # after the check): the output is abandoned and the old file kept.
    sound, _ = changing_archives()
    result = run(changing_machine(sound, sound[:len(sound) - 2500], wrapper=VALGRIND, timeout=120),
                 ctx.build)
    check_swapped_back(result, 'abandoned entry under valgrind')
    quiet(result, 'abandoned entry')


@check('a process killed in the middle of the commit: every file old or new, only ~3pu files left')
def killed_mid_commit(ctx):
    # The process ends without a chance to act before the commit's N-th
    # replace: the files before it are new, the rest old, none missing; the
    # only strays are temporary files and the backups of replaced files.
    for call in range(1, len(ORDER) + 1):
        context = 'kill=%d' % call
        result = run(fault_machine(env={'UPDATER_FAULTS': context}), ctx.build)
        expect(result.exit_status == 137, '%s: exit status %r' % (context, result.exit_status))
        states = {p: 'new' if ORDER.index(p) < call - 1 else 'before' for p in ORDER}
        # The read-only file loses its bit right before its replace (a kill
        # just then leaves the old file writable) and gets it back when the
        # commit ends.
        if call > ORDER.index(KEEP) + 1:
            states[KEEP] = 'new-writable'
        if call == ORDER.index(KEEP) + 1:
            kept = result.files.get(KEEP)
            expect(kept is not None and (kept.content, kept.mtime) == (b'KEEP-NEWER', NEW_TIME),
                   '%s: keep.txt is %r' % (context, kept))
            states = {p: state for p, state in states.items() if p != KEEP}
        check_files(result, states, context)
        strays = sorted(p.rsplit(b'\\', 1)[-1][-4:].lower() for p in result.files
                        if p.rsplit(b'\\', 1)[-1].lower().startswith(b'~3pu'))
        replaced_existing = sum(1 for p in ORDER[:call - 1] if p in BEFORE)
        expect(strays == sorted([b'.bak'] * replaced_existing + [b'.tmp'] * (len(ORDER) - call + 1)),
               '%s: left %r' % (context, strays))
