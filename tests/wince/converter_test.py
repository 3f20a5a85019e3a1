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
    .size MistvaneEntryPoint, . - MistvaneEntryPoint
Mistvane: ldr r0, 1f
    ldr pc, [r0]
1:  .word __imp_CoreAllocate
    .size Mistvane, . - Mistvane
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

    check(pe.OPTIONAL_HEADER.DATA_DIRECTORY[3].Size == 0 and not any(s.Name.startswith(b".pdata") for s in pe.sections),
          "an image of leaves alone gets no exception table and no empty section")


def function(name, body):
    return f"""
    .text
    .type {name}, %function
{name}: {body}
    .size {name}, . - {name}
"""


# Frames of the forms the kernel's unwinder reads; the single saved register is rewritten into one of them.
FRAMED = SOUND + function("Saves", """stmfd sp!, {r4, r5, lr}
    sub sp, sp, #8
    bl Mistvane
    add sp, sp, #8
    ldmfd sp!, {r4, r5, pc}""") + function("SavesOne", """str r4, [sp, #-4]!
    mov r4, r0
    add r0, r4, #1
    ldr r4, [sp], #4
    mov pc, lr""")
status, message, written = convert(FRAMED)
check(status == 0 and written, "an image with frames converts", message)
if written:
    pe = pefile.PE(os.path.join(work, "image.dll"))
    base = pe.OPTIONAL_HEADER.ImageBase
    text = next(s.VirtualAddress for s in pe.sections if s.Name.startswith(b".text"))
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[3]
    entries = [struct.unpack_from("<II", pe.get_data(directory.VirtualAddress, directory.Size), k)
               for k in range(0, directory.Size, 8)]
    saves, saves_one = base + text + 20, base + text + 40
    check(entries == [(saves, 2 | 5 << 8 | 1 << 30), (saves_one, 1 | 5 << 8 | 1 << 30)],
          "one entry per framed function: start, PrologLen, FuncLen, 32-bit; the leaves left out",
          str([(hex(a), hex(b)) for a, b in entries]))
    words = struct.unpack("<5I", pe.get_data(saves_one - base, 20))
    check(words[0] == 0xE92D0010 and words[3] == 0xE8BD0010 and words[1:3] == (0xE1A04000, 0xE2840001),
          "str r4, [sp, #-4]! and its ldr become stmdb sp!, {r4} and ldmia sp!, {r4}; nothing else changes",
          str([hex(w) for w in words]))

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
    ("a push scheduled after a body instruction",
     SOUND + function("Late", "mov r3, r0\n    stmfd sp!, {r4, lr}\n    ldmfd sp!, {r4, pc}"), (),
     "Late: its frame is set up after the prolog"),
    ("a stack frame grown behind an early exit",
     SOUND + function("Wrapped", "stmfd sp!, {r4, lr}\n    cmp r0, #0\n    ldmeqfd sp!, {r4, pc}\n"
                                 "    sub sp, sp, #8\n    add sp, sp, #8\n    ldmfd sp!, {r4, pc}"), (),
     "Wrapped: its frame is set up after the prolog"),
    ("a prolog of eleven instructions",
     SOUND + function("Long", "stmfd sp!, {r4}\n" + "    sub sp, sp, #4\n" * 10 + "    mov pc, lr"), (),
     "Long: a prolog of 11 instructions"),
    ("sp moved by a form the unwinder does not know",
     SOUND + function("Moves", "stmfd sp!, {r4, lr}\n    mov sp, r0\n    ldmfd sp!, {r4, pc}"), (),
     "Moves: an instruction form the unwinder does not know"),
    ("a push of pc, the kernel's own frame marker",
     SOUND + function("Marks", "stmfd sp!, {r4, lr, pc}\n    ldmfd sp!, {r4, lr}\n    add sp, sp, #4\n    mov pc, lr"),
     (), "Marks: a push of pc"),
    ("a call from a function that keeps no return address",
     SOUND + function("Forgets", "bl Mistvane\n    mov pc, lr"), (), "Forgets: changes lr"),
    ("a function in pieces: its cold part apart",
     SOUND + function("Split", "stmfd sp!, {r4, lr}\n    ldmfd sp!, {r4, pc}") +
     function("Split.cold", "b Split"), (), "Split.cold: a function in pieces"),
    ("a function in pieces: a jump into another's middle",
     SOUND + function("Middle", "stmfd sp!, {r4, lr}\n    b Mistvane + 4"), (), "Middle: a branch at"),
]
for what, source, extra, expected in refusals:
    status, message, written = convert(source, extra)
    check(status != 0 and expected in message and not written, f"refused: {what}", f"{status} '{message}'")

sys.exit(checks.finish())
