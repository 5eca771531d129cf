#!/usr/bin/env python3
"""Runs every hardening check: fault injection, hostile archives, a hostile
console, memory checking, against the host build and the sanitizer build.
Prints one line per check and "N passed, N failed" last; exits 1 on any
failure, and on any skipped check (one that cannot run here, such as the
real full disk without a tmpfs) unless HARDEN_ALLOW_SKIP=1 says a skip is
acceptable on this machine.

    python3 tests/hardening/run_hardening.py [--build host] [--sanitize sanitize]
                                             [--filter TEXT] [--jobs 2]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import sys
import time
import traceback
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import checks  # noqa: E402
import test_archives  # noqa: E402,F401
import test_console  # noqa: E402,F401
import test_faults  # noqa: E402,F401


class Context:
    def __init__(self, build: str, sanitize: str):
        self.build = build
        self.sanitize = sanitize
        self.builds = (build, sanitize)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', default='host', help='build folder name under build/')
    parser.add_argument('--sanitize', default='sanitize', help='sanitizer build folder name')
    parser.add_argument('--filter', default='', help='run only checks whose name has this text')
    parser.add_argument('--jobs', type=int, default=2)
    options = parser.parse_args()
    for build in (options.build, options.sanitize):
        program = checks.ROOT / 'build' / build / 'bin' / '3pupdate'
        if not os.access(program, os.X_OK):
            print('missing %s\n0 passed, 1 failed' % program)
            return 1
    if os.environ.get('HARDEN_TMP'):
        os.makedirs(os.environ['HARDEN_TMP'], exist_ok=True)
    context = Context(options.build, options.sanitize)
    chosen = [(name, fn) for name, fn in checks.CHECKS if options.filter in name]

    def one(item):
        name, function = item
        started = time.monotonic()
        try:
            function(context)
            problem = None
        except checks.Failure as failure:
            problem = str(failure)
        except checks.Skip as skip:
            problem = 'SKIP ' + str(skip)
        except Exception:  # a broken check is a failure too, with its trace
            problem = traceback.format_exc()
        return name, problem, time.monotonic() - started

    counts = {'passed': 0, 'failed': 0, 'skipped': 0}
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        for name, problem, seconds in pool.map(one, chosen):
            if problem is None:
                counts['passed'] += 1
                print('PASS %s (%.1fs)' % (name, seconds), flush=True)
            elif problem.startswith('SKIP '):
                counts['skipped'] += 1
                print('SKIP %s: %s' % (name, problem[5:]), flush=True)
            else:
                counts['failed'] += 1
                print('FAIL %s (%.1fs)\n    %s' % (name, seconds, problem.replace('\n', '\n    ')), flush=True)
    print('%(passed)d passed, %(failed)d failed' % counts +
          (', %d skipped' % counts['skipped'] if counts['skipped'] else ''))
    skips_fail = counts['skipped'] and os.environ.get('HARDEN_ALLOW_SKIP') != '1'
    if skips_fail:
        print('a skipped check fails the run (HARDEN_ALLOW_SKIP=1 accepts skips)')
    return 1 if counts['failed'] or skips_fail or not chosen else 0


if __name__ == '__main__':
    sys.exit(main())
