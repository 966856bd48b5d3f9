#!/usr/bin/env bash
# Builds velmorast.exe from a clean build folder and puts it, its SHA-256 and
# the README into release/. Two runs from the same commit give the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
rm -rf build/release release
cmake -S . -B build/release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release -j"$(nproc)" >/dev/null
mkdir release
cp build/release/velmorast.exe README.md release/
(cd release && sha256sum velmorast.exe > velmorast.exe.sha256)
echo "release/:"
ls -l release
cat release/velmorast.exe.sha256
