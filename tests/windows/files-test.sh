#!/bin/sh
# The Windows test program's file cases, in a fresh working directory that also holds a symbolic link for the
# program to write through; afterwards the link must still be a link.
# usage: files-test.sh PREFIX WORKDIR PROGRAM SAMPLE
set -u
prefix=$1
workdir=$2
program=$3
sample=$4
here=$(dirname "$0")
rm -rf "$workdir"
mkdir -p "$workdir"
printf 'old' >"$workdir/link-target.bmp"
ln -s link-target.bmp "$workdir/link.bmp"
sh "$here/run-under-wine.sh" "$prefix" "$workdir" "$program" files . "$sample" || exit 1
if [ ! -L "$workdir/link.bmp" ]; then
    echo "FAIL - link.bmp is still a symbolic link"
    exit 1
fi
echo "ok - link.bmp is still a symbolic link"
