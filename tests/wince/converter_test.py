#!/usr/bin/env python3
"""The ELF-to-PE converter on small images linked here with the module's own link script: a sound one converts
(every absolute address relocated, imports bound as the .def files say), and each kind of image it cannot
understand is refused with a message that names the problem, writing no file. Prints one line per check.

usage: converter_test.py CONVERTER LINK_SCRIPT CC WORKDIR
"""
import os
import struct
import subprocess
import sys

import pefile

from loader_driver import Checks

converter, link_script, cc, work = sys.argv[1:5]
checks = Checks()
check = checks.check


def write(name, text):
    path = os.path.join(work, name)
    with open(path, "w") as file:
        file.write(text)
    return path


# A module in miniature: an entry point, an export, a pointer in data, and one import through a slot as the
# thunks make them.
SOUND = """
    .text
    .global MistvaneEntryPoint, Mistvane
    .type MistvaneEntryPoint, %function
    .type Mistvane, %function
MistvaneEntryPoint: mov r0, #1
    mov pc, lr
Mistvane: ldr r0, 1f
    ldr pc, [r0]
1:  .word __imp_CoreAllocate
    .section .rodata
table: .word Mistvane, MistvaneEntryPoint
    .section .iat.COREDLL.CoreAllocate, "aw"
__imp_CoreAllocate: .word 0
"""
exports = write("module.def", "LIBRARY \"TEST.dll\"\nEXPORTS\n    Mistvane @1\n")
imports = write("core.def", "LIBRARY COREDLL.dll\nEXPORTS\nCoreAllocate @1041 NONAME CreateFileW\n")
resources = os.path.join(work, "empty.res")
with open(resources, "wb") as file:  # the empty first entry alone
    file.write(struct.pack("<IIHHHHIHHII", 0, 32, 0xFFFF, 0, 0xFFFF, 0, 0, 0, 0, 0, 0))


def convert(source, extra_link=()):
    """Links `source` and converts it: (exit status, message, whether a DLL was written)."""
    assembly = write("image.s", source)
    elf = os.path.join(work, "image.elf")
    dll = os.path.join(work, "image.dll")
    for path in (elf, dll):
        if os.path.exists(path):
            os.remove(path)
    subprocess.run([cc, "-march=armv4", "-marm", "-nostdlib", "-static", "-Wl,-q", "-Wl,-T," + link_script,
                    "-Wl,--build-id=none", *extra_link, "-o", elf, assembly], check=True, capture_output=True)
    result = subprocess.run([sys.executable, converter, "--elf", elf, "--exports", exports, "--imports", imports,
                             "--resources", resources, "--output", dll], capture_output=True, text=True)
    return result.returncode, result.stderr.strip(), os.path.exists(dll)


status, message, written = convert(SOUND)
check(status == 0 and written, "a sound image converts", message)
if written:
    pe = pefile.PE(os.path.join(work, "image.dll"))
    base = pe.OPTIONAL_HEADER.ImageBase
    relocated = sorted(e.rva for b in pe.DIRECTORY_ENTRY_BASERELOC for e in b.entries if e.type == 3)
    rdata = next(s.VirtualAddress for s in pe.sections if s.Name.startswith(b".rdata"))
    text = next(s.VirtualAddress for s in pe.sections if s.Name.startswith(b".text"))
    check(relocated == [text + 16, rdata, rdata + 4], "the literal and both data pointers are relocated",
          str([hex(r) for r in relocated]))
    entry = pe.DIRECTORY_ENTRY_IMPORT[0]
    slot = entry.imports[0]
    check(entry.dll == b"COREDLL.dll" and slot.ordinal == 1041 and slot.import_by_ordinal,
          "the slot is bound to COREDLL.dll by the ordinal the .def gives")
    word = struct.unpack("<I", pe.get_data(slot.address - base, 4))[0]
    check(word == 0x80000000 | 1041, "an unbound slot holds its lookup entry", hex(word))
    symbols = pe.DIRECTORY_ENTRY_EXPORT.symbols
    check([(s.ordinal, s.name) for s in symbols] == [(1, b"Mistvane")] and
          symbols[0].address == text + 8, "the export is the symbol's address")

refusals = [
    ("an import the table lacks",
     SOUND.replace("__imp_CoreAllocate", "__imp_CoreInvented"), (), "import CoreInvented is not in the table"),
    ("an undefined symbol",
     SOUND.replace("table: .word Mistvane", "table: .word Elsewhere"),
     ("-Wl,--unresolved-symbols=ignore-all",), "undefined symbol Elsewhere"),
    ("a relocation it does not know",
     SOUND.replace("    .section .rodata", "    .hword small\n    .section .rodata"), ("-Wl,--defsym=small=7",),
     "relocation type 5 is not understood"),
    ("a BX instruction",
     SOUND.replace("MistvaneEntryPoint: mov r0, #1\n    mov pc, lr", "MistvaneEntryPoint: mov r0, #1\n    bx lr"),
     ("-Wa,--fix-v4bx",), "BX instruction"),
    ("a section with no place in the module",
     SOUND + "\n    .section .special, \"a\"\n    .word 1\n", (), "section .special has no place"),
    ("an absolute address outside the image",
     SOUND.replace("table: .word Mistvane", "table: .word Mistvane + 0x10000000"), (), "lies outside the image"),
    ("slots of a library without their closing zero",
     SOUND.replace(".section .iat.COREDLL.CoreAllocate", ".section .data.CoreAllocate") + "    .word 7\n", (),
     "not closed by a zero word"),
]
for what, source, extra, expected in refusals:
    status, message, written = convert(source, extra)
    check(status != 0 and expected in message and not written, f"refused: {what}", f"{status} '{message}'")

sys.exit(checks.finish())
