#!/usr/bin/env bash
# Installs whatever the tests need that is missing (Debian packages; needs root or sudo), then builds everything
# and runs the whole test suite:
#   1. the Release build and every test, and its Debian package installed, run and removed again;
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

packages=(cmake make g++ libgtest-dev pkg-config python3 python3-pil imagemagick netpbm dpkg-dev
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
run_preset default

step "Debian packages: installed, run on the sample, removed"
(cd build && cpack -G DEB)
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q ./build/libvostrelmistvane1_*.deb \
  ./build/libvostrelmistvane-dev_*.deb ./build/vostrel-mistvane_*.deb
package_work=$(mktemp -d)
/usr/bin/mistvane --version
libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
ls $libdir/libVostrelMistvane.so.1 /usr/include/VostrelMistvane.h $libdir/cmake/VostrelMistvane/VostrelMistvaneConfig.cmake \
   $libdir/pkgconfig/vostrel-mistvane.pc /usr/share/man/man1/mistvane.1.gz
/usr/bin/mistvane sample/wizard.bmp "$package_work/installed.bmp"
build/mistvane -q sample/wizard.bmp "$package_work/built.bmp"
cmp "$package_work/installed.bmp" "$package_work/built.bmp"
rm -rf "$package_work"
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get remove -y -q vostrel-mistvane libvostrelmistvane-dev libvostrelmistvane1
test ! -e /usr/bin/mistvane  # removed with the package
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
