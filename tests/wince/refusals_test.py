#!/usr/bin/env python3
"""What ce_loader refuses, as the Windows CE 3.0 kernel refuses it: copies of the module patched to another
machine, another subsystem or a later subsystem version, no DLL flag, a PE32+ header, a section of no size, an
unknown relocation type, relocation blocks the kernel would not apply whole, an import from a library or by an
ordinal the stand-ins lack. Each is refused with one line "refused: ..." naming the problem, exit
status 65, and no call of the module. The unpatched module, one naming its libraries in other case, one without "MZ" and
one whose header sizes the kernel ignores, load.
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


def relocation_blocks(pe):
    """(file offset, page RVA) of each base relocation block."""
    return [(block.struct.get_file_offset(), block.struct.VirtualAddress) for block in pe.DIRECTORY_ENTRY_BASERELOC]


def second_block_for_first_page(pe, data):
    (_, first), (at, _) = relocation_blocks(pe)[:2]
    struct.pack_into("<I", data, at, first)


def block_off_its_page(pe, data):
    at, page = relocation_blocks(pe)[0]
    struct.pack_into("<I", data, at, page + 0x10)


def word_across_pages(pe, data):
    entry = next(e for block in pe.DIRECTORY_ENTRY_BASERELOC for e in block.entries if e.type == 3)
    set16(data, entry.struct.get_file_offset(), 3 << 12 | 0xFFE)


def empty_section(pe, data):
    struct.pack_into("<I", data, pe.sections[1].get_field_absolute_offset("Misc_VirtualSize"), 0)


def subsystem_version(major, minor):
    def change(pe, data):
        set16(data, pe.OPTIONAL_HEADER.get_field_absolute_offset("MajorSubsystemVersion"), major)
        set16(data, pe.OPTIONAL_HEADER.get_field_absolute_offset("MinorSubsystemVersion"), minor)
    return change


def no_mz(pe, data):
    data[0:2] = b"\0\0"


# What the kernel reads past: a longer optional header's size field, and fewer directories claimed, change nothing,
# since the section table is at the PE header + 248 and all 16 directories are read.
def header_sizes_ignored(pe, data):
    set16(data, pe.FILE_HEADER.get_field_absolute_offset("SizeOfOptionalHeader"), 0x200)
    struct.pack_into("<I", data, pe.OPTIONAL_HEADER.get_field_absolute_offset("NumberOfRvaAndSizes"), 2)


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
    ("subsystem-3.01", subsystem_version(3, 1), "refused: subsystem version later than 3.00"),
    ("subsystem-4.00", subsystem_version(4, 0), "refused: subsystem version later than 3.00"),
    ("section-of-size-0", empty_section, "refused: section 1 has a virtual size of 0"),
    ("relocations-page-twice", second_block_for_first_page, "refused: a second relocation block for page"),
    ("relocations-off-page", block_off_its_page, "refused: relocation block for 0x"),
    ("relocation-across-pages", word_across_pages, "refused: relocation at 0x"),
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
                     ("a module naming its libraries in other case", patched("other-case", rename_library("COREDLL.dll", "coredll.DLL"))),
                     ("a module without \"MZ\"", patched("no-mz", no_mz)),
                     ("a module whose header sizes say otherwise", patched("header-sizes", header_sizes_ignored))]:
    status, stdout, stderr = Loader(qemu, cpu, loader_path, module, work).run("load-only")
    checks.check(status == 0 and not stdout and not stderr, f"{name} loads", f"exit {status}, stderr {stderr!r}")

# The kernel walks the import descriptors until one without a lookup table, and never falls back on the address
# table: with mfcce300.dll's lookup table gone, nothing is bound, and the entry point's first call through a slot
# still holding its unbound value faults.
def no_lookup_table(pe, data):
    at = imports(pe, "mfcce300.dll").struct.get_field_absolute_offset("OriginalFirstThunk")
    struct.pack_into("<I", data, at, 0)


status, stdout, stderr = Loader(qemu, cpu, loader_path, patched("no-lookup-table", no_lookup_table), work).run("load-only")
checks.check(status < 0 and not stdout, "imports are walked by their lookup tables: without one nothing is bound and "
             "the module faults at its first call", f"exit {status}, stderr {stderr!r}")

usage = [[], ["blur", "in.bmp"], ["blur"], ["lifecycle", "extra"], ["unknown"]]
statuses = [Loader(qemu, cpu, loader_path, dll, work).run(*arguments)[0] for arguments in usage]
checks.check(statuses == [64] * len(usage), "usage errors: 64", str(statuses))
status, _, stderr = Loader(qemu, cpu, loader_path, os.path.join(work, "missing.dll"), work).run("load-only")
checks.check(status == 66 and stderr, "a missing module file: 66", f"exit {status}")
shutil.rmtree(work)
sys.exit(checks.finish())
