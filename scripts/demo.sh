#!/usr/bin/env bash
# Builds velmorast.exe and runs its main job under Wine, in a throwaway prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build/win -j"$(nproc)"

export WINEPREFIX="$PWD/build/demo-prefix" WINEDEBUG=-all
rm -rf "$WINEPREFIX"
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
# Windows ships system32\GroupPolicy; a fresh Wine prefix does not.
mkdir -p "$WINEPREFIX/drive_c/windows/system32/GroupPolicy"
set +e
/usr/lib/wine/wine64 build/win/velmorast.exe
echo "exit status (low 8 bits): $?"
