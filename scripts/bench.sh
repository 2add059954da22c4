#!/usr/bin/env bash
# Micro-benchmarks of the byte handling, in an unsanitized Release tree.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if [ ! -f build/bench/build.ninja ]; then
  cmake -S . -B build/bench -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=Release -DTOLVANE_SANITIZE=OFF >/dev/null
fi
cmake --build build/bench --target rx_bench
build/bench/tools/bench/rx_bench "$@"
