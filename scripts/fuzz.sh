#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, ASan + UBSan, build/fuzz) and fuzzes each for N
# seconds (default 60), starting from its committed corpus. Fails on any finding; the
# reproducer is left in build/fuzz/artifacts (commit it under fuzz/corpus/<target>/ with
# the fix). New interesting inputs go to build/fuzz/work, not into the committed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
seconds=${1:-60}
dir=build/fuzz
targets=(base64 schema parsers materialise query)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG" \
  -DVELMOR_FUZZ=ON -DVELMOR_WERROR=ON -DVELMOR_BUILD_TESTS=OFF -DVELMOR_BUILD_BENCH=OFF \
  -DVELMOR_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
mkdir -p "$dir/artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Each target fuzzes on its own core for the full time; as many at once as there are cores.
fuzz_one() {
  local t=$1
  mkdir -p "$dir/work/$t"
  if "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$dir/artifacts/$t-" "$dir/work/$t" "fuzz/corpus/$t" >"$dir/$t.log" 2>&1; then
    echo "fuzz_$t: $(grep -a 'stat::number_of_executed_units' "$dir/$t.log" | awk '{print $2}') executions, no finding"
  else
    echo "fuzz_$t: FINDING (log $dir/$t.log)"
    grep -a -A3 'oracle failed\|ERROR:' "$dir/$t.log" | head -20
    return 1
  fi
}
status=0
running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$(nproc)" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  fuzz_one "$t" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit $status
