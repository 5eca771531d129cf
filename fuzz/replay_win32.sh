#!/usr/bin/env bash
# The decoders' differential check on the 32-bit Windows program's code: the
# fuzz target's check, built with the target's compiler and flags
# (build/win32/bin/decoder_diff_replay.exe), run under Wine over the seed
# corpus and whatever fuzz/run_fuzz.sh has collected in build/fuzz/corpus.
# Uses a 32-bit prefix of its own under build/wine, removed afterwards.
set -uo pipefail
cd "$(dirname "$0")/.."
program=$PWD/build/win32/bin/decoder_diff_replay.exe
root=$PWD/build/wine/replay-$$
[ -f "$program" ] || { echo "replay: $program is not built (cmake --build --preset win32)"; exit 1; }
trap 'WINEPREFIX=$root/prefix wineserver -k >/dev/null 2>&1; rm -rf "$root"' EXIT
mkdir -p "$root"
export WINEPREFIX=$root/prefix WINEARCH=win32 WINEDEBUG=-all HOME=$root
export WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d"
inputs=(fuzz/corpus/decoder_diff fuzz/corpus/archive_walk)
for folder in build/fuzz/corpus/*/; do [ -d "$folder" ] && inputs+=("${folder%/}"); done
wineboot -i </dev/null >/dev/null 2>&1 && wineserver -w </dev/null >/dev/null 2>&1
if wine "$program" "${inputs[@]}" </dev/null >"$root/replay.txt" 2>&1; then
  echo "PASS decoder_diff on the 32-bit program: $(tail -n 1 "$root/replay.txt")"
  echo "1 passed, 0 failed"
else
  echo "FAIL decoder_diff on the 32-bit program:"
  tail -n 20 "$root/replay.txt"
  echo "0 passed, 1 failed"
  exit 1
fi
