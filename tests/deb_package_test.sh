#!/usr/bin/env bash
# Makes the Debian package from a build tree (cpack -G DEB, into a folder of its own), checks what it holds and
# runs the host program unpacked from it. Installing it with apt-get is left to scripts/run-tests.sh, as root.
# Usage: deb_package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() {  # name, command...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else echo "FAILED: $name"; failed=$((failed + 1)); fi
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >/dev/null
deb=("$work"/vostrel-mistvane_1.0.0.1_*.deb)
check "one package, named with the full version" test -f "${deb[0]}"
contents=$(dpkg-deb -c "${deb[0]}" | awk '{print $6 $7 $8}')
for entry in ./usr/bin/mistvane ./usr/include/VostrelMistvane.h ./usr/lib/libVostrelMistvane.so.1.0.0.1 \
             ./usr/lib/libVostrelMistvane.so.1-\>libVostrelMistvane.so.1.0.0.1 \
             ./usr/lib/cmake/VostrelMistvane/VostrelMistvaneConfig.cmake ./usr/lib/pkgconfig/vostrel-mistvane.pc \
             ./usr/share/man/man1/mistvane.1; do
  check "holds $entry" grep -qxF -- "$entry" <<<"$contents"
done
check "depends on the C and C++ runtimes" bash -c "dpkg-deb -f '${deb[0]}' Depends | grep -q 'libstdc++6'"
check "the SONAME the link is named after" bash -c \
  "objdump -p '$build/libVostrelMistvane.so.1.0.0.1' | grep -q 'SONAME *libVostrelMistvane.so.1$'"

# Unpacked anywhere, the host finds the library beside it in the tree and blurs as the build tree's does.
dpkg-deb -x "${deb[0]}" "$work/root"
check "version" test "$("$work/root/usr/bin/mistvane" --version)" = 1.0.0.1
"$build/mistvane" -q "$source/sample/wizard.bmp" "$work/expected.bmp"
check "unpacked host runs" "$work/root/usr/bin/mistvane" -q "$source/sample/wizard.bmp" "$work/unpacked.bmp"
check "unpacked host output" cmp -s "$work/expected.bmp" "$work/unpacked.bmp"
page=$work/root/usr/share/man/man1/mistvane.1
if command -v man >/dev/null; then
  check "man page" bash -c "MANWIDTH=80 man -l '$page' 2>/dev/null | grep -q 'mistvane - blur 24-bit BMP'"
else
  check "man page" grep -q '^\.TH MISTVANE 1 ' "$page"
fi

echo "$passed passed, $failed failed"
((failed == 0))
