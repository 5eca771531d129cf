#!/usr/bin/env bash
# The hardening suite: fault injection, hostile archives, a hostile console
# and valgrind, against build/host and build/sanitize (brought up to date
# here when run alone; HARDEN_BUILD=<name> tests build/<name> instead of
# build/host). Prints one line per check and "N passed, N failed" last;
# exits non-zero on any failure.
#
#   tests/hardening/run_hardening.sh [--filter TEXT]
set -uo pipefail
cd "$(dirname "$0")/../.."

build=${HARDEN_BUILD:-host}
{ [ -f build/sanitize/CMakeCache.txt ] || cmake --preset sanitize >/dev/null; } &&
  cmake --build build/sanitize -j "$(nproc)" --target 3pupdate viewer_recorder >/dev/null || {
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
