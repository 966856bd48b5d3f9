#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those
# that are missing. Runs as root on Debian 12 (uses sudo when not root).
set -euo pipefail

packages=(cmake g++ make libgtest-dev libbenchmark-dev clang libclang-rt-14-dev
          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 python3 python3-samba)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
