#!/usr/bin/env bash
# The short 64-bit pass: a handful of scenarios, the console check and the
# Ctrl-C check with the 64-bit Windows build under wine64, on a machine whose
# Windows suites run the 32-bit build. It keeps the fallback for 64-bit-only
# kernels (scripts/wine-build.sh) from rotting where nobody needs it. Where
# the Windows suites run the 64-bit build already, it says so and ends.
set -uo pipefail
cd "$(dirname "$0")/../.."
eval "$(bash scripts/wine-build.sh)" || exit 1
if [ "$WINE_BUILD" = win64 ]; then
  echo "short 64-bit pass: the Windows suites run the 64-bit build on this machine ($WINE_REASON)"
  echo "1 passed, 0 failed"
  exit 0
fi
export UPDATER_TEST_WINE=win64
# One case of each kind that differs with the word size: a whole update, the
# replace and its rollback, the question, read-only words, no hard links.
# Two of them Wine-only: the words, and a scanner on a replaced file.
scenarios=': (a complete run puts all five in place and starts the viewers|a commit whose second replace fails puts the first file back|a complete run on a volume without hard links keeps the read-only bit|a read-only newer file answered y is overwritten and stays read-only|answers y, N and Y on three lines|installed, archive missing|hidden, system and read-only bits stay across an Overwrite|a scanner holding an old file neither stops its replace nor its undo)$'
passed=0 failed=0
check() {  # $1: what; the rest: the command
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL short 64-bit pass: $what"; fi
}
check "scenarios" python3 tests/e2e/run_scenarios.py --target wine --build-dir build/host \
  --scenarios tests/e2e/scenarios --scenarios tests/e2e/wine_only --match "$scenarios" --jobs 4
check "console" bash tests/e2e/wine_console_check.sh
check "Ctrl-C" python3 tests/e2e/wine_ctrl_c_check.py
echo "short 64-bit pass: $passed passed, $failed failed"
[ "$failed" = 0 ]
