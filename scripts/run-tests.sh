#!/usr/bin/env bash
# Installs whatever the tests need that is missing (Debian packages; needs root or sudo), then builds everything
# and runs the whole test suite: the Linux build, then the Windows module, cross-compiled with mingw-w64 and tested
# under Wine against the Linux build's output.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ libgtest-dev pkg-config python3 python3-pil imagemagick netpbm
          g++-mingw-w64-x86-64-win32 mingw-w64-tools wine wine64)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=()
  [[ $(id -u) == 0 ]] || sudo=(sudo)
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake --preset default
cmake --build --preset default -j "$(nproc)"
ctest --preset default -j "$(nproc)" --no-tests=error

cmake --preset windows
cmake --build --preset windows -j "$(nproc)"
ctest --preset windows -j "$(nproc)" --no-tests=error
