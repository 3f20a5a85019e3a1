#!/bin/sh
# Installs the Windows build into a fresh folder, checks it holds what a Windows developer needs, builds a small C
# program against its header and import library alone, and runs it under Wine from the folder's bin: its output
# must equal the Linux build's for the same input.
# usage: installed-folder-test.sh BUILD_DIR WINE_PREFIX C_COMPILER SOURCE_DIR LINUX_HOST
set -u
build=$1 prefix=$2 cc=$3 source=$4 host=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
folder=$work/VostrelMistvane
passed=0 failed=0
check() {  # description, command...
    description=$1
    shift
    if "$@"; then echo "ok - $description"; passed=$((passed + 1)); else echo "FAIL - $description"; failed=$((failed + 1)); fi
}

cmake --install "$build" --prefix "$folder" >/dev/null
for file in bin/VostrelMistvane.dll bin/COREDLL.dll bin/mfcce300.dll include/VostrelMistvane.h \
            lib/libVostrelMistvane.dll.a lib/VostrelMistvane.def lib/VostrelMistvane.tlb; do
    check "installs $file" test -s "$folder/$file"
done
check "builds a program against the folder" \
    "$cc" -std=c11 -O2 -o "$folder/bin/consumer.exe" "$source/tests/consumer/consumer.c" \
    -I"$folder/include" -L"$folder/lib" -lVostrelMistvane -static-libgcc
cp "$source/sample/wizard.bmp" "$folder/bin/"
(cd "$folder/bin" && WINEPREFIX=$prefix WINEDEBUG=-all wine consumer.exe wizard.bmp blurred.bmp >/dev/null 2>&1)
check "the program blurs the sample with the installed module" test -s "$folder/bin/blurred.bmp"
"$host" "$source/sample/wizard.bmp" "$work/linux.bmp" >/dev/null 2>&1
check "its output equals the Linux build's" cmp -s "$folder/bin/blurred.bmp" "$work/linux.bmp"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
