#!/usr/bin/env python3
"""Runs the cases that only the real Windows calls show (tests/e2e/wine_only)
on the Windows build under Wine.

    python3 tests/e2e/wine_checks.py [--filter SUBSTR] [--jobs N]
        [--build-dir DIR] [--win32-build-dir DIR]

The cases are written in the scenario format, with the shared texts of
scenarios/common.inc, and judged like every scenario. What the format cannot
say is given here by case title: files that another program holds open during
the run, and the DOS attributes (read-only 1, hidden 2, system 4) set on files
before the run and expected after it. One line per case, then
`N passed, N failed`; exits 1 on any failure.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import shutil
import sys
import threading
from pathlib import Path
from typing import Dict, List

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from machine import RunOptions, TargetUnavailable  # noqa: E402
from run_scenarios import REPO_ROOT, build_machine, judge, slug  # noqa: E402
from scenario_format import Scenario, ScenarioError, apply_lines, read_blocks  # noqa: E402
import targets.wine as wine  # noqa: E402

A_TXT = b'C:\\Perinwood\\a.txt'
HIDDEN_SYSTEM = 0x6

# title -> what the scenario format cannot say
EXTRAS: Dict[str, Dict] = {
    'a destination in use by another program stops the run and stays as it was':
        {'hold': [A_TXT]},
    'a newer destination in use, answered y, stops the run and stays as it was':
        {'hold': [A_TXT]},
    'a file in use elsewhere in the folder does not stop the others':
        {'hold': [b'C:\\Perinwood\\other.txt']},
    'hidden and system bits stay across a Write':
        {'attributes': {A_TXT: HIDDEN_SYSTEM}, 'expect_attributes': {A_TXT: HIDDEN_SYSTEM}},
    'hidden, system and read-only bits stay across an Overwrite':
        {'attributes': {A_TXT: HIDDEN_SYSTEM | 1, b'C:\\Perinwood\\b.txt': 0x2},
         'expect_attributes': {A_TXT: HIDDEN_SYSTEM | 1, b'C:\\Perinwood\\b.txt': 0x2}},
}


def load_cases() -> List[Scenario]:
    defines: Dict[str, bytes] = {}
    blocks: Dict[str, List] = {}
    read_blocks(HERE / 'scenarios' / 'common.inc', defines, blocks)
    cases = []
    for path in sorted((HERE / 'wine_only').glob('*.scn')):
        file_blocks = dict(blocks)
        for title, line, lines in read_blocks(path, defines, file_blocks):
            case = Scenario(file=path.stem, title=title, line=line)
            apply_lines(case, lines, defines, file_blocks)
            cases.append(case)
    return cases


def run_case(context, options: RunOptions, index: int, case: Scenario) -> List[str]:
    extras = EXTRAS.get(case.title, {})
    scratch = options.work_root / slug(index, case)
    shutil.rmtree(scratch, ignore_errors=True)
    (scratch / 'tools').mkdir(parents=True)
    (scratch / 'run').mkdir()
    machine = build_machine(case, options, scratch)
    expected = extras.get('expect_attributes', {})
    found: Dict[bytes, int] = {path: 0 for path in expected}
    result = wine.run(context, machine, holders=extras.get('hold', []),
                      attributes=extras.get('attributes', {}), attributes_after=found)
    problems = judge(case, result)
    for path, want in expected.items():
        if found[path] != want:
            problems.append(f'attributes of {path.decode("cp932")}: expected {want:#x}, '
                            f'found {found[path]:#x}')
    return problems


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--filter', default='')
    parser.add_argument('--jobs', type=int, default=4)
    parser.add_argument('--build-dir', type=Path, default=REPO_ROOT / 'build' / 'host')
    parser.add_argument('--win32-build-dir', type=Path, default=REPO_ROOT / 'build' / 'win32')
    args = parser.parse_args(argv)
    try:
        cases = [c for c in load_cases() if args.filter in c.name]
    except ScenarioError as error:
        print(f'bad case file: {error}')
        print('0 passed, 1 failed')
        return 1
    options = RunOptions(repo_root=REPO_ROOT, host_build_dir=args.build_dir.resolve(),
                         win32_build_dir=args.win32_build_dir.resolve(),
                         work_root=REPO_ROOT / 'build' / 'e2e' / 'wine_checks')
    try:
        context = wine.prepare(REPO_ROOT, options)
    except TargetUnavailable as error:
        print(f'Wine cannot run: {error}')
        print(f'0 passed, {len(cases)} failed')
        return 1
    counts = {'passed': 0, 'failed': 0}
    lock = threading.Lock()

    def report(index: int, case: Scenario) -> None:
        try:
            problems = run_case(context, options, index, case)
        except Exception as error:  # one broken case must not hide the others
            problems = [f'runner error: {type(error).__name__}: {error}']
        with lock:
            counts['failed' if problems else 'passed'] += 1
            print(('FAIL ' if problems else 'ok   ') + case.name, flush=True)
            for problem in problems:
                print('    ' + problem.replace('\n', '\n    '), flush=True)

    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        list(pool.map(lambda pair: report(*pair), enumerate(cases)))
    print(f'{counts["passed"]} passed, {counts["failed"]} failed')
    return 1 if counts['failed'] or not cases else 0


if __name__ == '__main__':
    sys.exit(main())
