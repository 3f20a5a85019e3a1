#!/usr/bin/env python3
"""Holds ARM code to what a StrongARM SA-1110 runs: every instruction objdump finds in the files' code must be one
ARMv4 has in ARM state. Catches a compiler flag or a library that brings in BX, BLX, CLZ, LDRD/STRD, PLD, the DSP
multiplies, exclusive loads, MOVW/MOVT or any later instruction, even on paths no test executes. Prints one line
per file and a last line "N checks, M failed".

usage: check_armv4.py OBJDUMP FILE...
"""
import re
import subprocess
import sys

CONDITION = "(?:eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)?"
ARMV4 = re.compile(
    "^(?:"
    "(?:and|eor|sub|rsb|add|adc|sbc|rsc|orr|mov|bic|mvn|lsl|lsr|asr|ror|rrx|mul|mla|umull|umlal|smull|smlal)s?"
    "|tst|teq|cmp|cmn|b|bl|svc|swi|mrs|msr|swpb?|push|pop"
    "|(?:ldr|str)(?:b|h|sb|sh|t|bt)?"
    "|(?:ldm|stm)(?:ia|ib|da|db|fd|fa|ed|ea)?"
    f"){CONDITION}$")
# "nop" is ARMv4's MOV r0, r0 only in this encoding; the later NOP hint is another instruction.
ARMV4_NOP = "e1a00000"
LINE = re.compile(r"^\s*[0-9a-f]+:\s+([0-9a-f]{8})\s+(\S+)")


def later_instructions(objdump, path):
    listing = subprocess.run([objdump, "-d", path], check=True, capture_output=True, text=True).stdout
    count = 0
    found = {}
    for line in listing.splitlines():
        match = LINE.match(line)
        if not match:
            continue
        word, mnemonic = match.groups()
        count += 1
        if mnemonic.startswith("."):  # data among the code (literal pools), marked as such by the compiler
            continue
        if ARMV4.match(mnemonic) or (mnemonic == "nop" and word == ARMV4_NOP):
            continue
        found.setdefault(mnemonic, line.strip())
    return count, found


def main():
    objdump, paths = sys.argv[1], sys.argv[2:]
    failures = 0
    for path in paths:
        count, found = later_instructions(objdump, path)
        ok = count > 0 and not found
        failures += not ok
        detail = "" if ok else " (" + ("no code found" if not count else "; ".join(found.values())) + ")"
        print(f"{'ok' if ok else 'FAIL'} - {path}: {count} instructions, all ARMv4{detail}")
    print(f"{len(paths)} checks, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
