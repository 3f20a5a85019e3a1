#!/usr/bin/env bash
# Installs the build under a fresh prefix, builds a small program against it with CMake and with pkg-config, runs
# both and the installed host program, and checks each wrote the same bytes as the build tree's host program.
# Usage: installed_tree_test.sh BUILD_DIR SOURCE_DIR LIBDIR (the configured one, relative to the prefix)
set -euo pipefail
build=$1 source=$2 libdir=$3
source "$(dirname "${BASH_SOURCE[0]}")/check.sh"

prefix="$work/prefix with space"
cmake --install "$build" --prefix "$prefix" >/dev/null
sample=$source/sample/wizard.bmp
"$build/mistvane" "$sample" "$work/expected.bmp" >/dev/null

# CMake: find_package(VostrelMistvane CONFIG) and the imported target.
cmake -S "$source/tests/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
check "CMake consumer runs" "$work/cmake-build/consumer" "$sample" "$work/cmake.bmp"
check "CMake consumer output" cmp -s "$work/expected.bmp" "$work/cmake.bmp"

# pkg-config, with the .pc file found where the tree was installed: plain paths under the prefix installed to (not
# the configured one), spaces escaped as pkg-config escapes them.
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
flags=$(pkg-config --cflags --libs vostrel-mistvane)
escaped=${prefix// /\\ }
check "pkg-config paths" eval '[[ $flags == *"-I$escaped/include "* && $flags == *"-L$escaped/$libdir "* && $flags != *..* ]]'
check "pkg-config version" test "$(pkg-config --modversion vostrel-mistvane)" = 1.0.0.1
eval "cc -std=c11 -o \"$work/pc-consumer\" \"$source/tests/consumer/consumer.c\" $flags"
check "pkg-config consumer runs" env LD_LIBRARY_PATH="$prefix/$libdir" "$work/pc-consumer" "$sample" "$work/pc.bmp"
check "pkg-config consumer output" cmp -s "$work/expected.bmp" "$work/pc.bmp"

# The installed host finds the installed library by itself, even after the tree moves.
mv "$prefix" "$work/moved"
check "moved host runs" "$work/moved/bin/mistvane" "$sample" "$work/host.bmp"
check "moved host output" cmp -s "$work/expected.bmp" "$work/host.bmp"
check "library version" test -e "$work/moved/$libdir/libVostrelMistvane.so.1.0.0.1"

finish
