#include "bitmap_layout.h"

static uint16_t Little16(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

static uint32_t Little32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

void ReadFileHeader(const uint8_t* bytes, BITMAPFILEHEADER* header) {
    header->bfType = Little16(bytes + 0);
    header->bfSize = Little32(bytes + 2);
    header->bfReserved1 = Little16(bytes + 6);
    header->bfReserved2 = Little16(bytes + 8);
    header->bfOffBits = Little32(bytes + 10);
}

void ReadInfoHeader(const uint8_t* bytes, BITMAPINFOHEADER* header) {
    header->biSize = Little32(bytes + 0);
    header->biWidth = (int32_t)Little32(bytes + 4);
    header->biHeight = (int32_t)Little32(bytes + 8);
    header->biPlanes = Little16(bytes + 12);
    header->biBitCount = Little16(bytes + 14);
    header->biCompression = Little32(bytes + 16);
    header->biSizeImage = Little32(bytes + 20);
    header->biXPelsPerMeter = (int32_t)Little32(bytes + 24);
    header->biYPelsPerMeter = (int32_t)Little32(bytes + 28);
    header->biClrUsed = Little32(bytes + 32);
    header->biClrImportant = Little32(bytes + 36);
}

static bool CheckHeaders(const uint8_t* headerBytes, size_t available, bool streamed, uint64_t fileSize,
                         BitmapLayout* layout) {
    if (available < kHeadersSize || (!streamed && fileSize < kHeadersSize)) return false;
    BITMAPFILEHEADER file;
    BITMAPINFOHEADER info;
    ReadFileHeader(headerBytes, &file);
    ReadInfoHeader(headerBytes + kFileHeaderSize, &info);

    if (file.bfType != kBitmapSignature) return false;
    if (info.biSize < kInfoHeaderSize) return false;  // the 12-byte OS/2 header has other field sizes
    if (info.biBitCount != 24 || info.biCompression != 0) return false;
    if (info.biWidth < 0 || info.biHeight == INT32_MIN) return false;
    // Pixels may follow larger info headers, colour masks or a palette, but never overlap the headers.
    if ((uint64_t)file.bfOffBits < (uint64_t)kFileHeaderSize + info.biSize) return false;
    if (!streamed && file.bfOffBits > fileSize) return false;

    // Every product below is of values under 2^32 and checked before use, so nothing can wrap, on 32-bit
    // platforms included: a size that does not fit in size_t is refused rather than truncated.
    uint64_t width = (uint64_t)info.biWidth;
    uint64_t rows = info.biHeight < 0 ? (uint64_t)(-(int64_t)info.biHeight) : (uint64_t)info.biHeight;
    uint64_t rowBytes = width * 3;                // < 2^33
    uint64_t stride = (rowBytes + 3) & ~(uint64_t)3;
    uint64_t pixelEnd = file.bfOffBits;
    uint64_t lastRowBytes = 0;
    if (width != 0 && rows != 0) {
        uint64_t rowsBefore = rows - 1;           // < 2^31
        if (stride != 0 && rowsBefore > (UINT64_MAX - rowBytes) / stride) return false;
        uint64_t pixelBytes = rowsBefore * stride + rowBytes;
        if (streamed) {
            lastRowBytes = rowBytes;
        } else {
            if (pixelBytes > fileSize - file.bfOffBits) return false;  // the last row may lack only its padding
            uint64_t room = fileSize - file.bfOffBits - rowsBefore * stride;
            lastRowBytes = room < stride ? room : stride;
        }
        pixelEnd = file.bfOffBits + rowsBefore * stride + lastRowBytes;
    }
    if (stride > (uint64_t)kLargestStride) return false;  // leaves room for the rows the blur holds

    layout->width = info.biWidth;
    layout->rows = (int32_t)rows;  // at most 2^31 - 1: -2^31 was refused above
    layout->pixelOffset = (size_t)file.bfOffBits;
    layout->rowBytes = (size_t)rowBytes;
    layout->stride = (size_t)stride;
    layout->lastRowBytes = (size_t)lastRowBytes;
    layout->pixelEnd = pixelEnd;
    layout->streamed = streamed;
    return true;
}

bool CheckBitmapHeaders(const uint8_t* headerBytes, size_t available, uint64_t fileSize, BitmapLayout* layout) {
    return CheckHeaders(headerBytes, available, false, fileSize, layout);
}

bool CheckStreamedBitmapHeaders(const uint8_t* headerBytes, size_t available, BitmapLayout* layout) {
    return CheckHeaders(headerBytes, available, true, 0, layout);
}
