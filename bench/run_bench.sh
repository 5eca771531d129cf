#!/usr/bin/env bash
# Runs the benchmarks from build/host (or the build folder given by BUILD).
#   bench/run_bench.sh           full measurement (minutes)
#   bench/run_bench.sh --quick   small corpora, one run: checks that they work
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${BUILD:-build/host}/bin
"$bin/decode_bench" "$@"
"$bin/pack_bench" "$@"
