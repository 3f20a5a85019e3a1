#include "pe_image.h"

#include <stdlib.h>
#include <string.h>

#include "console.h"
#include "host_files.h"
#include "linux_calls.h"
#include "little_endian.h"
#include "stand_in_exports.h"

namespace {

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

// The headers' fields the loader uses, as checked against the file. Like the kernel, the loader takes all 16 data
// directories and finds the section table 248 bytes past the PE signature, whatever SizeOfOptionalHeader and
// NumberOfRvaAndSizes say.
struct Headers {
    uint32_t sectionTable;
    uint32_t sectionCount;
    uint32_t entryRva;
    uint32_t imageBase;
    uint32_t imageSize;
    uint32_t directories;  // file offset of the data directories
};

const uint32_t kSectionTableOffset = 248;
const uint32_t kDirectoryCount = 16;
const uint32_t kSectionDiscardable = 0x02000000;
// Error numbers the kernel gives: not a valid module, and a subsystem version too new for it.
const uint32_t kErrorBadFormat = 193;
const uint32_t kErrorOldWinVersion = 1150;

struct Section {
    uint32_t rva;
    uint32_t virtualSize;
    uint32_t rawBytes;  // bytes from the file, the rest zero
    uint32_t rawOffset;
    uint32_t flags;
};

Section SectionAt(const uint8_t* table, uint32_t index) {
    const uint8_t* at = table + 40 * index;
    Section section;
    section.virtualSize = Get32(at + 8);
    section.rva = Get32(at + 12);
    uint32_t rawSize = Get32(at + 16);
    section.rawOffset = Get32(at + 20);
    section.flags = Get32(at + 36);
    section.rawBytes = rawSize < section.virtualSize ? rawSize : section.virtualSize;
    return section;
}

void Directory(const PeImage* image, int index, uint32_t* rva, uint32_t* size) {
    *rva = image->directories[index][0];
    *size = image->directories[index][1];
}

bool RefuseWithError(const char* what, uint32_t error) {
    return RefuseNumber(what, error, ")", false);
}

bool CheckHeaders(const uint8_t* file, size_t fileSize, Headers* headers) {
    // The kernel goes straight to the word at 0x3C: no "MZ" is asked for.
    if (fileSize < 64) return RefuseWithError("too short for a module (error ", kErrorBadFormat);
    uint32_t nt = Get32(file + 0x3C);
    if (!Within(nt, kSectionTableOffset, fileSize) || memcmp(file + nt, "PE\0\0", 4) != 0)
        return RefuseWithError("not a PE file (no PE signature; error ", kErrorBadFormat);
    uint32_t machine = Get16(file + nt + 4);
    if (machine != kMachineArm) return RefuseNumber("machine ", machine, " is not ARM (0x1c0)");
    uint32_t characteristics = Get16(file + nt + 22);
    if (!(characteristics & kFileDll)) return RefuseNumber("not a DLL (characteristics ", characteristics, ")");
    if (characteristics & kFileRelocationsStripped)
        return Refuse("its relocations are stripped, so it cannot be moved from its ImageBase");
    uint32_t optional = nt + 24;
    uint32_t magic = Get16(file + optional);
    if (magic != kPe32Magic) return RefuseNumber("optional header magic ", magic, " is not PE32 (0x10b)");
    uint32_t subsystem = Get16(file + optional + 68);
    if (subsystem != kSubsystemWindowsCeGui)
        return RefuseNumber("subsystem ", subsystem, " is not Windows CE GUI (9)", false);
    uint32_t major = Get16(file + optional + 48), minor = Get16(file + optional + 50);
    if (major > 3 || (major == 3 && minor > 0))
        return RefuseWithError("subsystem version later than 3.00, which Windows CE 3.0 does not load (error ",
                               kErrorOldWinVersion);
    headers->entryRva = Get32(file + optional + 16);
    headers->imageBase = Get32(file + optional + 28);
    headers->imageSize = Get32(file + optional + 56);
    headers->directories = optional + 96;
    headers->sectionTable = nt + kSectionTableOffset;
    headers->sectionCount = Get16(file + nt + 6);
    if (headers->imageSize == 0 || headers->imageSize > kLargestImage)
        return RefuseNumber("SizeOfImage ", headers->imageSize, " is not a size the loader maps");
    if (!Within(headers->sectionTable, 40ull * headers->sectionCount, fileSize))
        return Refuse("the section table does not fit in the file");
    if (headers->sectionCount > kPeLargestSectionCount) return Refuse("more sections than the loader keeps");
    for (uint32_t k = 0; k < headers->sectionCount; ++k) {
        Section section = SectionAt(file + headers->sectionTable, k);
        if (section.virtualSize == 0) return RefuseNumber("section ", k, " has a virtual size of 0", false);
        if (section.rva % kPage) return RefuseNumber("section ", k, " does not start a page of its own", false);
        // The header page is never mapped: a section there would be lost.
        if (section.rva < kPage || !Within(section.rva, section.virtualSize, headers->imageSize))
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

// Pages of a module in the file system are loaded on demand, and the kernel then applies only the first block that
// covers a page: a module must give each page one block of its own, starting on the page, with no word reaching
// into the next page.
bool ApplyRelocations(PeImage* image) {
    uint32_t rva, size;
    Directory(image, kDirectoryRelocations, &rva, &size);
    uint32_t delta = (uint32_t)(uintptr_t)image->base - image->preferredBase;
    if (size == 0) return delta == 0 || Refuse("no base relocations, and it cannot stay at its ImageBase");
    if (!Within(rva, size, image->imageSize)) return Refuse("the base relocations lie outside the image");
    uint32_t pages = image->mappedSize / kPage;
    uint8_t* covered = (uint8_t*)malloc(pages);
    if (!covered) return Refuse("no memory for the loader");
    memset(covered, 0, pages);
    bool ok = true;
    uint32_t at = rva, end = rva + size;
    while (ok && end - at >= 8) {
        uint32_t page = Get32(image->base + at);
        uint32_t blockSize = Get32(image->base + at + 4);
        if (blockSize < 8 || blockSize > end - at) {
            ok = RefuseNumber("relocation block at ", at, " is malformed");
        } else if (page % kPage || page >= image->imageSize) {
            ok = RefuseNumber("relocation block for ", page, " does not cover one page of the image");
        } else if (covered[page / kPage]++) {
            ok = RefuseNumber("a second relocation block for page ", page, ", which the kernel would not apply");
        }
        for (uint32_t entry = at + 8; ok && entry + 2 <= at + blockSize; entry += 2) {
            uint32_t value = Get16(image->base + entry);
            int type = (int)(value >> 12);
            uint32_t offset = value & 0xFFF;
            if (type == kRelocationAbsolute) continue;
            if (type != kRelocationHighLow) {
                ok = RefuseNumber("relocation type ", (uint32_t)type, " (only HIGHLOW, 3, is known)", false);
            } else if (offset > kPage - 4) {
                ok = RefuseNumber("relocation at ", page + offset, " reaches into the next page");
            } else if (!Within(page + offset, 4, image->imageSize)) {
                ok = RefuseNumber("relocation at ", page + offset, " is outside the image");
            } else {
                Put32(image->base + page + offset, Get32(image->base + page + offset) + delta);
                ++image->relocationsApplied;
            }
        }
        at += blockSize;
    }
    free(covered);
    return ok;
}

// The kernel's walk: descriptors until one with no lookup table, each entry read from the lookup table and its
// address written to the import address table.
bool BindImports(PeImage* image) {
    uint32_t rva, size;
    Directory(image, kDirectoryImport, &rva, &size);
    if (size == 0) return true;
    uint8_t* base = image->base;
    uint32_t imageSize = image->imageSize;
    for (uint32_t descriptor = rva;; descriptor += 20) {
        if (!Within(descriptor, 20, imageSize)) return Refuse("the import descriptors run outside the image");
        uint32_t lookup = Get32(base + descriptor), nameRva = Get32(base + descriptor + 12);
        uint32_t addresses = Get32(base + descriptor + 16);
        if (lookup == 0) break;
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

// Each page gets what every section on it needs; the header page and pages of no section stay inaccessible.
bool ProtectSections(PeImage* image) {
    uint32_t pages = image->mappedSize / kPage;
    uint8_t* protection = (uint8_t*)malloc(pages);
    if (!protection) return Refuse("no memory for the loader");
    memset(protection, kProtNone, pages);
    for (uint32_t k = 0; k < image->sectionCount; ++k) {
        const PeSection& section = image->sections[k];
        for (uint32_t page = section.rva / kPage; page <= (section.rva + section.virtualSize - 1) / kPage; ++page)
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

// The kernel keeps the module's name and its section table just past the virtual size of the first writable,
// non-discardable section, in that section's last page: nothing of the module may live there. The rest of the page
// is filled too, so that a module relying on anything past a section's end is caught here.
void WriteNameAndSectionTable(PeImage* image, const uint8_t* file, const Headers& headers, const char* path) {
    for (uint32_t k = 0; k < image->sectionCount; ++k) {
        const PeSection& section = image->sections[k];
        if (!(section.flags & kSectionWrite) || (section.flags & kSectionDiscardable)) continue;
        uint32_t end = section.rva + section.virtualSize;
        uint32_t room = (kPage - end % kPage) % kPage;
        uint8_t* at = image->base + end;
        memset(at, 0xA5, room);
        const char* name = path;
        for (const char* c = path; *c; ++c)
            if (*c == '/') name = c + 1;
        uint32_t written = 0;
        // The name in UTF-16 with its terminator, then the table, as far as the page goes.
        for (uint32_t letter = 0; written + 2 <= room; ++letter, written += 2) {
            at[written] = (uint8_t)name[letter];
            at[written + 1] = 0;
            if (!name[letter]) {
                written += 2;
                break;
            }
        }
        if (written > room) written = room;
        uint32_t table = 40 * headers.sectionCount;
        uint32_t copied = table < room - written ? table : room - written;
        memcpy(at + written, file + headers.sectionTable, copied);
        image->scribbleRva = end;
        image->scribbleSize = room;
        return;
    }
}

// Whether `rva` is in a section that holds code.
bool InCode(const PeImage* image, uint32_t rva) {
    for (uint32_t k = 0; k < image->sectionCount; ++k) {
        const PeSection& section = image->sections[k];
        if (rva >= section.rva && rva - section.rva < section.virtualSize) return section.flags & kSectionExecute;
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
        for (uint32_t k = 0; k < kDirectoryCount; ++k) {
            image->directories[k][0] = Get32(file + headers.directories + 8 * k);
            image->directories[k][1] = Get32(file + headers.directories + 8 * k + 4);
        }
        image->sectionCount = headers.sectionCount;
        for (uint32_t k = 0; k < headers.sectionCount; ++k) {
            Section section = SectionAt(file + headers.sectionTable, k);
            image->sections[k].rva = section.rva;
            image->sections[k].virtualSize = section.virtualSize;
            image->sections[k].flags = section.flags;
        }
        image->base = MapAwayFromBase(image->mappedSize, headers.imageBase);
        ok = image->base || Refuse("no memory for the image");
    }
    if (ok) {
        // Sections alone: the headers stay in the file.
        for (uint32_t k = 0; k < headers.sectionCount; ++k) {
            Section section = SectionAt(file + headers.sectionTable, k);
            memcpy(image->base + section.rva, file + section.rawOffset, section.rawBytes);  // the rest stays zero
        }
        ok = ApplyRelocations(image) && BindImports(image);
    }
    if (ok) {
        Directory(image, kDirectoryExport, &image->exportRva, &image->exportSize);
        if (image->exportSize && (!Within(image->exportRva, image->exportSize, image->imageSize) || image->exportSize < 40))
            ok = Refuse("the export directory lies outside the image");
    }
    if (ok && image->entryRva && !InCode(image, image->entryRva)) ok = Refuse("the entry point is not in code");
    if (ok) WriteNameAndSectionTable(image, file, headers, path);
    ok = ok && ProtectSections(image);
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
