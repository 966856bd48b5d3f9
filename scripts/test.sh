#!/usr/bin/env bash
# Builds everything and runs every test: the host unit tests against the fake
# platform, a bounded fuzz run of the policy file merge, and the end-to-end
# suite that runs the real velmorast.exe under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)

echo "== host build and unit tests (address and undefined-behaviour sanitizers)"
cmake -S . -B build/host -DCMAKE_BUILD_TYPE=Debug -DVELMORAST_SANITIZE=ON >/dev/null
cmake --build build/host -j"$jobs"
ctest --test-dir build/host --output-on-failure -j"$jobs"

if [ -f tests/fuzz/CMakeLists.txt ]; then
  echo "== fuzz build (clang, libFuzzer with address and undefined sanitizers) and bounded run"
  cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORAST_FUZZ=ON >/dev/null
  cmake --build build/fuzz -j"$jobs" --target velmorast_fuzz_merge
  ctest --test-dir build/fuzz --output-on-failure -L fuzz
  grep -h "stat::number_of_executed_units" build/fuzz/Testing/Temporary/LastTest.log || true
fi

echo "== Windows build (mingw-w64) and Wine end-to-end tests"
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build/win -j"$jobs"
ctest --test-dir build/win --output-on-failure
