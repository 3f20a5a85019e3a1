#!/bin/sh
# Compiles the module's type library from its .idl. widl writes the time of compiling into the file, so the compiled
# library is kept in the repository and the build embeds that copy; run this after changing the .idl and commit both.
# The tests check that the committed copy still matches the .idl.
set -eu
cd "$(dirname "$0")/.."
x86_64-w64-mingw32-widl --win32 -t -o src/module/VostrelMistvane.tlb src/module/VostrelMistvane.idl
