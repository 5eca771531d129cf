#!/usr/bin/env bash
# Builds the fuzz targets with clang, replays the seed corpus through each,
# then fuzzes every target for SECONDS (default 60), the targets side by side.
#
#   fuzz/run_fuzz.sh [SECONDS]
#
# New inputs go to build/fuzz/corpus/<target>/ (the seeds in fuzz/corpus/
# stay as they are); a crash, leak, sanitizer report or slow input is kept
# in build/fuzz/artifacts/ and fails the script, and so does a target that
# ran no input. Prints one line per target with executions and coverage,
# and ends in "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
build=$root/build/fuzz
# decoder_diff_narrow: the same check on the decoder built with the 32-bit
# target's bit buffer; it shares decoder_diff's seeds.
targets=(archive_walk decoder_diff decoder_diff_narrow)

if ! command -v clang++ >/dev/null; then
  echo "run_fuzz.sh: clang++ is missing (Debian: clang, libclang-rt-14-dev)" >&2
  exit 1
fi
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S fuzz -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ >/dev/null || exit 1
fi
cmake --build "$build" -j "$(nproc)" >/dev/null || { cmake --build "$build" -j 1; exit 1; }

mkdir -p "$build/artifacts"
passed=0
failed=0

# Replays the seeds: every one must run clean before any fuzzing.
for target in "${targets[@]}"; do
  seeds=fuzz/corpus/${target%_narrow}
  if "$build/bin/fuzz_$target" -runs=0 "$seeds" >"$build/replay_$target.log" 2>&1; then
    passed=$((passed + 1))
    echo "PASS replay $target ($(ls "$seeds" | wc -l) seeds)"
  else
    failed=$((failed + 1))
    echo "FAIL replay $target:"
    tail -n 30 "$build/replay_$target.log"
  fi
done

# Fuzzes all targets at once, each bounded by -max_total_time; -timeout
# turns one slow input into a failure, so a hang is caught as well.
pids=()
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target"
  "$build/bin/fuzz_$target" "$build/corpus/$target" "fuzz/corpus/${target%_narrow}" \
    -max_total_time="$seconds" -max_len=24576 -timeout=20 -rss_limit_mb=2048 -detect_leaks=1 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    >"$build/fuzz_$target.log" 2>&1 &
  pids+=($!)
done
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  log=$build/fuzz_$target.log
  status=0
  wait "${pids[$i]}" || status=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  coverage=$(grep -E '^#[0-9]+' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
  # A target that ran no input at all (it could not start fuzzing) proves
  # nothing, whatever its status.
  if [ "$status" -eq 0 ] && [ "${runs:-0}" -eq 0 ]; then
    failed=$((failed + 1))
    echo "FAIL fuzz $target: no input was run, see $log"
  elif [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    echo "PASS fuzz $target: ${seconds}s, ${runs:-?} runs, ${coverage:-no coverage line}"
  else
    failed=$((failed + 1))
    echo "FAIL fuzz $target (status $status), see $log:"
    grep -E 'ERROR|invariant|SUMMARY|Test unit written' "$log" | head -n 20
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
