#!/usr/bin/env python3
"""Reads the Windows CE module with pefile, a reader written apart from our converter, and checks what the
platform's loader relies on: the headers, the sections, every base relocation, the imports, the export, the
resources and the exception table the kernel unwinds the module's frames by. Prints one line per check and a last line "N checks, M failed".

usage: check_pe.py MODULE.dll TYPELIB.tlb
"""
import struct
import sys

import pefile

from loader_driver import Checks

# The platform's own ordinals of COREDLL.dll's documented operations the module calls (its export list for
# Windows CE 3.0).
COREDLL_DOCUMENTED = {
    "InterlockedIncrement": 10, "MoveFileW": 163, "DeleteFileW": 165, "GetFileAttributesW": 166, "CreateFileW": 168,
    "SetFileAttributesW": 169, "WriteFile": 171, "GetFileSize": 172, "FlushFileBuffers": 175,
    "DeleteAndRenameFile": 183, "GetLastError": 516, "SetLastError": 517, "GetTickCount": 535, "CloseHandle": 553,
    "_fileno": 1124, "ferror": 1126, "__rt_udiv": 2008,
}
# The binding: both libraries by ordinal only, nothing by name. The stream write (1121) and seek (1130) are not
# imported: the effect writes its output through file handles and never seeks.
EXPECTED_IMPORTS = [
    ("mfcce300.dll", {88, 315, 644, 655, 699}, set()),
    ("COREDLL.dll", {63, 197, 1018, 1041, 1100, 1113, 1115, 1118, 1120, 2005} | set(COREDLL_DOCUMENTED.values()),
     set()),
]
VERSION_STRINGS = [
    ("CompanyName", ""),
    ("FileDescription", "VostrelMistvane DLL"),
    ("FileVersion", "1, 0, 0, 1"),
    ("InternalName", "VostrelMistvane"),
    ("LegalCopyright", None),  # any copyright line
    ("LegalTrademarks", ""),
    ("OriginalFilename", "VostrelMistvane.DLL"),
    ("ProductName", "VostrelMistvane Dynamic Link Library"),
    ("ProductVersion", "1, 0, 0, 1"),
    ("OLESelfRegister", ""),
]

checks = Checks()
check = checks.check


def section_of(pe, rva):
    for section in pe.sections:
        if section.VirtualAddress <= rva < section.VirtualAddress + max(section.Misc_VirtualSize, 1):
            return section
    return None


def name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace") if section else "none"


def check_headers(pe):
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    check(header.Machine == 0x01C0, "machine 0x01C0, ARM", hex(header.Machine))
    check(header.Characteristics & 0x2002 == 0x2002, "an executable image that is a DLL", hex(header.Characteristics))
    check(optional.Magic == 0x10B, "a PE32 optional header", hex(optional.Magic))
    check(optional.Subsystem == 9 and (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion) == (3, 0),
          "subsystem 9 (Windows CE GUI), version 3.00",
          f"{optional.Subsystem} {optional.MajorSubsystemVersion}.{optional.MinorSubsystemVersion}")
    check(optional.ImageBase == 0x10000000, "image base 0x10000000", hex(optional.ImageBase))
    check(optional.SectionAlignment == 0x1000 and optional.FileAlignment == 0x200,
          "section alignment 0x1000, file alignment 0x200")
    check(pe.verify_checksum(), "the checksum is the file's")
    check(not pe.get_warnings(), "pefile reads the file without a warning", "; ".join(pe.get_warnings()))
    entry = section_of(pe, optional.AddressOfEntryPoint)
    check(entry is not None and entry.Characteristics & 0x20000000, "the entry point is in code", name(entry))


def check_sections(pe):
    optional = pe.OPTIONAL_HEADER
    end = 0
    placed = True
    for section in pe.sections:
        placed &= section.VirtualAddress % optional.SectionAlignment == 0 and section.VirtualAddress >= end
        placed &= section.PointerToRawData % optional.FileAlignment == 0
        placed &= section.SizeOfRawData % optional.FileAlignment == 0
        placed &= section.SizeOfRawData == 0 or section.PointerToRawData + section.SizeOfRawData <= len(pe.__data__)
        end = section.VirtualAddress + section.Misc_VirtualSize
    check(placed, "sections are aligned, in order, apart, and inside the file")
    check(optional.SizeOfImage == (end + 0xFFF) & ~0xFFF, "the image size covers the last section exactly",
          f"{optional.SizeOfImage:#x} for an end at {end:#x}")
    writable_code = [name(s) for s in pe.sections if s.Characteristics & 0xA0000000 == 0xA0000000]
    check(not writable_code, "no section is both writable and executable", str(writable_code))
    names = [name(s) for s in pe.sections]
    check(names[:4] == [".text", ".rdata", ".data", ".bss"], "code, read-only data, data and zeroed data first",
          str(names))


def image_word(pe, rva):
    return struct.unpack("<I", pe.get_data(rva, 4))[0]


def check_relocations(pe):
    optional = pe.OPTIONAL_HEADER
    base, size = optional.ImageBase, optional.SizeOfImage
    entries = [entry for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []) for entry in block.entries]
    kinds = {entry.type for entry in entries}
    relocated = {entry.rva for entry in entries if entry.type == pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]}
    check(relocated and kinds <= {0, 3}, "base relocations are HIGHLOW, padded with ABSOLUTE", str(sorted(kinds)))
    outside = [hex(rva) for rva in sorted(relocated) if not base <= image_word(pe, rva) < base + size]
    check(not outside, f"every one of the {len(relocated)} relocated words points into the image", ", ".join(outside))
    # Complete: a word of data that holds an address in the image must be relocated, or it would point into the
    # wrong place wherever the loader puts the module. (Code is left out: an instruction can look like an address.)
    missing = []
    for section in pe.sections:
        if name(section) not in (".rdata", ".data"):
            continue
        for offset in range(0, section.Misc_VirtualSize - 3, 4):
            rva = section.VirtualAddress + offset
            if base + 0x1000 <= image_word(pe, rva) < base + size and rva not in relocated:
                missing.append(hex(rva))
    check(not missing, "every address held in data is relocated", ", ".join(missing))


def check_imports(pe):
    found = [(entry.dll.decode("ascii"), entry.imports) for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    check([dll for dll, _ in found] == [dll for dll, _, _ in EXPECTED_IMPORTS],
          "imports from mfcce300.dll first, then COREDLL.dll, nothing else", str([dll for dll, _ in found]))
    iat = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IAT"]]
    for dll, ordinals_expected, names_expected in EXPECTED_IMPORTS:
        imports = dict(found).get(dll, [])
        ordinals = {i.ordinal for i in imports if i.import_by_ordinal}
        names = {i.name.decode("ascii") for i in imports if not i.import_by_ordinal}
        check(ordinals == ordinals_expected, f"{dll}: ordinals {sorted(ordinals_expected)}",
              f"missing {sorted(ordinals_expected - ordinals)}, unexpected {sorted(ordinals - ordinals_expected)}")
        check(names == names_expected, f"{dll}: by name {sorted(names_expected) or 'nothing'}",
              f"missing {sorted(names_expected - names)}, unexpected {sorted(names - names_expected)}")
        base = pe.OPTIONAL_HEADER.ImageBase
        slots = [i.address - base for i in imports]
        check(all(iat.VirtualAddress <= slot < iat.VirtualAddress + iat.Size for slot in slots) and
              all(section_of(pe, slot).Characteristics & 0x80000000 for slot in slots),
              f"{dll}: its slots lie in the import address table, in writable data")


def check_export(pe):
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    check(exports is not None and exports.name == b"VOSTRELMISTVANE.dll", "the export table is named VOSTRELMISTVANE.dll",
          str(exports.name if exports else None))
    if not exports:
        return
    symbols = [(s.ordinal, s.name, s.forwarder) for s in exports.symbols]
    check(exports.struct.Base == 1 and symbols == [(1, b"Mistvane", None)], "Mistvane alone, ordinal 1, base 1",
          str(symbols))
    code = section_of(pe, exports.symbols[0].address) if exports.symbols else None
    check(code is not None and name(code) == ".text", "Mistvane is code", name(code))


def resource_entries(pe):
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for entry in kind.directory.entries:
            for language in entry.directory.entries:
                key = (str(kind.name) if kind.name else kind.id, str(entry.name) if entry.name else entry.id,
                       language.id)
                found[key] = pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)
    return found


def check_resources(pe, typelib_path):
    found = resource_entries(pe)
    check(set(found) == {(16, 1, 0x409), (6, 7, 0x409), ("TYPELIB", 1, 0x409)},
          "the version block, one string table block and TYPELIB 1, all US English", str(sorted(map(str, found))))
    with open(typelib_path, "rb") as tlb:
        check(found.get(("TYPELIB", 1, 0x409)) == tlb.read(), "TYPELIB 1 is the committed type library")

    block = found.get((6, 7, 0x409), b"")  # strings 96 to 111, each a length and that many UTF-16 units
    strings, at = [], 0
    while at + 2 <= len(block) and len(strings) < 16:
        length = struct.unpack_from("<H", block, at)[0]
        strings.append(block[at + 2:at + 2 + 2 * length].decode("utf-16-le"))
        at += 2 + 2 * length
    check(len(strings) == 16 and strings[5] == "Windows sockets initialization failed." and
          not any(strings[:5] + strings[6:]), "string 101 is \"Windows sockets initialization failed.\", alone",
          str(strings))

    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    check(fixed is not None and (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
                                 fixed.ProductVersionLS) == (0x10000, 1, 0x10000, 1),
          "fixed part: file and product version 1.0.0.1")
    check(fixed is not None and (fixed.FileFlagsMask, fixed.FileFlags, fixed.FileOS, fixed.FileType,
                                 fixed.FileSubtype) == (0x3F, 0, 4, 2, 0),
          "fixed part: flags mask 0x3F, flags 0, 32-bit Windows, a DLL, no subtype")
    tables, translations = [], []
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            tables += getattr(entry, "StringTable", [])
            translations += [var.entry for var in getattr(entry, "Var", [])]
    check(len(tables) == 1 and tables[0].LangID == b"040904B0", "one string table, 040904B0",
          str([t.LangID for t in tables]))
    if tables:
        got = [(key.decode(), value.decode()) for key, value in tables[0].entries.items()]
        check([key for key, _ in got] == [key for key, _ in VERSION_STRINGS], "the version strings, in order",
              str([key for key, _ in got]))
        for (key, value), (expected_key, expected) in zip(got, VERSION_STRINGS):
            if expected is None:
                check(value.startswith("Copyright"), f"{key} is a copyright line", value)
            else:
                check(value == expected, f"{key} is \"{expected}\"", value)
    check(translations == [{b"Translation": "0x0409 0x04b0"}], "Translation is US English, Unicode", str(translations))


def prolog_form(word):
    """Whether the kernel's unwinder reads `word` as a prolog instruction it can undo, as the module's prologs use
    them: stmdb sp!, {...} without pc or sp; str lr, [sp, #-imm]!; sub sp, sp, #imm. Unconditional only."""
    if word >> 28 != 0xE:
        return False
    if word & 0x0FFF0000 == 0x092D0000:
        return not word & 0xA000 and word & 0xFFFF
    return word & 0x0FFFF000 == 0x052DE000 or word & 0x0FFFF000 == 0x024DD000


def check_exception_table(pe):
    optional = pe.OPTIONAL_HEADER
    rva, size = optional.DATA_DIRECTORY[3].VirtualAddress, optional.DATA_DIRECTORY[3].Size
    home = section_of(pe, rva)
    check(size and size % 8 == 0 and home is not None and rva + size <= home.VirtualAddress + home.Misc_VirtualSize,
          "directory 3 holds whole 8-byte entries inside one section", f"{rva:#x} {size}")
    if not size or home is None:
        return
    check(name(home) == ".pdata" and home.Characteristics & 0xE2000000 == 0x40000000,
          ".pdata is readable, and neither discardable, writable nor executable",
          f"{name(home)} {home.Characteristics:#x}")
    base = optional.ImageBase
    relocated = {entry.rva for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []) for entry in block.entries
                 if entry.type == 3}
    entries = [struct.unpack_from("<II", pe.get_data(rva, size), k) for k in range(0, size, 8)]
    problems = []
    previous_end = 0
    for k, (start, flags) in enumerate(entries):
        prolog, length = flags & 0xFF, (flags >> 8) & 0x3FFFFF
        where = f"entry {k} at {start:#x}"
        code = section_of(pe, start - base)
        if rva + 8 * k not in relocated:
            problems.append(f"{where}: its start has no HIGHLOW relocation")
        if flags >> 30 != 1:
            problems.append(f"{where}: not 32-bit, or with a handler ({flags >> 30:#x})")
        if code is None or not code.Characteristics & 0x20000000 or start % 4 or \
                start + 4 * length > base + code.VirtualAddress + code.Misc_VirtualSize:
            problems.append(f"{where}: the function is not wholly in code")
            continue
        if start < previous_end:
            problems.append(f"{where}: out of order or over the entry before")
        previous_end = start + 4 * length
        if not 1 <= prolog <= 10 or prolog > length:
            problems.append(f"{where}: PrologLen {prolog} of FuncLen {length}")
            continue
        words = struct.unpack(f"<{prolog}I", pe.get_data(start - base, 4 * prolog))
        unknown = [f"{word:#010x}" for word in words if not prolog_form(word)]
        if unknown:
            problems.append(f"{where}: prolog instructions the unwinder does not undo: {unknown}")
    check(entries and not problems, f"all {len(entries)} entries: sorted, apart, relocated, 32-bit, no handler, "
          "prologs of the forms the unwinder undoes", "; ".join(problems[:5]))
    starts = {start - base for start, _ in entries}
    mistvane = next((s.address for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name == b"Mistvane"), None)
    check(mistvane in starts and optional.AddressOfEntryPoint in starts,
          "Mistvane and the entry point, which both keep frames, have entries")


def main():
    pe = pefile.PE(sys.argv[1])
    check_headers(pe)
    check_sections(pe)
    check_relocations(pe)
    check_imports(pe)
    check_export(pe)
    check_resources(pe, sys.argv[2])
    check_exception_table(pe)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
