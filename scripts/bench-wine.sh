#!/usr/bin/env bash
# Whole-run benchmark under Wine: velmorast.exe against the floor of its file
# I/O, on a 32 MiB and a 3 KiB Registry.pol, on a tmpfs and on the disk (see
# tests/bench/wine/bench_run.py). Builds what it needs in its own folder and
# needs root (for the tmpfs). Not a test: nothing here runs under ctest.
#
#   scripts/bench-wine.sh [--before <commit>] [--rounds <n>]
#
# --before also builds velmorast.exe of that commit (in a temporary git
# worktree, removed afterwards) and runs it beside the current one.
# VELMORAST_BENCH_BUILD chooses the build folder (default build/bench-wine).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${VELMORAST_BENCH_BUILD:-$root/build/bench-wine}
before=""
driver_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --before) before=$2; shift 2 ;;
    --rounds) driver_args+=(--rounds "$2"); shift 2 ;;
    *) echo "usage: $0 [--before <commit>] [--rounds <n>]" >&2; exit 2 ;;
  esac
done

toolchain=$root/cmake/mingw-w64-x86_64.cmake
cmake -S . -B "$build/win" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/win" -j2 --target velmorast velmorast_timing velmorast_bench_floor velmorast_bench_empty \
  velmorast_bench_launch velmorast_userenv_double velmorast_gpupdate_double >/dev/null

if [ -n "$before" ]; then
  worktree=$(mktemp -d /tmp/velmorast-before.XXXXXX)
  trap 'git -C "$root" worktree remove --force "$worktree" >/dev/null 2>&1 || true; rm -rf "$worktree"' EXIT
  git worktree add --detach "$worktree" "$before" >/dev/null 2>&1
  # Each worktree is a new source folder: a cache from the last one would refuse it.
  rm -rf "$build/before"
  cmake -S "$worktree" -B "$build/before" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build/before" -j2 --target velmorast >/dev/null
  driver_args+=(--before-exe "$build/before/velmorast.exe")
  echo "before: $(git rev-parse --short "$before") $(git log -1 --format=%s "$before")"
fi
echo "after:  $(git rev-parse --short HEAD) (working tree)"

bench=$build/win/tests/bench/wine
python3 tests/bench/wine/bench_run.py \
  --exe "$build/win/velmorast.exe" --timing-exe "$bench/velmorast_timing.exe" \
  --floor "$bench/floor.exe" --empty "$bench/empty.exe" --launcher "$bench/bench_launch.exe" \
  --doubles "$build/win/tests/wine/doubles" --work "$build/work" "${driver_args[@]}"
