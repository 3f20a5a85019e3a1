#include "pe_image.h"

#include <stdlib.h>
#include <string.h>

#include "console.h"
#include "host_files.h"
#include "linux_calls.h"
#include "stand_in_exports.h"

namespace {

const uint32_t kPage = 4096;
const size_t kLargestModuleFile = 64u << 20;
const uint32_t kLargestImage = 256u << 20;

const uint16_t kMachineArm = 0x01C0;
const uint16_t kPe32Magic = 0x10B;
const uint16_t kSubsystemWindowsCeGui = 9;
const uint16_t kFileRelocationsStripped = 0x0001;
const uint16_t kFileDll = 0x2000;
const uint32_t kSectionExecute = 0x20000000;
const uint32_t kSectionRead = 0x40000000;
const uint32_t kSectionWrite = 0x80000000;
const uint32_t kImportByOrdinal = 0x80000000;
const int kRelocationAbsolute = 0;
const int kRelocationHighLow = 3;

const int kDirectoryExport = 0;
const int kDirectoryImport = 1;
const int kDirectoryRelocations = 5;

// Little-endian fields at any alignment: an ARMv4 word load from an unaligned address rotates instead.
uint32_t Get16(const uint8_t* at) {
    return (uint32_t)at[0] | (uint32_t)at[1] << 8;
}

uint32_t Get32(const uint8_t* at) {
    return (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 | (uint32_t)at[3] << 24;
}

void Put32(uint8_t* at, uint32_t value) {
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
    at[2] = (uint8_t)(value >> 16);
    at[3] = (uint8_t)(value >> 24);
}

// Whether [offset, offset + length) lies within `size` bytes.
bool Within(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

// A null-terminated name at `rva`, if the whole of it is in the image.
const char* NameAt(const uint8_t* base, uint32_t size, uint32_t rva) {
    if (rva >= size) return 0;
    for (uint32_t at = rva; at < size; ++at)
        if (base[at] == 0) return (const char*)base + rva;
    return 0;
}

// A refusal is one line on standard error: "refused: " and what is wrong. Start one with Refusal, end it with
// Refused (which gives false, to return).
Line* Refusal(Line* line) {
    Clear(line);
    Append(line, "refused: ");
    return line;
}

bool Refused(Line* line) {
    Append(line, "\n");
    WriteLine(2, line);
    return false;
}

bool Refuse(const char* what) {
    Line line;
    Append(Refusal(&line), what);
    return Refused(&line);
}

bool RefuseNumber(const char* what, uint64_t number, const char* tail, bool hex = true) {
    Line line;
    Append(Refusal(&line), what);
    if (hex) AppendHex(&line, number);
    else AppendDecimal(&line, (int64_t)number);
    Append(&line, tail);
    return Refused(&line);
}

// "refused: imports WHAT of LIBRARY, which the stand-in lacks", WHAT a name or "ordinal N".
bool RefuseImport(const char* name, uint32_t ordinal, const char* library) {
    Line line;
    Append(Refusal(&line), "imports ");
    if (name) {
        Append(&line, name);
    } else {
        Append(&line, "ordinal ");
        AppendDecimal(&line, ordinal);
    }
    Append(&line, " of ");
    Append(&line, library);
    Append(&line, ", which the stand-in lacks");
    return Refused(&line);
}

// The headers' fields the loader uses, as checked against the file.
struct Headers {
    uint32_t ntOffset;
    uint32_t sectionTable;
    uint32_t sectionCount;
    uint32_t entryRva;
    uint32_t imageBase;
    uint32_t imageSize;
    uint32_t headersSize;
    uint32_t directoryCount;
    uint32_t directories;  // file offset of the data directories
};

struct Section {
    uint32_t rva;
    uint32_t extent;    // bytes in memory
    uint32_t rawBytes;  // bytes from the file, the rest zero
    uint32_t rawOffset;
    uint32_t flags;
};

Section SectionAt(const uint8_t* table, uint32_t index) {
    const uint8_t* at = table + 40 * index;
    Section section;
    uint32_t virtualSize = Get32(at + 8);
    section.rva = Get32(at + 12);
    uint32_t rawSize = Get32(at + 16);
    section.rawOffset = Get32(at + 20);
    section.flags = Get32(at + 36);
    section.extent = virtualSize ? virtualSize : rawSize;
    section.rawBytes = rawSize < section.extent ? rawSize : section.extent;
    return section;
}

void Directory(const uint8_t* bytes, const Headers& headers, int index, uint32_t* rva, uint32_t* size) {
    *rva = *size = 0;
    if ((uint32_t)index >= headers.directoryCount) return;
    *rva = Get32(bytes + headers.directories + 8 * index);
    *size = Get32(bytes + headers.directories + 8 * index + 4);
}

bool CheckHeaders(const uint8_t* file, size_t fileSize, Headers* headers) {
    if (fileSize < 64 || file[0] != 'M' || file[1] != 'Z') return Refuse("not an executable (no MZ header)");
    uint32_t nt = Get32(file + 0x3C);
    if (!Within(nt, 24, fileSize) || memcmp(file + nt, "PE\0\0", 4) != 0)
        return Refuse("not a PE file (no PE signature)");
    uint32_t machine = Get16(file + nt + 4);
    if (machine != kMachineArm) return RefuseNumber("machine ", machine, " is not ARM (0x1c0)");
    uint32_t characteristics = Get16(file + nt + 22);
    if (!(characteristics & kFileDll)) return RefuseNumber("not a DLL (characteristics ", characteristics, ")");
    if (characteristics & kFileRelocationsStripped)
        return Refuse("its relocations are stripped, so it cannot be moved from its ImageBase");
    uint32_t optionalSize = Get16(file + nt + 20);
    uint32_t optional = nt + 24;
    if (optionalSize < 96 || !Within(optional, optionalSize, fileSize)) return Refuse("optional header cut short");
    uint32_t magic = Get16(file + optional);
    if (magic != kPe32Magic) return RefuseNumber("optional header magic ", magic, " is not PE32 (0x10b)");
    uint32_t subsystem = Get16(file + optional + 68);
    if (subsystem != kSubsystemWindowsCeGui)
        return RefuseNumber("subsystem ", subsystem, " is not Windows CE GUI (9)", false);
    headers->ntOffset = nt;
    headers->entryRva = Get32(file + optional + 16);
    headers->imageBase = Get32(file + optional + 28);
    headers->imageSize = Get32(file + optional + 56);
    headers->headersSize = Get32(file + optional + 60);
    headers->directories = optional + 96;
    uint32_t directoryCount = Get32(file + optional + 92);
    uint32_t room = (optionalSize - 96) / 8;
    headers->directoryCount = directoryCount < room ? directoryCount : room;
    headers->sectionTable = optional + optionalSize;
    headers->sectionCount = Get16(file + nt + 6);
    if (headers->imageSize == 0 || headers->imageSize > kLargestImage)
        return RefuseNumber("SizeOfImage ", headers->imageSize, " is not a size the loader maps");
    if (headers->headersSize > headers->imageSize || headers->headersSize > fileSize ||
        !Within(headers->sectionTable, 40ull * headers->sectionCount, headers->headersSize))
        return Refuse("headers do not fit in the file or the image");
    for (uint32_t k = 0; k < headers->sectionCount; ++k) {
        Section section = SectionAt(file + headers->sectionTable, k);
        if (!Within(section.rva, section.extent, headers->imageSize) || section.rva < headers->headersSize)
            return RefuseNumber("section ", k, " lies outside the image", false);
        if (section.rawBytes && !Within(section.rawOffset, section.rawBytes, fileSize))
            return RefuseNumber("section ", k, "'s data lies outside the file", false);
    }
    if (headers->entryRva >= headers->imageSize) return Refuse("the entry point lies outside the image");
    return true;
}

// Anywhere but ImageBase, as the platform's loader places modules: every absolute address must then be relocated.
uint8_t* MapAwayFromBase(uint32_t size, uint32_t imageBase) {
    void* first = LinuxMap(0, size, kProtRead | kProtWrite, kMapPrivate);
    if (MapFailed(first)) return 0;
    if ((uintptr_t)first != imageBase) return (uint8_t*)first;
    void* second = LinuxMap(0, size, kProtRead | kProtWrite, kMapPrivate);
    LinuxUnmap(first, size);
    return MapFailed(second) ? 0 : (uint8_t*)second;
}

bool ApplyRelocations(PeImage* image, const Headers& headers) {
    uint32_t rva, size;
    Directory(image->base, headers, kDirectoryRelocations, &rva, &size);
    uint32_t delta = (uint32_t)(uintptr_t)image->base - headers.imageBase;
    if (size == 0) return delta == 0 || Refuse("no base relocations, and it cannot stay at its ImageBase");
    if (!Within(rva, size, image->imageSize)) return Refuse("the base relocations lie outside the image");
    uint32_t at = rva, end = rva + size;
    while (end - at >= 8) {
        uint32_t page = Get32(image->base + at);
        uint32_t blockSize = Get32(image->base + at + 4);
        if (blockSize < 8 || blockSize > end - at) return RefuseNumber("relocation block at ", at, " is malformed");
        for (uint32_t entry = at + 8; entry + 2 <= at + blockSize; entry += 2) {
            uint32_t value = Get16(image->base + entry);
            int type = (int)(value >> 12);
            uint64_t target = (uint64_t)page + (value & 0xFFF);
            if (type == kRelocationAbsolute) continue;
            if (type != kRelocationHighLow)
                return RefuseNumber("relocation type ", (uint32_t)type, " (only HIGHLOW, 3, is known)", false);
            if (!Within(target, 4, image->imageSize)) return RefuseNumber("relocation at ", target, " is outside the image");
            Put32(image->base + target, Get32(image->base + target) + delta);
            ++image->relocationsApplied;
        }
        at += blockSize;
    }
    return true;
}

bool BindImports(PeImage* image, const Headers& headers) {
    uint32_t rva, size;
    Directory(image->base, headers, kDirectoryImport, &rva, &size);
    if (size == 0) return true;
    uint8_t* base = image->base;
    uint32_t imageSize = image->imageSize;
    for (uint32_t descriptor = rva;; descriptor += 20) {
        if (!Within(descriptor, 20, imageSize)) return Refuse("the import descriptors run outside the image");
        uint32_t lookup = Get32(base + descriptor), nameRva = Get32(base + descriptor + 12);
        uint32_t addresses = Get32(base + descriptor + 16);
        if (nameRva == 0 && addresses == 0) break;
        const char* libraryName = NameAt(base, imageSize, nameRva);
        if (!libraryName) return Refuse("an imported library's name lies outside the image");
        const StandInLibrary* library = FindStandInLibrary(libraryName);
        if (!library) {
            Line line;
            Append(Refusal(&line), "imports from ");
            Append(&line, libraryName);
            Append(&line, ", which the loader does not provide");
            return Refused(&line);
        }
        if (lookup == 0) lookup = addresses;
        for (uint32_t k = 0;; ++k) {
            if (!Within(lookup + 4ull * k, 4, imageSize) || !Within(addresses + 4ull * k, 4, imageSize))
                return Refuse("an import table runs outside the image");
            uint32_t entry = Get32(base + lookup + 4 * k);
            if (entry == 0) break;
            void* address;
            if (entry & kImportByOrdinal) {
                address = FindStandInOrdinal(library, entry & 0xFFFF);
                if (!address) return RefuseImport(0, entry & 0xFFFF, libraryName);
            } else {
                const char* name = Within(entry, 2, imageSize) ? NameAt(base, imageSize, entry + 2) : 0;
                if (!name) return Refuse("an imported name lies outside the image");
                address = FindStandInName(library, name);
                if (!address) return RefuseImport(name, 0, libraryName);
            }
            Put32(base + addresses + 4 * k, (uint32_t)(uintptr_t)address);
            ++image->importsBound;
        }
    }
    return true;
}

int Protection(uint32_t flags) {
    return (flags & kSectionRead ? kProtRead : 0) | (flags & kSectionWrite ? kProtWrite : 0) |
           (flags & kSectionExecute ? kProtExec : 0);
}

// Each page gets what every section on it needs; headers are read-only, pages of no section inaccessible.
bool ProtectSections(PeImage* image, const Headers& headers) {
    uint32_t pages = image->mappedSize / kPage;
    uint8_t* protection = (uint8_t*)malloc(pages);
    if (!protection) return Refuse("no memory for the loader");
    memset(protection, kProtNone, pages);
    for (uint32_t page = 0; page * kPage < headers.headersSize; ++page) protection[page] = kProtRead;
    const uint8_t* table = image->base + headers.sectionTable;
    for (uint32_t k = 0; k < headers.sectionCount; ++k) {
        Section section = SectionAt(table, k);
        if (section.extent == 0) continue;
        for (uint32_t page = section.rva / kPage; page <= (section.rva + section.extent - 1) / kPage; ++page)
            protection[page] |= (uint8_t)Protection(section.flags);
    }
    bool done = true;
    for (uint32_t first = 0; first < pages && done;) {
        uint32_t end = first + 1;
        while (end < pages && protection[end] == protection[first]) ++end;
        done = LinuxProtect(image->base + first * kPage, (end - first) * kPage, protection[first]) == 0;
        first = end;
    }
    free(protection);
    return done || Refuse("the sections' protection could not be set");
}

// Whether `rva` is in a section that holds code.
bool InCode(const PeImage* image, uint32_t rva) {
    const uint8_t* base = image->base;
    uint32_t nt = Get32(base + 0x3C);
    uint32_t count = Get16(base + nt + 6);
    const uint8_t* table = base + nt + 24 + Get16(base + nt + 20);
    for (uint32_t k = 0; k < count; ++k) {
        Section section = SectionAt(table, k);
        if (rva >= section.rva && rva - section.rva < section.extent) return section.flags & kSectionExecute;
    }
    return false;
}

ExportLookup FunctionAt(const PeImage* image, uint32_t index, void** address) {
    const uint8_t* directory = image->base + image->exportRva;
    if (index >= Get32(directory + 20)) return ExportMissing;
    uint32_t functions = Get32(directory + 28);
    if (!Within(functions + 4ull * index, 4, image->imageSize)) return ExportMissing;
    uint32_t rva = Get32(image->base + functions + 4 * index);
    if (rva == 0) return ExportMissing;
    if (rva >= image->exportRva && rva - image->exportRva < image->exportSize) return ExportForwarded;
    if (rva >= image->imageSize || !InCode(image, rva)) return ExportOutsideCode;
    *address = image->base + rva;
    return ExportFound;
}

}  // namespace

ImageLoad MapImage(const char* path, PeImage* image) {
    memset(image, 0, sizeof *image);
    size_t fileSize;
    uint8_t* file = ReadWholeFile(path, &fileSize, kLargestModuleFile);
    if (!file) return ImageUnreadable;
    Headers headers = {};
    bool ok = CheckHeaders(file, fileSize, &headers);
    if (ok) {
        image->imageSize = headers.imageSize;
        image->mappedSize = (headers.imageSize + kPage - 1) & ~(kPage - 1);
        image->preferredBase = headers.imageBase;
        image->entryRva = headers.entryRva;
        image->base = MapAwayFromBase(image->mappedSize, headers.imageBase);
        ok = image->base || Refuse("no memory for the image");
    }
    if (ok) {
        memcpy(image->base, file, headers.headersSize);
        for (uint32_t k = 0; k < headers.sectionCount; ++k) {
            Section section = SectionAt(file + headers.sectionTable, k);
            memcpy(image->base + section.rva, file + section.rawOffset, section.rawBytes);  // the rest stays zero
        }
        ok = ApplyRelocations(image, headers) && BindImports(image, headers);
    }
    if (ok) {
        Directory(image->base, headers, kDirectoryExport, &image->exportRva, &image->exportSize);
        if (image->exportSize && (!Within(image->exportRva, image->exportSize, image->imageSize) || image->exportSize < 40))
            ok = Refuse("the export directory lies outside the image");
    }
    if (ok && image->entryRva && !InCode(image, image->entryRva)) ok = Refuse("the entry point is not in code");
    ok = ok && ProtectSections(image, headers);
    free(file);
    if (ok) return ImageMapped;
    UnmapImage(image);
    return ImageRefused;
}

void UnmapImage(PeImage* image) {
    if (image->base) LinuxUnmap(image->base, image->mappedSize);
    image->base = 0;
}

bool AnyPageMapped(uint8_t* base, uint32_t mappedSize) {
    uint8_t resident;
    for (uint32_t at = 0; at < mappedSize; at += kPage)
        if (LinuxResidency(base + at, kPage, &resident) != -kErrorNoMemory) return true;
    return false;
}

ExportLookup FindExportByName(const PeImage* image, const char* name, void** address) {
    if (!image->exportSize) return ExportMissing;
    const uint8_t* directory = image->base + image->exportRva;
    uint32_t names = Get32(directory + 24), nameTable = Get32(directory + 32), ordinalTable = Get32(directory + 36);
    if (!Within(nameTable, 4ull * names, image->imageSize) || !Within(ordinalTable, 2ull * names, image->imageSize))
        return ExportMissing;
    for (uint32_t k = 0; k < names; ++k) {
        const char* exported = NameAt(image->base, image->imageSize, Get32(image->base + nameTable + 4 * k));
        if (exported && strcmp(exported, name) == 0)
            return FunctionAt(image, Get16(image->base + ordinalTable + 2 * k), address);
    }
    return ExportMissing;
}

ExportLookup FindExportByOrdinal(const PeImage* image, uint32_t ordinal, void** address) {
    if (!image->exportSize) return ExportMissing;
    uint32_t ordinalBase = Get32(image->base + image->exportRva + 16);
    return ordinal < ordinalBase ? ExportMissing : FunctionAt(image, ordinal - ordinalBase, address);
}

uint32_t ExportedFunctionCount(const PeImage* image) {
    return image->exportSize ? Get32(image->base + image->exportRva + 20) : 0;
}

uint32_t ExportedNameCount(const PeImage* image) {
    return image->exportSize ? Get32(image->base + image->exportRva + 24) : 0;
}
