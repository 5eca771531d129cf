#!/usr/bin/env bash
# The decoders' differential check on the Windows program's code: the fuzz
# target's check, built with the target's compiler and flags
# (build/win32/bin/decoder_diff_replay.exe), run under Wine over the seed
# corpus and whatever fuzz/run_fuzz.sh has collected in build/fuzz/corpus.
# Where this machine runs no 32-bit code (scripts/wine-build.sh), the 64-bit
# build's replay runs instead, and the check says that the 32-bit code (its
# 32-bit bit buffer) was not run here; the unit suite narrow.* still runs the
# decoder with a 32-bit bit buffer on the host.
# Uses a prefix of its own under build/wine, removed afterwards.
set -uo pipefail
cd "$(dirname "$0")/.."
eval "$(bash scripts/wine-build.sh)" || exit 1
bits=${WINE_BUILD#win}
program=$PWD/build/$WINE_BUILD/bin/decoder_diff_replay.exe
root=$PWD/build/wine/replay-$$
[ -f "$program" ] || { echo "replay: $program is not built (cmake --build --preset $WINE_BUILD)"; echo "0 passed, 1 failed"; exit 1; }
trap 'WINEPREFIX=$root/prefix "$WINE_SERVER" -k >/dev/null 2>&1; rm -rf "$root"' EXIT
mkdir -p "$root"
export WINEPREFIX=$root/prefix WINEARCH=$WINE_ARCH WINELOADER=$WINE_LOADER WINESERVER=$WINE_SERVER
export WINEDEBUG=-all HOME=$root
export WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d"
echo "Windows build: $WINE_REASON"
[ "$WINE_BUILD" = win32 ] || echo "replay: the 32-bit program was not run on this machine; the $bits-bit one is"
inputs=(fuzz/corpus/decoder_diff fuzz/corpus/archive_walk)
for folder in build/fuzz/corpus/*/; do [ -d "$folder" ] && inputs+=("${folder%/}"); done
"$WINE_LOADER" wineboot.exe -i </dev/null >/dev/null 2>&1 && "$WINE_SERVER" -w </dev/null >/dev/null 2>&1
if "$WINE_LOADER" "$program" "${inputs[@]}" </dev/null >"$root/replay.txt" 2>&1; then
  echo "PASS decoder_diff on the $bits-bit program: $(tail -n 1 "$root/replay.txt")"
  echo "1 passed, 0 failed"
else
  echo "FAIL decoder_diff on the $bits-bit program:"
  tail -n 20 "$root/replay.txt"
  echo "0 passed, 1 failed"
  exit 1
fi
