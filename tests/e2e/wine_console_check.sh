#!/usr/bin/env bash
# The Windows program on a console whose code page is not 932, under Wine on
# a terminal (script(1) gives it one): the dialogue is shown converted, and
# when code page 932 is missing (a Western Windows without East Asian
# support; the test program's fault "code_page" plays it) the bytes are shown
# as they are, in the console's own code page, rather than nothing.
#
# The run stops at once (no installation in the registry) after its 5-second
# pause. Uses a prefix of its own under build/, with a Western locale, and
# the Windows build that scripts/wine-build.sh chooses.
set -uo pipefail
cd "$(dirname "$0")/../.."
eval "$(bash scripts/wine-build.sh)" || exit 1
echo "Windows build: $WINE_REASON"
program=$PWD/build/$WINE_BUILD/bin/3pupdate-test.exe
root=$PWD/build/wine/console-$$
trap 'WINEPREFIX=$root/prefix "$WINE_SERVER" -k 2>/dev/null; rm -rf "$root"' EXIT
mkdir -p "$root/run"
export WINEPREFIX=$root/prefix WINEARCH=$WINE_ARCH WINELOADER=$WINE_LOADER WINESERVER=$WINE_SERVER
export WINEDEBUG=-all HOME=$root LANG=C.UTF-8 LC_ALL=C.UTF-8
export WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d"
[ -f "$program" ] || { echo "console check: $program is not built"; echo "0 passed, 1 failed"; exit 1; }
"$WINE_LOADER" wineboot.exe -i >/dev/null 2>&1 && "$WINE_SERVER" -w
cd "$root/run"
run() {  # $1: output file; the rest: environment settings for the run
  local out=$1; shift
  env "$@" timeout 60 script -qec "'$WINE_LOADER' '$program'" "$out" >/dev/null 2>&1 </dev/null
}
run "$root/converted.txt"
run "$root/raw.txt" UPDATER_FAULTS=code_page=1

failed=0
japanese='3D Perinwoodが正しくインストールされていません'
if ! grep -qF "$japanese" "$root/converted.txt"; then
  echo "FAIL console check: the message is not shown converted"; failed=1
fi
# Unconverted, the Shift-JIS bytes show as characters of code page 437:
# the line is there, long, and not the Japanese text.
line=$(grep -a '3D Perinwood' "$root/raw.txt" | head -n 1)
if grep -qF "$japanese" "$root/raw.txt" || [ "${#line}" -lt 30 ]; then
  echo "FAIL console check: without code page 932 the message is not shown as its bytes"
  failed=1
fi
[ "$failed" = 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit "$failed"
