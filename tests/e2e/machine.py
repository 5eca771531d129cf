"""The neutral description of one end-to-end run, shared by the runner and
every target (tests/e2e/targets/*.py).

The runner turns a scenario into a `Machine` (what the Windows machine holds
before the run, and how the program is started) and hands it to a target
module, which lays the machine out its own way, runs the program and gives
back a `Result` (what came out and what the machine holds afterwards).

A target module exposes two functions (and a third, optional):

    prepare(repo_root: Path, options: RunOptions) -> context
        Once per runner invocation: checks that its program and tools exist,
        builds whatever it shares between runs. Raises TargetUnavailable with
        a readable reason when the target cannot run at all.

    run(context, machine: Machine) -> Result
        One scenario, in the fresh, empty folder machine.scratch_dir (made by
        the runner, unique per scenario, so runs may go side by side in
        threads). Must end by itself: a program that outlives
        options.timeout seconds is killed and reported with timed_out=True.
        A run in a scratch_dir that a run with Machine.keep used starts on
        the machine that run left, and lays out only what it adds.

    forget(context, scratch_dir)   (optional)
        Gives up a machine a run with Machine.keep left, when no run
        follows on it.

Conventions:
  * Every Windows path is `bytes` in code page 932, with backslashes, as the
    program itself sees it: b'C:\\Perinwood\\a.txt'. Drive letters are upper
    case in what the runner passes; results may report them either way.
  * Times are whole seconds since 1970-01-01 00:00:00 UTC (may lie past 2038).
  * Registry data is the exact byte string stored; no type is recorded.
"""

from __future__ import annotations

import dataclasses
from pathlib import Path
from typing import Callable, Dict, List, Optional, Set


DEFAULT_WINDOWS_DIRECTORY = b'C:\\windows'


class TargetUnavailable(Exception):
    """Raised by prepare() when the target cannot run (program not built,
    Wine missing, ...). The message says why."""


@dataclasses.dataclass
class RunOptions:
    """What the runner tells every target once."""
    repo_root: Path
    host_build_dir: Path        # host build (tools: viewer_recorder, make_archive, 3ppack)
    win32_build_dir: Path       # Windows build (3pupdate.exe, viewer_recorder.exe)
    work_root: Path             # where the target may keep shared things (e.g. a Wine prefix)
    timeout: float = 60.0       # seconds per run
    wine_dir: Optional[Path] = None   # where Wine prefixes go (default build/wine)
    keys_dir: Optional[Path] = None   # the signing keys scenarios name (vendor.key, other.key)


@dataclasses.dataclass
class RegistryValue:
    hive: str                   # 'HKLM' or 'HKCU'
    key: bytes                  # key path below the hive, e.g. b'SoftWare\\ORBELINE\\...'
    name: Optional[bytes]       # value name; None: the key exists without this value
    data: bytes = b''           # the value's data bytes, exactly


@dataclasses.dataclass
class FileSpec:
    path: bytes                 # Windows path
    content: bytes
    mtime: int = 946684800      # 2000-01-01 unless the scenario says otherwise
    readonly: bool = False


@dataclasses.dataclass
class Machine:
    """One Windows machine and one run of the program on it."""
    name: str                               # short unique name of the scenario
    scratch_dir: Path                       # fresh empty folder for this run
    registry: List[RegistryValue] = dataclasses.field(default_factory=list)
    files: List[FileSpec] = dataclasses.field(default_factory=list)   # parents are implied
    folders: List[bytes] = dataclasses.field(default_factory=list)    # extra (empty) folders
    working_folder: bytes = b'C:\\update'  # the program's current directory (always made)
    # None: the Windows directory is C:\windows. Otherwise the exact bytes
    # that GetWindowsDirectoryA should report (host target only).
    windows_directory: Optional[bytes] = None
    stdin: bytes = b''
    # None, or a signal name ('INT', 'TERM', 'HUP'): standard input stays
    # open after stdin, and once the program waits for more input the target
    # sends it that signal (under Wine, the console's Ctrl-C).
    interrupt: Optional[str] = None
    args: List[bytes] = dataclasses.field(default_factory=list)
    env: Dict[str, str] = dataclasses.field(default_factory=dict)     # extra environment
    # How many viewer launches the scenario expects: the Wine target waits (a
    # few seconds at most) for that many recorder lines, since viewers are
    # started detached and may still be running when the program has ended.
    # The host target waits for every program the run started instead.
    viewer_wait: int = 0
    # Host target only, for the hardening checks: a deadline other than the
    # runner's; sh redirections applied to the program ('<&- >&-' closes
    # streams); a command put before it (valgrind); a command reading its
    # standard output through a pipe instead of a file; standard input read
    # from this file instead of stdin; and files that are named pipes, each
    # open of one served the next of its contents (a file that changes
    # between two reads).
    timeout: Optional[float] = None
    redirect: str = ''
    wrapper: List[str] = dataclasses.field(default_factory=list)
    # Host only: every file or folder the program creates on the machine,
    # at any moment of the run, is reported (Result.created), so that a
    # file made and removed again before the end still shows.
    watch_creation: bool = False
    pipe_to: List[str] = dataclasses.field(default_factory=list)
    stdin_file: Optional[Path] = None
    served_files: Dict[bytes, List[bytes]] = dataclasses.field(default_factory=dict)
    # Called with the machine folder once the program first waits for input
    # (nothing typed yet); stdin is typed after it (a file changed while the
    # program waits at a question).
    when_waiting: Optional[Callable[[Path], None]] = None
    # Wine target only: files another program holds open during the run, and
    # DOS attributes (read-only 1, hidden 2, system 4) set before it.
    holds: List[bytes] = dataclasses.field(default_factory=list)
    shared_holds: List[bytes] = dataclasses.field(default_factory=list)  # sharing everything
    locked_holds: List[bytes] = dataclasses.field(default_factory=list)  # sharing nothing
    attributes: Dict[bytes, int] = dataclasses.field(default_factory=dict)
    # Two runs at once: when first_run is set, the program (no arguments) is
    # started first on the same machine with those bytes typed; once it has
    # read them and waits for more, it is killed (first_kill) before the
    # run, or else gets first_input and the end of its input after it.
    first_run: Optional[bytes] = None
    first_input: bytes = b''
    first_kill: bool = False
    # Symbolic links (path -> the Windows path they point to, which need
    # not exist; host target only) and second names of files laid out above
    # (path -> the file's first path), made after the files.
    links: Dict[bytes, bytes] = dataclasses.field(default_factory=dict)
    hard_links: Dict[bytes, bytes] = dataclasses.field(default_factory=dict)
    # The machine stays as the run leaves it, for a next run with the same
    # scratch_dir (the host target keeps it there always).
    keep: bool = False


@dataclasses.dataclass
class FileState:
    content: bytes
    mtime: int
    readonly: bool
    link: Optional[bytes] = None    # a symbolic link: where it points (content empty)
    # The last-access time in nanoseconds, where the target can read it
    # (0: unknown); not part of equality, since reading a file may change it.
    atime: int = dataclasses.field(default=0, compare=False)
    inode: int = dataclasses.field(default=0, compare=False)   # the same for two names of one file


@dataclasses.dataclass
class Result:
    """What one run produced. Paths are Windows paths (bytes), as found on
    disk (their case may differ from what the scenario wrote).

    files_before / folders_before are the target's snapshot taken after the
    machine was laid out and right before the program started; files /
    folders the same after it ended. Both snapshots cover every drive; a
    target may leave out of both any file or folder of its own that the run
    did not change (a Wine prefix's system files), but never one that
    changed, appeared or disappeared.

    The planted viewer (the Windows directory's notepad.exe) is part of the
    snapshots like any other file.
    """
    stdout: bytes
    exit_status: Optional[int]              # None when the run timed out
    pause_total_ms: Optional[int]           # None when the target cannot measure pauses
    files_before: Dict[bytes, FileState]
    files: Dict[bytes, FileState]
    folders_before: Set[bytes]
    folders: Set[bytes]
    viewer_launches: List[bytes]            # recorded command-line tails, in recorded order
    timed_out: bool = False
    stderr: bytes = b''                     # the program's diagnostics, for failure reports
    seconds: float = 0.0                    # how long the program ran
    pauses_real: bool = False               # the program waited out its pauses
    peak_memory_kb: int = 0                 # its peak resident memory (host target; 0: unknown)
    # Wine target: the DOS attributes after the run of the files named in
    # Machine.attributes and of any file asked for, -1 when it is gone.
    attributes: Dict[bytes, int] = dataclasses.field(default_factory=dict)
    # The first run's output and exit status, when there was one to finish.
    first_stdout: Optional[bytes] = None
    first_exit_status: Optional[int] = None
    # Machine.watch_creation: the host paths created during the run (None:
    # not watched).
    created: Optional[List[bytes]] = None
