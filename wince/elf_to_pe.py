#!/usr/bin/env python3
"""Turns the ARM module, linked as an ELF image at its final addresses with its relocations kept (ld -q), into the
PE file Windows CE loads: a DLL for ARM (machine 0x01C0), Windows CE GUI subsystem 3.00.

The ELF image already holds the code and data where the PE file will have them (image base 0x10000000, one page-
aligned output section per PE section: .text, .rdata, .data, .bss). This program adds what only the PE file has:
  - the import directory, from the import address table the link script gathered in .data (one run of slots per
    library, each closed by a zero word; a slot is named __imp_<symbol>) and the binding of each symbol in the
    libraries' .def files, which are made from the one table of ordinals: every import by ordinal;
  - the export directory, from the module's .def file;
  - the resources, from the .res file windres compiled from the resource script;
  - the exception table (.pdata) the kernel unwinds the module's frames by (pdata.py);
  - the base relocations: one HIGHLOW entry for every absolute address the link left in the image.
It stops, writing nothing, on anything it does not understand: a relocation type it does not know, a symbol left
undefined, an import the table lacks or gives no ordinal, a section it has no place for.

usage: elf_to_pe.py --elf IMAGE.elf --exports MODULE.def --imports LIB.def [LIB.def ...] --resources FILE.res
                    --output MODULE.dll
"""
import argparse
import struct
import sys

from elftools.elf.constants import SH_FLAGS
from elftools.elf.elffile import ELFFile

import pdata

IMAGE_BASE = 0x10000000
SECTION_ALIGNMENT = 0x1000
FILE_ALIGNMENT = 0x200
HEADERS_SIZE = 0x400

MACHINE_ARM = 0x01C0
SUBSYSTEM_WINDOWS_CE_GUI = 9

# Where each output section of the link goes in the PE file, and what it may do there.
CODE = 0x00000020
INITIALIZED = 0x00000040
UNINITIALIZED = 0x00000080
DISCARDABLE = 0x02000000
EXECUTE = 0x20000000
READ = 0x40000000
WRITE = 0x80000000
LINKED_SECTIONS = {
    ".text": CODE | EXECUTE | READ,
    ".rdata": INITIALIZED | READ,
    ".data": INITIALIZED | READ | WRITE,
    ".bss": UNINITIALIZED | READ | WRITE,
}

# ARM relocations of a linked image. The absolute ones become base relocations; the relative ones stay right
# wherever the image is put. Anything else is a form the converter does not understand.
R_ARM_NONE = 0
R_ARM_PC24 = 1
R_ARM_ABS32 = 2
R_ARM_REL32 = 3
R_ARM_CALL = 28
R_ARM_JUMP24 = 29
R_ARM_TARGET1 = 38
R_ARM_V4BX = 40
ABSOLUTE_RELOCATIONS = {R_ARM_ABS32, R_ARM_TARGET1}
RELATIVE_RELOCATIONS = {R_ARM_NONE, R_ARM_PC24, R_ARM_REL32, R_ARM_CALL, R_ARM_JUMP24}

IMAGE_REL_BASED_ABSOLUTE = 0
IMAGE_REL_BASED_HIGHLOW = 3

DIRECTORY_EXPORT = 0
DIRECTORY_IMPORT = 1
DIRECTORY_RESOURCE = 2
DIRECTORY_EXCEPTION = 3
DIRECTORY_BASERELOC = 5
DIRECTORY_IAT = 12


class ConversionError(Exception):
    pass


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


# ---------------------------------------------------------------------------------------------------------------
# The binding: .def files


def read_def(path):
    """(library name, [(symbol, ordinal or None)]) from a .def file: LIBRARY, then EXPORTS entries "symbol",
    "symbol @n" or "symbol @n NONAME", any number to a line; comments start with ';'."""
    library = None
    entries = []
    words = []
    with open(path, encoding="utf-8") as text:
        for line in text:
            words.extend(line.split(";", 1)[0].split())
    k = 0
    while k < len(words):
        word = words[k]
        if word == "LIBRARY":
            library = words[k + 1].strip('"')
            k += 2
        elif word == "EXPORTS":
            k += 1
        elif word.startswith("@") or word == "NONAME":
            raise ConversionError(f"{path}: '{word}' without an export before it")
        else:
            ordinal = None
            k += 1
            if k < len(words) and words[k].startswith("@"):
                ordinal = int(words[k][1:])
                k += 1
                if k < len(words) and words[k] == "NONAME":
                    k += 1
            if "=" in word:
                raise ConversionError(f"{path}: aliases ({word}) have no meaning for an import")
            entries.append((word, ordinal))
    if not library:
        raise ConversionError(f"{path}: no LIBRARY line")
    return library, entries


# ---------------------------------------------------------------------------------------------------------------
# The linked image


class Image:
    """The ELF image's sections as PE sections, with its symbols and the absolute addresses in it."""

    def __init__(self, path):
        self.file = open(path, "rb")
        self.elf = ELFFile(self.file)
        header = self.elf.header
        if self.elf.elfclass != 32 or not self.elf.little_endian or header.e_machine != "EM_ARM":
            raise ConversionError(f"{path}: not a 32-bit little-endian ARM image")
        if header.e_type != "ET_EXEC":
            raise ConversionError(f"{path}: not a linked image (type {header.e_type})")
        if header.e_flags & 0xFF000000 != 0x05000000:
            raise ConversionError(f"{path}: not an EABI version 5 image")
        self.sections = []  # [(name, address, size, data or None, characteristics)]
        self.data = {}      # name -> bytearray, for the sections with contents
        for index, section in enumerate(self.elf.iter_sections()):
            if not section["sh_flags"] & SH_FLAGS.SHF_ALLOC or section["sh_size"] == 0:
                continue
            name = section.name
            if name not in LINKED_SECTIONS:
                raise ConversionError(f"section {name} has no place in the module (see the link script)")
            address = section["sh_addr"]
            if address % SECTION_ALIGNMENT or address < IMAGE_BASE + SECTION_ALIGNMENT:
                raise ConversionError(f"section {name} at {address:#x} is not on a page of the image")
            data = None
            if section["sh_type"] != "SHT_NOBITS":
                data = bytearray(section.data())
                self.data[name] = data
            elif name != ".bss":
                raise ConversionError(f"section {name} holds no bytes")
            self.sections.append((name, address, section["sh_size"], data, LINKED_SECTIONS[name]))
        self.sections.sort(key=lambda s: s[1])
        for (name, address, size, _, _), following in zip(self.sections, self.sections[1:]):
            if address + size > following[1]:
                raise ConversionError(f"section {name} overlaps {following[0]}")
        if not self.sections or self.sections[0][0] != ".text":
            raise ConversionError("the image has no code")
        self.end = self.sections[-1][1] + self.sections[-1][2]
        self.symbols = {}
        symbol_table = self.elf.get_section_by_name(".symtab")
        if symbol_table is None:
            raise ConversionError(f"{path}: no symbol table")
        for symbol in symbol_table.iter_symbols():
            if symbol.name and symbol["st_shndx"] != "SHN_UNDEF":
                self.symbols.setdefault(symbol.name, symbol)

    def section_at(self, address):
        for name, start, size, _, _ in self.sections:
            if start <= address < start + size:
                return name, start
        return None, None

    def word(self, address):
        name, start = self.section_at(address)
        if name is None or name not in self.data:
            raise ConversionError(f"{address:#x} is not in a section with contents")
        return struct.unpack_from("<I", self.data[name], address - start)[0]

    def put_word(self, address, value):
        name, start = self.section_at(address)
        struct.pack_into("<I", self.data[name], address - start, value)

    def address_of(self, name, kind=None):
        symbol = self.symbols.get(name)
        if symbol is None:
            raise ConversionError(f"symbol {name} is not defined in the image")
        if kind and symbol["st_info"]["type"] != kind:
            raise ConversionError(f"symbol {name} is not a {kind}")
        return symbol["st_value"]

    def absolute_addresses(self):
        """The address of every word that holds an absolute address, from the relocations the link kept."""
        words = set()
        sections = list(self.elf.iter_sections())
        for relocations in sections:
            if relocations["sh_type"] == "SHT_RELA":
                raise ConversionError(f"{relocations.name}: RELA relocations are not an ARM image's")
            if relocations["sh_type"] != "SHT_REL":
                continue
            target = sections[relocations["sh_info"]]
            if not target["sh_flags"] & SH_FLAGS.SHF_ALLOC:
                continue
            symbols = sections[relocations["sh_link"]]
            for relocation in relocations.iter_relocations():
                kind = relocation["r_info_type"]
                offset = relocation["r_offset"]
                symbol = symbols.get_symbol(relocation["r_info_sym"])
                where = f"{target.name}+{offset - target['sh_addr']:#x}"
                if symbol["st_shndx"] == "SHN_UNDEF" and relocation["r_info_sym"] != 0:
                    raise ConversionError(f"{where}: undefined symbol {symbol.name}")
                if kind in RELATIVE_RELOCATIONS:
                    continue
                if kind == R_ARM_V4BX:
                    raise ConversionError(f"{where}: a BX instruction, which ARMv4 does not have")
                if kind not in ABSOLUTE_RELOCATIONS:
                    raise ConversionError(f"{where}: relocation type {kind} is not understood")
                if offset % 4:
                    raise ConversionError(f"{where}: an absolute address that is not word-aligned")
                value = self.word(offset)
                if not IMAGE_BASE <= value <= self.end:
                    raise ConversionError(f"{where}: absolute address {value:#x} lies outside the image")
                words.add(offset)
        return sorted(words)


# ---------------------------------------------------------------------------------------------------------------
# The directories the PE file adds


class Section:
    """A section the converter writes: its bytes, built with offsets from its start, placed at `rva`."""

    def __init__(self, name, rva, characteristics):
        self.name = name
        self.rva = rva
        self.characteristics = characteristics
        self.data = bytearray()

    def add(self, data, alignment=1):
        self.data += b"\0" * (align(len(self.data), alignment) - len(self.data))
        offset = len(self.data)
        self.data += data
        return self.rva + offset


def c_string(text):
    return text.encode("ascii") + b"\0"


def import_runs(image, libraries):
    """[(library, [(slot address, symbol, ordinal or None)])] in the order of `libraries`, from the __imp_ slots."""
    binding = {}
    for library, entries in libraries:
        for symbol, ordinal in entries:
            binding[symbol] = (library, ordinal)
    slots = []
    for name, symbol in image.symbols.items():
        if not name.startswith("__imp_"):
            continue
        target = name[len("__imp_"):]
        if target not in binding:
            raise ConversionError(f"import {target} is not in the table")
        address = symbol["st_value"]
        if image.section_at(address)[0] != ".data":
            raise ConversionError(f"import slot {name} is not in .data")
        slots.append((address, target) + binding[target])
    slots.sort()
    runs = []
    for address, symbol, library, ordinal in slots:
        if runs and runs[-1][0] == library and runs[-1][1][-1][0] + 4 == address:
            runs[-1][1].append((address, symbol, ordinal))
        else:
            runs.append((library, [(address, symbol, ordinal)]))
    for library, run in runs:
        if image.word(run[-1][0] + 4) != 0:
            raise ConversionError(f"the import slots of {library} are not closed by a zero word")
    order = [library for library, _ in runs]
    if len(set(order)) != len(order):
        raise ConversionError(f"the import slots of one library are not in one run: {order}")
    expected = [library for library, _ in libraries if library in order]
    if order != expected:
        raise ConversionError(f"imports are in the order {order}, not {expected}")
    return runs


def build_imports(image, runs, section):
    """Writes the import directory into `section` and the slots' initial values into the image."""
    descriptors_at = len(section.data)
    section.add(b"\0" * 20 * (len(runs) + 1))
    descriptors = []
    for library, run in runs:
        lookups = []
        for address, symbol, ordinal in run:
            # The platform's own linker binds its libraries by ordinal, and so does the module: a name would be
            # one more thing a device's library could lack.
            if ordinal is None:
                raise ConversionError(f"import {symbol} of {library} has no ordinal in the table")
            lookups.append(0x80000000 | ordinal)
        table = section.add(struct.pack(f"<{len(lookups) + 1}I", *lookups, 0), 4)
        name = section.add(c_string(library))
        for (address, _, _), value in zip(run, lookups):
            image.put_word(address, value)  # unbound, the slots hold what the lookup table holds
        descriptors.append((table, name, run[0][0] - IMAGE_BASE))
    for k, (table, name, slots) in enumerate(descriptors):
        struct.pack_into("<IIIII", section.data, descriptors_at + 20 * k, table, 0, 0, name, slots)
    first = runs[0][1][0][0] - IMAGE_BASE
    last = runs[-1][1][-1][0] + 8 - IMAGE_BASE
    return (section.rva + descriptors_at, 20 * (len(runs) + 1)), (first, last - first)


def build_exports(image, module, exports, section):
    ordinals = [ordinal for _, ordinal in exports]
    if any(ordinal is None for ordinal in ordinals) or len(set(ordinals)) != len(ordinals):
        raise ConversionError("every export needs an ordinal of its own")
    base = min(ordinals)
    functions = [0] * (max(ordinals) - base + 1)
    for symbol, ordinal in exports:
        address = image.address_of(symbol, "STT_FUNC")
        if image.section_at(address)[0] != ".text":
            raise ConversionError(f"export {symbol} is not code")
        functions[ordinal - base] = address - IMAGE_BASE
    named = sorted(exports, key=lambda entry: entry[0].encode("ascii"))
    start = section.add(b"\0" * 40, 4)
    address_table = section.add(struct.pack(f"<{len(functions)}I", *functions), 4)
    names = [section.add(c_string(symbol)) for symbol, _ in named]
    name_table = section.add(struct.pack(f"<{len(names)}I", *names), 4)
    ordinal_table = section.add(struct.pack(f"<{len(named)}H", *[ordinal - base for _, ordinal in named]), 2)
    module_name = section.add(c_string(module))
    struct.pack_into("<IIHHIIIIIII", section.data, start - section.rva, 0, 0, 0, 0, module_name, base,
                     len(functions), len(named), address_table, name_table, ordinal_table)
    return start, section.rva + len(section.data) - start


def read_res(path):
    """[(type, name, language, data)] from a .res file; type and name are numbers or strings."""
    with open(path, "rb") as file:
        res = file.read()
    entries = []
    offset = 0

    def identifier(at):
        if struct.unpack_from("<H", res, at)[0] == 0xFFFF:
            return struct.unpack_from("<H", res, at + 2)[0], at + 4
        end = at
        while struct.unpack_from("<H", res, end)[0] != 0:
            end += 2
        return res[at:end].decode("utf-16-le"), end + 2

    while offset + 8 <= len(res):
        data_size, header_size = struct.unpack_from("<II", res, offset)
        if header_size < 16 or offset + header_size + data_size > len(res):
            raise ConversionError(f"{path}: a resource header at {offset:#x} does not fit the file")
        kind, at = identifier(offset + 8)
        name, at = identifier(at)
        at = align(at, 4)
        _, _, language, _, _ = struct.unpack_from("<IHHII", res, at)
        data = res[offset + header_size:offset + header_size + data_size]
        if not (kind == 0 and name == 0 and data_size == 0):  # the empty entry .res files start with
            entries.append((kind, name, language, data))
        offset = align(offset + header_size + data_size, 4)
    if offset != len(res):
        raise ConversionError(f"{path}: bytes after the last resource")
    return entries


def build_resources(entries, section):
    """The resource tree: types, then names, then languages, then the data entries and the data; named entries
    before numbered ones at every level, each group in ascending order."""
    tree = {}
    for kind, name, language, data in entries:
        tree.setdefault(kind, {}).setdefault(name, {})[language] = data

    def ordered(keys):
        names = sorted((key for key in keys if isinstance(key, str)), key=str.upper)
        return names + sorted(key for key in keys if not isinstance(key, str))

    # Directory sizes first, so that every offset is known before anything is written.
    directories = []  # (offset, {key: child}) breadth-first
    layout = []

    def plan(node, depth):
        layout.append((node, depth))
        if depth < 2:
            for key in ordered(node):
                plan(node[key], depth + 1)

    plan(tree, 0)
    offset = 0
    directory_offsets = {}
    for node, depth in layout:
        directory_offsets[id(node)] = offset
        offset += 16 + 8 * len(node)
    strings = {}
    for node, depth in layout:
        for key in node:
            if isinstance(key, str) and key not in strings:
                strings[key] = offset
                offset += 2 + 2 * len(key)
    offset = align(offset, 4)
    leaves = []
    for node, depth in layout:
        if depth == 2:
            for language in ordered(node):
                leaves.append((node, language, offset))
                offset += 16
    data_offsets = {}
    for node, language, _ in leaves:
        offset = align(offset, 8)
        data_offsets[(id(node), language)] = offset
        offset += len(node[language])

    data = bytearray(offset)
    for node, depth in layout:
        at = directory_offsets[id(node)]
        keys = ordered(node)
        named = sum(isinstance(key, str) for key in keys)
        struct.pack_into("<IIHHHH", data, at, 0, 0, 0, 0, named, len(keys) - named)
        for k, key in enumerate(keys):
            name_field = (0x80000000 | strings[key]) if isinstance(key, str) else key
            if depth < 2:
                child = 0x80000000 | directory_offsets[id(node[key])]
            else:
                child = next(leaf for owner, language, leaf in leaves if owner is node and language == key)
            struct.pack_into("<II", data, at + 16 + 8 * k, name_field, child)
    for text, at in strings.items():
        struct.pack_into("<H", data, at, len(text))
        data[at + 2:at + 2 + 2 * len(text)] = text.encode("utf-16-le")
    for node, language, leaf in leaves:
        at = data_offsets[(id(node), language)]
        blob = node[language]
        struct.pack_into("<IIII", data, leaf, section.rva + at, len(blob), 0, 0)
        data[at:at + len(blob)] = blob
    section.add(bytes(data))
    return section.rva, len(data)


def build_relocations(words, section):
    """Base relocation blocks, one per 4 KiB page: the page, the block's size, and the entries, padded to a word."""
    pages = {}
    for address in words:
        rva = address - IMAGE_BASE
        pages.setdefault(rva & ~0xFFF, []).append(rva & 0xFFF)
    for page in sorted(pages):
        entries = [(IMAGE_REL_BASED_HIGHLOW << 12) | offset for offset in pages[page]]
        if len(entries) % 2:
            entries.append(IMAGE_REL_BASED_ABSOLUTE << 12)
        section.add(struct.pack(f"<II{len(entries)}H", page, 8 + 2 * len(entries), *entries), 4)
    return section.rva, len(section.data)


# ---------------------------------------------------------------------------------------------------------------
# The file

DOS_STUB = (b"\x0e\x1f\xba\x0e\x00\xb4\x09\xcd\x21\xb8\x01\x4c\xcd\x21"
            b"This program cannot be run in DOS mode.\r\r\n$")
PE_OFFSET = 0x80


def checksum(data):
    """The PE checksum: the file's 16-bit words summed with their carries folded back in, plus the file's length
    (the checksum field itself taken as zero)."""
    total = 0
    for (word,) in struct.iter_unpack("<H", data + b"\0" * (len(data) % 2)):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16)) + len(data)


def write_pe(image, added, directories, entry, output):
    sections = []  # (name, rva, virtual size, raw bytes or None, characteristics)
    for name, address, size, data, characteristics in image.sections:
        sections.append((name, address - IMAGE_BASE, size, data, characteristics))
    for section in added:
        sections.append((section.name, section.rva, len(section.data), section.data, section.characteristics))
    if PE_OFFSET + 4 + 20 + 0xE0 + 40 * len(sections) > HEADERS_SIZE:
        raise ConversionError("too many sections for the headers")

    file_offset = HEADERS_SIZE
    placed = []
    for name, rva, size, data, characteristics in sections:
        raw = align(len(data), FILE_ALIGNMENT) if data is not None else 0
        placed.append((name, rva, size, data, characteristics, file_offset if raw else 0, raw))
        file_offset += raw
    image_size = align(sections[-1][1] + sections[-1][2], SECTION_ALIGNMENT)

    def total(flag):
        return sum(raw for _, _, _, _, characteristics, _, raw in placed if characteristics & flag)

    uninitialized = sum(size for _, _, size, _, characteristics, _, _ in placed if characteristics & UNINITIALIZED)
    code = next(rva for name, rva, *_ in placed if name == ".text")
    data_start = next((rva for name, rva, *_ in placed if name != ".text"), code)
    out = bytearray(file_offset)
    struct.pack_into("<2s58xI", out, 0, b"MZ", PE_OFFSET)
    struct.pack_into("<HHHHHHHHHHHHHH", out, 2, 0x90, 3, 0, 4, 0, 0xFFFF, 0, 0xB8, 0, 0, 0, 0x40, 0, 0)
    out[0x40:0x40 + len(DOS_STUB)] = DOS_STUB
    characteristics = 0x0002 | 0x0004 | 0x0008 | 0x0100 | 0x0200 | 0x2000  # executable, stripped, 32-bit, DLL
    struct.pack_into("<4sHHIIIHH", out, PE_OFFSET, b"PE\0\0", MACHINE_ARM, len(placed), 0, 0, 0, 0xE0,
                     characteristics)
    optional = PE_OFFSET + 24
    struct.pack_into("<HBB" + "I" * 9 + "H" * 6 + "I" * 4 + "HH" + "I" * 6, out, optional,
                     0x10B, 2, 0,                          # PE32, linker version
                     total(CODE), total(INITIALIZED), uninitialized,
                     entry - IMAGE_BASE, code, data_start,
                     IMAGE_BASE, SECTION_ALIGNMENT, FILE_ALIGNMENT,
                     3, 0,                                 # operating system version
                     1, 0,                                 # image version
                     3, 0,                                 # subsystem version: Windows CE 3.00
                     0,                                    # Win32VersionValue
                     image_size, HEADERS_SIZE, 0,          # checksum below
                     SUBSYSTEM_WINDOWS_CE_GUI, 0,          # no DLL characteristics
                     0x10000, 0x1000, 0x100000, 0x1000,    # stack and heap reserve and commit
                     0, 16)
    for index, (rva, size) in directories.items():
        struct.pack_into("<II", out, optional + 96 + 8 * index, rva, size)
    headers = optional + 0xE0
    for k, (name, rva, size, data, section_characteristics, pointer, raw) in enumerate(placed):
        struct.pack_into("<8sIIIIIIHHI", out, headers + 40 * k, name.encode("ascii"), size, rva, raw, pointer,
                         0, 0, 0, 0, section_characteristics)
        if data is not None:
            out[pointer:pointer + len(data)] = data
    struct.pack_into("<I", out, optional + 64, checksum(bytes(out)))
    with open(output, "wb") as file:
        file.write(out)


def convert(arguments):
    image = Image(arguments.elf)
    libraries = [read_def(path) for path in arguments.imports]
    module, exports = read_def(arguments.exports)
    words = image.absolute_addresses()
    entry = image.address_of(arguments.entry, "STT_FUNC")
    if image.section_at(entry)[0] != ".text":
        raise ConversionError(f"the entry point {arguments.entry} is not code")

    rva = align(image.end - IMAGE_BASE, SECTION_ALIGNMENT)
    added = []

    def new_section(name, characteristics):
        section = Section(name, rva, characteristics)
        added.append(section)
        return section

    directories = {}
    runs = import_runs(image, libraries)
    if not runs:
        raise ConversionError("the module imports nothing")
    imports = new_section(".idata", INITIALIZED | READ)
    directories[DIRECTORY_IMPORT], directories[DIRECTORY_IAT] = build_imports(image, runs, imports)
    rva = align(imports.rva + len(imports.data), SECTION_ALIGNMENT)
    exported = new_section(".edata", INITIALIZED | READ)
    directories[DIRECTORY_EXPORT] = build_exports(image, module, exports, exported)
    rva = align(exported.rva + len(exported.data), SECTION_ALIGNMENT)
    resources = new_section(".rsrc", INITIALIZED | READ)
    directories[DIRECTORY_RESOURCE] = build_resources(read_res(arguments.resources), resources)
    rva = align(resources.rva + len(resources.data), SECTION_ALIGNMENT)
    # The exception table, which the kernel reads while a DLL is loaded: readable and never discardable.
    exceptions = new_section(".pdata", INITIALIZED | READ)
    try:
        directories[DIRECTORY_EXCEPTION], entry_words = pdata.build_exception_table(image, exceptions)
    except pdata.UndescribableFunction as error:
        raise ConversionError(f"the unwinder could not follow {error}") from None
    words = sorted(words + [IMAGE_BASE + word for word in entry_words])
    if not exceptions.data:  # all leaves: no table, and no empty section, which the platform refuses to load
        added.remove(exceptions)
        del directories[DIRECTORY_EXCEPTION]
    rva = align(exceptions.rva + len(exceptions.data), SECTION_ALIGNMENT)
    relocations = new_section(".reloc", INITIALIZED | DISCARDABLE | READ)
    directories[DIRECTORY_BASERELOC] = build_relocations(words, relocations)
    write_pe(image, added, directories, entry, arguments.output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--elf", required=True)
    parser.add_argument("--exports", required=True)
    parser.add_argument("--imports", required=True, nargs="+")
    parser.add_argument("--resources", required=True)
    parser.add_argument("--entry", default="MistvaneEntryPoint")
    parser.add_argument("--output", required=True)
    arguments = parser.parse_args()
    try:
        convert(arguments)
    except ConversionError as error:
        print(f"elf_to_pe: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
