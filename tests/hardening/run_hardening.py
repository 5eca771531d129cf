#!/usr/bin/env python3
"""Runs every hardening test: fault injection, hostile archives, hostile
console, memory checking and read-only files, against the host build (and
the sanitizer build where a test asks for it). Prints one line per test and
"N passed, N failed" last; exits 1 on any failure.

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

import harness  # noqa: E402
from registry import TESTS  # noqa: E402
import test_faults  # noqa: E402,F401
import test_archives  # noqa: E402,F401
import test_console  # noqa: E402,F401
import test_tools  # noqa: E402,F401


class Context:
    def __init__(self, build: str, sanitize: str):
        self.build = build
        self.sanitize = sanitize


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', default='host', help='build folder name under build/')
    parser.add_argument('--sanitize', default='sanitize', help='sanitizer build folder name')
    parser.add_argument('--filter', default='', help='run only tests whose name has this text')
    parser.add_argument('--jobs', type=int, default=2)
    options = parser.parse_args()
    for build in (options.build, options.sanitize):
        if not os.access(harness.program(build), os.X_OK):
            print('missing %s' % harness.program(build))
            print('0 passed, 1 failed')
            return 1
    context = Context(options.build, options.sanitize)
    chosen = [(name, fn) for name, fn in TESTS if options.filter in name]

    def one(item):
        name, function = item
        started = time.monotonic()
        try:
            function(context)
            return name, None, time.monotonic() - started
        except harness.Failure as failure:
            return name, str(failure), time.monotonic() - started
        except harness.Skip as skip:
            return name, 'SKIP ' + str(skip), time.monotonic() - started
        except Exception:  # a broken test is a failure too, with its trace
            return name, traceback.format_exc(), time.monotonic() - started

    passed = failed = skipped = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        for name, problem, seconds in pool.map(one, chosen):
            if problem is not None and problem.startswith('SKIP '):
                skipped += 1
                print('SKIP %s: %s' % (name, problem[5:]), flush=True)
            elif problem is None:
                passed += 1
                print('PASS %s (%.1fs)' % (name, seconds), flush=True)
            else:
                failed += 1
                print('FAIL %s (%.1fs)\n    %s' % (name, seconds, problem.replace('\n', '\n    ')), flush=True)
    print('%d passed, %d failed' % (passed, failed) + (', %d skipped' % skipped if skipped else ''))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
