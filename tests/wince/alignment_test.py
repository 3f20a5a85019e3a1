#!/usr/bin/env python3
"""The device's alignment rule (ce_loader's align-probe and align-step), on one CPU:

  - the access decoder on hand-assembled ARMv4 instructions run stepped in a page of their own, with r0 a buffer:
    each probe makes aligned accesses, accesses whose condition fails, and at most one misaligned access, which
    must be the one reported, at its instruction and with its data address;
  - every instruction of the module stepped through Mistvane calls on small images of odd and even sizes, a
    top-down one, pixels after a gap, and the error paths: no access misaligned, and each call returning what it
    returns unstepped, with the same output bytes;
  - a copy of the DLL with one stack access of Mistvane's moved a byte, which must be reported there in every call.
Prints one line per check.

usage: alignment_test.py QEMU CPU LOADER DLL ELF SEEDS WORKDIR
"""
import os
import re
import struct
import subprocess
import sys

import pefile

from loader_driver import Checks, Module, bitmap, fresh_directory, read, write

qemu, cpu, loader, dll, elf_path, seeds, work = sys.argv[1:8]
checks = Checks()
check = checks.check
fresh_directory(work)
MISALIGNMENT = -2147483646  # 0x80000002, STATUS_DATATYPE_MISALIGNMENT: what an ended call returns
EXIT_MISALIGNED = 75


def run(*arguments):
    done = subprocess.run([qemu, "-cpu", cpu, loader, *arguments], cwd=work, capture_output=True, timeout=300)
    out = done.stdout.decode()
    fields = [dict(field.split("=", 1) for field in line.split()[1:] if "=" in field)
              for line in out.splitlines() if line.startswith("MISALIGNED")]
    statuses = [int(line[7:]) for line in out.splitlines() if line.startswith("status=")]
    summary = next((dict(field.split("=", 1) for field in line.split())
                    for line in out.splitlines() if line.startswith("steps=")), {})
    return done.returncode, fields, statuses, summary, out + done.stderr.decode()


# -- The decoder, on instructions whose accesses are known -----------------------------------------------------------

# (what, [(word, its assembly)], the misaligned access: (index, "buffer" or "code", offset, kind) or None, how many
# accesses run). r0 is the buffer's address, 4096-aligned with a page either side.
PROBES = [
    ("LDR with a register offset", [(0xE3A01008, "mov r1, #8"), (0xE7902001, "ldr r2, [r0, r1]"),
                                    (0xE3A01006, "mov r1, #6"), (0xE7902001, "ldr r2, [r0, r1]")],
     (3, "buffer", 6, "word"), 2),
    ("LDR with a scaled register subtracted", [(0xE3A01003, "mov r1, #3"), (0xE7102081, "ldr r2, [r0, -r1, lsl #1]")],
     (1, "buffer", -6, "word"), 1),
    ("LDR with LSR #32 (offset 0) and ASR #1 of a negative register",
     [(0xE3E01000, "mvn r1, #0"), (0xE7902021, "ldr r2, [r0, r1, lsr #32]"),
      (0xE3E01003, "mvn r1, #3"), (0xE79020C1, "ldr r2, [r0, r1, asr #1]")], (3, "buffer", -2, "word"), 2),
    ("LDRH with a negative immediate", [(0xE1D020B4, "ldrh r2, [r0, #4]"), (0xE15020B3, "ldrh r2, [r0, #-3]")],
     (1, "buffer", -3, "halfword"), 2),
    ("STRH pre-indexed with writeback", [(0xE16010B1, "strh r1, [r0, #-1]!")], (0, "buffer", -1, "halfword"), 1),
    ("LDRSH with a register offset", [(0xE1D020F2, "ldrsh r2, [r0, #2]"), (0xE3A01005, "mov r1, #5"),
                                      (0xE19020F1, "ldrsh r2, [r0, r1]")], (2, "buffer", 5, "halfword"), 2),
    # Post-indexed: the access is at the base; the first leaves r0 one byte on.
    ("STR post-indexed", [(0xE4801001, "str r1, [r0], #1"), (0xE4801004, "str r1, [r0], #4")],
     (1, "buffer", 1, "word"), 2),
    ("LDMIA", [(0xE2800001, "add r0, r0, #1"), (0xE8900006, "ldmia r0, {r1, r2}")], (1, "buffer", 1, "multiple"), 1),
    ("LDMDB, from its lowest word", [(0xE2800002, "add r0, r0, #2"), (0xE910000E, "ldmdb r0, {r1, r2, r3}")],
     (1, "buffer", -10, "multiple"), 1),
    ("STMDA, from its lowest word", [(0xE2800001, "add r0, r0, #1"), (0xE8000006, "stmda r0, {r1, r2}")],
     (1, "buffer", -3, "multiple"), 1),
    ("STMIB with writeback", [(0xE9A00006, "stmib r0!, {r1, r2}"), (0xE2800003, "add r0, r0, #3"),
                              (0xE9A00006, "stmib r0!, {r1, r2}")], (2, "buffer", 15, "multiple"), 2),
    ("SWP (SWPB at an odd address is allowed)", [(0xE2801001, "add r1, r0, #1"), (0xE1412093, "swpb r2, r3, [r1]"),
                                                 (0xE2801002, "add r1, r0, #2"), (0xE1012093, "swp r2, r3, [r1]")],
     (3, "buffer", 2, "word"), 2),
    ("LDR from pc", [(0xE51F2004, "ldr r2, [pc, #-4]"), (0xE51F2003, "ldr r2, [pc, #-3]")], (1, "code", 9, "word"), 2),
    ("conditions: only a passing one is checked", [(0xE1500000, "cmp r0, r0"), (0x15902001, "ldrne r2, [r0, #1]"),
                                                   (0x35902001, "ldrcc r2, [r0, #1]"),
                                                   (0x05902001, "ldreq r2, [r0, #1]")], (3, "buffer", 1, "word"), 1),
    ("bytes anywhere and aligned halfwords", [(0xE5D02001, "ldrb r2, [r0, #1]"), (0xE1D020D3, "ldrsb r2, [r0, #3]"),
                                              (0xE5C01003, "strb r1, [r0, #3]"), (0xE1D020F2, "ldrsh r2, [r0, #2]")],
     None, 4),
]
for what, instructions, expected, accesses in PROBES:
    status, found, statuses, summary, output = run("align-probe", *[f"{word:08x}" for word, _ in instructions])
    places = re.search(r"buffer=0x([0-9a-f]+) code=0x([0-9a-f]+)", output)
    base = {"buffer": int(places.group(1), 16), "code": int(places.group(2), 16)} if places else {}
    if expected:
        index, region, offset, kind = expected
        want = [{"at": hex(4 * index), "pc": hex(base.get("code", 0) + 4 * index),
                 "word": hex(instructions[index][0]), "data": hex(base.get(region, 0) + offset), "kind": kind}]
    else:
        want = []
    ok = (places and found == want and statuses == [MISALIGNMENT if want else 0] and
          status == (EXIT_MISALIGNED if want else 0) and summary.get("accesses") == str(accesses))
    check(ok, f"{what}: " + (f"{instructions[expected[0]][1]} reported at {region}{offset:+d}" if expected
                             else "nothing reported") + f", {accesses} accesses checked", output.strip()[-600:])


# -- The module, stepped ---------------------------------------------------------------------------------------------

module = Module(elf_path)
functions_file = module.listing(os.path.join(work, "functions.txt"))
images = {
    "23x5.bmp": bitmap(23, 5, seed=5),              # odd rows of 69 bytes, wider than the window
    "1x1-gap.bmp": bitmap(1, 1, gap=1, seed=6),     # pixels at an odd offset
    "22x3-top-down.bmp": bitmap(22, -3, seed=7),
    "45x2-gap.bmp": bitmap(45, 2, gap=7, seed=8),
    "5x3-unpadded.bmp": bitmap(5, 3, unpadded_last=True, seed=9),
    "2x1.bmp": bitmap(2, 1, seed=10),
    "7x26.bmp": bitmap(7, 26, seed=11),             # taller than the window
    "67x3.bmp": bitmap(67, 3, seed=12),             # a long run of whole windows inside each row
}
for name, data in images.items():
    write(os.path.join(work, name), data)
CALLS = [(name, "out-" + name) for name in images] + [
    (os.path.join(seeds, "bad-rows-past-end.bmp"), "out-truncated.bmp"),
    (os.path.join(seeds, "bad-53-bytes.bmp"), "out-short-header.bmp"),
    (os.path.join(seeds, "bad-signature-reversed.bmp"), "out-signature.bmp"),
    (os.path.join(seeds, "bad-os2-header.bmp"), "out-os2.bmp"),
    (os.path.join(seeds, "bad-huge-claim.bmp"), "out-huge.bmp"),
    ("missing.bmp", "out-missing.bmp"),
    (":null:", "out-null.bmp"),
    ("23x5.bmp", "no-folder/out.bmp"),
]
arguments = [path for pair in CALLS for path in pair]
plain = subprocess.run([qemu, "-cpu", cpu, loader, dll, "blur", *arguments], cwd=work, capture_output=True,
                       timeout=300)
expected_statuses = [int(line.split()[0][7:]) for line in plain.stdout.decode().splitlines()
                     if line.startswith("status=")]
expected_outputs = {out: read(os.path.join(work, out)) for _, out in CALLS if os.path.exists(os.path.join(work, out))}
for out in expected_outputs:
    os.remove(os.path.join(work, out))

status, found, statuses, summary, output = run(dll, "align-step", functions_file, *arguments)
outputs = {out: read(os.path.join(work, out)) for _, out in CALLS if os.path.exists(os.path.join(work, out))}
check(status == 0 and not found and summary.get("misaligned") == "0" and
      all(int(summary.get(kind, 0)) > 0 for kind in ("word", "halfword", "byte", "multiple")),
      f"every access of the module aligned over {len(CALLS)} calls ({summary.get('steps')} instructions stepped, "
      f"{summary.get('accesses')} accesses, with words, halfwords, bytes and multiples among them)", output[-800:])
check(plain.returncode == 0 and expected_statuses[:len(images)] == [999] * len(images) and
      expected_statuses[len(images) + 5] == 2 and statuses == expected_statuses and outputs == expected_outputs,
      "each stepped call returned and wrote what it does unstepped", f"{statuses} vs {expected_statuses}")


# -- A misaligned access of the module's own is caught ----------------------------------------------------------------

mistvane = next((start, size) for start, size, name in module.functions if name == "Mistvane")
data_words = {rva + 4 * k for rva, size in module.data for k in range(size // 4)}
# The first word load or store at sp + immediate in Mistvane: its offset made one byte larger.
target = next(rva for rva in range(mistvane[0], mistvane[0] + mistvane[1], 4)
              if rva not in data_words and module.word(rva) & 0x0F6F0000 == 0x050D0000 and
              module.word(rva) & 0xFFF < 0xFFF and module.word(rva) & 3 == 0)
patched_word = module.word(target) + 1
pe = pefile.PE(dll)
patched = bytearray(read(dll))
struct.pack_into("<I", patched, pe.get_offset_from_rva(target), patched_word)
pe.close()
write(os.path.join(work, "patched.dll"), patched)
status, found, statuses, summary, output = run("patched.dll", "align-step", functions_file,
                                               "23x5.bmp", "p1.bmp", "1x1-gap.bmp", "p2.bmp")
ok = (status == EXIT_MISALIGNED and statuses == [MISALIGNMENT] * 2 and len(found) == 2 and
      all(f["at"] == hex(target) and f["word"] == hex(patched_word) and f["kind"] == "word" and
          int(f["data"], 16) % 4 == 1 and int(f["pc"], 16) % 0x1000 == target % 0x1000 for f in found))
check(ok, f"Mistvane's stack access at {target:#x} moved a byte: reported in both calls with its word and address, "
      "each call ended with STATUS_DATATYPE_MISALIGNMENT", output[-600:])

sys.exit(checks.finish())
