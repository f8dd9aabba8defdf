#!/usr/bin/env bash
# Installs what is missing, builds the demo and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc)" --target velmor_demo
./build/release/examples/demo/velmor_demo
