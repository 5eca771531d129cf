#!/usr/bin/env python3
"""Runs the end-to-end scenarios (tests/e2e/scenarios) on one target.

    python3 tests/e2e/run_scenarios.py --target host|wine [--filter SUBSTR] [--match REGEX]
        [--jobs N] [--build-dir DIR] [--win32-build-dir DIR] [--tree-suffix S] [--timeout S]
        [--scenarios DIR] [--work-dir DIR]

--scenarios tests/e2e/wine_only runs the cases that only the real Windows
calls show (files held open by another program, hidden and system bits),
on --target wine.

The Windows build is build/win32, or build/win64 where this machine runs no
32-bit code (scripts/wine-build.sh; UPDATER_TEST_WINE forces it);
--tree-suffix=-key takes build/win32-key (build/win64-key) instead, and
--win32-build-dir names a tree outright.

Each scenario gets a fresh machine folder under build/e2e/<target>-<pid>/
(the work dir, build/ by default, also holds the Wine prefixes in wine/)
(kept when something failed, removed otherwise). One line
per scenario, then `N passed, N failed` (and `, N skipped` when a host-only
scenario was skipped under Wine, with its reason printed). Exits 1 when any
scenario failed or the target could not run at all.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import difflib
import importlib
import inspect
import os
import re
import shutil
import subprocess
import sys
import threading
from pathlib import Path
from typing import List, Optional

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from machine import FileSpec, Machine, Result, RunOptions, TargetUnavailable  # noqa: E402
import archive_fields  # noqa: E402
import wine_build  # noqa: E402
from scenario_format import (Scenario, ScenarioError, archive_description, fold_case,  # noqa: E402
                             load_scenarios, load_defines)

REPO_ROOT = HERE.parent.parent
ARCHIVE_NAME = b'3pupdate.z'


# ---- building a machine -----------------------------------------------------------

def pack_archive(scenario: Scenario, options: RunOptions, scratch: Path) -> bytes:
    """The scenario's entries packed by the archive tool, names and version
    passed as their exact bytes."""
    tool = options.host_build_dir / 'bin' / '3ppack'
    output = scratch / 'packed.z'
    command = [str(tool), 'create', '-o', str(output), '-V', scenario.archive_version or b'',
               '--raw']
    for option in scenario.pack_options:
        previous = command[-1]
        command.append(str(options.keys_dir / (option.decode() + '.key'))
                       if previous == b'--sign' else option)
    for number, entry in enumerate(scenario.entries):
        source = scratch / f'entry{number}'
        source.write_bytes(entry.data)
        command += ['-E', entry.kind, str(source), entry.name, str(entry.time)]
    completed = subprocess.run(command, capture_output=True, timeout=60)
    if completed.returncode != 0:
        raise ScenarioError('3ppack: ' + completed.stderr.decode(errors='replace'))
    return output.read_bytes()


def edit_archive(data: bytes, edits) -> bytes:
    """The archive after the scenario's edits, in order."""
    out = bytearray(data)
    for kind, at, value in edits:
        if kind == 'cut':
            del out[len(out) - at:]
            continue
        if kind == 'trailer-after':
            out = bytearray(archive_fields.with_trailer(bytes(out) + b'\0' * at))
            continue
        offset = at + len(out) if at < 0 else at
        if not 0 <= offset <= len(out) - (kind == 'flip'):
            raise ScenarioError(f'archive-edit {kind} {at}: outside the {len(out)}-byte archive')
        if kind == 'flip':
            out[offset] ^= 0x80 >> value
        else:
            out[offset:offset] = value
    return bytes(out)


def build_archive(scenario: Scenario, options: RunOptions, scratch: Path) -> Optional[bytes]:
    if scenario.archive_bytes is not None:
        data = scenario.archive_bytes
    elif scenario.packer == '3ppack':
        data = pack_archive(scenario, options, scratch)
    else:
        description = archive_description(scenario)
        if description is None:
            return None
        try:
            data = archive_fields.make(description, options.host_build_dir, scratch)
        except ValueError as error:
            raise ScenarioError(str(error)) from None
    return edit_archive(data, scenario.archive_edits)


def make_keys(options: RunOptions) -> None:
    """The signing keys scenarios name (vendor, next, other), made once per
    run unless --keys names a folder that holds them."""
    for name in ('vendor', 'next', 'other'):
        if not (options.keys_dir / f'{name}.key').exists():
            options.keys_dir.mkdir(parents=True, exist_ok=True)
            subprocess.run([str(options.host_build_dir / 'bin' / '3ppack'), 'keygen', '-o',
                            str(options.keys_dir / name)], check=True, capture_output=True)


def build_machine(scenario: Scenario, options: RunOptions, scratch: Path) -> Machine:
    files = list(scenario.files.values())
    archive = build_archive(scenario, options, scratch / 'tools')
    if archive is not None:
        (scratch / 'tools' / 'input.z').write_bytes(archive)
        files.append(FileSpec(scenario.working_folder.rstrip(b'\\') + b'\\' + ARCHIVE_NAME,
                              archive))
    return Machine(name=scenario.name, scratch_dir=scratch / 'run',
                   registry=list(scenario.registry.values()), files=files,
                   folders=list(scenario.folders), working_folder=scenario.working_folder,
                   windows_directory=scenario.windows_directory, stdin=scenario.stdin,
                   interrupt=scenario.interrupt,
                   args=list(scenario.args), env=dict(scenario.env),
                   viewer_wait=len(scenario.expect_viewers), holds=list(scenario.holds),
                   shared_holds=list(scenario.shared_holds), locked_holds=list(scenario.locked_holds),
                   attributes=dict(scenario.attributes), first_run=scenario.first_run,
                   first_input=scenario.first_input, first_kill=scenario.first_kill,
                   links=dict(scenario.links), hard_links=dict(scenario.hard_links),
                   watch_creation=scenario.expect_nothing_created)


# ---- judging a result ---------------------------------------------------------------

def show(data: bytes) -> str:
    """Bytes as readable text: code page 932 decoded, \\r and \\n shown."""
    text = data.decode('cp932', errors='backslashreplace')
    return text.replace('\r', '\\r').replace('\n', '\\n\n')


def stdout_diff(expected: bytes, actual: bytes) -> List[str]:
    at = next((i for i, (a, b) in enumerate(zip(expected, actual)) if a != b),
              min(len(expected), len(actual)))
    lines = [f'stdout differs at byte {at} (expected {len(expected)} bytes, got {len(actual)})']
    diff = difflib.unified_diff(show(expected).splitlines(), show(actual).splitlines(),
                                'expected', 'actual', lineterm='', n=2)
    lines += ['  ' + line for line in diff]
    return lines


def describe(state) -> str:
    content = state.content
    shown = repr(content) if len(content) <= 64 else f'{len(content)} bytes {content[:40]!r}...'
    return f'content {shown}, mtime {state.mtime}, {"read-only" if state.readonly else "writable"}'


def find(mapping, path: bytes):
    if path in mapping:
        return path
    folded = fold_case(path)
    return next((key for key in mapping if fold_case(key) == folded), None)


def parents(path: bytes):
    parts = path.split(b'\\')
    return {fold_case(b'\\'.join(parts[:i])) for i in range(2, len(parts))}


LOG_TIME = re.compile(rb'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ')
LOG_TAG = re.compile(rb'(?m)^([^\s:]+:\d+) ')


def check_logs(scenario: Scenario, result: Result) -> List[str]:
    """The logs named by expect-log: UTF-8 text, time stamps read as TIME,
    the run's tag (computer name:process ID) that begins each of its lines
    as TAG; the one run a scenario logs has one tag."""
    problems = []
    for path, wanted in scenario.expect_logs.items():
        key = find(result.files, path)
        if key is None:
            problems.append(f'missing log {show(path)}')
            continue
        content = result.files[key].content
        tags = set(LOG_TAG.findall(content))
        if len(tags) > 1:
            problems.append(f'log {show(path)}: one run, several tags {sorted(tags)}')
        got = LOG_TIME.sub(b'TIME', LOG_TAG.sub(b'TAG ', content))
        want = wanted.decode('cp932').encode('utf-8')
        if got != want:
            problems.append(f'log {show(path)} differs:\n' + '\n'.join(difflib.unified_diff(
                want.decode().splitlines(), got.decode(errors='replace').splitlines(),
                'expected', 'actual', lineterm='', n=1)))
    return problems


def check_first_run(scenario: Scenario, result: Result) -> List[str]:
    if scenario.first_result is None:
        return []
    problems = []
    if result.first_exit_status != scenario.first_result[0]:
        problems.append(f'first run: exit status {result.first_exit_status}, '
                        f'expected {scenario.first_result[0]}')
    if scenario.first_stdout is not None and result.first_stdout != scenario.first_stdout:
        problems += ['first run: ' + line for line in
                     stdout_diff(scenario.first_stdout, result.first_stdout or b'')]
    return problems


def check_files(scenario: Scenario, result: Result) -> List[str]:
    problems = []
    named = {fold_case(path) for path in scenario.expect_logs}
    for path, wanted in scenario.expect_files.items():
        key = find(result.files, path)
        named.add(fold_case(path))
        if key is None:
            problems.append(f'missing file {show(path)}')
            continue
        twins = [other for other in result.files if fold_case(other) == fold_case(path)]
        if len(twins) > 1:
            problems.append(f'{len(twins)} files differ only in case: ' +
                            ', '.join(show(twin) for twin in twins))
        got = result.files[key]
        if (got.content != wanted.content or got.readonly != wanted.readonly or
                scenario.expect_mtime_given[path] and got.mtime != wanted.mtime):
            want = describe(wanted) if scenario.expect_mtime_given[path] else \
                describe(wanted).replace(', mtime 0', '')
            problems.append(f'file {show(path)}:\n    expected {want}\n    actual   {describe(got)}')
    for path in scenario.expect_absent:
        named.add(fold_case(path))
        if find(result.files, path) is not None:
            problems.append(f'file {show(path)} should be absent')
    for path, state in sorted(result.files.items()):
        if fold_case(path) in named:
            continue
        before = find(result.files_before, path)
        if before is None:
            problems.append(f'unexpected new file {show(path)}: {describe(state)}')
        elif result.files_before[before] != state:
            problems.append(f'file {show(path)} changed:\n    before {describe(result.files_before[before])}'
                            f'\n    after  {describe(state)}')
    for path in sorted(result.files_before):
        if fold_case(path) not in named and find(result.files, path) is None:
            problems.append(f'file {show(path)} disappeared')
    return problems


def check_folders(scenario: Scenario, result: Result) -> List[str]:
    problems = []
    allowed = {fold_case(p) for p in scenario.expect_folders}
    for path in scenario.expect_files:
        allowed |= parents(path)
    for path in scenario.expect_folders:
        if find(result.folders, path) is None:
            problems.append(f'missing folder {show(path)}')
    for path in sorted(result.folders):
        if fold_case(path) not in allowed and find(result.folders_before, path) is None:
            problems.append(f'unexpected new folder {show(path)}')
    for path in sorted(result.folders_before):
        if find(result.folders, path) is None:
            problems.append(f'folder {show(path)} disappeared')
    return problems


# The run names its own files "~3pu" and four random hex digits; a
# scenario writes "~3pu####" for them, in stdout and in file paths (then
# every own name of the run is read that way; other scenarios name exact
# files an earlier run left).
OWN_NUMBER = re.compile(rb'(?i)(~3pu)[0-9a-f]{4}(?=\.(?:tmp|bak))')


def hide_own_numbers(result: Result) -> List[str]:
    result.stdout = OWN_NUMBER.sub(rb'\1####', result.stdout or b'')
    problems = []
    for field in ('files', 'files_before'):
        hidden = {}
        for path, state in getattr(result, field).items():
            hidden.setdefault(OWN_NUMBER.sub(rb'\1####', path), []).append(state)
        setattr(result, field, {path: states[0] for path, states in hidden.items()})
        problems += [f'{len(states)} files of the run\'s own pattern at {show(path)}'
                     for path, states in hidden.items() if len(states) > 1 and field == 'files']
    return problems


def judge(scenario: Scenario, result: Result) -> List[str]:
    marks = [scenario.stdout or b''] + list(scenario.expect_files)
    own_problems = hide_own_numbers(result) if any(b'####' in m for m in marks) else []
    if result.timed_out:
        return ['timed out: the program did not end', *stdout_diff(scenario.stdout, result.stdout)]
    problems = own_problems
    if result.stdout != scenario.stdout:
        problems += stdout_diff(scenario.stdout, result.stdout)
    if result.exit_status != scenario.exit_status:
        problems.append(f'exit status {result.exit_status}, expected {scenario.exit_status}')
    if result.pause_total_ms is not None and result.pause_total_ms != scenario.pause_ms:
        problems.append(f'pauses total {result.pause_total_ms} ms, expected {scenario.pause_ms}')
    elif (result.pauses_real and not scenario.interrupt and
          'interrupt=' not in scenario.env.get('UPDATER_FAULTS', '') and
          result.seconds * 1000 < scenario.pause_ms - PAUSE_TOLERANCE_MS):
        problems.append(f'the run took {result.seconds:.2f} s, shorter than its pauses')
    problems += check_files(scenario, result)
    problems += check_logs(scenario, result)
    problems += check_first_run(scenario, result)
    problems += check_folders(scenario, result)
    if sorted(result.viewer_launches) != sorted(scenario.expect_viewers):
        listed = lambda tails: ', '.join(f'[{show(t)}]' for t in tails) or 'none'
        problems.append(f'viewer launches differ:\n    expected {listed(scenario.expect_viewers)}'
                        f'\n    actual   {listed(result.viewer_launches)}')
    problems += [f'sanitizer report: {mark.decode()}' for mark in SANITIZER_MARKS if mark in result.stderr]
    if FAULT_PLAN_UNREAD in result.stderr:
        problems.append('the fault plan has an item the injector does not read')
    for path, want in scenario.expect_attributes.items():
        found = result.attributes.get(path)
        if found != want:
            problems.append(f'attributes of {show(path)}: expected {want:#x}, found '
                            + ('none' if found is None else f'{found:#x}'))
    if scenario.expect_nothing_created and result.created:
        problems.append('created during the run: ' + ', '.join(show(p) for p in result.created))
    if problems and result.stderr:
        problems.append('stderr: ' + result.stderr.decode(errors='replace')[-800:])
    return problems


# ---- driving ------------------------------------------------------------------------

def slug(index: int, scenario: Scenario) -> str:
    return f'{index:03d}-' + re.sub(r'[^A-Za-z0-9]+', '-', scenario.name).strip('-')[:60]


TEXTS = load_defines()
# What the updater prints once it has checked the whole archive and goes on,
# and what it prints alone when the archive does not decode.
ACCEPTED_MARKS = (TEXTS['PRE_V100_INSTALLED'], TEXTS['INSTALLED_VERSION'].split(b'%s')[0])
REFUSED_ALONE = TEXTS['DECODE_ERROR']
# What a sanitizer prints when it finds a fault; the run fails whatever else it did.
SANITIZER_MARKS = (b'ERROR: AddressSanitizer', b'runtime error:', b'ERROR: LeakSanitizer',
                   b'SUMMARY: UndefinedBehaviorSanitizer')
# How much earlier than its logged pauses a run that really waits may end
# (timer granularity).
PAUSE_TOLERANCE_MS = 100
# What the fault injector prints for a plan item it cannot read: a mistyped
# plan injects nothing, so the run would test nothing.
FAULT_PLAN_UNREAD = b'UPDATER_FAULTS: ignoring'


def cross_check_archive(scenario: Scenario, options: RunOptions, scratch: Path) -> List[str]:
    """The archive tool's test must accept every archive the updater accepts
    and refuse every one it refuses as undecodable."""
    archive = scratch / 'tools' / 'input.z'
    if scenario.stdout is None or not archive.exists():
        return []
    if any(mark in scenario.stdout for mark in ACCEPTED_MARKS):
        expected = 0
    elif scenario.stdout == REFUSED_ALONE:
        expected = 1
    else:
        return []
    tool = options.host_build_dir / 'bin' / '3ppack'
    completed = subprocess.run([str(tool), 'test', str(archive)], capture_output=True)
    if completed.returncode == expected:
        return []
    return [f'3ppack test exited {completed.returncode}, expected {expected}: '
            + completed.stdout.decode(errors='replace').strip()]


def run_one(target, context, options: RunOptions, index: int, scenario: Scenario):
    scratch = options.work_root / slug(index, scenario)
    shutil.rmtree(scratch, ignore_errors=True)
    (scratch / 'tools').mkdir(parents=True)
    (scratch / 'run').mkdir()
    try:
        machine = build_machine(scenario, options, scratch)
        result = target.run(context, machine, *([scenario.expect_attributes]
                                                if scenario.expect_attributes else []))
    except ScenarioError as error:
        return [f'scenario could not be built: {error}']
    return judge(scenario, result) + cross_check_archive(scenario, options, scratch)


def fresh_work_root(target: str, work_dir: Path) -> Path:
    """<work dir>/e2e/<target>-<pid>: one folder per runner, so that two
    runners (say, two build directories) never share machine folders.
    Folders of runners that have ended are removed first."""
    base = work_dir / 'e2e'
    for old in base.glob(f'{target}-*'):
        try:
            os.kill(int(old.name.rsplit('-', 1)[1]), 0)
        except (ValueError, ProcessLookupError):
            shutil.rmtree(old, ignore_errors=True)
        except PermissionError:
            pass
    root = base / f'{target}-{os.getpid()}'
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir(parents=True)
    return root


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--target', choices=('host', 'wine'), default='host')
    parser.add_argument('--filter', default='', help='run only scenarios whose name has this text')
    parser.add_argument('--match', default='', help='run only scenarios whose name matches this regex')
    parser.add_argument('--jobs', type=int, default=2)
    parser.add_argument('--build-dir', type=Path, default=REPO_ROOT / 'build' / 'host')
    parser.add_argument('--win32-build-dir', type=Path, default=None,
                        help='the Windows build tree (default: the one wine-build.sh chooses)')
    parser.add_argument('--tree-suffix', default='',
                        help='with the chosen tree: build/win32SUFFIX or build/win64SUFFIX')
    parser.add_argument('--timeout', type=float, default=60.0)
    parser.add_argument('--scenarios', type=Path, action='append',
                        help='folder of *.scn files (wine_only: the Wine-only cases); '
                             'may be given more than once (default: scenarios)')
    parser.add_argument('--work-dir', type=Path, default=REPO_ROOT / 'build',
                        help='where machine folders and Wine prefixes go (e2e/, wine/)')
    parser.add_argument('--keys', type=Path, default=None,
                        help='folder of the signing keys vendor.key and other.key '
                             '(default: made for the run)')
    args = parser.parse_args(argv)

    try:
        scenarios = [s for folder in args.scenarios or [HERE / 'scenarios']
                     for s in load_scenarios(folder, common=HERE / 'scenarios' / 'common.inc')]
    except ScenarioError as error:
        print(f'bad scenario file: {error}')
        print('0 passed, 1 failed')
        return 1
    scenarios = [s for s in scenarios if args.filter in s.name and re.search(args.match, s.name)]
    work_root = fresh_work_root(args.target, args.work_dir.resolve())
    windows_tree = args.win32_build_dir or wine_build.chosen().tree(args.tree_suffix)
    if args.target == 'wine':
        print(f'Windows build: {windows_tree.name} ({wine_build.chosen().reason})', flush=True)
    options = RunOptions(repo_root=REPO_ROOT, host_build_dir=args.build_dir.resolve(),
                         win32_build_dir=windows_tree.resolve(), work_root=work_root,
                         timeout=args.timeout, wine_dir=args.work_dir.resolve() / 'wine')
    options.keys_dir = args.keys.resolve() if args.keys else work_root / 'keys'
    make_keys(options)
    target = importlib.import_module(f'targets.{args.target}')
    try:
        if len(inspect.signature(target.prepare).parameters) >= 2:
            context = target.prepare(REPO_ROOT, options)
        else:
            context = target.prepare(REPO_ROOT)
    except TargetUnavailable as error:
        print(f'target {args.target} cannot run: {error}')
        print(f'0 passed, {len(scenarios)} failed')
        return 1

    counts = {'passed': 0, 'failed': 0, 'skipped': 0}
    lock = threading.Lock()

    def report(index: int, scenario: Scenario) -> None:
        if args.target != 'host' and scenario.host_only:
            with lock:
                counts['skipped'] += 1
                print(f'SKIP {scenario.name}: host only ({scenario.host_only})', flush=True)
            return
        try:
            problems = run_one(target, context, options, index, scenario)
        except Exception as error:  # a broken target must not hide the other results
            problems = [f'runner error: {type(error).__name__}: {error}']
        with lock:
            counts['failed' if problems else 'passed'] += 1
            if problems:
                print(f'FAIL {scenario.name}  (line {scenario.line})')
                for problem in problems:
                    print('    ' + problem.replace('\n', '\n    '))
            else:
                print(f'ok   {scenario.name}')
            sys.stdout.flush()

    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        list(pool.map(lambda pair: report(*pair), enumerate(scenarios)))

    if counts['failed']:
        print(f'machine folders of this run are kept in {work_root}')
    else:
        shutil.rmtree(work_root, ignore_errors=True)
    summary = f'{counts["passed"]} passed, {counts["failed"]} failed'
    if counts['skipped']:
        summary += f', {counts["skipped"]} skipped'
    print(summary)
    return 1 if counts['failed'] or not scenarios else 0


if __name__ == '__main__':
    sys.exit(main())
