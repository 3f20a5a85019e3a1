#!/usr/bin/env python3
"""Checks that the committed type library is what widl makes of the .idl today. widl writes the time of compiling
into its note on who made the library (the text "Created by WIDL version ... at <date>" and, after it, the same time
as a number), so bytes there may differ; everything else must be equal.

usage: check_typelib.py WIDL IDL TLB
"""
import os
import subprocess
import sys
import tempfile

# The note and the number that follows it fit well within this many bytes from the note's start.
STAMP_SPAN = 0x50


def main():
    widl, idl, committed_path = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as scratch:
        fresh_path = os.path.join(scratch, "fresh.tlb")
        subprocess.run([widl, "--win32", "-t", "-o", fresh_path, idl], check=True)
        fresh = open(fresh_path, "rb").read()
    committed = open(committed_path, "rb").read()
    if len(fresh) != len(committed):
        print(f"FAIL - {committed_path} is {len(committed)} bytes, widl makes {len(fresh)}: run scripts/make-typelib.sh")
        return 1
    stamp = committed.find(b"Created by WIDL")
    differing = [k for k in range(len(fresh)) if fresh[k] != committed[k]]
    outside = [k for k in differing if stamp < 0 or not stamp <= k < stamp + STAMP_SPAN]
    if outside:
        print(f"FAIL - {committed_path} differs from what widl makes of {idl} at offsets "
              f"{[hex(k) for k in outside[:8]]}: run scripts/make-typelib.sh")
        return 1
    print(f"ok - {committed_path} is what widl makes of {idl} ({len(differing)} bytes of time stamp differ)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
