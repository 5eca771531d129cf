#!/usr/bin/env bash
# Configures and builds a second tree whose updater installs only archives
# signed with one key, and makes the keys its scenarios sign with:
#   DIR/keys/vendor.{key,pub}  the key the updater carries (made by openssl
#                              in the traditional EC form, as a maintainer
#                              with openssl alone would)
#   DIR/keys/other.{key,pub}   another key (made by 3ppack keygen)
# A host tree by default; --windows builds the Windows programs with the same
# key (the keys are then taken from the host tree HOST_DIR), in
# build/win32-key, or build/win64-key where this machine runs no 32-bit code
# (scripts/wine-build.sh chooses, as for every Windows suite).
#
#   tests/e2e/build_key_tree.sh DIR              host tree
#   tests/e2e/build_key_tree.sh --windows HOST_DIR
set -euo pipefail
cd "$(dirname "$0")/../.."

win32=0
if [ "${1:-}" = --windows ]; then
  win32=1; shift
  eval "$(bash scripts/wine-build.sh)"
  keys=$1/keys
  dir=$PWD/build/$WINE_BUILD-key
  toolchain=cmake/toolchain-mingw${WINE_BUILD#win}.cmake
else
  dir=$1
  keys=$1/keys
fi
jobs=$(nproc)

if [ "$win32" = 0 ] && [ ! -f "$keys/vendor.pub" ]; then
  mkdir -p "$keys"
  cmake --preset host >/dev/null && cmake --build --preset host -j "$jobs" --target 3ppack >/dev/null
  openssl ecparam -name prime256v1 -genkey -noout -out "$keys/vendor.key"
  openssl ec -in "$keys/vendor.key" -pubout -out "$keys/vendor.pub" 2>/dev/null
  rm -f "$keys/other.key" "$keys/other.pub"
  build/host/bin/3ppack keygen -o "$keys/other" >/dev/null
fi
if [ "$win32" = 1 ]; then
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DUPDATER_PUBLIC_KEY="$(realpath "$keys/vendor.pub")" >/dev/null
  cmake --build "$dir" -j "$jobs" --target 3pupdate 3pupdate-test viewer_recorder 3ppack >/dev/null
else
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DUPDATER_PUBLIC_KEY="$(realpath "$keys/vendor.pub")" >/dev/null
  cmake --build "$dir" -j "$jobs" --target 3pupdate 3ppack viewer_recorder >/dev/null
fi
