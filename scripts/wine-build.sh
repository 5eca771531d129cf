#!/usr/bin/env bash
# Which Windows build the Windows suites run, and under which Wine loader.
# The one probe that scripts/test.sh, scripts/install-deps.sh and every
# Windows suite share; it prints shell assignments:
#
#     eval "$(bash scripts/wine-build.sh)"
#
#   WINE_BUILD        win32 or win64: the tree build/$WINE_BUILD holds the programs
#   WINE_LOADER       the Wine loader to start them with, named explicitly
#   WINE_SERVER       the wineserver that goes with it
#   WINE_ARCH         the WINEARCH of the prefixes
#   WINE_RUNS_32BIT   yes or no: whether this machine runs 32-bit x86 programs at all
#   WINE_REASON       one line: which build, under what, and why
#
# UPDATER_TEST_WINE=win32, win64 or auto (the default) forces the choice.
#
# Debian's `wine` wrapper (and `wineboot`, which goes through it) takes the
# 32-bit loader whenever it is installed, also on a kernel that cannot run
# it (booted with ia32_emulation=off, or built without 32-bit emulation):
# every start then fails with "Exec format error". So the loaders are named
# here, never found through the wrapper.
set -euo pipefail

loader32=/usr/lib/wine/wine
loader64=/usr/lib/wine/wine64
server64=/usr/lib/wine/wineserver64

# Runs a 96-byte i386 program that exits with status 42 through the 32-bit
# system call gate. Any other end (ENOEXEC on a 64-bit-only kernel) is a no.
runs_32bit_code() {
  local probe status=0
  probe=$(mktemp "${TMPDIR:-/tmp}/i386-probe.XXXXXX") || return 1
  printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\273\052\000\000\000\315\200' >"$probe"
  chmod 700 "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  [ "$status" = 42 ]
}

runs32=no
runs_32bit_code && runs32=yes

choice=${UPDATER_TEST_WINE:-auto}
case "$choice" in
  win32) build=win32; why="UPDATER_TEST_WINE=win32" ;;
  win64) build=win64; why="UPDATER_TEST_WINE=win64" ;;
  auto)
    if [ "$runs32" = no ]; then
      build=win64; why="this kernel runs no 32-bit code"
    elif [ ! -x "$loader32" ] && [ -x "$loader64" ]; then
      build=win64; why="the 32-bit Wine loader ($loader32) is not installed"
    else
      build=win32; why="this machine runs 32-bit code"
    fi ;;
  *) echo "wine-build.sh: UPDATER_TEST_WINE must be win32, win64 or auto, not '$choice'" >&2; exit 2 ;;
esac

if [ "$build" = win32 ]; then
  loader=$loader32; server=$(command -v wineserver || echo /usr/bin/wineserver); arch=win32
  reason="win32 under wine (32-bit loader): $why"
else
  loader=$loader64; server=$server64; arch=win64
  reason="win64 under wine64: $why"
fi

printf 'WINE_BUILD=%q\nWINE_LOADER=%q\nWINE_SERVER=%q\nWINE_ARCH=%q\nWINE_RUNS_32BIT=%q\nWINE_REASON=%q\n' \
  "$build" "$loader" "$server" "$arch" "$runs32" "$reason"
