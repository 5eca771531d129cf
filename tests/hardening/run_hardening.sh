#!/usr/bin/env bash
# The hardening suite: fault injection, hostile archives, a hostile console,
# valgrind and read-only files, against build/host and build/sanitize.
#
#   tests/hardening/run_hardening.sh [--filter TEXT]
#
# Assumes build/host is built (HARDEN_BUILD=<name> tests build/<name>
# instead). Configures the sanitize preset when it is absent and builds its
# 3pupdate. Prints one line per test and "N passed, N failed" last; exits
# non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/../.."

build=${HARDEN_BUILD:-host}
if [ ! -x "build/$build/bin/3pupdate" ]; then
  echo "run_hardening.sh: build/$build/bin/3pupdate is missing (cmake --preset host && cmake --build --preset host)"
  echo "0 passed, 1 failed"
  exit 1
fi
# The sanitizer build's 3pupdate: configured when absent, brought up to date
# (a no-op when it is).
if [ ! -f build/sanitize/CMakeCache.txt ]; then
  cmake --preset sanitize >/dev/null || { echo "0 passed, 1 failed"; exit 1; }
fi
cmake --build build/sanitize -j "$(nproc)" --target 3pupdate >/dev/null || {
  echo "run_hardening.sh: the sanitize build failed"; echo "0 passed, 1 failed"; exit 1; }

# Scratch machines live under build/, not in the system's temporary folder.
export HARDEN_TMP=$(pwd)/build/hardening-tmp
# Clears the scratch folder, unmounting the small full-disk file system that
# a killed run may have left mounted.
clear_scratch() {
  if command -v findmnt >/dev/null; then
    findmnt -rn -o TARGET | grep "^$HARDEN_TMP/" | while read -r mount_point; do umount "$mount_point"; done
  fi
  rm -rf "$HARDEN_TMP"
}
clear_scratch
mkdir -p "$HARDEN_TMP"
timeout 900 python3 tests/hardening/run_hardening.py --build "$build" --sanitize sanitize --jobs "$(nproc)" "$@"
status=$?
clear_scratch
if [ "$status" -eq 124 ]; then
  echo "run_hardening.sh: the suite did not finish in 15 minutes"
  echo "0 passed, 1 failed"
fi
exit "$status"
