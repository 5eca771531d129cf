"""Wine target: runs the Windows build's 3pupdate-test.exe inside Wine prefixes
(build/win32, or build/win64 under wine64 where the machine runs no 32-bit
code: wine_build.py says which):
the shipped program's code with the fault injector (idle without a plan) and
a log of its pauses (UPDATER_PAUSE_LOG), which the runner checks like the
host build's; the pauses themselves stay real, and the run must last them.

What Wine needs, learnt the hard way:
  * LANG/LC_ALL=ja_JP.UTF-8 makes the ANSI code page 932; names that the
    program writes in Shift-JIS appear on the Linux side as UTF-8.
  * The loader and wineserver are named explicitly (wine_build.py): Debian's
    `wine` and `wineboot` wrappers take the 32-bit loader whenever it is
    installed, also where the kernel cannot run it.
  * WINEARCH=win32 (win64) prefixes live under build/ (never the home folder; HOME
    too points below build/, since Wine links the user's folders to it).
    A template prefix is made once per runner invocation (wineboot -i);
    every worker gets a copy of its own, with its own wineserver, so runs
    side by side never share a registry. The big system folders are hard
    links; nothing a scenario does writes into them in place.
  * A worker's wineserver is kept running (wineserver -p) while the runner
    lives: a warm server starts a program in a fraction of a second, a cold
    one takes seconds. It is ended with `wineserver -k` for that prefix.
  * Wine's helper processes (services, explorer) inherit the standard
    handles of the process that started them: every Wine process gets files
    or /dev/null, never the runner's pipes, or a run can hang.
  * Registry values get their exact bytes as REG_BINARY through one
    `regedit /S` import per scenario (`hex:` with no bytes for size 0); the
    same file first deletes what the previous scenario of that worker made.
    regedit's exit status says nothing (always 0), so a last value, new
    each time, is read back with `reg query` (0.1 s on a warm server).
  * Wine running as root opens a read-only file for writing: the program
    tests the attribute itself. Read-only is a file without write bits;
    hidden and system live in the extended attribute user.DOSATTRIB.
  * msvcrt's fopen for reading moves a file's last-access time under Wine.
  * After each run the worker's drive C is put back as it was: new files and
    folders are removed, changed prefix files are copied again from the
    template. A run with Machine.keep leaves it as it is for the next run
    with the same scratch folder (the explorer's run after a kill), which
    starts from it; forget() puts a kept worker back when none follows.
  * Second names (Machine.hard_links) are Linux hard links, which Wine
    reports as one file (its file ID and link count). Symbolic links are
    refused: this Wine follows a Linux link as if it were its target and
    shows no reparse point, so the program cannot see what it stands on,
    and Wine's own handling of it lands on the target (an update of a link
    tried here replaced the link and removed the file it pointed to).
  * Last-access times are not reported (FileState.atime 0, unknown): this
    Wine cannot keep them for what a program reads. A handle given the
    all-ones time to leave them alone still reads through Linux, where the
    kernel moves the time of any file whose last access is not later than
    its last write (relatime), as every planted file is.

Costs on the 2-core machine: the template takes about 20 s (wineboot), a
worker about 3 s when first used; a run costs its pauses (5 s or 10 s, real
under Wine) plus about 0.6 s, so scenarios run side by side (--jobs 8).
"""

from __future__ import annotations

import atexit
import os
import queue
import shutil
import stat
import subprocess
import threading
import time
from pathlib import Path
from typing import Dict, Iterable, List, Optional, Set, Tuple

from wine_build import chosen as chosen_wine
from machine import (DEFAULT_WINDOWS_DIRECTORY, FileState, Machine, Result, RunOptions,
                     TargetUnavailable)
from targets.host import finish_first_run, interrupt_when_waiting, start_first_run

LOCALE = 'ja_JP.UTF-8'
HIVES = {'HKLM': 'HKEY_LOCAL_MACHINE', 'HKCU': 'HKEY_CURRENT_USER'}
SENTINEL_KEY = 'HKEY_CURRENT_USER\\Software\\UpdaterTests'   # the runner's own, never the product's
HARD_LINKED = ('windows/system32', 'windows/syswow64', 'windows/winsxs', 'windows/Microsoft.NET',
               'windows/mono', 'windows/globalization', 'windows/Fonts')
VIEWER_WAIT_SECONDS = 8.0
VIEWER_GRACE_SECONDS = 0.2
BOOT_TIMEOUT = 180


# ---- environment and paths ----------------------------------------------------------

def wine_environment(prefix: Path, home: Path) -> Dict[str, str]:
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(('UPDATER_', 'WINE', 'LC_')) and k not in ('DISPLAY', 'LANGUAGE')}
    env.update(chosen_wine().environment())
    env.update({'WINEPREFIX': str(prefix), 'WINEDEBUG': '-all',
                'WINEDLLOVERRIDES': 'mscoree=d;mshtml=d;winemenubuilder.exe=d',
                'LANG': LOCALE, 'LC_ALL': LOCALE, 'HOME': str(home), 'TZ': 'UTC'})
    return env


def to_linux_name(component: bytes) -> bytes:
    """A name component in code page 932 as Wine stores it on Linux (UTF-8)."""
    return component.decode('cp932', errors='surrogateescape').encode('utf-8', 'surrogateescape')


def to_windows_name(component: bytes) -> bytes:
    return component.decode('utf-8', errors='surrogateescape').encode('cp932', 'surrogateescape')


def windows_to_linux(drives: Dict[str, Path], win_path: bytes) -> bytes:
    """Maps C:\\a\\b (or \\a\\b on drive C) to the Linux path Wine uses,
    matching existing components without regard to case, as Wine does."""
    letter, rest = 'c', win_path
    if len(win_path) >= 2 and win_path[1:2] == b':':
        letter, rest = win_path[0:1].decode().lower(), win_path[2:]
    current = os.fsencode(drives[letter])
    for part in (p for p in rest.split(b'\\') if p):
        name = to_linux_name(part)
        candidate = os.path.join(current, name)
        if not os.path.lexists(candidate) and os.path.isdir(current):
            lowered = name.lower()
            match = next((n for n in os.listdir(current) if n.lower() == lowered), None)
            if match is not None:
                candidate = os.path.join(current, match)
        current = candidate
    return current


def linux_to_windows(letter: str, drive_root: bytes, linux_path: bytes) -> bytes:
    relative = os.path.relpath(linux_path, drive_root)
    parts = [] if relative == b'.' else relative.split(b'/')
    return letter.upper().encode() + b':' + b''.join(b'\\' + to_windows_name(p) for p in parts)


def is_readonly(mode: int) -> bool:
    return not mode & 0o222


def dos_attributes(linux_path: bytes) -> int:
    """Hidden (2) and system (4) bits as Wine keeps them; read-only (1) from
    the write bits."""
    value = 0
    try:
        raw = os.getxattr(linux_path, 'user.DOSATTRIB', follow_symlinks=False)
        value = int(raw.split(b'\0')[0].decode(), 0) & 0x6
    except (OSError, ValueError):
        pass
    if is_readonly(os.lstat(linux_path).st_mode):
        value |= 1
    return value


def set_dos_attributes(linux_path: bytes, attributes: int) -> None:
    """Sets read-only, hidden and system the way Wine reads them. The
    extended attribute goes first: an ordinary user may not change it on a
    file without write permission."""
    mode = os.stat(linux_path).st_mode
    os.chmod(linux_path, mode | 0o200)
    if attributes & 0x6:
        os.setxattr(linux_path, 'user.DOSATTRIB', b'0x%x' % (attributes & 0x6))
    else:
        try:
            os.removexattr(linux_path, 'user.DOSATTRIB')
        except OSError:
            pass
    os.chmod(linux_path, (mode & ~0o222) if attributes & 1 else (mode | 0o200))


# ---- prefixes -------------------------------------------------------------------------

def _run_quiet(command: List[str], env: Dict[str, str], timeout: float) -> int:
    return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout).returncode


def _stat_signature(info: os.stat_result) -> Tuple[int, int, int, int]:
    # No ctime: linking the same system file into another worker's prefix
    # moves it, and that is no change of the file.
    return (info.st_ino, info.st_size, info.st_mtime_ns, info.st_mode)


def _walk(root: bytes) -> Tuple[Dict[bytes, os.stat_result], Set[bytes]]:
    """Regular files (with their status) and folders below root, as paths
    relative to root. Symbolic links are neither listed nor followed."""
    files: Dict[bytes, os.stat_result] = {}
    folders: Set[bytes] = set()
    for folder, subfolders, names in os.walk(root):
        relative = os.path.relpath(folder, root)
        for sub in list(subfolders):
            full = os.path.join(folder, sub)
            if os.path.islink(full):
                subfolders.remove(sub)
                continue
            folders.add(os.path.normpath(os.path.join(relative, sub)))
        for name in names:
            info = os.lstat(os.path.join(folder, name))
            if stat.S_ISREG(info.st_mode):
                files[os.path.normpath(os.path.join(relative, name))] = info
    return files, folders


def _registry_keys(reg_file: Path) -> Set[str]:
    """Every key (and every ancestor of one) in a saved Wine registry file,
    lower case, relative to its hive."""
    keys: Set[str] = set()
    for line in reg_file.read_text(encoding='utf-8', errors='replace').splitlines():
        if not line.startswith('['):
            continue
        name = line[1:line.find(']')].replace('\\\\', '\\').lower()
        parts = name.split('\\')
        for i in range(1, len(parts) + 1):
            keys.add('\\'.join(parts[:i]))
    return keys


class Worker:
    """One prefix with its own wineserver, used by one run at a time."""

    def __init__(self, context: 'Context', index: int):
        self.context = context
        self.root = context.root / f'worker{index}'
        self.prefix = self.root / 'prefix'
        self.env = wine_environment(self.prefix, context.home)
        self.drive_c = self.prefix / 'drive_c'
        self.extra_drives: Dict[str, Path] = {}
        self.server_running = False
        self.stale_entries: List[List[bytes]] = []   # .reg blocks undoing the last run's registry
        shutil.rmtree(self.root, ignore_errors=True)
        self.root.mkdir(parents=True)
        _copy_prefix(context.template, self.prefix)
        viewer = self.drive_c / 'windows' / 'notepad.exe'
        viewer.unlink()
        shutil.copyfile(context.recorder, viewer)
        self.baseline_files, self.baseline_folders = _walk(os.fsencode(self.drive_c))

    def drives(self) -> Dict[str, Path]:
        return {'c': self.drive_c, **self.extra_drives}

    def drive(self, letter: str) -> Path:
        if letter == 'c' or letter in self.extra_drives:
            return self.drives()[letter]
        if letter == 'z':
            raise ValueError('drive Z: is the Linux root under Wine')
        root = self.root / f'drive_{letter}'
        root.mkdir(exist_ok=True)
        link = self.prefix / 'dosdevices' / f'{letter}:'
        if os.path.lexists(link):
            link.unlink()
        link.symlink_to(root)
        self.extra_drives[letter] = root
        return root

    def start_server(self) -> None:
        if not self.server_running:
            _run_quiet([chosen_wine().server, '-p'], self.env, 30)
            self.server_running = True

    def stop_server(self) -> None:
        if self.server_running:
            try:
                _run_quiet([chosen_wine().server, '-k'], self.env, 30)
            except subprocess.TimeoutExpired:
                pass
            self.server_running = False

    def restore(self) -> None:
        """Puts drive C back as it was after the worker was made, and empties
        the other drives."""
        root = os.fsencode(self.drive_c)
        files, folders = _walk(root)
        for path in sorted(folders, reverse=True):
            if path not in self.baseline_folders:
                full = os.path.join(root, path)
                os.chmod(full, 0o755)
                shutil.rmtree(full, ignore_errors=True)
        for path, info in files.items():
            if path not in self.baseline_files:
                full = os.path.join(root, path)
                if os.path.lexists(full):
                    os.unlink(full)
        for path in sorted(self.baseline_folders):
            os.makedirs(os.path.join(root, path), exist_ok=True)
        for path, info in self.baseline_files.items():
            now = files.get(path)
            if now is not None and _stat_signature(now) == _stat_signature(info):
                continue
            full = os.path.join(root, path)
            if os.path.lexists(full):
                os.unlink(full)
            source = self.context.recorder if path == b'windows/notepad.exe' else \
                os.path.join(os.fsencode(self.context.template / 'drive_c'), path)
            shutil.copy2(source, full)
            self.baseline_files[path] = os.lstat(full)
        for drive in self.extra_drives.values():
            shutil.rmtree(drive, ignore_errors=True)
            drive.mkdir()


def _copy_prefix(template: Path, prefix: Path) -> None:
    """A copy of the template: the big system folders as hard links, the rest
    (registry files, user folders, drive C's top) as real copies."""
    linked = [template / 'drive_c' / p for p in HARD_LINKED]

    def copy(source, destination, *, follow_symlinks=True):
        if any(Path(source).is_relative_to(folder) for folder in linked):
            os.link(source, destination)
        else:
            shutil.copy2(source, destination, follow_symlinks=follow_symlinks)

    shutil.copytree(template, prefix, symlinks=True, copy_function=copy)


# ---- the context --------------------------------------------------------------------

class Context:
    def __init__(self, root: Path, program: Path, test_program: Path, recorder: Path,
                 holder: Optional[Path], timeout: float):
        self.root = root
        self.home = root / 'home'
        self.template = root / 'template'
        self.program = program
        self.test_program = test_program   # the same program with the fault injector
        self.recorder = recorder
        self.holder = holder
        self.timeout = timeout
        self.free: 'queue.LifoQueue[Worker]' = queue.LifoQueue()
        self.workers: List[Worker] = []
        self.lock = threading.Lock()
        self.baseline_keys: Dict[str, Set[str]] = {}
        self.kept: Dict[Path, Worker] = {}   # by scratch folder: machines left for a next run

    def acquire(self) -> Worker:
        try:
            return self.free.get_nowait()
        except queue.Empty:
            pass
        with self.lock:
            worker = Worker(self, len(self.workers))
            self.workers.append(worker)
        return worker

    def release(self, worker: Worker) -> None:
        self.free.put(worker)

    def shutdown(self) -> None:
        """Ends every worker's wineserver and removes the prefixes."""
        for worker in self.workers:
            worker.stop_server()
        shutil.rmtree(self.root, ignore_errors=True)


def _has_locale() -> bool:
    try:
        listed = subprocess.run(['locale', '-a'], capture_output=True, text=True).stdout
    except OSError:
        return False
    return any(line.lower().replace('-', '') == 'ja_jp.utf8' for line in listed.split())


def prepare(repo_root: Path, options: Optional[RunOptions] = None) -> Context:
    build = Path(options.win32_build_dir) if options else chosen_wine().tree()
    program = build / 'bin' / '3pupdate.exe'
    test_program = build / 'bin' / '3pupdate-test.exe'
    recorder = build / 'bin' / 'viewer_recorder.exe'
    holder = build / 'bin' / 'file_holder.exe'
    for tool in (chosen_wine().loader, chosen_wine().server):
        if shutil.which(tool) is None:
            raise TargetUnavailable(f'{tool} is not installed (scripts/install-deps.sh)')
    for needed in (program, test_program, recorder):
        if not needed.is_file():
            raise TargetUnavailable(f'{needed} is not built (cmake --build --preset {build.name})')
    if not _has_locale():
        raise TargetUnavailable(f'the locale {LOCALE} is missing (scripts/install-deps.sh)')
    # One folder per runner invocation (named like its work folder), so
    # that runs may go side by side; each removes its own at exit, and the
    # folders of runs that did not get that far are removed here.
    name = Path(options.work_root).name if options else f'wine-{os.getpid()}'
    base = options.wine_dir if options and options.wine_dir else Path(repo_root) / 'build' / 'wine'
    root = Path(base) / name
    _remove_abandoned(root.parent)
    context = Context(root, program, test_program, recorder, holder if holder.is_file() else None,
                      options.timeout if options else 60.0)
    _make_template(context)
    atexit.register(context.shutdown)
    return context


def _remove_abandoned(parent: Path) -> None:
    """Removes prefix folders named after a process (NAME-PID) that has
    ended, with any wineserver still serving them."""
    if not parent.is_dir():
        return
    for folder in parent.iterdir():
        pid = folder.name.rpartition('-')[2]
        if not pid.isdigit() or Path(f'/proc/{pid}').exists():
            continue
        for prefix in [folder / 'template', *folder.glob('worker*/prefix')]:
            if (prefix / 'system.reg').exists():
                try:
                    _run_quiet([chosen_wine().server, '-k'], wine_environment(prefix, folder / 'home'), 30)
                except subprocess.TimeoutExpired:
                    pass
        shutil.rmtree(folder, ignore_errors=True)


def _make_template(context: Context) -> None:
    for old in context.root.glob('worker*'):
        shutil.rmtree(old, ignore_errors=True)
    shutil.rmtree(context.template, ignore_errors=True)
    context.home.mkdir(parents=True, exist_ok=True)
    env = wine_environment(context.template, context.home)
    try:
        status = _run_quiet([chosen_wine().loader, 'wineboot.exe', '-i'], env, BOOT_TIMEOUT)
        _run_quiet([chosen_wine().server, '-w'], env, BOOT_TIMEOUT)
    except subprocess.TimeoutExpired:
        _run_quiet([chosen_wine().server, '-k'], env, 30)
        raise TargetUnavailable('wineboot did not finish')
    if status != 0 or not (context.template / 'system.reg').is_file():
        raise TargetUnavailable(f'wineboot failed (status {status})')
    context.baseline_keys = {'HKLM': _registry_keys(context.template / 'system.reg'),
                             'HKCU': _registry_keys(context.template / 'user.reg')}


# ---- one run --------------------------------------------------------------------------

def _reg_quote(text: bytes) -> bytes:
    return b'"' + text.replace(b'\\', b'\\\\').replace(b'"', b'\\"') + b'"'


def _topmost_new_key(context: Context, hive: str, key: bytes) -> Optional[bytes]:
    """The outermost key of the path that the template does not have, or None
    when the whole path is one of the prefix's own keys."""
    parts = [p for p in key.split(b'\\') if p]
    for i in range(1, len(parts) + 1):
        candidate = b'\\'.join(parts[:i])
        if candidate.decode('cp932', errors='replace').lower() not in context.baseline_keys[hive]:
            return candidate
    return None


def _set_registry(worker: Worker, machine: Machine, scratch: Path) -> None:
    """One regedit import: undo what the previous run of this worker made,
    then add the scenario's keys and values with their exact bytes. Keys
    that the scenario made are deleted whole; values that it put into the
    prefix's own keys are deleted one by one."""
    if not machine.registry and not worker.stale_entries:
        return
    lines = [b'REGEDIT4', b'']
    for block in worker.stale_entries:
        lines += block
    worker.stale_entries = []
    by_key: Dict[Tuple[str, bytes], List[bytes]] = {}
    for value in machine.registry:
        key = value.key.strip(b'\\')
        header = HIVES[value.hive].encode() + b'\\' + key
        entries = by_key.setdefault((value.hive, key), [])
        name = None
        if value.name is not None:
            name = b'@' if value.name == b'' else _reg_quote(value.name)
            entries.append(name + b'=hex:' + b','.join(b'%02x' % b for b in value.data))
        new_key = _topmost_new_key(worker.context, value.hive, key)
        if new_key is not None:
            undo = [b'[-' + HIVES[value.hive].encode() + b'\\' + new_key + b']', b'']
        elif name is not None:
            undo = [b'[' + header + b']', name + b'=-', b'']
        else:
            undo = []
        if undo and undo not in worker.stale_entries:
            worker.stale_entries.append(undo)
    for (hive, key), entries in by_key.items():
        lines += [b'[' + HIVES[hive].encode() + b'\\' + key + b']', *entries, b'']
    # Wine's regedit exits 0 whatever happens (a file it cannot open, a key
    # it cannot make), so the import ends in a value new each time, read
    # back before the run: it shows that regedit read the file to its end.
    sentinel = os.urandom(4)
    lines += [b'[' + SENTINEL_KEY.encode() + b']',
              b'"Import"=hex:' + b','.join(b'%02x' % b for b in sentinel), b'']
    reg_file = scratch / 'machine.reg'
    reg_file.write_bytes(b'\r\n'.join(lines) + b'\r\n')
    _run_quiet([chosen_wine().loader, 'regedit', '/S', 'Z:' + str(reg_file.resolve()).replace('/', '\\')],
               worker.env, 60)
    answer = scratch / 'sentinel'
    with open(answer, 'wb') as out:
        subprocess.run([chosen_wine().loader, 'reg', 'query', SENTINEL_KEY, '/v', 'Import'], env=worker.env,
                       stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL, timeout=60)
    if sentinel.hex().upper().encode() not in answer.read_bytes().upper():
        raise RuntimeError('the registry import did not take effect (regedit /S %s)' % reg_file)


def _lay_out(worker: Worker, machine: Machine) -> None:
    windows = machine.windows_directory
    if windows is not None and windows.rstrip(b'\\').lower() != DEFAULT_WINDOWS_DIRECTORY.lower():
        raise ValueError('the Windows directory is always C:\\windows under Wine')
    if machine.links:
        raise ValueError('symbolic links cannot be shown to the program under Wine')
    paths = [machine.working_folder, *machine.folders, *(f.path for f in machine.files)]
    for path in paths:
        if len(path) >= 2 and path[1:2] == b':':
            worker.drive(path[0:1].decode().lower())
    drives = worker.drives()
    os.makedirs(windows_to_linux(drives, machine.working_folder), exist_ok=True)
    for folder in machine.folders:
        os.makedirs(windows_to_linux(drives, folder), exist_ok=True)
    for file_entry in machine.files:
        target = windows_to_linux(drives, file_entry.path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if os.path.lexists(target):
            os.unlink(target)   # never write through a link into the template
        with open(target, 'wb') as handle:
            handle.write(file_entry.content)
        os.utime(target, ns=(file_entry.mtime * 1_000_000_000, file_entry.mtime * 1_000_000_000))
        os.chmod(target, 0o444 if file_entry.readonly else 0o644)
    for path, first in machine.hard_links.items():
        second = windows_to_linux(drives, path)
        os.makedirs(os.path.dirname(second), exist_ok=True)
        os.link(windows_to_linux(drives, first), second)


class Snapshot:
    """Files and folders of every drive of a worker, by Windows path."""

    def __init__(self, worker: Worker):
        self.files: Dict[bytes, Tuple[bytes, os.stat_result]] = {}
        self.folders: Set[bytes] = set()
        for letter, drive in worker.drives().items():
            root = os.fsencode(drive)
            files, folders = _walk(root)
            for path in folders:
                self.folders.add(linux_to_windows(letter, root, os.path.join(root, path)))
            for path, info in files.items():
                key = (letter, path)
                self.files[linux_to_windows(letter, root, os.path.join(root, path))] = (key, info)


def _interesting(worker: Worker, key: Tuple[str, bytes], info: os.stat_result) -> bool:
    letter, path = key
    if letter != 'c' or path == b'windows/notepad.exe':
        return True
    base = worker.baseline_files.get(path)
    return base is None or _stat_signature(base) != _stat_signature(info)


def _file_state(linux_path: bytes, info: os.stat_result) -> FileState:
    """The file's state; its bytes are read without moving its last-access
    time where the system allows that (the next snapshot reads it again)."""
    try:
        fd = os.open(linux_path, os.O_RDONLY | getattr(os, 'O_NOATIME', 0))
    except PermissionError:
        fd = os.open(linux_path, os.O_RDONLY)
    with os.fdopen(fd, 'rb') as handle:
        content = handle.read()
    return FileState(content, info.st_mtime_ns // 1_000_000_000, is_readonly(info.st_mode),
                     inode=info.st_ino)


def _linux_path(worker: Worker, key: Tuple[str, bytes]) -> bytes:
    return os.path.join(os.fsencode(worker.drives()[key[0]]), key[1])


def _states(worker: Worker, snapshot: Snapshot, wanted: Set[bytes]) -> Dict[bytes, FileState]:
    return {path: _file_state(_linux_path(worker, key), info)
            for path, (key, info) in snapshot.files.items() if path in wanted}


def _baseline_state(worker: Worker, key: Tuple[str, bytes]) -> FileState:
    """The state before the run of a prefix file that the run changed: as
    the worker was made (the planted viewer) or as the template has it."""
    info = worker.baseline_files[key[1]]
    source = _linux_path(worker, key) if key[1] == b'windows/notepad.exe' else \
        os.path.join(os.fsencode(worker.context.template / 'drive_c'), key[1])
    return _file_state(source, info)


def _read_lines(path: Path) -> List[bytes]:
    try:
        return path.read_bytes().splitlines()
    except FileNotFoundError:
        return []


def _execute(worker: Worker, machine: Machine, scratch: Path) -> Tuple[Optional[int], bool, tuple]:
    env = dict(worker.env)
    env['UPDATER_VIEWER_LOG'] = 'Z:' + str((scratch / 'viewers').resolve()).replace('/', '\\')
    env.update(machine.env)
    args = [a.decode('cp932', errors='surrogateescape') for a in machine.args]
    env['UPDATER_PAUSE_LOG'] = 'Z:' + str((scratch / 'pauses').resolve()).replace('/', '\\')
    # The test program: the shipped code with the fault injector and the
    # pause log, which without a plan injects nothing. Its pauses are real.
    program = worker.context.test_program
    held = [_hold(worker, path, scratch, i) for i, path in enumerate(machine.holds)]
    held += [_hold(worker, path, scratch, len(held) + i, ['share-all'])
             for i, path in enumerate(machine.shared_holds)]
    held += [_hold(worker, path, scratch, len(held) + i, ['share-none'])
             for i, path in enumerate(machine.locked_holds)]
    cwd = windows_to_linux(worker.drives(), machine.working_folder)
    deadline = time.monotonic() + worker.context.timeout
    first_env = dict(env, UPDATER_PAUSE_LOG=env['UPDATER_PAUSE_LOG'] + '-first')
    first = start_first_run([chosen_wine().loader, str(worker.context.program)], machine, scratch, deadline,
                            env=first_env, cwd=cwd)
    try:
        with open(scratch / 'stdin', 'rb') as stdin, open(scratch / 'stdout', 'wb') as stdout, \
                open(scratch / 'stderr', 'wb') as stderr:
            process = subprocess.Popen(
                [chosen_wine().loader, str(program), *args],
                stdin=subprocess.PIPE if machine.interrupt else stdin, stdout=stdout,
                stderr=stderr, env=env, cwd=cwd)
            if machine.interrupt:
                process.stdin.write(machine.stdin)
                process.stdin.flush()
                interrupt_when_waiting(process, machine.interrupt,
                                       time.monotonic() + worker.context.timeout)
            try:
                status = process.wait(timeout=worker.context.timeout)
                return status, False, finish_first_run(first, machine, scratch, deadline)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                worker.stop_server()   # ends the Windows process still left in this prefix
                return None, True, (None, None)
            finally:
                if process.stdin and not process.stdin.closed:
                    process.stdin.close()
    finally:
        for holder in held:
            holder.stdin.close()
            try:
                holder.wait(timeout=30)
            except subprocess.TimeoutExpired:
                holder.kill()
                holder.wait()


def _hold(worker: Worker, win_path: bytes, scratch: Path, index: int,
          options: Optional[List[str]] = None) -> subprocess.Popen:
    """Starts the file holder on win_path (with its options) and waits until
    it has the file open. Its standard input is a pipe that only the runner
    can close, so it lets go when _execute closes it."""
    if worker.context.holder is None:
        raise ValueError('file_holder.exe is not built')
    said = scratch / f'holder{index}.out'
    with open(said, 'wb') as out:
        holder = subprocess.Popen(
            [chosen_wine().loader, str(worker.context.holder), win_path.decode('cp932'), *(options or [])],
            stdin=subprocess.PIPE, stdout=out, stderr=subprocess.DEVNULL, env=worker.env)
    deadline = time.monotonic() + 30
    while b'held' not in said.read_bytes():
        if holder.poll() is not None or time.monotonic() > deadline:
            raise ValueError(f'file_holder could not open {win_path!r}')
        time.sleep(0.05)
    return holder


def run(context: Context, machine: Machine, attributes_of: Iterable[bytes] = ()) -> Result:
    """One scenario in a worker prefix, with the files of machine.holds held
    open during the run and machine.attributes set before it; the result
    gives the DOS attributes after it of those and of attributes_of."""
    scratch = Path(machine.scratch_dir)
    scratch.mkdir(parents=True, exist_ok=True)
    (scratch / 'stdin').write_bytes(machine.stdin)
    with context.lock:
        worker = context.kept.pop(scratch.resolve(), None)
    continued = worker is not None
    worker = worker or context.acquire()
    keep = False
    try:
        worker.start_server()
        if continued and machine.registry:
            raise ValueError('a run on the machine a run left adds no registry values')
        if not continued:   # else the registry stays as the run before left it
            _set_registry(worker, machine, scratch)
        _lay_out(worker, machine)
        for path, value in machine.attributes.items():
            set_dos_attributes(windows_to_linux(worker.drives(), path), value)
        before = Snapshot(worker)
        wanted_before = {p for p, (key, info) in before.files.items()
                         if _interesting(worker, key, info)}
        files_before = _states(worker, before, wanted_before)

        started = time.monotonic()
        exit_status, timed_out, (first_stdout, first_status) = _execute(worker, machine, scratch)
        seconds = time.monotonic() - started
        _wait_for_viewers(scratch / 'viewers', machine.viewer_wait)

        after = Snapshot(worker)
        wanted_after = {p for p, (key, info) in after.files.items()
                        if _interesting(worker, key, info)}
        files = _states(worker, after, wanted_after | wanted_before)
        for path in wanted_after - wanted_before:
            if path in before.files:   # a prefix file that the run changed
                files_before[path] = _baseline_state(worker, before.files[path][0])
        attributes = {}
        for path in {*machine.attributes, *attributes_of}:
            linux = windows_to_linux(worker.drives(), path)
            attributes[path] = dos_attributes(linux) if os.path.lexists(linux) else -1
        keep = machine.keep
        return Result(stdout=(scratch / 'stdout').read_bytes(), exit_status=exit_status,
                      pause_total_ms=sum(int(line) for line in _read_lines(scratch / 'pauses')),
                      pauses_real=True, seconds=seconds, files_before=files_before, files=files,
                      folders_before=before.folders, folders=after.folders,
                      viewer_launches=_read_lines(scratch / 'viewers'), timed_out=timed_out,
                      stderr=(scratch / 'stderr').read_bytes(), attributes=attributes,
                      first_stdout=first_stdout, first_exit_status=first_status)
    finally:
        if keep:
            with context.lock:
                context.kept[scratch.resolve()] = worker
        else:
            _put_back(context, worker)


def forget(context: Context, scratch_dir: Path) -> None:
    """Puts back the worker a run with Machine.keep left for scratch_dir,
    when no run on it follows."""
    with context.lock:
        worker = context.kept.pop(Path(scratch_dir).resolve(), None)
    if worker is not None:
        _put_back(context, worker)


def _put_back(context: Context, worker: Worker) -> None:
    try:
        worker.restore()
    finally:
        context.release(worker)


def _wait_for_viewers(log: Path, expected: int) -> None:
    deadline = time.monotonic() + VIEWER_WAIT_SECONDS
    while len(_read_lines(log)) < expected and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(VIEWER_GRACE_SECONDS)
