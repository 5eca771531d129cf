#!/usr/bin/env python3
"""Ctrl-C at the overwrite question, typed on a terminal under Wine, as a
user would: `wine 3pupdate.exe` on a pseudo-terminal, entry 1 (a.txt) already
written under its temporary name, the program waiting at entry 2's question.
The run must end with status 1 within seconds and leave both files, their
times and the folder as they were, with no ~3pu file. (Wine's console turns
the terminal's Ctrl-C into CTRL_C_EVENT and cuts the console read short.)

Uses a prefix of its own under build/; prints "1 passed, 0 failed" or the
reason and "0 passed, 1 failed".
"""

import os
import pty
import select
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_build  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ROOT = os.path.join(REPO, 'build', 'wine', 'ctrl-c-%d' % os.getpid())
WINE = wine_build.chosen()
PROGRAM = os.path.join(str(WINE.tree()), 'bin', '3pupdate.exe')
PACKER = os.path.join(REPO, 'build', 'host', 'bin', '3ppack')
REGISTRY = ('REGEDIT4\n\n'
            '[HKEY_LOCAL_MACHINE\\SoftWare\\ORBELINE\\3D Perinwood\\Directories]\n'
            '"InstallDir"="C:\\\\Perinwood"\n\n'
            '[HKEY_LOCAL_MACHINE\\SoftWare\\ORBELINE\\3D Perinwood\\VersionInfo]\n'
            '"Version"="1.01"\n')
BEFORE = {'a.txt': (b'old a', 800000000), 'b.txt': (b'mine b', 950000000)}  # b.txt is newer


def lay_out(env):
    subprocess.run([WINE.loader, 'wineboot.exe', '-i'], env=env, capture_output=True)
    subprocess.run([WINE.server, '-w'], env=env)
    with open(os.path.join(ROOT, 'machine.reg'), 'w') as handle:
        handle.write(REGISTRY)
    subprocess.run([WINE.loader, 'regedit', '/S', os.path.join(ROOT, 'machine.reg')], env=env,
                   capture_output=True)
    drive = os.path.join(ROOT, 'prefix', 'drive_c')
    os.makedirs(os.path.join(drive, 'Perinwood'))
    os.makedirs(os.path.join(drive, 'update'))
    command = [PACKER, 'create', '-o', os.path.join(drive, 'update', '3pupdate.z'), '-V', '1.01']
    for name, (content, mtime) in BEFORE.items():
        path = os.path.join(drive, 'Perinwood', name)
        with open(path, 'wb') as handle:
            handle.write(content)
        os.utime(path, (mtime, mtime))
        source = os.path.join(ROOT, name)
        with open(source, 'wb') as handle:
            handle.write(b'new ' + content)
        command += ['-E', 'i', source, name, '900000000']
    subprocess.run(command, check=True, capture_output=True)
    return drive


def run_and_interrupt(env, drive):
    """Runs the program on a pseudo-terminal, types Ctrl-C once it shows the
    question; returns (exit status or None, seconds from Ctrl-C to the end)."""
    pid, terminal = pty.fork()
    if pid == 0:
        os.chdir(os.path.join(drive, 'update'))
        os.execve(WINE.loader, [WINE.loader, PROGRAM], env)
    shown, typed_at, deadline = b'', None, time.monotonic() + 60
    while time.monotonic() < deadline:
        if select.select([terminal], [], [], 0.1)[0]:
            try:
                shown += os.read(terminal, 4096)
            except OSError:
                pass
        if typed_at is None and b'SkipAll' in shown:
            time.sleep(1.0)   # the program is waiting for the answer
            os.write(terminal, b'\x03')
            typed_at = time.monotonic()
        done, raw = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(raw), typed_at and time.monotonic() - typed_at
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return None, None


def main() -> int:
    if not os.path.isfile(PROGRAM) or not os.access(PACKER, os.X_OK):
        print('ctrl-c check: build/%s and build/host must be built\n0 passed, 1 failed' % WINE.build)
        return 1
    os.makedirs(ROOT)
    print('Windows build: ' + WINE.reason, flush=True)
    env = dict(os.environ, WINEPREFIX=os.path.join(ROOT, 'prefix'), **WINE.environment(),
               WINEDEBUG='-all', HOME=ROOT, LANG='ja_JP.UTF-8', LC_ALL='ja_JP.UTF-8',
               WINEDLLOVERRIDES='mscoree=d;mshtml=d;winemenubuilder.exe=d')
    try:
        drive = lay_out(env)
        status, seconds = run_and_interrupt(env, drive)
        problems = []
        if seconds is None:
            problems.append('the question never showed, or the run did not end')
        elif status != 1 or seconds > 5:
            problems.append('exit status %r, %.1f s after Ctrl-C' % (status, seconds))
        folder = os.path.join(drive, 'Perinwood')
        for name, (content, mtime) in BEFORE.items():
            path = os.path.join(folder, name)
            with open(path, 'rb') as handle:
                found = (handle.read(), int(os.stat(path).st_mtime))
            if found != (content, mtime):
                problems.append('%s is %r, was %r' % (name, found, (content, mtime)))
        if sorted(os.listdir(folder)) != sorted(BEFORE):
            problems.append('files left: %r' % sorted(os.listdir(folder)))
    finally:
        subprocess.run([WINE.server, '-k'], env=env, capture_output=True)
        shutil.rmtree(ROOT, ignore_errors=True)
    for problem in problems:
        print('FAIL ctrl-c check: ' + problem)
    print('0 passed, 1 failed' if problems else '1 passed, 0 failed')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
