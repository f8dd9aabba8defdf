#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and runs every
# test; with --sanitize, the same in an AddressSanitizer + UndefinedBehaviorSanitizer build;
# with --clang, the tests built by clang 14 (the code must not lean on one compiler);
# with --tsan, the query-set and store tests built by clang 14 under ThreadSanitizer.
# Sanitizer builds keep line tables only: enough for their reports, and much faster to build.
# The tests run against a throwaway PostgreSQL primary and standby (scripts/pg_cluster.sh),
# started after the build and stopped on every exit; a caller that sets VELMOR_PG_URL
# brings its own server, and nothing is started.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
dir=build/release
targets=()
flags=(-DCMAKE_BUILD_TYPE=Release -DVELMOR_WERROR=ON)
run=()
if [ "${1:-}" = "--tsan" ]; then
  # The query-set and store tests (every one that shares state across threads carries the
  # label `threads`) under ThreadSanitizer, run directly: the other test executables are
  # not built. clang: g++ 12 refuses the fences in Asio under -fsanitize=thread.
  dir=build/tsan
  targets=(--target qsetkit_tests backends_tests)
  run=(sh -c "$dir/tests/qsetkit/qsetkit_tests --gtest_brief=1 && $dir/tests/backends/backends_tests --gtest_brief=1")
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG"
         -DVELMOR_WERROR=ON -DVELMOR_TSAN=ON -DCMAKE_CXX_COMPILER=clang++-14
         -DVELMOR_BUILD_BENCH=OFF -DVELMOR_BUILD_EXAMPLES=OFF)
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
elif [ "${1:-}" = "--sanitize" ]; then
  dir=build/sanitize
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
         -DVELMOR_WERROR=ON -DVELMOR_SANITIZE=ON
         -DVELMOR_BUILD_BENCH=OFF -DVELMOR_BUILD_EXAMPLES=OFF)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
elif [ "${1:-}" = "--clang" ]; then
  dir=build/clang
  flags=(-DCMAKE_BUILD_TYPE=Release -DVELMOR_WERROR=ON -DCMAKE_CXX_COMPILER=clang++-14
         -DVELMOR_BUILD_BENCH=OFF -DVELMOR_BUILD_EXAMPLES=OFF)
fi
[ ${#run[@]} -gt 0 ] || run=(ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 600)
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
if [ -z "${VELMOR_PG_URL:-}" ]; then
  pg_folder=$(mktemp -d /tmp/velmor-pg.XXXXXX) # short: the sockets live there
  # The exit status stays the tests' (or the interruption's), whatever stop says.
  stop_pg() {
    local status=$?
    scripts/pg_cluster.sh stop "$pg_folder" ||
      echo "test.sh: stopping the PostgreSQL servers in $pg_folder failed" >&2
    exit "$status"
  }
  trap stop_pg EXIT
  # An interrupted run exits through the EXIT trap too.
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
  pg_env=$(scripts/pg_cluster.sh start "$pg_folder")
  eval "$pg_env"
fi
"${run[@]}"
