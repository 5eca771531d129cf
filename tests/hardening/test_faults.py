"""Fault injection: every operation the updater makes on the machine fails
once, at each of its calls in a run (UPDATER_FAULTS=kind=N). Each run must
end with the right message and status; a run that stops leaves every file as
it was before the run, a complete one every file new, never partial, and no
temporary or backup file is left behind. Also: an archive that changes between the check and the real
run, a real full disk, and valgrind over a complete and a failed update."""

from __future__ import annotations

import os
import random
import re
import shutil
import subprocess
import tempfile
from typing import Dict, Tuple

from checks import (ARCHIVE, ENTRY_TIME, NEW_TIME, P, T, Failure, FileState, Skip, archive, cannot_write,
                    check, check_clean_end, check_stop, check_unchanged, expect, file, fill, machine, run)
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
    # each destination's word when first seen (the new files' by the check
    # for a holder), the word the test for a holder reads, and the commit's
    # read of a read-only backup before it is deleted
    'get_attributes': [NEW, OLD, 'old-free', 'keep-saved', 'keep-free', PIC, 'keep-backup'],
    # the read-only bit off and on around the test for a holder; each
    # replace's final word; the read-only backup's bit before its deletion
    'set_attributes': ['keep-free-clear', 'keep-free-restore'] + ALL + ['keep-backup'],
    # the folder of each replace, after the bitmap folder is made
    'flush_folder': ['bitmap'] + ALL,
    # after the commit: the backups (a read-only one only once its bit is off)
    'delete': ['old-backup', 'keep-backup', 'keep-backup'],
}


def fault_machine(files=None, stdin=b'y\n', **options):
    entries = [(NAMES[p][1], NAMES[p][0], ENTRY_TIME, CONTENT[p]) for p in ORDER]
    return machine(archive(b'1.01', entries), dict(BEFORE if files is None else files), stdin=stdin,
                   **options)


def expected(kind: str, call: int) -> Tuple[int, bytes, Dict[bytes, str]]:
    """Exit status, the output's last message and each file's end state
    ('before', 'new', 'before-writable': as before but the read-only bit
    lost). A stop leaves every file as it was; a complete run that could not
    delete a backup ends with status 1 (checked by check_one_left)."""
    states = {p: 'new' for p in ORDER}
    calls = CALLS[kind]
    if call > len(calls):
        return 0, T['UPDATE_DONE'], states
    what = calls[call - 1]

    def stop_at(path: bytes) -> Tuple[int, bytes, Dict[bytes, str]]:
        return 1, cannot_write(path), {p: 'before' for p in ORDER}

    if kind in ('write', 'close', 'flush', 'create_temp', 'replace', 'replace_halfway', 'set_times'):
        return stop_at(what)
    if kind == 'create_directory':
        # Only the bitmap folder is missing; without it the file cannot be made.
        return stop_at(PIC) if call == 5 else (0, T['UPDATE_DONE'], states)
    if kind == 'open_read':
        if what == 'archive':
            return 1, T['ARCHIVE_MISSING'], {p: 'before' for p in ORDER}
    if kind in ('open_read', 'query_time'):
        # A probe or a status query that fails is no absence: MSG_BAD_FILE_HANDLE,
        # the entry skipped, and the update not complete.
        states[what] = 'before'
        return 1, T['UPDATE_DONE'], states
    if what == 'keep-backup' and (kind != 'delete' or call == 3):
        return 1, T['UPDATE_DONE'], states
    if kind == 'get_attributes':
        # Without the saved word, or without the word that tells the test
        # for a holder to clear the bit, the read-only file may not be replaced.
        return stop_at(KEEP) if what in ('keep-saved', 'keep-free') else (0, T['UPDATE_DONE'], states)
    if kind == 'set_attributes':
        if what == 'keep-free-restore':
            # The bit the test for a holder took away cannot be given back:
            # the run stops rather than go on with a file it cannot restore.
            status, last, states = stop_at(KEEP)
            states[KEEP] = 'before-writable'  # named (checked by the caller)
            return status, last, states
        return stop_at(KEEP if what == 'keep-free-clear' else what)
    if kind == 'flush_folder':
        # A folder or a rename that is not on the disk counts as not made.
        return stop_at(PIC if what == 'bitmap' else what)
    if kind == 'delete':
        return 0, T['UPDATE_DONE'], states  # a failed first try is tried again
    raise AssertionError(kind)


def check_files(result, states: Dict[bytes, str], context: str) -> None:
    for path in ORDER:
        if path not in states:
            continue
        state = states[path]
        found = result.files.get(path)
        before = BEFORE.get(path)
        if state == 'before-writable':
            before = FileState(before.content, before.mtime, False)
            state = 'before'
        if state == 'before':
            if before is None:
                expect(found is None, '%s: %r should not exist' % (context, path))
            else:
                expect(found == before, '%s: %r changed: %r' % (context, path, found))
            continue
        expect(found == FileState(CONTENT[path], ENTRY_TIME, path == KEEP),
               '%s: %r not completely new, with its time and word (%r)'
               % (context, path, found and (len(found.content), found.mtime, found.readonly)))


def own_files(result):
    return sorted(p for p in result.files if p.rsplit(b'\\', 1)[-1].lower().startswith(b'~3pu'))


def check_one_left(result, context: str, ending: bytes, message: str, content: bytes, *named: bytes) -> None:
    """A run that ends with status 1 and ending, leaving one file of the
    run's own pattern, which holds content; the console names it with
    message (its %s filled by named, then that file's path)."""
    left = own_files(result)
    expect(result.exit_status == 1 and result.stdout.endswith(ending),
           '%s: status %r, output ends %r' % (context, result.exit_status, result.stdout[-100:]))
    expect(len(left) == 1 and result.files[left[0]].content == content, '%s: left %r' % (context, left))
    expect(fill(T[message], *named, left[0]) in result.stdout, '%s: %r is not named' % (context, left[0]))


def _fault_case(kind: str):
    def case(ctx):
        for call in range(1, len(CALLS[kind]) + 2):
            context = '%s=%d' % (kind, call)
            result = run(fault_machine(env={'UPDATER_FAULTS': context}), ctx.build)
            status, last, states = expected(kind, call)
            if status == 1 and last == T['UPDATE_DONE'] and kind not in ('open_read', 'query_time'):
                # complete, but the backup of keep.txt stays: named with the file it belongs to
                check_one_left(result, context, last, 'BACKUP_LEFT', BEFORE[KEEP].content, KEEP)
            else:
                check_stop(result, last, context, status)
            if states.get(KEEP) == 'before-writable':
                expect(fill(T['LEFT_WRITABLE'], KEEP) in result.stdout, context + ': not named')
            if kind in ('open_read', 'query_time') and status == 1 and last == T['UPDATE_DONE']:
                expect(T['BAD_FILE_HANDLE'] in result.stdout, context + ': no MSG_BAD_FILE_HANDLE')
            check_files(result, states, context)
    return case


for _kind in CALLS:
    check('fault ' + _kind + ' at every call')(_fault_case(_kind))


@check('a rollback that cannot put an old file back names it and the backup that holds the old file')
def undo_fails(ctx):
    # The last replace fails; the rollback moves the old files back in
    # reverse order, keep.txt's first, old.txt's second, and one of them
    # cannot move. That file keeps its new content and word; its old one
    # stays under the backup name the console gives; everything else is undone.
    for call, path in ((1, KEEP), (2, OLD)):
        context = 'replace=4,restore=%d' % call
        result = run(fault_machine(env={'UPDATER_FAULTS': context}), ctx.build)
        check_one_left(result, context, cannot_write(PIC), 'UNDO_FAILED', BEFORE[path].content, path)
        check_files(result, {p: 'new' if p == path else 'before' for p in ORDER}, context)


@check('a rollback that cannot put an old file back: logged after it ran, with /quiet status 1')
def undo_fails_logged(ctx):
    # As above, keep.txt's old file stays under its backup name. The log
    # names it, then counts what the rollback did put back (old.txt, new.txt
    # and the bitmap folder), and the run does not claim a rollback (6).
    context = 'replace=4,restore=1'
    result = run(fault_machine(env={'UPDATER_FAULTS': context},
                               args=[b'/quiet', b'/overwrite-newer', b'/log=C:\\update.log']), ctx.build)
    left = own_files(result)
    expect(result.exit_status == 1 and len(left) == 1, '%s: status %r, left %r' % (context, result.exit_status, left))
    log = result.files.get(b'C:\\update.log')
    lines = [line.split(b' ', 1)[1] for line in log.content.split(b'\r\n')[:-1]] if log else []
    wanted = [b'left [' + (left[0] if left else b'') + b']: the old file of [' + KEEP + b']',
              b'rolled back in part: 2 of 3 files, 1 of 1 folder']
    expect(lines[-3:-1] == wanted and lines[-1].endswith(b' ended: status 1'),
           '%s: the log ends %r' % (context, lines[-3:]))
    check_files(result, {p: 'new' if p == KEEP else 'before' for p in ORDER}, context)


@check('a replace that fails after the backup name was made, and cannot delete that name: named')
def backup_name_left(ctx):
    # old.txt's new file cannot be given its final word (set_attributes
    # call 4), after the old file got its second name; deleting that name
    # again is the run's first deletion, and it fails. The run stops and
    # rolls back, and says where the second name of the old file is.
    context = 'set_attributes=4,delete=1'
    result = run(fault_machine(env={'UPDATER_FAULTS': context}), ctx.build)
    check_one_left(result, context, cannot_write(OLD), 'BACKUP_LEFT', BEFORE[OLD].content, OLD)
    check_files(result, {p: 'before' for p in ORDER}, context)


@check('a declined file whose staged copy cannot be deleted: named, and the complete run ends with 1')
def staged_file_left(ctx):
    # keep.txt is answered n: its file, staged during the check, is deleted
    # (the first deletion of the run), and that fails.
    result = run(fault_machine(env={'UPDATER_FAULTS': 'delete=1'}, stdin=b'n\n'), ctx.build)
    check_one_left(result, 'declined', T['UPDATE_DONE'], 'FILE_LEFT', CONTENT[KEEP])
    check_files(result, {NEW: 'new', OLD: 'new', KEEP: 'before', PIC: 'new'}, 'declined')


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


@check('a process killed before each step of the commit: every file old or new, and a second run completes')
def killed_mid_commit(ctx):
    # The process ends without a chance to act before the N-th step of the
    # commit (a replace, with its final word, or a deletion of a backup):
    # every destination is old or new, each with its own time and word.
    # The same update run again on what is left completes, with every file
    # new and no temporary file left; a backup the killed run left holds the
    # only copy of an old file, so it stays, named, and the run ends with 1.
    for call in range(1, 100):
        context = 'kill=%d' % call
        result = run(fault_machine(env={'UPDATER_FAULTS': context}), ctx.build)
        if result.exit_status == 0:
            expect(call > len(ORDER) + 2, '%s: the run ended before every step' % context)
            check_files(result, {p: 'new' for p in ORDER}, context)
            break
        expect(result.exit_status == 137, '%s: exit status %r' % (context, result.exit_status))
        for path in ORDER:
            found, old = result.files.get(path), BEFORE.get(path)
            expect(found == old or found == FileState(CONTENT[path], ENTRY_TIME, path == KEEP),
                   '%s: %r is neither old nor new: %r' % (context, path, found))
        left = {p: s for p, s in result.files.items() if p != ARCHIVE}
        again = run(fault_machine(left), ctx.build)
        backups = [p for p in own_files(result) if p.lower().endswith(b'.bak')]
        expect(again.exit_status == (1 if backups else 0) and again.stdout.endswith(T['UPDATE_DONE']),
               '%s, run again: status %r, output ends %r' % (context, again.exit_status, again.stdout[-100:]))
        expect(own_files(again) == backups, '%s, run again: left %r, expected %r'
               % (context, own_files(again), backups))
        for path in backups:
            expect(fill(T['EARLIER_FILE_KEPT'], path) in again.stdout, '%s: %r not named' % (context, path))
        check_files(again, {p: 'new' for p in ORDER}, context + ', run again')


@check('a process killed between the two renames of a replace: the next run puts the old file back with its word')
def killed_inside_replace(ctx):
    # A replace that stops halfway leaves the old file only under its backup
    # name. When the process dies right there, the destination is missing;
    # the same update run again finds the old file by its backup name, puts
    # it back (old.txt writable, keep.txt read-only and newer, so asked),
    # and completes with every file new, its word kept. The backup of a
    # file the killed run had replaced before stays, named, as after any kill.
    for halfway in range(1, len(CALLS['replace_halfway']) + 1):
        context = 'replace_halfway=%d,kill_halfway=1' % halfway
        result = run(fault_machine(env={'UPDATER_FAULTS': context}), ctx.build)
        missing = CALLS['replace_halfway'][halfway - 1]
        expect(result.exit_status == 137 and missing not in result.files,
               '%s: status %r, %r left %r' % (context, result.exit_status, missing, result.files.get(missing)))
        backup = P + b'~3pu-' + NAMES[missing][0] + b'.bak'
        kept = [p for p in own_files(result) if p.lower().endswith(b'.bak') and p != backup]
        again = run(fault_machine({p: s for p, s in result.files.items() if p != ARCHIVE}), ctx.build)
        expect(again.exit_status == (1 if kept else 0) and again.stdout.endswith(T['UPDATE_DONE']),
               '%s, run again: status %r, output ends %r' % (context, again.exit_status, again.stdout[-100:]))
        expect(fill(T['ASK_OVERWRITE'], KEEP) in again.stdout or missing != KEEP,
               '%s, run again: the put-back newer keep.txt was not asked about' % context)
        expect(own_files(again) == kept, '%s, run again: left %r, expected %r' % (context, own_files(again), kept))
        check_files(again, {p: 'new' for p in ORDER}, context + ', run again')


@check('nine entries that each make a chain of 116 folders, then a stop: every folder made goes again')
def many_folders(ctx):
    entries = [(b'i', b'\\'.join([bytes([ord('a') + k])] * 116) + b'\\f.txt', ENTRY_TIME, b'x')
               for k in range(9)]
    entries.append((b'i', b'ro.txt', ENTRY_TIME, b'new'))  # read-only under Write: the stop
    result = run(machine(archive(b'1.01', entries), {P + b'ro.txt': file(b'old', readonly=True)}),
                 ctx.build)
    check_stop(result, cannot_write(P + b'ro.txt'), 'many folders')
    check_unchanged(result, 'many folders')
    left = sorted(result.folders - result.folders_before)
    expect(not left, 'many folders: %d folders left, the first %r' % (len(left), left[:1]))


@check('a link at a destination, dangling or not, stops the run before anything changes')
def links_at_destinations(ctx):
    entries = [(b'i', b'a.txt', ENTRY_TIME, b'new a'), (b'i', b'b.txt', ENTRY_TIME, b'new b')]
    files = {b'C:\\target.txt': file(b'target', readonly=True)}
    for link, target in ((b'a.txt', b'C:\\Perinwood\\nowhere.txt'), (b'b.txt', b'C:\\target.txt')):
        result = run(machine(archive(b'1.01', entries), files, links={P + link: target}), ctx.build)
        context = 'link at ' + link.decode()
        check_stop(result, cannot_write(P + link), context)
        check_unchanged(result, context)


@check('every rename that puts a file in place is followed by a flush of its folder')
def folders_flushed(ctx):
    # A rename is on the disk only once its folder is: the system call
    # trace shows, for each destination, the rename onto it and then an
    # fsync of a descriptor opened on its folder.
    if shutil.which('strace') is None:
        raise Skip('strace is not installed')
    trace = tempfile.NamedTemporaryFile(prefix='flush-trace-', delete=False).name
    try:
        wrapper = ['strace', '-f', '-qq', '-s', '4096', '-o', trace,
                   '-e', 'trace=openat,rename,renameat,renameat2,fsync,close']
        result = run(fault_machine(wrapper=wrapper), ctx.build)
        check_stop(result, T['UPDATE_DONE'], 'traced run', status=0)
        with open(trace, encoding='utf-8', errors='replace') as handle:
            lines = handle.read().splitlines()
    finally:
        os.unlink(trace)
    folders = {}      # open descriptor -> host path
    waiting = {}      # destination base name -> its folder, renamed and not yet flushed
    renamed = set()
    for line in lines:
        call = line.split(None, 1)[1] if ' ' in line else line
        opened = re.match(r'openat\(AT_FDCWD, "([^"]*)", [^)]*O_DIRECTORY[^)]*\)\s+= (\d+)', call)
        if opened:
            folders[opened.group(2)] = opened.group(1)
        moved = re.match(r'rename(?:at2?)?\(.*"([^"]*/~3pu[0-9A-F]{4}\.tmp)", (?:AT_FDCWD, )?"([^"]*)"', call)
        if moved:
            folder, _, name = moved.group(2).rpartition('/')
            waiting[name.lower()] = folder
            renamed.add(name.lower())
        synced = re.match(r'fsync\((\d+)\)\s+= 0', call)
        if synced and synced.group(1) in folders:
            waiting = {n: f for n, f in waiting.items() if f != folders[synced.group(1)]}
    expected = {NAMES[p][0].decode() for p in ORDER}
    expect(renamed >= expected, 'renames seen for %r only' % sorted(renamed))
    expect(not waiting, 'renamed, folder never flushed: %r' % sorted(waiting))
