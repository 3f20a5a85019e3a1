#!/usr/bin/env python3
"""Checks the Windows module's binding as `objdump -p` and pefile read it from the file: one export, Mistvane,
ordinal 1, in an export table named VOSTRELMISTVANE.dll; imports from mfcce300.dll (first) and COREDLL.dll alone,
both by the platform's ordinals only, nothing by name.

usage: check_binding.py MODULE OBJDUMP
"""
import re
import subprocess
import sys

import pefile

# The platform's own ordinals of COREDLL.dll's documented operations the module calls (its export list for
# Windows CE 3.0).
COREDLL_DOCUMENTED = {
    "InterlockedIncrement": 10, "MoveFileW": 163, "DeleteFileW": 165, "GetFileAttributesW": 166, "CreateFileW": 168,
    "SetFileAttributesW": 169, "WriteFile": 171, "GetFileSize": 172, "FlushFileBuffers": 175,
    "DeleteAndRenameFile": 183, "GetLastError": 516, "SetLastError": 517, "GetTickCount": 535, "CloseHandle": 553,
    "_fileno": 1124, "ferror": 1126,
}
# (library, ordinals, names). The core library's seek (1130) and stream write (1121) are absent, since the effect
# never seeks and writes its output through file handles, and so are the runtime's divisions (2005, 2008), since
# x86-64 divides in hardware.
EXPECTED_IMPORTS = [
    ("mfcce300.dll", {88, 315, 644, 655, 699}, set()),
    ("COREDLL.dll", {63, 197, 1018, 1041, 1100, 1113, 1115, 1118, 1120} | set(COREDLL_DOCUMENTED.values()), set()),
]

checks = 0
failures = 0


def check(ok, what, detail=""):
    global checks, failures
    checks += 1
    failures += not ok
    print(("ok - " if ok else "FAIL - ") + what + ("" if ok or not detail else f" ({detail})"))


def imports(text):
    """[(dll, [(by_ordinal, ordinal_or_name)])] in the order of the import descriptors."""
    result = []
    lines = text.splitlines()
    k = 0
    while k < len(lines):
        match = re.match(r"\s*DLL Name: (\S+)", lines[k])
        k += 1
        if not match:
            continue
        entries = []
        if k < len(lines) and "Hint/Ord" in lines[k]:
            k += 1
        while k < len(lines) and lines[k].strip():
            fields = lines[k].split()
            k += 1
            value = int(fields[0], 16)
            if value & (1 << 63):
                entries.append((True, value & 0xFFFF))
            else:
                entries.append((False, fields[-1]))
        result.append((match.group(1), entries))
    return result


def main():
    module, objdump = sys.argv[1], sys.argv[2]
    text = subprocess.run([objdump, "-p", module], check=True, capture_output=True, text=True).stdout

    name = re.search(r"^Name\s+\S+\s+(\S+)$", text, re.M)
    check(name is not None and name.group(1) == "VOSTRELMISTVANE.dll", "the export table is named VOSTRELMISTVANE.dll",
          name.group(1) if name else "no export table")
    base = re.search(r"^Ordinal Base\s+(\d+)", text, re.M)
    check(base is not None and base.group(1) == "1", "ordinal base 1")
    addresses = re.search(r"Export Address Table\s+([0-9a-f]+)$", text, re.M)
    names = re.search(r"\[Name Pointer/Ordinal\] Table\s+([0-9a-f]+)$", text, re.M)
    check(addresses is not None and int(addresses.group(1), 16) == 1 and names is not None
          and int(names.group(1), 16) == 1, "one exported function, with one name")
    entry = re.findall(r"^\s*\[\s*(\d+)\] \+base\[\s*(\d+)\]", text, re.M)
    named = re.findall(r"^\s*\[\s*(\d+)\] (\S+)$", text.split("[Ordinal/Name Pointer] Table", 1)[-1], re.M)
    check(entry == [("0", "1")] and named[:1] == [("0", "Mistvane")], "Mistvane is ordinal 1, exported by name",
          f"{entry} {named[:1]}")

    found = imports(text)
    order = [dll for dll, _ in found]
    check(order == [dll for dll, _, _ in EXPECTED_IMPORTS], "imports from mfcce300.dll first, then COREDLL.dll, nothing else",
          str(order))
    for dll, ordinals_expected, names_expected in EXPECTED_IMPORTS:
        entries = dict(found).get(dll, [])
        names = {value for by_ordinal, value in entries if not by_ordinal}
        ordinals = {value for by_ordinal, value in entries if by_ordinal}
        check(ordinals == ordinals_expected, f"{dll}: ordinals {sorted(ordinals_expected)}",
              f"missing {sorted(ordinals_expected - ordinals)}, unexpected {sorted(ordinals - ordinals_expected)}")
        check(names == names_expected, f"{dll}: by name {sorted(names_expected) or 'nothing'}",
              f"missing {sorted(names_expected - names)}, unexpected {sorted(names - names_expected)}")
    # A second, independent reader: nothing imported by name.
    pe = pefile.PE(module, fast_load=True)
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    by_name = [(entry.dll.decode(), i.name.decode()) for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
               for i in entry.imports if not i.import_by_ordinal]
    check(not by_name and hasattr(pe, "DIRECTORY_ENTRY_IMPORT"), "pefile: every import is by ordinal", str(by_name))
    delay = re.search(r"^Entry d\s+([0-9a-f]+)\s+([0-9a-f]+)\s+Delay Import Directory", text, re.M)
    check(delay is not None and int(delay.group(1), 16) == 0 and int(delay.group(2), 16) == 0,
          "no delay-loaded imports")

    print(f"{checks} checks, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
