// Where a 24-bit BMP file keeps its pixels, worked out from its headers once, before anything is allocated.
#ifndef MISTVANE_BITMAP_LAYOUT_H
#define MISTVANE_BITMAP_LAYOUT_H

#include <stddef.h>
#include <stdint.h>

// The two fixed headers, as the file stores them (little-endian, no gaps): 14 bytes then at least 40.
const size_t kFileHeaderSize = 14;
const size_t kInfoHeaderSize = 40;
const size_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;
const uint16_t kBitmapSignature = 0x4D42;  // "BM"

// The streaming blur holds up to 21 rows, a row of 16-bit column sums and a row to write: fewer than 32 rows'
// worth. A longer row is refused, so that none of those sizes can pass what size_t counts (on 32-bit systems,
// rows of at most 128 MiB, about 44.7 million pixels).
const size_t kLargestStride = SIZE_MAX / 32;

struct BITMAPFILEHEADER {
    uint16_t bfType;
    uint32_t bfSize;
    uint16_t bfReserved1;
    uint16_t bfReserved2;
    uint32_t bfOffBits;
};

struct BITMAPINFOHEADER {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};

// Decodes the records from the first kHeadersSize bytes of a file.
void ReadFileHeader(const uint8_t* bytes, BITMAPFILEHEADER* header);
void ReadInfoHeader(const uint8_t* bytes, BITMAPINFOHEADER* header);

struct BitmapLayout {
    int32_t width;         // pixels per row
    int32_t rows;          // number of stored rows (|biHeight|); the blur does not care which way up they are
    size_t pixelOffset;    // where the first row starts (bfOffBits)
    size_t rowBytes;       // width * 3: the pixel bytes of one row
    size_t stride;         // rowBytes rounded up to a multiple of 4: where the next row starts
    size_t lastRowBytes;   // how many bytes the file holds for the last row: its pixels, plus what padding fits
    uint64_t pixelEnd;     // the first byte after the last row's stored bytes
    bool streamed;         // read as it arrives: nothing but the rows themselves can show that they exist
};

// Checks every header field the blur depends on against the file's size and fills layout. headerBytes holds the
// first `available` bytes of the file (at most kHeadersSize are looked at). Returns false for anything this module
// does not read: a short file, a wrong signature, an info header under 40 bytes, anything but uncompressed 24-bit
// pixels, a negative width, pixels that overlap the headers or do not fit in the file, rows longer than
// kLargestStride.
bool CheckBitmapHeaders(const uint8_t* headerBytes, size_t available, uint64_t fileSize, BitmapLayout* layout);
// The same for an input read as it arrives (a pipe, a FIFO, a device), whose size is known only once it ends: every
// check that needs no size is made, and the reads fail if the rows are not there. Any padding of the last row is
// left to be copied with what follows it (lastRowBytes is the row's pixels alone).
bool CheckStreamedBitmapHeaders(const uint8_t* headerBytes, size_t available, BitmapLayout* layout);

#endif
