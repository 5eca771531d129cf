#!/usr/bin/env bash
# Runs the benchmarks from build/host (or the build folder given by BUILD).
#   bench/run_bench.sh           full measurement: 32 MiB corpora (minutes)
#   bench/run_bench.sh --quick   1 MiB corpora, one round: checks that they work
#   bench/run_bench.sh --cpu     CPU time instead of the wall clock (a shared machine)
# The real corpora are made once per size from installed packages
# (scripts/install-deps.sh) and kept in <build>/bench-corpora.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build/host}
size=$((32 << 20))
[ "${1:-}" = --quick ] && size=$((1 << 20))
# The system's python3: PIL comes from a Debian package.
/usr/bin/python3 bench/make_corpora.py "$build/bench-corpora" "$size"
"$build/bin/decode_bench" --corpora "$build/bench-corpora" "$@"
quick=()
[ "${1:-}" = --quick ] && quick=(--quick)
"$build/bin/pack_bench" --corpora "$build/bench-corpora" "${quick[@]}"
