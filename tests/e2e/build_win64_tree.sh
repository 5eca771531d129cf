#!/usr/bin/env bash
# Builds the 64-bit Windows tree (build/win64). Where the Windows suites run
# it (scripts/wine-build.sh says win64), every program; elsewhere only what
# the short 64-bit pass runs (tests/e2e/wine64_pass.sh), so that the fallback
# is exercised on every machine without building it all twice.
set -euo pipefail
cd "$(dirname "$0")/../.."
eval "$(bash scripts/wine-build.sh)"
cmake --preset win64 >/dev/null
if [ "$WINE_BUILD" = win64 ]; then
  cmake --build --preset win64 -j "$(nproc)"
else
  cmake --build --preset win64 -j "$(nproc)" --target 3pupdate 3pupdate-test viewer_recorder file_holder
fi
