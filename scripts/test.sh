#!/usr/bin/env bash
# The test command: installs what is missing, builds both targets and runs
# every suite. Fails when any suite fails or cannot run; nothing is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
started=$(date +%s)
failed=()

step() { printf '\n==== %s (%ds)\n' "$*" $(( $(date +%s) - started )); }
# Runs one suite; remembers its name when it fails and goes on with the rest.
suite() {
  local name=$1; shift
  step "$name"
  if ! "$@"; then
    echo "test.sh: suite failed: $name"
    failed+=("$name")
  fi
}

step "packages"
bash scripts/install-deps.sh

step "host build"
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"

step "sanitizer build"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"

step "Windows build"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"

suite "unit tests" ctest --test-dir build/host --output-on-failure -j "$jobs"
suite "unit tests (sanitizers)" ctest --test-dir build/sanitize --output-on-failure -j "$jobs"
suite "end-to-end scenarios (host)" python3 tests/e2e/run_scenarios.py --target host --jobs "$jobs"
suite "end-to-end scenarios (host, sanitizers)" \
  python3 tests/e2e/run_scenarios.py --target host --build-dir build/sanitize --jobs "$jobs"
suite "end-to-end scenarios (Windows build under Wine)" \
  python3 tests/e2e/run_scenarios.py --target wine --jobs 8
suite "Wine-only checks" python3 tests/e2e/wine_checks.py --jobs 6
suite "archive tool" bash tests/pack/run_pack_tests.sh
suite "archive tool: diff round trips (host)" python3 tests/pack/diff_round_trip.py --target host
suite "archive tool: diff round trips (3ppack.exe under Wine)" \
  python3 tests/pack/diff_round_trip.py --target wine
suite "reproducible programs" bash tests/repro/build_twice.sh
suite "demo on a terminal" bash tests/demo/terminal_check.sh
suite "hardening" bash tests/hardening/run_hardening.sh
suite "fuzz smoke" bash fuzz/run_fuzz.sh 60
suite "benchmarks (quick)" bash bench/run_bench.sh --quick

step "done"
if [ ${#failed[@]} -gt 0 ]; then
  printf 'test.sh: FAILED: %s\n' "${failed[*]}"
  exit 1
fi
echo "test.sh: every suite passed"
