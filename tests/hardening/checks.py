"""What the hardening checks share. They run on the end-to-end machine model
and its host target (tests/e2e/machine.py, targets/host.py), with the
console texts of tests/e2e/scenarios/common.inc and archives written by
make_archive (tests/e2e/archive_fields.py). Each check registers itself
with @check; run_hardening.py runs them.

Every run gets a fresh machine with the product installed in C:\\Perinwood
(version 1.01) and the archive in C:\\update, and a deadline: a run that
passes it is a failure (a hang).
"""

from __future__ import annotations

import os
import re
import shutil
import sys
import tempfile
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT / 'tests' / 'e2e'))

import archive_fields  # noqa: E402
from machine import FileSpec, FileState, Machine, RegistryValue, Result, RunOptions  # noqa: E402
from scenario_format import PRODUCT_KEY, fill, load_defines  # noqa: E402
from run_scenarios import FAULT_PLAN_UNREAD, SANITIZER_MARKS  # noqa: E402
from targets import host  # noqa: E402

T = load_defines()
P = b'C:\\Perinwood\\'
ARCHIVE = b'C:\\update\\3pupdate.z'
OLD_TIME = 946684800      # 2000-01-01: older than every entry
ENTRY_TIME = 1000000000   # 2001-09-09: the entries' time
NEW_TIME = 1300000000     # 2011: newer than every entry
# Every way a run may end, as the last bytes of standard output.
ENDINGS = tuple(T[name] for name in ('UPDATE_DONE', 'DECODE_ERROR', 'UPDATE_CANCELLED', 'MAJOR_MISMATCH',
                                     'PRE_V100_INSTALLED', 'ARCHIVE_MISSING', 'NOT_INSTALLED'))
CANNOT_WRITE_HEAD, CANNOT_WRITE_TAIL = T['CANNOT_WRITE'].split(b'%s')

CHECKS: List[Tuple[str, Callable]] = []


def check(name: str):
    def register(function: Callable) -> Callable:
        CHECKS.append((name, function))
        return function
    return register


class Failure(Exception):
    pass


class Skip(Exception):
    """The check cannot run here; the message says why."""


def expect(condition: bool, what: str) -> None:
    if not condition:
        raise Failure(what)


def cannot_write(path: bytes) -> bytes:
    return fill(T['CANNOT_WRITE'], path)


def file(content: bytes, mtime: int = OLD_TIME, readonly: bool = False) -> FileState:
    return FileState(content, mtime, readonly)


def machine(archive: Optional[bytes], files: Optional[Dict[bytes, FileState]] = None, stdin: bytes = b'',
            version: Optional[bytes] = b'1.01\0', install_dir: bytes = b'C:\\Perinwood\0',
            **options) -> Machine:
    """The product installed (registry values as given, exact bytes), the
    archive in the working folder (None: a named pipe serves
    options['served_files']), the files as given; options are Machine fields."""
    registry = [RegistryValue('HKLM', PRODUCT_KEY + b'Directories', b'InstallDir', install_dir)]
    if version is not None:
        registry.append(RegistryValue('HKLM', PRODUCT_KEY + b'VersionInfo', b'Version', version))
    planted = [FileSpec(path, s.content, s.mtime, s.readonly) for path, s in (files or {}).items()]
    if archive is not None:
        planted.append(FileSpec(ARCHIVE, archive))
    return Machine(name='hardening', scratch_dir=Path(), registry=registry, files=planted,
                   folders=[b'C:\\Perinwood'], stdin=stdin, **options)


_contexts: Dict[str, host.Context] = {}


def run(m: Machine, build: str, scratch_parent: Optional[str] = None) -> Result:
    """One run of build/<build>/bin/3pupdate on a fresh machine."""
    if build not in _contexts:
        _contexts[build] = host.prepare(ROOT, RunOptions(ROOT, ROOT / 'build' / build, ROOT / 'build' / 'win32',
                                                         ROOT / 'build', timeout=60.0))
    m.scratch_dir = Path(tempfile.mkdtemp(prefix='harden-', dir=scratch_parent or os.environ.get('HARDEN_TMP')))
    try:
        return host.run(_contexts[build], m)
    finally:
        shutil.rmtree(m.scratch_dir, ignore_errors=True)


def archive(version: bytes, entries, **options) -> bytes:
    """A sound archive of (kind, name, time, data) entries; see archive_fields.describe."""
    return fields(archive_fields.describe(version, entries, **options))


def fields(description: str) -> bytes:
    """The archive a make_archive description gives."""
    scratch = Path(tempfile.mkdtemp(prefix='harden-archive-', dir=os.environ.get('HARDEN_TMP')))
    try:
        return archive_fields.make(description, ROOT / 'build' / 'host', scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def changes(result: Result) -> Dict[bytes, Optional[FileState]]:
    """Every file the run made, changed (its new state) or removed (None)."""
    out: Dict[bytes, Optional[FileState]] = {p: s for p, s in result.files.items()
                                              if result.files_before.get(p) != s}
    out.update({p: None for p in result.files_before if p not in result.files})
    return out


def check_clean_end(result: Result, context: str = '') -> None:
    """What every run must show: it ended by itself with status 0 or 1, no
    sanitizer report, a fault plan read whole, no temporary file left."""
    prefix = context + ': ' if context else ''
    expect(not result.timed_out, prefix + 'hung (killed after the deadline)')
    expect(result.exit_status in (0, 1), prefix + 'exit status %r, stderr %r'
           % (result.exit_status, result.stderr[-600:]))
    for mark in SANITIZER_MARKS:
        expect(mark not in result.stderr, prefix + 'sanitizer report: %r' % result.stderr[-1500:])
    expect(FAULT_PLAN_UNREAD not in result.stderr, prefix + 'fault plan not read: %r' % result.stderr[-300:])
    temps = [p for p in result.files if re.fullmatch(rb'~3pu.*\.(tmp|bak)', p.rsplit(b'\\', 1)[-1], re.I)]
    expect(not temps, prefix + 'temporary files left: %r' % temps)


def check_ending(result: Result, context: str = '') -> None:
    """The output ends in the normal end or one of the stops."""
    ok = any(result.stdout.endswith(e) for e in ENDINGS) or (
        result.stdout.endswith(CANNOT_WRITE_TAIL) and CANNOT_WRITE_HEAD in result.stdout[-700:])
    expect(ok, '%s: output ends in no catalogue ending: %r' % (context, result.stdout[-200:]))


def check_stop(result: Result, ending: bytes, context: str, status: int = 1) -> None:
    """A clean end with this status and ending."""
    check_clean_end(result, context)
    expect(result.exit_status == status and result.stdout.endswith(ending),
           '%s: status %r, output ends %r' % (context, result.exit_status, result.stdout[-160:]))


def check_unchanged(result: Result, context: str) -> None:
    expect(not changes(result), '%s: files changed: %r' % (context, sorted(changes(result))))
