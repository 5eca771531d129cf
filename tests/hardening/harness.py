"""Runs the updater on a fresh emulated Windows machine and reads back what
it did: the shared part of the hardening tests. Python standard library only.

A machine is a folder (UPDATER_MACHINE) in the emulated layout: drive_c/...
for C:, registry/HKEY_LOCAL_MACHINE/<key>/<value> for registry values. Every
run gets UPDATER_PAUSE_SCALE=0 (no real pauses), TZ=UTC and its own scratch
folder; it is killed after a deadline, and a deadline that passes is a
failure (a hang).
"""

from __future__ import annotations

import os
import re
import shutil
import signal
import stat
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent.parent
INSTALL_DIR = b'C:\\Perinwood'
KEY = b'SoftWare\\ORBELINE\\3D Perinwood'
OLD_TIME = 946684800      # 2000-01-01: older than every entry
ENTRY_TIME = 1000000000   # 2001-09-09: the entries' time
NEW_TIME = 1300000000     # 2011: newer than every entry


def message(text: str, *args: bytes) -> bytes:
    """A catalogue text as the program prints it: code page 932, CR LF,
    %s and %d filled with bytes in order."""
    out = text.replace('\n', '\r\n').encode('cp932')
    for arg in args:
        out = re.sub(rb'%[sd]', lambda _: arg, out, count=1)
    return out


CANNOT_WRITE = '\n 書き込みができません。[%s]の書き込み許可を調べて下さい。\n'
DECODE_ERROR = message('展開でエラーが発生しました。\n')
BAD_FILE_HANDLE = message('ファイル ハンドルが異常です。\n')
UPDATE_DONE = message('\n\n 3D Perinwoodのアップデートが終了しました\n\n\n')
UPDATE_CANCELLED = message('\n アップデートを中止します。\n')
MAJOR_MISMATCH = message('\n メジャーバージョンが違います。\n アップデートできません。\n')
PRE_V100 = message('\n Ver1.00 より前の 3D Perinwoodがインストールされています。\n')
ARCHIVE_MISSING = message('\n 3D Perinwoodアップデートファイル[3pupdate.z]がありません\n')
NEWER_FILE_EXISTS = message('\n アップデートするファイルより新しい日付のファイルが存在します。\n')
# Every way a run may end, as the last bytes of standard output.
ENDINGS = (UPDATE_DONE, DECODE_ERROR, UPDATE_CANCELLED, MAJOR_MISMATCH, PRE_V100, ARCHIVE_MISSING)
SANITIZER_MARKS = (b'ERROR: AddressSanitizer', b'runtime error:', b'ERROR: LeakSanitizer',
                   b'SUMMARY: UndefinedBehaviorSanitizer')


def cannot_write(path: bytes) -> bytes:
    return message(CANNOT_WRITE, path)


@dataclass
class FileState:
    content: bytes
    mtime: int
    readonly: bool


@dataclass
class Machine:
    """What the machine holds before the run."""
    archive: bytes
    files: Dict[bytes, FileState] = field(default_factory=dict)  # Windows path -> state
    # When given, 3pupdate.z is a named pipe that serves these contents to
    # the program's successive opens: an archive that changes between the
    # check of the whole archive and the real run.
    archive_opens: Optional[List[bytes]] = None
    # Raw registry data and Windows directory bytes, when a test wants them
    # other than the usual NUL-terminated strings.
    install_dir_data: Optional[bytes] = None
    version_data: Optional[bytes] = None
    windows_directory: Optional[bytes] = None
    installed_version: bytes = b'1.01'
    install_dir: bytes = INSTALL_DIR


@dataclass
class Outcome:
    status: Optional[int]          # exit status; None after a kill; negative: signal
    stdout: bytes
    stderr: bytes
    seconds: float
    max_rss_kb: int
    files: Dict[bytes, FileState]  # every file on drive C after the run
    temp_files: List[bytes]        # ~3pu*.tmp left anywhere
    timed_out: bool


def to_host(root: Path, windows_path: bytes) -> bytes:
    drive, rest = b'c', windows_path
    if windows_path[1:2] == b':':
        drive, rest = windows_path[:1].lower(), windows_path[2:]
    parts = [p for p in rest.split(b'\\') if p]
    return b'/'.join([os.fsencode(root), b'drive_' + drive] + parts)


def _to_windows(root: Path, host: bytes) -> bytes:
    relative = os.path.relpath(host, os.fsencode(root / 'drive_c'))
    return b'C:\\' + relative.replace(b'/', b'\\')


def write_file(root: Path, path: bytes, state: FileState) -> None:
    host = to_host(root, path)
    os.makedirs(os.path.dirname(host), exist_ok=True)
    if os.path.exists(host):
        os.chmod(host, 0o644)
    with open(host, 'wb') as handle:
        handle.write(state.content)
    os.utime(host, (state.mtime, state.mtime))
    os.chmod(host, 0o444 if state.readonly else 0o644)


def lay_out(root: Path, machine: Machine) -> None:
    install_data = machine.install_dir + b'\0' if machine.install_dir_data is None else machine.install_dir_data
    values = [(b'Directories', b'InstallDir', install_data)]
    if machine.version_data is not None:
        values.append((b'VersionInfo', b'Version', machine.version_data))
    elif machine.installed_version is not None:
        values.append((b'VersionInfo', b'Version', machine.installed_version + b'\0'))
    os.makedirs(root, exist_ok=True)
    if machine.windows_directory is not None:
        with open(root / 'windows_directory', 'wb') as handle:
            handle.write(machine.windows_directory)
    for key, name, data in values:
        folder = b'/'.join([os.fsencode(root), b'registry', b'HKEY_LOCAL_MACHINE'] +
                           KEY.split(b'\\') + [key])
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name), 'wb') as handle:
            handle.write(data)
    os.makedirs(to_host(root, machine.install_dir), exist_ok=True)
    os.makedirs(to_host(root, b'C:\\windows'), exist_ok=True)
    work = to_host(root, b'C:\\update')
    os.makedirs(work, exist_ok=True)
    if machine.archive_opens is not None:
        os.mkfifo(os.path.join(work, b'3pupdate.z'))
    else:
        with open(os.path.join(work, b'3pupdate.z'), 'wb') as handle:
            handle.write(machine.archive)
    for path, state in machine.files.items():
        write_file(root, path, state)


def snapshot(root: Path) -> Tuple[Dict[bytes, FileState], List[bytes]]:
    files: Dict[bytes, FileState] = {}
    temps: List[bytes] = []
    for folder, _, names in os.walk(os.fsencode(root / 'drive_c')):
        for name in names:
            host = os.path.join(folder, name)
            info = os.lstat(host)
            if re.fullmatch(rb'~3pu.*\.tmp', name, re.IGNORECASE):
                temps.append(_to_windows(root, host))
            if not stat.S_ISREG(info.st_mode):
                continue
            with open(host, 'rb') as handle:
                files[_to_windows(root, host)] = FileState(
                    handle.read(), int(info.st_mtime), not info.st_mode & 0o222)
    return files, temps


def program(build: str) -> Path:
    return ROOT / 'build' / build / 'bin' / '3pupdate'


def run(machine: Machine, build: str = 'host', stdin: bytes = b'', faults: str = '',
        timeout: float = 60.0, shell_redirect: str = '', stdin_path: Optional[Path] = None,
        wrapper: Optional[List[str]] = None, pipe_to: Optional[List[str]] = None,
        scratch_parent: Optional[str] = None) -> Outcome:
    """One run in a fresh machine. shell_redirect (such as '<&- >&-') runs
    the program through sh with those redirections, to close descriptors;
    pipe_to runs that command with the program's standard output as its
    input (a reader that may go away early)."""
    scratch = Path(tempfile.mkdtemp(prefix='harden-', dir=scratch_parent or os.environ.get('HARDEN_TMP')))
    try:
        root = scratch / 'machine'
        lay_out(root, machine)
        env = {k: v for k, v in os.environ.items() if not k.startswith('UPDATER_')}
        env.update({'UPDATER_MACHINE': str(root), 'UPDATER_PAUSE_SCALE': '0', 'TZ': 'UTC',
                    'UPDATER_PAUSE_LOG': str(scratch / 'pauses'),
                    'ASAN_OPTIONS': 'detect_leaks=1:exitcode=86',
                    'UBSAN_OPTIONS': 'print_stacktrace=1:halt_on_error=1:exitcode=87'})
        if faults:
            env['UPDATER_FAULTS'] = faults
        if stdin_path is None:
            stdin_path = scratch / 'stdin'
            stdin_path.write_bytes(stdin)
        command = (wrapper or []) + [str(program(build))]
        if shell_redirect:
            command = ['sh', '-c', 'exec "$@" ' + shell_redirect, 'sh'] + command
        started = time.monotonic()
        reader = None
        with open(stdin_path, 'rb') as stdin_file, open(scratch / 'stdout', 'wb') as out, \
                open(scratch / 'stderr', 'wb') as err:
            process = subprocess.Popen(command, stdin=stdin_file,
                                       stdout=subprocess.PIPE if pipe_to else out, stderr=err,
                                       env=env, cwd=to_host(root, b'C:\\update'),
                                       start_new_session=True)
            if pipe_to:
                reader = subprocess.Popen(pipe_to, stdin=process.stdout, stdout=out)
                process.stdout.close()
            feeder = None
            if machine.archive_opens is not None:
                feeder = threading.Thread(target=_feed_archive, daemon=True, args=(
                    os.path.join(to_host(root, b'C:\\update'), b'3pupdate.z'), machine.archive_opens,
                    process.pid, time.monotonic() + timeout))
                feeder.start()
            status, rss, timed_out = _wait(process, timeout)
            if feeder is not None:
                feeder.join()
            if reader is not None:
                reader.wait(timeout=10)
        seconds = time.monotonic() - started
        files, temps = snapshot(root)
        return Outcome(status, (scratch / 'stdout').read_bytes(), (scratch / 'stderr').read_bytes(),
                       seconds, rss, files, temps, timed_out)
    finally:
        _remove(scratch)


def _holds_file(pid: int, path: bytes) -> bool:
    """True while process pid has path open (or cannot be looked at)."""
    folder = '/proc/%d/fd' % pid
    try:
        names = os.listdir(folder)
    except OSError:
        return False
    target = os.path.realpath(path)
    for name in names:
        try:
            if os.readlink(os.path.join(folder, name)).encode() == target:
                return True
        except OSError:
            pass
    return False


def _feed_archive(fifo: bytes, contents: List[bytes], pid: int, deadline: float) -> None:
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


def _peak_memory_kb(pid: int) -> int:
    """The process's peak resident memory so far (VmHWM), 0 when gone. Read
    from /proc rather than taken from wait4, whose figure includes the
    pages this test process had when it forked the child."""
    try:
        with open('/proc/%d/status' % pid, 'rb') as handle:
            for line in handle:
                if line.startswith(b'VmHWM:'):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return 0


def _wait(process: subprocess.Popen, timeout: float) -> Tuple[Optional[int], int, bool]:
    """Waits for the process with a deadline, sampling its peak memory; kills
    its whole group when the deadline passes. Returns status (negative for a
    signal), peak resident kB, and whether it was killed."""
    deadline = time.monotonic() + timeout
    peak = 0
    while True:
        peak = max(peak, _peak_memory_kb(process.pid))
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


def _remove(folder: Path) -> None:
    for dirpath, dirnames, filenames in os.walk(folder):
        for name in dirnames + filenames:
            try:
                os.chmod(os.path.join(dirpath, name), 0o755, follow_symlinks=False)
            except OSError:
                pass
    shutil.rmtree(folder, ignore_errors=True)


class Failure(Exception):
    pass


class Skip(Exception):
    """The test cannot run here; the message says why."""


def expect(condition: bool, what: str) -> None:
    if not condition:
        raise Failure(what)


def check_clean_end(outcome: Outcome, context: str = '') -> None:
    """What every run must show: it ended by itself with status 0 or 1, no
    sanitizer report, no temporary file left, and its output ends in one of
    the catalogue's endings."""
    prefix = context + ': ' if context else ''
    expect(not outcome.timed_out, prefix + 'hung (killed after the deadline)')
    expect(outcome.status in (0, 1), prefix + 'exit status %r, stderr %r' % (outcome.status, outcome.stderr[-600:]))
    for mark in SANITIZER_MARKS:
        expect(mark not in outcome.stderr, prefix + 'sanitizer report: %r' % outcome.stderr[-1500:])
    expect(not outcome.temp_files, prefix + 'temporary files left: %r' % outcome.temp_files)


CANNOT_WRITE_HEAD = message('\n 書き込みができません。[')
CANNOT_WRITE_TAIL = message(']の書き込み許可を調べて下さい。\n')


def check_ending(outcome: Outcome, context: str = '') -> None:
    """The output ends in the normal end or one of the stops."""
    prefix = context + ': ' if context else ''
    ok = any(outcome.stdout.endswith(e) for e in ENDINGS) or (
        outcome.stdout.endswith(CANNOT_WRITE_TAIL) and CANNOT_WRITE_HEAD in outcome.stdout[-700:])
    expect(ok, prefix + 'output ends in no catalogue ending: %r' % outcome.stdout[-200:])
