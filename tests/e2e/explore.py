#!/usr/bin/env python3
"""Explores the updater with random cases and checks what must hold after any run.

    python3 tests/e2e/explore.py [--seed N] [--cases N | --minutes M | --hours H]
        [--seeds A,B,...] [--fresh] [--jobs N] [--build-dir DIR] [--out DIR]
        [--target host|wine] [--shrink-runs N]
    python3 tests/e2e/explore.py --replay FILE.scn

Each case is drawn from its own seed (the run's seed and the case number):
a machine (destinations absent, older, newer, of the entry's time with the
same or other bytes, read-only; folders and links in the way; leftovers of
earlier runs: ~3pu*.tmp, and ~3pu*.bak that are a second name of a file or
the only copy of one; a missing destination's old file under its backup
name ~3pu-NAME.bak, as a crash inside a replace leaves it), an archive (3ppack with or without its trailer, or
make_archive; repeated destinations, case twins, two-byte names), options,
answers (or the end of input), and faults (UPDATER_FAULTS: any kind at any
call; a kill, also inside a replace, after which the same update runs
again; an interrupt once the program waits for input).

The checks read the states before and after, the console output, the status
and the log; they never compare with an expected transcript:
  inv1  status 0 only when every destination holds what the archive and the
        answers promise and everything else is as before, no ~3pu file left
  inv2  any other end leaves everything as before except the files the run
        names, and a run that names a file left ends with 1 under /quiet
  inv3  a file newer than its entry is replaced only after y or A, or with
        /overwrite-newer; a downgrade happens only after y or /downgrade
  inv4  no run deletes the only copy of a file
  inv5  after a kill every destination is old or new; the same update run
        again holds to the rest
  inv6  the log tells the status, and every file the console names
A destination that a crash left missing beside its old file under
~3pu-NAME.bak is judged as that old file: the run puts it back first.
On a failure the case is shrunk and written as a scenario file (the observed
output as its expectation, the broken rule in its title) that --replay runs
and checks again. Exits 1 when any case failed.

The cases run on a target of tests/e2e/targets (--target host, the default,
or wine: the Windows test program under Wine); a target must also be able
to run the program again on the machine it left. Under Wine no destination
is drawn as a symbolic link and last-access times are unknown, so inv1-atime
is not checked there (see Explorer.draw and targets/wine.py).
"""

from __future__ import annotations

import argparse
import copy
import dataclasses
import importlib
import os
import random
import re
import shutil
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Dict, List, Optional, Tuple

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from machine import FileSpec, Machine, RunOptions  # noqa: E402
from run_scenarios import (REPO_ROOT, SANITIZER_MARKS, build_machine, make_keys)  # noqa: E402
from scenario_format import (Entry, Scenario, ScenarioError, fold_case, load_defines,  # noqa: E402
                             load_scenarios)

T = load_defines()
P = b'C:\\Perinwood'
WINDOWS = b'C:\\windows'
ARCHIVE = b'C:\\update\\3pupdate.z'
LOG = b'C:\\update\\run.log'
OLD, ENTRY, NEW = 946684800, 1000000000, 1300000000
KIND_FOLDERS = {b'i': P, b'b': P + b'\\bitmap', b'w': WINDOWS, b's': WINDOWS + b'\\system'}
OWN_NAME = re.compile(rb'~3pu(?:[0-9a-f]{4}\.(?:tmp|bak)|-.+\.bak)', re.I)
FAULT_KINDS = ['open_read', 'query_time', 'get_attributes', 'set_attributes', 'create_directory',
               'create_temp', 'write', 'close', 'set_times', 'replace', 'held', 'replace_halfway',
               'restore', 'flush', 'kill', 'interrupt', 'flush_folder', 'delete', 'log',
               'temp_gone', 'hard_link', 'kill_halfway']
KILLED = 137  # the status of a run the injector killed
RUN_LOCK = b'~3pu.lock'  # the run lock in the installation folder (names are case-folded)


# ---- the generator ---------------------------------------------------------------

def draw(rng: random.Random, name: str) -> Scenario:
    """One random case."""
    s = Scenario(file='explore', title=name, line=0)
    s.registry = {}
    s.files = {}
    add = lambda path, content, mtime=OLD, ro=False: s.files.__setitem__(  # noqa: E731
        fold_case(path), FileSpec(path, content, mtime, ro))
    add_registry(s)
    pool = [(b'i', b'a.txt'), (b'i', b'b.txt'), (b'I', b'c.dat'), (b'b', b'p.bmp'),
            (b'i', b'A.TXT'), (b'i', b'\x83\x41.txt'), (b'w', b'w.ini'), (b'i', b'sub\\d.txt')]
    chosen = rng.sample(pool, rng.randint(1, 4))
    if rng.random() < 0.2:
        chosen.append(rng.choice(chosen))  # the same destination twice
    handled = set()  # each destination's state is drawn once (a repeat or a case twin keeps it)
    for kind, name in chosen:
        data = bytes(rng.choice(b'AB\n\x00') for _ in range(rng.choice([0, 1, 6, 40, 1500])))
        entry_time = ENTRY if rng.random() < 0.8 else rng.choice([OLD + 5, NEW + 5])
        s.entries.append(Entry(kind, name, entry_time, data))
        dest = KIND_FOLDERS[kind.lower()] + b'\\' + name
        if fold_case(dest) in handled:
            continue
        handled.add(fold_case(dest))
        twin = KIND_FOLDERS[kind.lower()] + b'\\' + name.swapcase()
        on_disk = dest if rng.random() < 0.8 or not name.isascii() else twin
        state = rng.choice(['absent', 'older', 'newer', 'newer', 'same', 'other', 'other',
                            'folder', 'link', 'dangling'])
        ro = rng.random() < 0.3
        if state == 'older':
            add(on_disk, b'old ' + name, OLD, ro)
        elif state == 'newer':
            add(on_disk, b'mine ' + name, NEW, ro)
        elif state == 'same':
            add(on_disk, data, entry_time, ro)
        elif state == 'other':
            add(on_disk, bytes(b ^ 1 for b in data) or b'x', entry_time, ro)
        elif state == 'folder':
            s.folders.append(on_disk)
        elif state == 'link':
            add(P + b'\\target.txt', b'target', OLD)
            s.links[on_disk] = P + b'\\target.txt'
        elif state == 'dangling':
            s.links[on_disk] = P + b'\\nowhere.txt'
        elif rng.random() < 0.4:
            # What a crash between a replace's two renames leaves: the old
            # file only under its backup name.
            folder, base = on_disk.rsplit(b'\\', 1)
            add(folder + b'\\~3pu-' + base + b'.bak', b'old ' + name, rng.choice([OLD, NEW]), ro)
    if rng.random() < 0.5:
        add(P + b'\\keep.txt', b'not in the archive', OLD, rng.random() < 0.3)
    for _ in range(rng.choice([0, 0, 1, 2])):
        folder = rng.choice([P, P, P + b'\\bitmap'])
        litter = rng.choice([folder + b'\\~3pu%04X.' % rng.randrange(0x10000) + rng.choice([b'bak', b'tmp']),
                             folder + b'\\~3pu-x%d.txt.bak' % rng.randrange(100)])
        if fold_case(litter) in s.files or litter in s.hard_links:
            continue
        files_there = [f.path for f in s.files.values() if f.path.rsplit(b'\\', 1)[0] == folder]
        if files_there and rng.random() < 0.5:
            s.hard_links[litter] = rng.choice(files_there)   # a second name of a file in place
        else:
            add(litter, b'only copy of x.txt', OLD)           # x.txt itself is missing
    s.archive_version = rng.choice([b'1.02', b'1.02', b'1.01', b'1.00', b'2.01'])
    s.packer = rng.choice(['3ppack', '3ppack', 'make_archive'])
    if s.packer == '3ppack' and rng.random() < 0.3:
        s.pack_options = [b'--no-trailer']
    s.args = [a for a in (b'/quiet', b'/overwrite-newer', b'/downgrade') if rng.random() < 0.3]
    if rng.random() < 0.3:
        s.args.append(b'/log=' + LOG)
    rng.shuffle(s.args)
    s.stdin = b''.join(rng.choice([b'y\n', b'n\n', b'a\n', b's\n', b'Y\n', b'x\n'])
                       for _ in range(rng.choice([0, 1, 2, 3, 6])))
    faults = []
    if rng.random() < 0.6:
        for _ in range(rng.choice([1, 1, 1, 2])):
            kind = rng.choice(FAULT_KINDS + ['open_read', 'query_time', 'kill', 'delete'])
            faults.append(f'{kind}={rng.randint(1, 6)}' if kind != 'held' else
                          f'held={rng.randint(1, 3)}-{rng.randint(3, 9)}')
    if rng.random() < 0.05:
        # A kill inside a replace, between its two renames.
        faults = [f'replace_halfway={rng.randint(1, 2)}', 'kill_halfway=1']
    if faults:
        s.env['UPDATER_FAULTS'] = ','.join(faults)
    if rng.random() < 0.04:
        s.interrupt = 'INT'
    return s


def add_registry(s: Scenario) -> None:
    from scenario_format import PRODUCT_KEY, _set_registry
    _set_registry(s, 'HKLM', PRODUCT_KEY + b'Directories', b'InstallDir', P + b'\0')
    _set_registry(s, 'HKLM', PRODUCT_KEY + b'VersionInfo', b'Version', b'1.01\0')
    s.folders.append(P)


# ---- the invariants ---------------------------------------------------------------

def template(name: str) -> re.Pattern:
    """A console text as a pattern, each %s a bracket-free group."""
    parts = T[name].split(b'%s')
    return re.compile(b'([^\\]\\r\\n]*)'.join(re.escape(p) for p in parts))


ASK = template('ASK_OVERWRITE')
UNDO_FAILED = template('UNDO_FAILED')
CANNOT_WRITE = template('CANNOT_WRITE')
ASK_DOWNGRADE = T['ASK_DOWNGRADE'].split(b'%s')[0]
NEWER_INSTALLED = T['NEWER_INSTALLED'].split(b'%s')[0]
INSTALL_ROOT = T['UPDATE_START']


def destination(entry: Entry) -> Optional[bytes]:
    folder = KIND_FOLDERS.get(entry.kind.lower())
    return None if folder is None else folder + b'\\' + entry.name


def answers(stdout: bytes, stdin: bytes) -> List[Tuple[bytes, Optional[bytes], int]]:
    """Each question the console shows, in order (the overwrite question's
    path, or None for the downgrade question), with the answer the program
    read for it (None: the end of input) and where it stands in stdout."""
    questions = [(m.start(), fold_case(m.group(1)), b'yYnNaAsS') for m in ASK.finditer(stdout)]
    at = stdout.find(ASK_DOWNGRADE)
    if at >= 0:
        questions.append((at, None, b'yYnN'))
    out, pos = [], 0
    for where, path, accepted in sorted(questions, key=lambda q: q[0]):
        answer = None
        while pos < len(stdin):
            byte = stdin[pos:pos + 1]
            pos += 1
            if byte != b'\0' and byte in accepted:
                answer = byte.lower()
                end = stdin.find(b'\n', pos)
                pos = len(stdin) if end < 0 else end + 1
                break
        out.append((path, answer, where))
    return out


# The messages that name a file the run leaves other than it promised.
NAMING = [template(name) for name in ('UNDO_FAILED', 'BACKUP_LEFT', 'FILE_LEFT', 'EARLIER_FILE_KEPT',
                                      'LEFT_WRITABLE') if name in T]


def named_files(stdout: bytes) -> set:
    """The paths the console names as left behind, kept or changed."""
    return {fold_case(p) for pattern in NAMING for m in pattern.finditer(stdout) for p in m.groups()}


def check(s: Scenario, result, before=None) -> List[str]:
    """The rules broken by one run; before: the states to judge against
    (the run's own snapshot when None)."""
    if result.timed_out:
        return ['inv0: the run did not end']
    problems = [f'inv0: sanitizer report {m.decode()}' for m in SANITIZER_MARKS if m in result.stderr]
    if b'UPDATER_FAULTS: ignoring' in result.stderr:
        problems.append('inv0: fault plan not read')
    quiet = b'/quiet' in s.args
    status, out = result.exit_status, result.stdout
    B = {fold_case(p): v for p, v in (before or result.files_before).items()}
    A = {fold_case(p): v for p, v in result.files.items()}
    excluded = {fold_case(ARCHIVE), fold_case(LOG), fold_case(WINDOWS + b'\\notepad.exe')}
    printed = named_files(out)
    # A file named is named under all its names (a change of its word shows in each).
    inodes = {v.inode for p, v in B.items() if p in printed and v.inode}
    named = printed | {p for p, v in B.items() if v.inode and v.inode in inodes}
    complete = T['UPDATE_DONE'] in out
    killed = status == KILLED
    asked = answers(out, s.stdin)
    all_from = min([where for _, answer, where in asked if answer == b'a'], default=None)
    dests: Dict[bytes, List[Entry]] = {}
    for entry in s.entries:
        path = destination(entry)
        if path is not None:
            dests.setdefault(fold_case(path), []).append(entry)
    contents_after = {v.content for v in A.values() if v.link is None}
    put_back_before(B, A, dests)

    for path, entries in dests.items():
        old, new = B.get(path), A.get(path)
        versions = {(e.data, e.time) for e in entries}
        is_new = new is not None and new.link is None and (new.content, new.mtime) in versions
        kept = old == new
        # A kill between a replace's two renames leaves the old file only
        # under its backup name; the next run puts it back.
        in_backup = killed and new is None and old is not None and any(
            v == old for p, v in A.items() if OWN_NAME.fullmatch(p.rsplit(b'\\', 1)[-1])
            and p.rsplit(b'\\', 1)[0] == path.rsplit(b'\\', 1)[0])
        if killed or complete or status == 0:
            if not (is_new or kept or in_backup or path in named):
                problems.append(f'inv1-neither: {show(path)} neither old nor new: {brief(new)}')
        elif not kept and path not in named:
            problems.append(f'inv2-changed: stopped, but {show(path)} changed: {brief(old)} -> {brief(new)}')
        if is_new and not kept and old is not None and old.link is None and old.readonly != new.readonly:
            problems.append(f'inv1-word: {show(path)} lost its word: read-only {old.readonly} -> {new.readonly}')
        if is_new and old is None and new.readonly:
            problems.append(f'inv1-word: new file {show(path)} is read-only')
        if is_new and not kept and old is not None and old.link is None and old.mtime > new.mtime:
            asked_here = [(answer, where) for p, answer, where in asked if p == path]
            # A killed run's console output may be lost with it: only /quiet
            # tells then that no question was asked. An All answers every
            # later question, also of a later entry for a file answered no.
            if not (b'/overwrite-newer' in s.args or {a for a, _ in asked_here} & {b'y', b'a'} or
                    all_from is not None and all(w < all_from for _, w in asked_here) or
                    killed and not quiet):
                problems.append(f'inv3-newer: newer {show(path)} replaced without a yes: '
                                f'{brief(old)} -> {brief(new)}')
        if status == 0 and not kept and not is_new:
            problems.append(f'inv1-not-written: status 0 but {show(path)} is {brief(new)}')
        must_write = old is None or (old.link is None and old.mtime <= min(e.time for e in entries)
                                     and (old.content, old.mtime) not in versions)
        if status == 0 and (must_write and not is_new or old is not None and old.link is not None
                            or path in {fold_case(f) for f in s.folders}):
            problems.append(f'inv1-not-written: status 0 but {show(path)} not written: {brief(old)} -> {brief(new)}')
        if kept and old is not None and old.link is None and old.atime and new.atime != old.atime:
            problems.append(f'inv1-atime: {show(path)} left as it was, but its last access changed')

    for path in sorted(set(A) | set(B)):
        if path in dests or path in excluded:
            continue
        old, new = B.get(path), A.get(path)
        own = OWN_NAME.fullmatch(path.rsplit(b'\\', 1)[-1]) is not None
        # The host's run lock outlives a killed holder (Windows deletes it with
        # the last handle); the next run takes it and deletes it.
        if path.rsplit(b'\\', 1)[-1] == RUN_LOCK and (old is None and killed or new is None):
            continue
        if old is not None and new is None:
            if old.content not in contents_after and not (own and path.endswith(b'.tmp')):
                problems.append(f'inv4-only-copy: {show(path)}, the only copy of its bytes, was deleted')
            elif not own:
                problems.append(f'inv{1 if status == 0 else 2}-changed: {show(path)} disappeared')
        elif old is None and own:
            if status == 0 or not killed and path not in named:
                problems.append(f'inv2-own-left: {show(path)} left behind, not named')
        elif old != new and path not in named and not (killed and own):
            problems.append(f'inv{1 if status == 0 else 2}-changed: {show(path)} changed: '
                            f'{brief(old)} -> {brief(new)}')
        elif old is not None and new is not None and old.atime and old.atime != new.atime:
            problems.append(f'inv1-atime: last access of {show(path)} changed')
        if status == 0 and new is not None and own and old is None:
            problems.append(f'inv1-own-left: status 0 with {show(path)} left')

    if status == 0 and named:
        problems.append(f'inv1-named: status 0 but the console names {sorted(map(show, named))}')
    if quiet and named and status not in (1, KILLED):
        problems.append(f'inv2-status: names a file left, status {status} under /quiet')
    if not killed and status not in (0, 1) and not (quiet and 2 <= status <= 8):
        problems.append(f'inv0-status: exit status {status}')
    if status == 0 and not complete:
        problems.append('inv1-incomplete: status 0 without the end of the update')
    if NEWER_INSTALLED in out and INSTALL_ROOT in out and b'/downgrade' not in s.args and \
            not any(path is None and answer == b'y' for path, answer, _ in asked):
        problems.append('inv3-downgrade: a downgrade went on without a yes or /downgrade')
    # A folder that holds a file named as left stays with it.
    holding = {fold_case(b'\\'.join(p.split(b'\\')[:i])) for p in named
               for i in range(2, p.count(b'\\') + 1)}
    folders_made = {f for f in result.folders - result.folders_before if fold_case(f) not in holding}
    if not killed and not complete and (folders_made or result.folders_before - result.folders):
        problems.append(f'inv2-folders: folders differ after a stop: {sorted(map(show, folders_made))}')
    log = A.get(fold_case(LOG))
    if b'/log=' + LOG in s.args and not killed and log is not None and T['LOG_FAILED'].split(b'%s')[0] not in out:
        text = log.content.decode('utf-8', errors='replace')
        if not text.rstrip().endswith(f'ended: status {status}'):
            problems.append(f'inv6-log: the log ends {text.strip()[-40:]!r}, status {status}')
        undo_failed = UNDO_FAILED.search(out) is not None
        if '\nrolled back:' in text and undo_failed or 'rolled back in part' in text and not printed:
            problems.append('inv6-log: the log says "rolled back" where the rollback was not whole, '
                            'or "in part" where it was')
        for path in printed:
            if path.decode('cp932', errors='replace').lower() not in text.lower():
                problems.append(f'inv6-log: {show(path)} named on the console, not in the log')
    return problems


def backup_of(path: bytes) -> bytes:
    """The backup name that says whose old file it is."""
    folder, base = path.rsplit(b'\\', 1)
    return folder + b'\\~3pu-' + base + b'.bak'


def numbered_only_copy(path: bytes, states: dict) -> bool:
    """True for an earlier run's "~3puXXXX.bak" with one name."""
    name, state = path.rsplit(b'\\', 1)[-1], states[path]
    return re.fullmatch(rb'~3pu[0-9a-f]{4}\.bak', name, re.I) is not None and state.link is None and \
        not (state.inode and sum(1 for v in states.values() if v.inode == state.inode) > 1)


def put_back_before(B: dict, A: dict, dests) -> None:
    """A destination that an earlier crash left missing beside its old file
    under "~3pu-NAME.bak" (a plain file with one name) gets that file back
    before the run decides: the run is judged as if it had been in place.
    Where the backup is still there after the run and the destination is
    not, the run left both alone."""
    for path in dests:
        backup = backup_of(path)
        old = B.get(backup)
        if path in B or old is None or old.link is not None:
            continue
        if old.inode and sum(1 for v in B.values() if v.inode == old.inode) > 1:
            continue
        if any(numbered_only_copy(p, B) for p in B if p.rsplit(b'\\', 1)[0] == backup.rsplit(b'\\', 1)[0]):
            continue  # its latest old file may be that one: the run leaves it alone
        if backup in A and path not in A:
            continue
        B[path] = old
        del B[backup]


def show(path: bytes) -> str:
    return path.decode('cp932', errors='backslashreplace')


def brief(state) -> str:
    if state is None:
        return 'absent'
    if state.link is not None:
        return 'a link'
    return f'{state.content[:12]!r}{"..." if len(state.content) > 12 else ""} t={state.mtime}' + \
        (' ro' if state.readonly else '')


# ---- running a case ----------------------------------------------------------------

class Explorer:
    def __init__(self, args):
        self.work = Path(tempfile.mkdtemp(prefix='explore-', dir=args.work_dir))
        self.options = RunOptions(repo_root=REPO_ROOT, host_build_dir=args.build_dir.resolve(),
                                  win32_build_dir=args.win32_build_dir.resolve(),
                                  work_root=self.work, timeout=30.0,
                                  wine_dir=args.work_dir.resolve() / 'wine')
        self.options.keys_dir = self.work / 'keys'
        make_keys(self.options)
        self.target = importlib.import_module(f'targets.{args.target}')
        self.context = self.target.prepare(REPO_ROOT, self.options)
        self.forget = getattr(self.target, 'forget', lambda context, scratch: None)
        self.wine = args.target == 'wine'
        self.counter = 0
        self.reruns = 0   # runs again after a kill
        self.lock = threading.Lock()

    def draw(self, rng: random.Random, name: str) -> Scenario:
        """One random case that the target can lay out. Under Wine no
        destination is a symbolic link: this Wine follows a Linux link as
        if it were its target and has no reparse points, so the program
        could not see the link the case is about (the destination counts as
        absent instead). Second names stay: Wine shows them as one file.
        A quarter of the Wine cases are killed (see below)."""
        s = draw(rng, name)
        if self.wine:
            s.links = {}
            # The budget is small: a quarter of the cases are killed, most
            # inside a replace, where the Windows replace's crash points are
            # (half of them on a volume without hard links, as FAT).
            if rng.random() < 0.25:
                s.env['UPDATER_FAULTS'] = (rng.choice(['', 'hard_link=1-9,']) +
                                           f'replace_halfway={rng.randint(1, 2)},' +
                                           rng.choice(['kill_halfway=1', f'kill={rng.randint(1, 5)}']))
        return s

    def run(self, s: Scenario):
        """Runs the case; a kill is followed by the same update once more.
        Returns (problems, result)."""
        with self.lock:
            self.counter += 1
            scratch = self.work / f'case{self.counter}'
        (scratch / 'tools').mkdir(parents=True)
        (scratch / 'run').mkdir()
        machine = None
        try:
            try:
                machine = build_machine(s, self.options, scratch)
            except ScenarioError as error:
                return [f'case not built: {error}'], None
            try:
                # Kept for the run after a kill: it starts on what the kill left.
                result = self.target.run(self.context, dataclasses.replace(machine, keep=True))
            except Exception as error:  # a broken runner must not end the exploration
                return [f'runner error: {type(error).__name__}: {error}'], None
            problems = check(s, result)
            if result.exit_status == KILLED and not problems:
                again = dataclasses.replace(machine, files=[], registry=[], folders=[], links={},
                                            hard_links={}, interrupt=None,
                                            env={k: v for k, v in machine.env.items()
                                                 if k != 'UPDATER_FAULTS'})
                with self.lock:
                    self.reruns += 1
                try:
                    second = self.target.run(self.context, again)
                except Exception as error:
                    return [f'runner error (run again after the kill): {type(error).__name__}: '
                            f'{error}'], result
                if comparable(second.files_before) != comparable(result.files):
                    return ['runner error: the run after the kill did not start on the machine '
                            'the kill left'], result
                problems = [f'inv5 (run again after the kill): {p}' for p in check(s, second)]
            return problems, result
        finally:
            if machine is not None:
                self.forget(self.context, machine.scratch_dir)
            shutil.rmtree(scratch, ignore_errors=True)


def comparable(files) -> dict:
    """A snapshot by folded path, without the run lock (which goes with a
    killed holder on Windows, some time after it) and the viewer (which
    the host target plants again for each run)."""
    return {fold_case(p): v for p, v in files.items()
            if fold_case(p).rsplit(b'\\', 1)[-1] != RUN_LOCK and
            fold_case(p) != fold_case(WINDOWS + b'\\notepad.exe')}


def rule(problems: List[str]) -> str:
    return problems[0].split(':')[0]


# ---- the shrinker -----------------------------------------------------------------

def smaller(s: Scenario):
    """Cases one step smaller than s, the likeliest savings first."""
    def variant(change):
        t = copy.deepcopy(s)
        change(t)
        return t
    faults = s.env.get('UPDATER_FAULTS', '').split(',') if s.env.get('UPDATER_FAULTS') else []
    for i in range(len(s.entries)):
        yield variant(lambda t, i=i: t.entries.pop(i))
    for key in list(s.files):
        yield variant(lambda t, k=key: t.files.pop(k))
    for field in ('links', 'hard_links'):
        for key in list(getattr(s, field)):
            yield variant(lambda t, k=key, f=field: getattr(t, f).pop(k))
    for i, folder in enumerate(s.folders):
        if folder != P:
            yield variant(lambda t, i=i: t.folders.pop(i))
    for i in range(len(faults)):
        rest = faults[:i] + faults[i + 1:]
        yield variant(lambda t, r=rest: t.env.__setitem__('UPDATER_FAULTS', ','.join(r))
                      if r else t.env.pop('UPDATER_FAULTS'))
    for i in range(len(s.args)):
        yield variant(lambda t, i=i: t.args.pop(i))
    if s.interrupt:
        yield variant(lambda t: setattr(t, 'interrupt', None))
    if s.stdin:
        yield variant(lambda t: setattr(t, 'stdin', t.stdin[:len(t.stdin) // 2]))
    if s.pack_options or s.packer != '3ppack':
        yield variant(lambda t: (setattr(t, 'pack_options', []), setattr(t, 'packer', '3ppack')))
    for i, entry in enumerate(s.entries):
        if len(entry.data) > 1:
            yield variant(lambda t, i=i: setattr(t.entries[i], 'data', t.entries[i].data[:1]))
    for key, planted in s.files.items():
        if len(planted.content) > 4:
            yield variant(lambda t, k=key: setattr(t.files[k], 'content', t.files[k].content[:4]))


def shrink(explorer: Explorer, s: Scenario, broken: str, budget: int = 200):
    """The smallest case found that still breaks the same rule, its problems
    and result."""
    problems, result = explorer.run(s)
    progress = True
    while progress and budget > 0:
        progress = False
        for candidate in smaller(s):
            budget -= 1
            found, got = explorer.run(candidate)
            if found and rule(found) == broken:
                s, problems, result, progress = candidate, found, got, True
                break
            if budget <= 0:
                break
    return s, problems, result


# ---- writing and reading a case --------------------------------------------------

def piece(value: bytes) -> str:
    if value and all(32 <= b < 127 for b in value) and b"'" not in value and b'"' not in value \
            and not value.startswith(b' ') and not value.endswith(b' '):
        return "'" + value.decode() + "'"
    return '<' + value.hex(' ') + '>' if value else '""'


def write_case(s: Scenario, problems: List[str], result, path: Path, seed: str) -> None:
    lines = [f'# Found by tests/e2e/explore.py (seed {seed}), shrunk. The expectations',
             '# below are what the program did; the rule it broke:']
    lines += [f'#   {p}' for p in problems[:6]]
    lines += ['# Replay: python3 tests/e2e/explore.py --replay ' + path.name,
              f'=== explore {seed}: {rule(problems)}', 'use installed']
    for folder in s.folders:
        if folder != P:
            lines.append(f'folder {piece(folder)}')
    for planted in s.files.values():
        lines.append(f'file {piece(planted.path)} mtime {planted.mtime}'
                     f'{" readonly" if planted.readonly else ""} = {piece(planted.content)}')
    lines += [f'link {piece(k)} = {piece(v)}' for k, v in s.links.items()]
    lines += [f'hardlink {piece(k)} = {piece(v)}' for k, v in s.hard_links.items()]
    lines.append(f'archive-packer {s.packer}')
    if s.pack_options:
        lines.append('archive-pack ' + ' '.join(o.decode() for o in s.pack_options))
    lines.append(f'archive-version = {piece(s.archive_version)}')
    lines += [f'entry {e.kind.decode()} {piece(e.name)} {e.time} = {piece(e.data)}' for e in s.entries]
    if s.args:
        lines.append('args ' + ' '.join(piece(a) for a in s.args))
    lines += [f'env {k} {v}' for k, v in s.env.items()]
    lines.append(f'stdin = {piece(s.stdin)}')
    if s.interrupt:
        lines.append(f'interrupt {s.interrupt}')
    if result is not None:
        lines.append(f'stdout = {piece(result.stdout)}')
        pause = result.pause_total_ms
        kind = {(0, 5000): 'ok', (1, 5000): 'fatal', (1, 10000): 'error', (1, 0): 'interrupted'}.get(
            (result.exit_status, pause), f'quiet {result.exit_status}')
        lines.append(f'result {kind}')
    path.write_text('\n'.join(lines) + '\n', encoding='utf-8')


def read_case(path: Path) -> Scenario:
    folder = Path(tempfile.mkdtemp(prefix='explore-replay-'))
    try:
        shutil.copy(path, folder / 'case.scn')
        return load_scenarios(folder, common=HERE / 'scenarios' / 'common.inc')[0]
    finally:
        shutil.rmtree(folder, ignore_errors=True)


# ---- driving ---------------------------------------------------------------------------

def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--seed', type=int, default=None, help='the run seed (default: fresh)')
    parser.add_argument('--seeds', default='', help='several run seeds, comma-separated')
    parser.add_argument('--fresh', action='store_true', help='also a fresh seed, printed')
    parser.add_argument('--cases', type=int, default=200, help='cases per seed')
    parser.add_argument('--minutes', type=float, default=None, help='run this long instead')
    parser.add_argument('--hours', type=float, default=None, help='run this long instead')
    parser.add_argument('--budget-minutes', type=float, default=None,
                        help='stop after this long even before --cases (the CI budget)')
    parser.add_argument('--jobs', type=int, default=2)
    parser.add_argument('--target', default='host')
    parser.add_argument('--build-dir', type=Path, default=REPO_ROOT / 'build' / 'host')
    parser.add_argument('--win32-build-dir', type=Path, default=None,
                        help='the Windows build (default: the one the Wine suites run)')
    parser.add_argument('--work-dir', type=Path, default=REPO_ROOT / 'build')
    parser.add_argument('--out', type=Path, default=REPO_ROOT / 'build' / 'explore',
                        help='where shrunk cases are written')
    parser.add_argument('--max-failures', type=int, default=3,
                        help='stop after this many failing cases (each is shrunk)')
    parser.add_argument('--no-shrink', action='store_true', help='report failures unshrunk')
    parser.add_argument('--shrink-runs', type=int, default=200,
                        help='at most this many runs to shrink one failure (Wine runs take seconds)')
    parser.add_argument('--case', default=None, help='SEED:N: runs that one case, writes it out')
    parser.add_argument('--replay', type=Path, default=None)
    args = parser.parse_args(argv)
    if args.win32_build_dir is None:
        from wine_build import chosen as chosen_wine
        args.win32_build_dir = chosen_wine().tree() if args.target == 'wine' else \
            REPO_ROOT / 'build' / 'win32'
    args.work_dir.mkdir(parents=True, exist_ok=True)
    explorer = Explorer(args)
    try:
        if args.case:
            s = explorer.draw(random.Random(args.case), args.case)
            problems, result = explorer.run(s)
            args.out.mkdir(parents=True, exist_ok=True)
            path = args.out / ('case-' + args.case.replace(':', '-') + '.scn')
            write_case(s, problems or ['none'], result, path, args.case)
            print('\n'.join(problems) or 'no rule broken', f'\n(written to {path})')
            return 1 if problems else 0
        if args.replay:
            s = read_case(args.replay)
            problems, _ = explorer.run(s)
            print('\n'.join(problems) or 'no rule broken')
            return 1 if problems else 0
        return explore(explorer, args)
    finally:
        shutil.rmtree(explorer.work, ignore_errors=True)


def explore(explorer: Explorer, args) -> int:
    seeds = [int(x) for x in args.seeds.split(',') if x.strip()]
    if args.seed is not None:
        seeds.append(args.seed)
    if args.fresh or not seeds:
        fresh = int.from_bytes(os.urandom(4), 'little')
        print(f'fresh seed {fresh}', flush=True)
        seeds.append(fresh)
    limit = args.hours * 3600 if args.hours else args.minutes * 60 if args.minutes else None
    endless = limit is not None
    limit = limit or (args.budget_minutes * 60 if args.budget_minutes else None)
    deadline = time.monotonic() + limit if limit else None
    cases = failures = 0
    rules_found: Dict[str, int] = {}
    lock = threading.Lock()
    stop = threading.Event()
    started = time.monotonic()

    def work(seed: int, numbers) -> None:
        nonlocal cases, failures
        for number in numbers:
            if stop.is_set() or deadline and time.monotonic() > deadline:
                return
            name = f'{seed}:{number}'
            s = explorer.draw(random.Random(f'{seed}:{number}'), name)
            problems, _ = explorer.run(s)
            with lock:
                cases += 1
                if cases % 1000 == 0:
                    print(f'{cases} cases, {failures} failing, '
                          f'{time.monotonic() - started:.0f} s', flush=True)
                if not problems:
                    continue
                failures += 1
                if failures > args.max_failures:
                    stop.set()
                    return
                rules_found.setdefault(rule(problems), (cases, name))
                print(f'FAIL case {name} (case {cases} of this run): ' + problems[0], flush=True)
                if args.no_shrink:
                    continue
            small, found, result = shrink(explorer, s, rule(problems), args.shrink_runs)
            args.out.mkdir(parents=True, exist_ok=True)
            path = args.out / f'explore-{seed}-{number}.scn'
            write_case(small, found or problems, result, path, name)
            with lock:
                print(f'     shrunk to {path}:\n       ' + '\n       '.join(found or problems),
                      flush=True)

    for seed in seeds:
        per_seed = range(10 ** 9) if endless else range(args.cases)
        threads = [threading.Thread(target=work, args=(seed, per_seed[j::args.jobs]))
                   for j in range(args.jobs)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(f'seed {seed}: {cases} cases so far, {failures} failing', flush=True)
        if stop.is_set():
            break
    if deadline and time.monotonic() > deadline and not endless:
        print('the time budget ended the run early', flush=True)
    print(f'{cases} cases in {time.monotonic() - started:.0f} s, seeds '
          f'{",".join(map(str, seeds))}: {failures} failing, {explorer.reruns} run again after a kill'
          + ''.join(f'\n  first {r} at case {n} ({name})' for r, (n, name) in rules_found.items()))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
