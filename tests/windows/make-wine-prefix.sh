#!/bin/sh
# Creates the Wine prefix the Windows tests run in, inside the build tree, the first time only.
# usage: make-wine-prefix.sh PREFIX
set -eu
prefix=$1
made="$prefix/made-for-tests"
if [ -f "$made" ]; then
    echo "Wine prefix ready: $prefix"
    exit 0
fi
rm -rf "$prefix"
# No Mono or Gecko: the tests need neither, and installing them would take longer than the tests. (The message
# about syswow64 is Wine's: there is no 32-bit Wine here, and none is needed.)
WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i
touch "$made"
echo "Wine prefix made: $prefix"
