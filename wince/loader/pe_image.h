// A Windows CE module file mapped as the platform's loader maps it: checked for the platform (ARM, PE32, a DLL,
// the Windows CE GUI subsystem), laid out at an address other than its ImageBase, every base relocation applied,
// every import bound to the stand-in libraries, each section given its protection.
#ifndef CE_LOADER_PE_IMAGE_H
#define CE_LOADER_PE_IMAGE_H

#include <stddef.h>
#include <stdint.h>

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
