#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and runs every
# test; with --sanitize, the same in an AddressSanitizer + UndefinedBehaviorSanitizer build;
# with --clang, the tests built by clang 14 (the code must not lean on one compiler);
# with --tsan, the tests labelled `threads` in a ThreadSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
dir=build/release
flags=(-DCMAKE_BUILD_TYPE=Release -DVELMOR_WERROR=ON)
label=()
targets=()
if [ "${1:-}" = "--tsan" ]; then
  # The tests that share state across threads, under ThreadSanitizer.
  dir=build/tsan
  # clang: g++ 12 refuses the fences in Asio under -fsanitize=thread.
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_WERROR=ON -DVELMOR_TSAN=ON -DCMAKE_CXX_COMPILER=clang++-14
         -DVELMOR_BUILD_BENCH=OFF -DVELMOR_BUILD_EXAMPLES=OFF)
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  label=(-L threads)
  targets=(--target qsetkit_tests backends_tests)
elif [ "${1:-}" = "--sanitize" ]; then
  dir=build/sanitize
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_WERROR=ON -DVELMOR_SANITIZE=ON
         -DVELMOR_BUILD_BENCH=OFF -DVELMOR_BUILD_EXAMPLES=OFF)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
elif [ "${1:-}" = "--clang" ]; then
  dir=build/clang
  flags=(-DCMAKE_BUILD_TYPE=Release -DVELMOR_WERROR=ON -DCMAKE_CXX_COMPILER=clang++-14
         -DVELMOR_BUILD_BENCH=OFF -DVELMOR_BUILD_EXAMPLES=OFF)
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" "${label[@]}"
