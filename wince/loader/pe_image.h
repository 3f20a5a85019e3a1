// A Windows CE module file mapped as the Windows CE 3.0 kernel's loader maps it: checked for the platform (ARM,
// PE32, a DLL, the Windows CE GUI subsystem no later than 3.00), its sections alone laid out at an address other
// than its ImageBase (the header page stays unmapped), every base relocation applied under the kernel's rules for
// pages loaded on demand, every import bound to the stand-in libraries through its lookup table, the module's name
// and section table written past the first writable section, each section given its protection.
#ifndef CE_LOADER_PE_IMAGE_H
#define CE_LOADER_PE_IMAGE_H

#include <stddef.h>
#include <stdint.h>

// A section as the loader placed it.
struct PeSection {
    uint32_t rva;
    uint32_t virtualSize;
    uint32_t flags;
};

const uint32_t kPeLargestSectionCount = 32;

struct PeImage {
    uint8_t* base;
    uint32_t imageSize;       // SizeOfImage
    uint32_t mappedSize;      // rounded up to whole pages
    uint32_t preferredBase;   // ImageBase, where the image was linked to go
    uint32_t entryRva;        // 0: no entry point
    uint32_t exportRva;
    uint32_t exportSize;
    uint32_t relocationsApplied;
    uint32_t importsBound;
    // The headers are not mapped, as on the platform: what the loader keeps of them.
    uint32_t directories[16][2];  // RVA and size of each data directory
    uint32_t sectionCount;
    PeSection sections[kPeLargestSectionCount];
    // Where the loader wrote the module's name and section table past the first writable section's end, as the
    // kernel does: [scribbleRva, scribbleRva + scribbleSize); 0 bytes when that section ends on a page boundary.
    uint32_t scribbleRva;
    uint32_t scribbleSize;
    // The module handle the entry point gets: the kernel's own handle for the module, not its base address. Here
    // an inaccessible page of the loader's, so that a module using it as an address faults.
    void* handle;
};

enum ImageLoad { ImageMapped, ImageUnreadable, ImageRefused };

// On refusal, one line "refused: ..." on standard error says why, and nothing stays mapped.
ImageLoad MapImage(const char* path, PeImage* image);
void UnmapImage(PeImage* image);

// Whether any of the image's pages are still mapped (the kernel is asked, page by page).
bool AnyPageMapped(uint8_t* base, uint32_t mappedSize);

enum ExportLookup { ExportFound, ExportMissing, ExportForwarded, ExportOutsideCode };
ExportLookup FindExportByName(const PeImage* image, const char* name, void** address);
ExportLookup FindExportByOrdinal(const PeImage* image, uint32_t ordinal, void** address);
uint32_t ExportedFunctionCount(const PeImage* image);
uint32_t ExportedNameCount(const PeImage* image);

#endif
