#!/usr/bin/env bash
# Installs whatever the tests need that is missing (Debian packages; needs root or sudo), then builds everything
# and runs the whole test suite:
#   1. the Release build and every test, and its Debian packages checked by lintian and used unpacked in a scratch
#      folder (tests/package_test.sh; only where CI is set are they also installed with apt-get and purged again);
#   2. the Windows module, cross-compiled with mingw-w64 and tested under Wine against the Linux build's output;
#   3. the Windows CE module for ARMv4, converted from an ELF link, and tested through our loader under qemu-arm
#      (StrongARM and XScale) against the Linux build's output;
#   4. every test again under AddressSanitizer + UndefinedBehaviorSanitizer (leaks included), with clang;
#   5. the concurrency tests under ThreadSanitizer;
#   6. the effect and its tests cross-built for 32-bit ARM Linux (ARMv4T) and run under qemu-arm;
#   7. each libFuzzer target for MISTVANE_FUZZ_SECONDS (default 60), failing on any finding.
# MISTVANE_QUICK=1 stops after the first step.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ libgtest-dev pkg-config python3 python3-pil imagemagick netpbm dpkg-dev lintian
          g++-mingw-w64-x86-64-win32 mingw-w64-tools wine wine64
          clang libclang-rt-14-dev g++-arm-linux-gnueabi qemu-user googletest python3-pyelftools python3-pefile
          acl attr dosfstools)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
sudo=()
[[ $(id -u) == 0 ]] || sudo=(sudo)
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
step() { echo; echo "=== $* ($(date +%T))"; }
# Configures, builds (extra arguments go to the build) and tests one preset.
run_preset() {
  local name=$1
  shift
  cmake --preset "$name"
  cmake --build --preset "$name" -j "$jobs" "$@"
  ctest --preset "$name" -j "$jobs" --no-tests=error
}

step "Release build and tests"
# The default build preset makes the library and the program alone; the tests need everything.
run_preset default --target all

step "Debian packages: lintian, then used unpacked (and, with CI set, installed and purged)"
bash tests/package_test.sh build .
[[ ${MISTVANE_QUICK:-0} == 1 ]] && exit 0

step "Windows module under Wine"
run_preset windows

step "Windows CE module (ARMv4) under qemu-arm"
run_preset wince

step "AddressSanitizer + UndefinedBehaviorSanitizer: every test"
run_preset sanitize

step "ThreadSanitizer: the concurrency tests"
run_preset tsan --target concurrency_test

step "32-bit ARM (ARMv4T) under qemu-arm"
run_preset arm

step "Fuzzing"
bash scripts/fuzz.sh "${MISTVANE_FUZZ_SECONDS:-60}"
step "Done"
