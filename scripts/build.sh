#!/usr/bin/env bash
# Configures and builds the three trees:
#   build/native  portable code, tests with ASan/UBSan, fuzzer, simulator
#   build/win32   the product: 32-bit tolvane.exe (and its tests)
#   build/win64   the same sources for x86_64, only where the kernel cannot
#                 run 32-bit programs (Wine then runs the tests 64-bit)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-env.sh
JOBS="$(nproc)"

configure() { # dir args...
  local dir="$1"; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  fi
}
configure build/native -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug
configure build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build/native -j "$JOBS"
cmake --build build/win32 -j "$JOBS"
if [ "$(tolvane_wine_arch)" = win64 ]; then
  configure build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
  cmake --build build/win64 -j "$JOBS"
fi
