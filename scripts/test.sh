#!/usr/bin/env bash
# The test command: installs what is missing, builds the three presets (host,
# sanitize, win32) and runs every suite through `ctest --preset host`. Fails
# when any suite fails or cannot run; nothing is skipped.
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

step "every suite (ctest --preset host)"
status=0
ctest --preset host || status=$?
step "done"
if [ "$status" -ne 0 ]; then
  echo "test.sh: FAILED (see the tests listed above)"
  exit 1
fi
echo "test.sh: every suite passed"
