#!/usr/bin/env bash
# Builds velmorast.exe a second time, from scratch in another folder, and
# compares its bytes with the first build's.
set -euo pipefail
source_dir=$1 first_exe=$2 second_dir=$3 toolchain=$4
rm -rf "$second_dir"
cmake -S "$source_dir" -B "$second_dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$second_dir" -j2 --target velmorast >/dev/null
first=$(sha256sum < "$first_exe" | cut -d' ' -f1)
second=$(sha256sum < "$second_dir/velmorast.exe" | cut -d' ' -f1)
echo "first  $first"
echo "second $second"
if [ "$first" != "$second" ]; then
  echo "velmorast.exe differs between two builds of the same sources"
  cmp -l "$first_exe" "$second_dir/velmorast.exe" | head -20
  exit 1
fi
rm -rf "$second_dir"
