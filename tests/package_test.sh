#!/usr/bin/env bash
# Builds the Debian packages of a build folder, has lintian check them, and uses them the way their users would:
# unpacked side by side into a scratch folder, the program blurs the sample as the build tree's does, and a small C
# program builds and runs against the -dev files through CMake and through pkg-config. Nothing on the machine is
# changed, unless CI is set: then the packages are also installed with apt-get, used from /usr and purged again.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2")
source "$(dirname "${BASH_SOURCE[0]}")/check.sh"

rm -f "$build"/*.deb
if ! (cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1); then
  cat "$work/cpack.log" >&2
  exit 1
fi
packages=(libvostrelmistvane1 libvostrelmistvane-dev vostrel-mistvane)
debs=()
for package in "${packages[@]}"; do
  debs+=("$(ls "$build/${package}"_*.deb)")
done
version=$(dpkg-deb -f "${debs[0]}" Version)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
sample=$source/sample/wizard.bmp
"$build/mistvane" -q "$sample" "$work/expected.bmp"

# Every error or warning fails, bar those a package overrides itself (each with its reason).
check "lintian" lintian --pedantic --fail-on error,warning "${debs[@]}"
# dpkg-shlibdeps cannot see a library loaded with dlopen: the program has to ask for this very build of it.
depends=$(dpkg-deb -f "${debs[2]}" Depends)
check "program depends on its own library build" eval '[[ ", $depends," == *", libvostrelmistvane1 (= $version),"* ]]'

# Uses a tree holding the packages' files under usr: the program, a CMake consumer and a pkg-config consumer, each
# blurring the sample. Extra arguments go to pkg-config.
use_tree() {  # label, usr folder, pkg-config arguments...
  local label=$1 usr=$2
  shift 2
  local pc=$usr/lib/$triplet/pkgconfig/vostrel-mistvane.pc
  check "$label: library in the multiarch folder" test -e "$usr/lib/$triplet/libVostrelMistvane.so.1"
  check "$label: .pc names /usr, no .." eval '[[ $(head -1 "$pc") == prefix=/usr && $(grep -c "\.\." "$pc") == 0 ]]'

  check "$label: program runs" "$usr/bin/mistvane" -q "$sample" "$work/$label-program.bmp"
  check "$label: program output" cmp -s "$work/expected.bmp" "$work/$label-program.bmp"

  cmake -S "$source/tests/consumer" -B "$work/$label-cmake" -DCMAKE_PREFIX_PATH="$usr" >/dev/null
  cmake --build "$work/$label-cmake" >/dev/null
  check "$label: CMake consumer runs" "$work/$label-cmake/consumer" "$sample" "$work/$label-cmake.bmp" >/dev/null
  check "$label: CMake consumer output" cmp -s "$work/expected.bmp" "$work/$label-cmake.bmp"

  local flags
  flags=$(PKG_CONFIG_PATH="$usr/lib/$triplet/pkgconfig" pkg-config "$@" --cflags --libs vostrel-mistvane)
  eval "cc -std=c11 -o \"$work/$label-pc\" \"$source/tests/consumer/consumer.c\" $flags"
  check "$label: pkg-config consumer runs" env LD_LIBRARY_PATH="$usr/lib/$triplet" \
    "$work/$label-pc" "$sample" "$work/$label-pc.bmp" >/dev/null
  check "$label: pkg-config consumer output" cmp -s "$work/expected.bmp" "$work/$label-pc.bmp"
}

# Unpacked: found by relative paths alone (the program's bin -> lib/<triplet>, the CMake package's own place), and
# by pkg-config with the prefix moved.
tree=$work/unpacked
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$tree"; done
use_tree unpacked "$tree/usr" --define-variable=prefix="$tree/usr"

if [[ -n ${CI:-} ]]; then
  sudo=()
  [[ $(id -u) == 0 ]] || sudo=(sudo)
  apt_get() { DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -y -q "$@" >/dev/null; }
  apt_get install "${debs[@]}"
  use_tree installed /usr
  check "installed: the ldconfig trigger ran" eval '[[ $(ldconfig -p) == *"libVostrelMistvane.so.1 "* ]]'
  apt_get purge "${packages[@]}"
  known=()
  for package in "${packages[@]}"; do dpkg -l "$package" >/dev/null 2>&1 && known+=("$package"); done
  check "purged: dpkg lists none of them (${known[*]:-})" test ${#known[@]} -eq 0
  left=()
  for deb in "${debs[@]}"; do
    while read -r path; do
      [[ -e /$path || -L /$path ]] && left+=("/$path")
    done < <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {sub(/^\.\//, "", $6); print $6}')
  done
  for package in "${packages[@]}"; do [[ -e /usr/share/doc/$package ]] && left+=("/usr/share/doc/$package"); done
  check "purged: no files left (${left[*]:-})" test ${#left[@]} -eq 0
fi

finish
