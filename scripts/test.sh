#!/usr/bin/env bash
# The test command: installs what is missing, builds the presets (host,
# sanitize, win32, win64) and runs every suite through `ctest --preset host`.
# Fails when any suite fails or cannot run; nothing is skipped. Its last
# line says which Windows build the Windows suites ran, and why: build/win32
# under the 32-bit Wine loader, or build/win64 under wine64 on a kernel that
# runs no 32-bit code (scripts/wine-build.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
started=$(date +%s)
step() { printf '\n==== %s (%ds)\n' "$*" $(( $(date +%s) - started )); }

step "packages"
bash scripts/install-deps.sh

# The host tree holds the tests; the others are built first so that no suite
# waits for its tree in the middle of the run.
for preset in host sanitize win32; do
  step "$preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
eval "$(bash scripts/wine-build.sh)"
step "win64 build (the Windows suites run $WINE_BUILD)"
bash tests/e2e/build_win64_tree.sh

step "every suite (ctest --preset host)"
status=0
ctest --preset host || status=$?
step "done"
if [ "$WINE_BUILD" = win32 ]; then
  windows="Windows suites: $WINE_REASON; a short 64-bit pass ran too (wine64_pass)"
else
  windows="Windows suites: $WINE_REASON; the 32-bit programs were built and checked, not run"
fi
if [ "$status" -ne 0 ]; then
  echo "test.sh: FAILED (see the tests listed above)"
  echo "$windows"
  exit 1
fi
echo "test.sh: every suite passed"
echo "$windows"
