#!/usr/bin/env bash
# Runs the benchmarks from build/host (or the build folder given by BUILD)
# and, in the same rounds, the shipped 32-bit Windows programs from
# build/win32 (or WIN32_BUILD) under Wine. Where this machine runs no 32-bit
# code (scripts/wine-build.sh), the 64-bit Windows build from build/win64
# runs under wine64 instead, and the table says the 32-bit figures were not
# measured.
#   bench/run_bench.sh           full measurement: 32 MiB corpora (minutes)
#   bench/run_bench.sh --quick   1 MiB corpora, one round: checks that they work
#   --cpu                        CPU time instead of the wall clock (a shared machine)
#   --rounds N, --only CORPUS    other round counts, one corpus
#   --host-only                  without the Windows side
# The real corpora are made once per size from installed packages
# (scripts/install-deps.sh) and kept in <build>/bench-corpora. The Windows
# side runs in a Wine prefix of its own under build/wine, made for
# the run and removed after it (Japanese locale, as the product runs), with
# the product installed in C:\P.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build/host}
eval "$(bash scripts/wine-build.sh)"
win32=${WIN32_BUILD:-build/$WINE_BUILD}
size=$((32 << 20))
quick=()
host_only=0
args=()
for arg in "$@"; do
  case $arg in
    --quick) size=$((1 << 20)); quick=(--quick); args+=("$arg") ;;
    --host-only) host_only=1 ;;
    *) args+=("$arg") ;;
  esac
done
# The system's python3: PIL comes from a Debian package.
/usr/bin/python3 bench/make_corpora.py "$build/bench-corpora" "$size"

if [ "$host_only" = 0 ]; then
  for program in decode_bench.exe 3pupdate.exe; do
    if [ ! -f "$win32/bin/$program" ]; then
      echo "run_bench.sh: $win32/bin/$program is not built (cmake --build --preset $WINE_BUILD)," \
           "or give --host-only" >&2
      exit 1
    fi
  done
  root=$PWD/build/wine/bench-$$
  trap 'WINEPREFIX=$root/prefix "$WINE_SERVER" -k >/dev/null 2>&1 || true; rm -rf "$root"' EXIT
  mkdir -p "$root"
  echo "Windows build: $WINE_REASON"
  export WINEPREFIX=$root/prefix WINEARCH=$WINE_ARCH WINELOADER=$WINE_LOADER WINESERVER=$WINE_SERVER
  export WINE_REASON
  export WINEDEBUG=-all HOME=$root TZ=UTC
  export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
  export WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d"
  unset DISPLAY
  "$WINE_LOADER" wineboot.exe -i </dev/null >/dev/null 2>&1 && "$WINE_SERVER" -w </dev/null >/dev/null 2>&1
  # The installation's two values, as bytes (C:\P and 1.00).
  printf '%s\r\n' REGEDIT4 '' \
    '[HKEY_LOCAL_MACHINE\SoftWare\ORBELINE\3D Perinwood\Directories]' \
    '"InstallDir"=hex:43,3a,5c,50' '' \
    '[HKEY_LOCAL_MACHINE\SoftWare\ORBELINE\3D Perinwood\VersionInfo]' \
    '"Version"=hex:31,2e,30,30' '' >"$root/install.reg"
  "$WINE_LOADER" regedit /S "Z:${root//\//\\}\\install.reg" </dev/null >/dev/null 2>&1
  mkdir -p "$WINEPREFIX/drive_c/P" "$WINEPREFIX/drive_c/Update"
  # A warm wineserver starts each program in a fraction of a second.
  "$WINE_SERVER" -p </dev/null >/dev/null 2>&1 || true  # (one may be running still)
  args+=(--win32 "$(cd "$win32/bin" && pwd)")
fi
"$build/bin/decode_bench" --corpora "$build/bench-corpora" "${args[@]}"
"$build/bin/pack_bench" --corpora "$build/bench-corpora" "${quick[@]}"
