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
fail() { echo "FAILED: $*"; failed=$((failed + 1)); }

stand_ins() {
  for tool in $1; do printf '#!/bin/sh\nexit 0\n' >"$work/bin/$tool" && chmod +x "$work/bin/$tool"; done
}

# case NAME PRESET "TOOLS KEPT" "PYTHON MODULES LEFT OUT" "PACKAGES EXPECTED"
case_() {
  local name=$1 preset=$2 tools=$3 modules=$4 expected=$5
  rm -rf "$work/bin" "$work/build"
  mkdir -p "$work/bin"
  stand_ins "$tools"
  { echo '#!/bin/sh'
    for module in $modules; do echo "case \"\$*\" in *'import $module'*) exit 1;; esac"; done
    echo 'exit 0'; } >"$work/python3"
  chmod +x "$work/python3"
  local status=0
  (cd "$source" && PATH=$work/bin "$cmake" --preset "$preset" -B "$work/build" -DMISTVANE_PYTHON="$work/python3") \
    >"$work/out" 2>&1 || status=$?
  local lines
  lines=$(grep -c 'Missing Debian packages' "$work/out" || true)
  if ((status == 0)); then fail "$name: configure went on"; return; fi
  if [[ $lines != 1 ]]; then fail "$name: $lines lines name missing packages"; cat "$work/out"; return; fi
  if grep -q -e Traceback -e 'compiler identification' "$work/out"; then fail "$name: stopped too late"; return; fi
  local line
  line=$(grep 'Missing Debian packages' "$work/out")
  if [[ $line != *"Missing Debian packages: $expected (apt-get install $expected)" ]]; then
    fail "$name: $line"
    return
  fi
  passed=$((passed + 1))
}

wince_tools="arm-linux-gnueabi-g++ x86_64-w64-mingw32-windres qemu-arm"
windows_tools="x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres x86_64-w64-mingw32-widl wine python3"
case_ "wince without pyelftools" wince "$wince_tools" elftools python3-pyelftools
case_ "wince without pefile" wince "$wince_tools" pefile python3-pefile
case_ "wince without qemu-arm" wince "arm-linux-gnueabi-g++ x86_64-w64-mingw32-windres" "" qemu-user
case_ "wince without windres" wince "arm-linux-gnueabi-g++ qemu-arm" "" binutils-mingw-w64-x86-64
case_ "wince without anything" wince "" "elftools pefile" \
  "g++-arm-linux-gnueabi binutils-mingw-w64-x86-64 python3-pyelftools python3-pefile qemu-user"
case_ "windows without widl" windows "x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres wine python3" "" mingw-w64-tools
case_ "windows without windres" windows "x86_64-w64-mingw32-g++ x86_64-w64-mingw32-widl wine python3" "" \
  binutils-mingw-w64-x86-64
case_ "windows without wine" windows "x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres x86_64-w64-mingw32-widl python3" "" wine

# Everything there: the check lets the configure go on (stopped right after, by a build tool PATH lacks).
for preset in wince windows; do
  rm -rf "$work/bin" "$work/build"
  mkdir -p "$work/bin"
  tools=$wince_tools
  [[ $preset == windows ]] && tools=$windows_tools
  stand_ins "$tools"
  printf '#!/bin/sh\nexit 0\n' >"$work/python3" && chmod +x "$work/python3"
  (cd "$source" && PATH=$work/bin "$cmake" --preset "$preset" -B "$work/build" -DMISTVANE_PYTHON="$work/python3") \
    >"$work/out" 2>&1 || true
  if grep -q 'Missing Debian packages' "$work/out"; then fail "$preset with everything: $(cat "$work/out")"; else passed=$((passed + 1)); fi
done

echo "$passed passed, $failed failed"
((failed == 0))
