#!/usr/bin/env bash
# Configures and builds a second tree whose updater installs only archives
# signed with one of two keys (a vendor between two keys), and makes the
# keys its scenarios sign with:
#   DIR/keys/vendor.{key,pub}  the current key the updater carries (made by
#                              openssl in the traditional EC form, as a
#                              maintainer with openssl alone would)
#   DIR/keys/next.{key,pub}    the next key it carries (made by 3ppack keygen;
#                              its public key rewritten in the hybrid point
#                              form, which the build converts)
#   DIR/keys/other.{key,pub}   a key it does not carry (made by 3ppack keygen)
# A host tree by default; --windows builds the Windows programs with the same
# keys (taken from the host tree HOST_DIR), in build/win32-key, or
# build/win64-key where this machine runs no 32-bit code (scripts/wine-build.sh
# chooses, as for every Windows suite).
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

if [ "$win32" = 0 ] && [ ! -f "$keys/next.pub" ]; then
  mkdir -p "$keys"
  cmake --preset host >/dev/null && cmake --build --preset host -j "$jobs" --target 3ppack >/dev/null
  rm -f "$keys"/*.key "$keys"/*.pub
  openssl ecparam -name prime256v1 -genkey -noout -out "$keys/vendor.key"
  openssl ec -in "$keys/vendor.key" -pubout -out "$keys/vendor.pub" 2>/dev/null
  build/host/bin/3ppack keygen -o "$keys/other" >/dev/null
  build/host/bin/3ppack keygen -o "$keys/next" >/dev/null
  openssl pkey -in "$keys/next.key" -pubout -ec_conv_form hybrid -out "$keys/next.pub"
fi
trusted="$(realpath "$keys/vendor.pub");$(realpath "$keys/next.pub")"
if [ "$win32" = 1 ]; then
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DUPDATER_PUBLIC_KEY="$trusted" >/dev/null
  cmake --build "$dir" -j "$jobs" --target 3pupdate 3pupdate-test viewer_recorder 3ppack >/dev/null
else
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DUPDATER_PUBLIC_KEY="$trusted" >/dev/null
  cmake --build "$dir" -j "$jobs" --target 3pupdate 3ppack viewer_recorder >/dev/null
fi
