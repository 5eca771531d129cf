"""Host target: runs build/host/bin/3pupdate on the emulated Windows machine.

The machine folder (UPDATER_MACHINE) uses Wine's drive layout:
    drive_c/...                       drive C: (drive_x/ for X:)
    registry/HKEY_LOCAL_MACHINE/K/V   registry value V of key K (file bytes = data)
    windows_directory                 optional: the Windows directory's exact bytes
The viewer recorder is planted as <Windows directory>\\notepad.exe. The
program runs with its current directory in the working folder, standard input
and output as files (standard input a pipe kept open for an interrupt), UPDATER_PAUSE_SCALE=0 and UPDATER_PAUSE_LOG set, and TZ=UTC
so that file times need no zone arithmetic.

windows_to_host() and snapshot_drives() are plain functions over a folder in
this layout; other targets whose drives look the same may use them.
"""

from __future__ import annotations

import os
import re
import shutil
import signal
import stat
import subprocess
import threading
import time
from pathlib import Path
from typing import Dict, List, Optional, Set, Tuple

from machine import (DEFAULT_WINDOWS_DIRECTORY, FileState, Machine, Result, RunOptions,
                     TargetUnavailable)

HIVE_FOLDERS = {'HKLM': b'HKEY_LOCAL_MACHINE', 'HKCU': b'HKEY_CURRENT_USER'}
VIEWER_WAIT_SECONDS = 5.0


class Context:
    def __init__(self, program: Path, recorder: Path, timeout: float):
        self.program = program
        self.recorder = recorder
        self.timeout = timeout


def prepare(repo_root: Path, options: Optional[RunOptions] = None) -> Context:
    build = options.host_build_dir if options else Path(repo_root) / 'build' / 'host'
    program = Path(build) / 'bin' / '3pupdate'
    recorder = Path(build) / 'bin' / 'viewer_recorder'
    for needed in (program, recorder):
        if not os.access(needed, os.X_OK):
            raise TargetUnavailable(f'{needed} is not built')
    return Context(program, recorder, options.timeout if options else 60.0)


def windows_to_host(drives_root: Path, win_path: bytes) -> bytes:
    """Maps a Windows path (C:\\a\\b, or \\a\\b on drive C) to the host path
    below drives_root (drives_root/drive_c/a/b), as bytes."""
    drive = b'c'
    rest = win_path
    if len(win_path) >= 2 and win_path[1:2] == b':':
        drive = win_path[0:1].lower()
        rest = win_path[2:]
    parts = [p for p in rest.split(b'\\') if p]
    return b'/'.join([os.fsencode(drives_root), b'drive_' + drive] + parts)


def host_to_windows(drives_root: Path, host_path: bytes) -> bytes:
    relative = os.path.relpath(host_path, os.fsencode(drives_root))
    drive_folder, _, rest = relative.partition(b'/')
    letter = drive_folder[len(b'drive_'):].upper()
    return letter + b':' + (b'\\' + rest.replace(b'/', b'\\') if rest else b'')


def snapshot_drives(drives_root: Path) -> Tuple[Dict[bytes, FileState], Set[bytes]]:
    """Every file (content, mtime, read-only, last access), symbolic link and
    folder below the drive_* folders of drives_root, keyed by Windows path.
    Drive roots themselves are not listed. Files are read without changing
    their last-access time."""
    files: Dict[bytes, FileState] = {}
    folders: Set[bytes] = set()
    root = os.fsencode(drives_root)
    for entry in sorted(os.listdir(root)):
        if not entry.startswith(b'drive_'):
            continue
        for folder, subfolders, names in os.walk(os.path.join(root, entry)):
            for sub in subfolders:
                folders.add(host_to_windows(drives_root, os.path.join(folder, sub)))
            for name in names:
                full = os.path.join(folder, name)
                info = os.lstat(full)
                if stat.S_ISLNK(info.st_mode):
                    files[host_to_windows(drives_root, full)] = FileState(
                        b'', 0, False, link=os.readlink(full))
                    continue
                if not stat.S_ISREG(info.st_mode):
                    continue
                files[host_to_windows(drives_root, full)] = FileState(
                    _read_quietly(full), info.st_mtime_ns // 1_000_000_000,
                    not info.st_mode & stat.S_IWUSR, atime=info.st_atime_ns, inode=info.st_ino)
    return files, folders


def _read_quietly(path: bytes) -> bytes:
    """The file's bytes, its last-access time left as it was where the
    system allows that."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, 'O_NOATIME', 0))
    except PermissionError:
        fd = os.open(path, os.O_RDONLY)
    with os.fdopen(fd, 'rb') as handle:
        return handle.read()


def _write_file(path: bytes, content: bytes, mtime: int, readonly: bool) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.exists(path):
        os.chmod(path, 0o644)
    with open(path, 'wb') as handle:
        handle.write(content)
    os.utime(path, ns=(mtime * 1_000_000_000, mtime * 1_000_000_000))
    os.chmod(path, 0o444 if readonly else 0o644)


def _lay_out(context: Context, machine: Machine, root: Path) -> None:
    raw_root = os.fsencode(root)
    os.makedirs(windows_to_host(root, b'C:\\'), exist_ok=True)
    for value in machine.registry:
        key_folder = b'/'.join([raw_root, b'registry', HIVE_FOLDERS[value.hive]] +
                               [p for p in value.key.split(b'\\') if p])
        os.makedirs(key_folder, exist_ok=True)
        if value.name is not None:
            with open(os.path.join(key_folder, value.name), 'wb') as handle:
                handle.write(value.data)
    windows = DEFAULT_WINDOWS_DIRECTORY
    if machine.windows_directory is not None:
        with open(os.path.join(raw_root, b'windows_directory'), 'wb') as handle:
            handle.write(machine.windows_directory)
        windows = machine.windows_directory
    os.makedirs(windows_to_host(root, machine.working_folder), exist_ok=True)
    for folder in machine.folders:
        os.makedirs(windows_to_host(root, folder), exist_ok=True)
    if windows and len(windows) < 256:
        viewer = windows_to_host(root, windows.rstrip(b'\\') + b'\\notepad.exe')
        os.makedirs(os.path.dirname(viewer), exist_ok=True)
        shutil.copyfile(context.recorder, viewer)
        os.chmod(viewer, 0o755)
    for item in machine.files:
        _write_file(windows_to_host(root, item.path), item.content, item.mtime, item.readonly)
    for path, target in machine.links.items():
        os.makedirs(os.path.dirname(windows_to_host(root, path)), exist_ok=True)
        os.symlink(windows_to_host(root, target), windows_to_host(root, path))
    for path, first in machine.hard_links.items():
        os.link(windows_to_host(root, first), windows_to_host(root, path))


def _read_lines(path: Path) -> list:
    try:
        return path.read_bytes().splitlines()
    except FileNotFoundError:
        return []


def _carried_by_any_process(variable: bytes) -> bool:
    """True while a live process has variable (NAME=VALUE) in its environment."""
    for pid in os.listdir('/proc'):
        if not pid.isdigit():
            continue
        try:
            with open(f'/proc/{pid}/environ', 'rb') as handle:
                if variable in handle.read().split(b'\0'):
                    return True
        except OSError:
            pass
    return False


def _wait_for_viewers(log: str, expected: int) -> None:
    """Waits, once the program has ended, until every program it started
    has ended too and the log holds at least the expected launches. They are
    started detached (a session of their own, not our children), but each
    inherits the run's own UPDATER_VIEWER_LOG, and all of them exist by the
    time the program has ended. The environment alone is not enough: while a
    process is inside exec its environment reads as empty, so a viewer
    between fork and its first line would pass for gone."""
    variable = b'UPDATER_VIEWER_LOG=' + os.fsencode(log)
    deadline = time.monotonic() + VIEWER_WAIT_SECONDS
    while time.monotonic() < deadline and (
            len(_read_lines(Path(log))) < expected or _carried_by_any_process(variable)):
        time.sleep(0.02)


# Linux system calls in which a process waits for input (x86-64 and i386
# numbers): read, poll, select, pselect6, ppoll, epoll_wait, futex-free waits.
WAITING_CALLS = {'x86_64': {0, 7, 23, 270, 271, 232, 281}, 'i386': {3, 168, 142, 308, 309, 256}}
INTERRUPT_INPUT_GRACE_SECONDS = 0.5
SIGNALS = {'INT': signal.SIGINT, 'TERM': signal.SIGTERM, 'HUP': signal.SIGHUP}


def _pipe_holds(fd: int) -> int:
    """Bytes written into the pipe (by its write end fd) and not yet read."""
    import fcntl
    import struct
    import termios
    return struct.unpack('i', fcntl.ioctl(fd, termios.FIONREAD, b'\0' * 4))[0]


def _waits_in_call(pid: int) -> bool:
    """True when a thread of pid sits in a system call that waits for input."""
    calls = WAITING_CALLS['x86_64'] | WAITING_CALLS['i386']
    try:
        tasks = os.listdir(f'/proc/{pid}/task')
    except FileNotFoundError:
        return False
    for task in tasks:
        try:
            with open(f'/proc/{pid}/task/{task}/syscall') as handle:
                first = handle.read().split()[:1]
        except OSError:
            continue
        if first and first[0].lstrip('-').isdigit() and int(first[0]) in calls:
            return True
    return False


def wait_until_waiting(process: subprocess.Popen, deadline: float,
                       pid: Optional[int] = None) -> bool:
    """True once everything typed has been read and the program sits
    waiting for more (seen the same way three times, 0.1 s apart); False
    when it ended or the deadline passed first."""
    pid = pid or process.pid
    stable = 0
    while time.monotonic() < deadline and process.poll() is None:
        waiting = _pipe_holds(process.stdin.fileno()) == 0 and _waits_in_call(pid)
        stable = stable + 1 if waiting else 0
        if stable >= 3:
            return True
        time.sleep(0.1)
    return False


def interrupt_when_waiting(process: subprocess.Popen, signal_name: str, deadline: float,
                           pid: Optional[int] = None) -> None:
    """Once the program waits for input, sends it the signal, and a moment
    later ends its input. (Wine turns SIGINT into the console's
    CTRL_C_EVENT, but its read of a pipe goes on waiting, where a console
    read would end.)"""
    pid = pid or process.pid
    if wait_until_waiting(process, deadline, pid):
        os.kill(pid, SIGNALS[signal_name])
        # Then the input ends, as a console read that Ctrl-C cuts short
        # does: the program must not take that for the end of the input.
        time.sleep(INTERRUPT_INPUT_GRACE_SECONDS)
        process.stdin.close()


# How long a killed first run is given to be gone for good (its locks
# released) before the scenario's own run starts.
KILLED_GRACE_SECONDS = 0.5


def start_first_run(command: List[str], machine: Machine, scratch: Path, deadline: float,
                    **popen) -> Optional[subprocess.Popen]:
    """A first run of the program (no arguments) on the same machine, with
    machine.first_run typed and its input left open; returns once it waits
    for more. With machine.first_kill it is killed there, and None returned."""
    if machine.first_run is None:
        return None
    with open(scratch / 'first-stdout', 'wb') as stdout:
        first = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=stdout,
                                 stderr=subprocess.DEVNULL, **popen)
    first.stdin.write(machine.first_run)
    first.stdin.flush()
    wait_until_waiting(first, deadline)
    if machine.first_kill:
        first.kill()
        first.wait()
        first.stdin.close()
        time.sleep(KILLED_GRACE_SECONDS)
        return None
    return first


def finish_first_run(first: Optional[subprocess.Popen], machine: Machine, scratch: Path,
                     deadline: float) -> Tuple[Optional[bytes], Optional[int]]:
    """Types machine.first_input into the waiting first run, ends its input
    and waits for it; its output and exit status (None when killed at the
    deadline)."""
    if first is None:
        return None, None
    try:
        first.stdin.write(machine.first_input)
        first.stdin.close()
    except OSError:
        pass
    try:
        status = first.wait(timeout=max(1.0, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        first.kill()
        first.wait()
        status = None
    return (scratch / 'first-stdout').read_bytes(), status


def run(context: Context, machine: Machine) -> Result:
    scratch = Path(machine.scratch_dir)
    root = scratch / 'machine'
    _lay_out(context, machine, root)
    stdout_path, stderr_path = scratch / 'stdout', scratch / 'stderr'
    pause_log, viewer_log = scratch / 'pauses', scratch / 'viewers'
    stdin_path = machine.stdin_file or scratch / 'stdin'
    if machine.stdin_file is None:
        stdin_path.write_bytes(machine.stdin)
    served = {windows_to_host(root, path): contents for path, contents in machine.served_files.items()}
    for fifo in served:
        os.makedirs(os.path.dirname(fifo), exist_ok=True)
        os.mkfifo(fifo)

    env = {k: v for k, v in os.environ.items() if not k.startswith('UPDATER_')}
    env.update({'UPDATER_MACHINE': str(root), 'UPDATER_PAUSE_SCALE': '0',
                'UPDATER_PAUSE_LOG': str(pause_log), 'UPDATER_VIEWER_LOG': str(viewer_log),
                'TZ': 'UTC', 'ASAN_OPTIONS': 'detect_leaks=1:exitcode=86',
                'UBSAN_OPTIONS': 'print_stacktrace=1:halt_on_error=1:exitcode=87'})
    env.update(machine.env)
    trace = scratch / 'creation-trace'
    watcher = (['strace', '-f', '-qq', '-o', str(trace), '-e', CREATING_CALLS]
               if machine.watch_creation else [])
    command = watcher + list(machine.wrapper) + [str(context.program)] + list(machine.args)
    if machine.redirect:
        command = ['sh', '-c', 'exec "$@" ' + machine.redirect, 'sh'] + command
    deadline = time.monotonic() + (machine.timeout or context.timeout)

    files_before, folders_before = snapshot_drives(root)
    first_env = dict(env, UPDATER_PAUSE_LOG=str(scratch / 'first-pauses'))
    first = start_first_run([str(context.program)], machine, scratch, deadline, env=first_env,
                            cwd=windows_to_host(root, machine.working_folder),
                            start_new_session=True)
    started = time.monotonic()
    with open(stdin_path, 'rb') as stdin, open(stdout_path, 'wb') as stdout, \
            open(stderr_path, 'wb') as stderr:
        # A group of its own, so that a hung run is ended with whatever it started.
        process = subprocess.Popen(command,
                                   stdin=subprocess.PIPE if machine.interrupt or machine.when_waiting
                                   else stdin,
                                   stdout=subprocess.PIPE if machine.pipe_to else stdout,
                                   stderr=stderr, env=env,
                                   cwd=windows_to_host(root, machine.working_folder),
                                   start_new_session=True)
        reader = None
        if machine.pipe_to:
            reader = subprocess.Popen(machine.pipe_to, stdin=process.stdout, stdout=stdout)
            process.stdout.close()
        feeders = [threading.Thread(target=_serve, daemon=True,
                                    args=(fifo, contents, process.pid, deadline))
                   for fifo, contents in served.items()]
        for feeder in feeders:
            feeder.start()
        if machine.when_waiting:
            if wait_until_waiting(process, deadline):
                machine.when_waiting(root)
            process.stdin.write(machine.stdin)
            process.stdin.close()
        elif machine.interrupt:
            try:
                process.stdin.write(machine.stdin)
                process.stdin.flush()
            except BrokenPipeError:  # it ended before it read everything
                pass
            interrupt_when_waiting(process, machine.interrupt, deadline)
        exit_status, peak, timed_out = _wait(process, deadline)
        if process.stdin and not process.stdin.closed:
            try:
                process.stdin.close()
            except BrokenPipeError:
                pass
        seconds = time.monotonic() - started
        for feeder in feeders:
            feeder.join()
        if reader is not None:
            reader.wait(timeout=10)
    first_stdout, first_status = finish_first_run(first, machine, scratch, deadline)
    _wait_for_viewers(env['UPDATER_VIEWER_LOG'], machine.viewer_wait)

    pause_total = sum(int(line) for line in _read_lines(pause_log) if line.strip())
    files, folders = snapshot_drives(root)
    return Result(stdout=stdout_path.read_bytes(), exit_status=exit_status,
                  pause_total_ms=pause_total, files_before=files_before, files=files,
                  folders_before=folders_before, folders=folders,
                  viewer_launches=_read_lines(viewer_log), timed_out=timed_out,
                  stderr=stderr_path.read_bytes(), seconds=seconds, peak_memory_kb=peak,
                  first_stdout=first_stdout, first_exit_status=first_status,
                  created=_created_paths(trace, root) if machine.watch_creation else None)


# The calls that make a file or folder appear, as strace names them.
CREATING_CALLS = 'trace=open,openat,creat,mkdir,mkdirat,link,linkat,symlink,symlinkat,rename,renameat,renameat2'
CREATED = re.compile(rb'^\d+\s+(\w+)\((.*)\)\s+=\s+(-?\d+)')
PATH_ARGUMENT = re.compile(rb'"((?:[^"\\]|\\.)*)"')


def _created_paths(trace: Path, root: Path) -> List[bytes]:
    """The machine paths the traced run made appear (successful calls only):
    an open with O_CREAT, a new folder, link or name. Only the machine's
    drives count (not the pause and viewer logs), and not the run lock
    ~3pu.lock: it is taken before the archive is opened, holds nothing of
    it, and goes with the run."""
    created = []
    prefix = os.fsencode(root) + b'/drive_'
    for line in trace.read_bytes().splitlines() if trace.exists() else []:
        match = CREATED.match(line)
        if match is None or int(match.group(3)) < 0:
            continue
        call, arguments = match.group(1), match.group(2)
        if call in (b'open', b'openat') and b'O_CREAT' not in arguments:
            continue
        paths = PATH_ARGUMENT.findall(arguments)
        target = paths[-1] if paths else b''
        if target.startswith(prefix) and os.path.basename(target).lower() != b'~3pu.lock':
            created.append(target)
    return created


def _peak_memory_kb(pid: int) -> int:
    """The process's peak resident memory so far (VmHWM), 0 when gone. Read
    from /proc rather than taken from wait4, whose figure includes the
    pages the runner had when it forked the child."""
    try:
        with open('/proc/%d/status' % pid, 'rb') as handle:
            for line in handle:
                if line.startswith(b'VmHWM:'):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return 0


def _wait(process: subprocess.Popen, deadline: float) -> Tuple[Optional[int], int, bool]:
    """Waits for the process until the deadline, sampling its peak memory;
    kills its whole group when the deadline passes. Returns the exit status
    (negative for a signal, None after a kill), the peak resident kB, and
    whether it was killed."""
    peak = 0
    while True:
        peak = max(peak, _peak_memory_kb(process.pid))
        if process.returncode is not None:  # reaped already, by a poll() that saw it end
            return process.returncode, peak, False
        pid, raw, _ = os.wait4(process.pid, os.WNOHANG)
        if pid == process.pid:
            process.returncode = os.waitstatus_to_exitcode(raw)
            return process.returncode, peak, False
        if time.monotonic() > deadline:
            os.killpg(process.pid, signal.SIGKILL)
            os.wait4(process.pid, 0)
            process.returncode = -9
            return None, peak, True
        time.sleep(0.002)


def _holds_file(pid: int, path: bytes) -> bool:
    """True while process pid has path open."""
    folder = '/proc/%d/fd' % pid
    try:
        names = os.listdir(folder)
    except OSError:
        return False
    target = os.path.realpath(path)
    for name in names:
        try:
            if os.fsencode(os.readlink(os.path.join(folder, name))) == target:
                return True
        except OSError:
            pass
    return False


def _serve(fifo: bytes, contents: List[bytes], pid: int, deadline: float) -> None:
    """Serves each content to one open of the named pipe, in order: waits
    for the program to open it, writes, closes, and waits for the program to
    close its end before serving the next. Gives up at the deadline."""
    for content in contents:
        while True:
            try:
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError:
                if time.monotonic() > deadline:
                    return
                time.sleep(0.002)
        os.set_blocking(fd, True)
        try:
            os.write(fd, content)
        except OSError:
            pass
        os.close(fd)
        while _holds_file(pid, fifo) and time.monotonic() < deadline:
            time.sleep(0.002)
