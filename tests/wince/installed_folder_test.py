#!/usr/bin/env python3
"""What a developer with a device takes away: `cmake --install` of the Windows CE build into a fresh folder holds
the DLL as built, the header, the export definition and the type library, and nothing of the test tools; and the
header declares Mistvane with 16-bit characters when compiled for the platform. One line per check.

usage: installed_folder_test.py BUILD_DIR DLL TYPELIB CC
"""
import filecmp
import os
import subprocess
import sys
import tempfile

from loader_driver import Checks

build, dll, typelib, cc = sys.argv[1:5]
checks = Checks()
check = checks.check


EXPECTED = {"bin/VostrelMistvane.dll", "include/VostrelMistvane.h", "lib/VostrelMistvane.def", "lib/VostrelMistvane.tlb"}
CALLER = r"""
#include "VostrelMistvane.h"
typedef char two_byte_characters[sizeof(MistvaneChar) == 2 ? 1 : -1];
int32_t blur_one(const MistvaneChar* in, const MistvaneChar* out) {
    MistvaneFunction mistvane = Mistvane;
    int32_t status = mistvane(in, out);
    return status == MistvaneStatusDone ? 0 : status;
}
"""
with tempfile.TemporaryDirectory() as scratch:
    folder = os.path.join(scratch, "VostrelMistvane")
    result = subprocess.run(["cmake", "--install", build, "--prefix", folder], capture_output=True, text=True)
    check(result.returncode == 0, "cmake --install succeeds", result.stderr.strip())
    files = {os.path.relpath(os.path.join(top, name), folder) for top, _, names in os.walk(folder) for name in names}
    check(files == EXPECTED, "the folder holds the DLL, the header, the export definition and the type library",
          f"extra {sorted(files - EXPECTED)}, missing {sorted(EXPECTED - files)}")
    installed = lambda name: os.path.join(folder, name)
    check(os.path.exists(installed("bin/VostrelMistvane.dll")) and filecmp.cmp(installed("bin/VostrelMistvane.dll"), dll,
                                                                                shallow=False),
          "bin/VostrelMistvane.dll is the DLL as built")
    check(os.path.exists(installed("lib/VostrelMistvane.tlb")) and filecmp.cmp(installed("lib/VostrelMistvane.tlb"),
                                                                                typelib, shallow=False),
          "lib/VostrelMistvane.tlb is the module's type library")
    definition = []
    if "lib/VostrelMistvane.def" in files:
        for line in open(installed("lib/VostrelMistvane.def")):
            definition += line.split(";", 1)[0].split()
    check(definition[:2] == ["LIBRARY", '"VOSTRELMISTVANE.dll"'] and definition[-2:] == ["Mistvane", "@1"],
          "the export definition names the module and Mistvane as ordinal 1", " ".join(definition))
    source = os.path.join(scratch, "caller.c")
    with open(source, "w") as file:
        file.write(CALLER)
    result = subprocess.run([cc, "-march=armv4", "-marm", "-ffreestanding", "-fshort-wchar", "-D_WIN32_WCE=0x300",
                             "-std=c11", "-Wall", "-Werror", "-c", source, "-I", installed("include"),
                             "-o", os.path.join(scratch, "caller.o")], capture_output=True, text=True)
    check(result.returncode == 0, "a C caller compiles against the installed header for the platform, 16-bit characters",
          result.stderr.strip())
sys.exit(checks.finish())
