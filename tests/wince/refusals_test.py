#!/usr/bin/env python3
"""What ce_loader refuses, as the platform's loader refuses it: copies of the module patched to another machine,
another subsystem, no DLL flag, a PE32+ header, an unknown relocation type, an import from a library, by an
ordinal or by a name the stand-ins lack. Each is refused with one line "refused: ..." naming the problem, exit
status 65, and no call of the module. The unpatched module, and one naming its libraries in other case, load.
Usage errors give 64, a missing module file 66.

usage: refusals_test.py QEMU CPU LOADER DLL WORKDIR
"""
import os
import shutil
import struct
import sys

import pefile

from loader_driver import Checks, Loader, bitmap, fresh_directory, write

qemu, cpu, loader_path, dll, work = sys.argv[1:6]
REFUSED = 65
checks = Checks()
fresh_directory(work)
write(os.path.join(work, "in.bmp"), bitmap(9, 5))


def patched(name, change):
    """A copy of the module with `change(pe, data)` applied to its bytes."""
    pe = pefile.PE(dll)
    data = bytearray(pe.__data__)
    change(pe, data)
    target = os.path.join(work, name + ".dll")
    write(target, bytes(data))
    return target


def set16(data, at, value):
    struct.pack_into("<H", data, at, value)


def imports(pe, library):
    return next(entry for entry in pe.DIRECTORY_ENTRY_IMPORT if entry.dll.decode().lower() == library.lower())


def change_ordinal(pe, data):
    descriptor = imports(pe, "COREDLL.dll").struct
    # The first import, in the lookup table and in the address table, which holds it too until it is bound.
    for table in (descriptor.OriginalFirstThunk, descriptor.FirstThunk):
        struct.pack_into("<I", data, pe.get_offset_from_rva(table), 0x80000000 | 9999)


def change_name(pe, data):
    entry = next(i for i in imports(pe, "COREDLL.dll").imports if i.name == b"CreateFileW")
    data[entry.name_offset:entry.name_offset + 11] = b"CreateFileX"


def rename_library(old, new):
    def change(pe, data):
        at = pe.get_offset_from_rva(imports(pe, old).struct.Name)
        data[at:at + len(new)] = new.encode()
    return change


def change_relocation(pe, data):
    entry = next(e for block in pe.DIRECTORY_ENTRY_BASERELOC for e in block.entries if e.type == 3)
    at = entry.struct.get_file_offset()
    value = struct.unpack_from("<H", data, at)[0]
    set16(data, at, (value & 0x0FFF) | 10 << 12)  # DIR64, which a 32-bit ARM image never has


refusals = [
    ("machine-x86", lambda pe, d: set16(d, pe.FILE_HEADER.get_field_absolute_offset("Machine"), 0x014C), "refused: machine 0x14c"),
    ("machine-thumb", lambda pe, d: set16(d, pe.FILE_HEADER.get_field_absolute_offset("Machine"), 0x01C2), "refused: machine 0x1c2"),
    ("subsystem-gui", lambda pe, d: set16(d, pe.OPTIONAL_HEADER.get_field_absolute_offset("Subsystem"), 2), "refused: subsystem 2"),
    ("not-a-dll",
     lambda pe, d: set16(d, pe.FILE_HEADER.get_field_absolute_offset("Characteristics"), pe.FILE_HEADER.Characteristics & ~0x2000),
     "refused: not a DLL"),
    ("pe32-plus", lambda pe, d: set16(d, pe.OPTIONAL_HEADER.get_field_absolute_offset("Magic"), 0x20B),
     "refused: optional header magic 0x20b"),
    ("relocation-type", change_relocation, "refused: relocation type 10"),
    ("ordinal-9999", change_ordinal, "refused: imports ordinal 9999 of COREDLL.dll"),
    ("name-unknown", change_name, "refused: imports CreateFileX of COREDLL.dll"),
    ("library-unknown", rename_library("COREDLL.dll", "COREDLX.dll"), "refused: imports from COREDLX.dll"),
]
for name, change, message in refusals:
    status, stdout, stderr = Loader(qemu, cpu, loader_path, patched(name, change), work).run("blur", "in.bmp", "out.bmp")
    lines = stderr.splitlines()
    checks.check(status == REFUSED and len(lines) == 1 and lines[0].startswith(message) and not stdout
                 and not os.path.exists(os.path.join(work, "out.bmp")),
                 f"{name}: refused, \"{message}...\", the module never called",
                 f"exit {status}, stderr {stderr!r}, stdout {stdout!r}")

for name, module in [("the unpatched module", dll),
                     ("a module naming its libraries in other case", patched("other-case", rename_library("COREDLL.dll", "coredll.DLL")))]:
    status, stdout, stderr = Loader(qemu, cpu, loader_path, module, work).run("load-only")
    checks.check(status == 0 and not stdout and not stderr, f"{name} loads", f"exit {status}, stderr {stderr!r}")

usage = [[], ["blur", "in.bmp"], ["blur"], ["lifecycle", "extra"], ["unknown"]]
statuses = [Loader(qemu, cpu, loader_path, dll, work).run(*arguments)[0] for arguments in usage]
checks.check(statuses == [64] * len(usage), "usage errors: 64", str(statuses))
status, _, stderr = Loader(qemu, cpu, loader_path, os.path.join(work, "missing.dll"), work).run("load-only")
checks.check(status == 66 and stderr, "a missing module file: 66", f"exit {status}")
shutil.rmtree(work)
sys.exit(checks.finish())
