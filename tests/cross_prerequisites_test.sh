#!/usr/bin/env bash
# The windows and wince presets stop at configure with one line naming each missing Debian package. Packages are
# made missing without touching the machine (nor needing them there): PATH holds only stand-ins for the tools a case
# keeps, and a stand-in python3 fails to import the modules a case leaves out.
# Usage: cross_prerequisites_test.sh SOURCE_DIR
set -euo pipefail
source=$1
cmake=$(command -v cmake)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

# case PRESET "TOOLS KEPT" "PYTHON MODULES LEFT OUT" "PACKAGES EXPECTED, none when nothing is missing"
case_() {
  rm -rf "$work/bin" "$work/build" && mkdir -p "$work/bin"
  for tool in $2 python3-stand-in; do printf '#!/bin/sh\nexit 0\n' >"$work/bin/$tool"; done
  for module in $3; do sed -i "2i case \"\$*\" in *'import $module'*) exit 1;; esac" "$work/bin/python3-stand-in"; done
  chmod +x "$work/bin"/*
  local out status=0
  out=$(cd "$source" && PATH=$work/bin "$cmake" --preset "$1" -B "$work/build" \
        -DMISTVANE_PYTHON="$work/bin/python3-stand-in" 2>&1) || status=$?
  local named
  named=$(grep 'Missing Debian packages' <<<"$out" || true)
  if [[ $4 == none && -z $named ]] ||
     [[ $status != 0 && $named == *"Missing Debian packages: $4 (apt-get install $4)" && $(wc -l <<<"$named") == 1 &&
        $out != *Traceback* && $out != *"compiler identification"* ]]; then
    passed=$((passed + 1))
  else
    echo "FAILED: $1 with only '$2', without '$3':"
    echo "$out"
    failed=$((failed + 1))
  fi
}

wince_tools="arm-linux-gnueabi-g++ x86_64-w64-mingw32-windres qemu-arm"
windows_tools="x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres x86_64-w64-mingw32-widl wine"
case_ wince "" "elftools pefile" \
  "g++-arm-linux-gnueabi binutils-mingw-w64-x86-64 python3-pyelftools python3-pefile qemu-user"
case_ wince "$wince_tools" pefile python3-pefile
case_ wince "$wince_tools" "" none
case_ windows "" pefile "g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-tools wine python3-pefile"
case_ windows "x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres wine" "" mingw-w64-tools
case_ windows "$windows_tools" "" none

echo "$passed passed, $failed failed"
((failed == 0))
