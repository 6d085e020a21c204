#!/usr/bin/env bash
# Builds everything into build/ (library, emulator, tools, tests and
# benchmarks) with warnings as errors and runs the test suite. Exits
# non-zero if the build or any test fails.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash tools/install-deps.sh --gst

generator=()
[[ -f build/CMakeCache.txt ]] || generator=(-G Ninja)
cmake -S . -B build "${generator[@]}" \
  -DCMAKE_BUILD_TYPE="${CMAKE_BUILD_TYPE:-RelWithDebInfo}" \
  -DLUMO_WERROR=ON -DLUMO_BUILD_TESTS=ON -DLUMO_BUILD_BENCH=ON
cmake --build build -j2
ctest --test-dir build --output-on-failure --no-tests=error -j2
