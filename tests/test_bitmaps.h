// Builds BMP files in memory, in every layout the module accepts, with the bytes around the pixels filled with
// noise so that any byte the blur should not touch shows up when it does.
#ifndef MISTVANE_TESTS_TEST_BITMAPS_H
#define MISTVANE_TESTS_TEST_BITMAPS_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "reference_blur.h"

struct BitmapShape {
    int32_t width = 8;
    int32_t height = 8;           // negative: rows stored top-down
    uint32_t infoSize = 40;       // 40, 108, 124 ...
    uint32_t gap = 0;             // bytes between the info header and the pixels (masks, a palette)
    size_t trailing = 0;          // bytes after the last row
    bool lastRowUnpadded = false; // the file ends right after the last row's pixels
};

struct TestBitmap {
    BitmapShape shape;
    std::vector<uint8_t> bytes;   // the whole file
    std::vector<uint8_t> pixels;  // the pixels alone, rows in file order, no padding
    size_t pixelOffset = 0;
    size_t stride = 0;
};

inline void Put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

inline void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<uint8_t>(value >> (8 * k));
}

inline std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(count);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

inline TestBitmap MakeBitmap(const BitmapShape& shape, uint32_t seed = 1) {
    TestBitmap bmp;
    bmp.shape = shape;
    size_t width = static_cast<size_t>(shape.width);
    size_t rows = static_cast<size_t>(shape.height < 0 ? -static_cast<int64_t>(shape.height) : shape.height);
    size_t rowBytes = width * 3;
    bmp.stride = (rowBytes + 3) / 4 * 4;
    bmp.pixelOffset = 14 + shape.infoSize + shape.gap;
    size_t pixelBytes = rows == 0 ? 0 : bmp.stride * (rows - 1) + (shape.lastRowUnpadded ? rowBytes : bmp.stride);
    bmp.bytes = RandomBytes(bmp.pixelOffset + pixelBytes + shape.trailing, seed);
    auto& b = bmp.bytes;
    b[0] = 'B';
    b[1] = 'M';
    Put32(b, 2, static_cast<uint32_t>(b.size()));
    Put32(b, 10, static_cast<uint32_t>(bmp.pixelOffset));
    Put32(b, 14, shape.infoSize);
    Put32(b, 18, static_cast<uint32_t>(shape.width));
    Put32(b, 22, static_cast<uint32_t>(shape.height));
    Put16(b, 26, 1);
    Put16(b, 28, 24);
    Put32(b, 30, 0);
    // Pixels with structure (a gradient) and noise, so that an averaging slip shows.
    std::mt19937 random(seed * 7 + 3);
    bmp.pixels.resize(rowBytes * rows);
    for (size_t y = 0; y < rows; ++y)
        for (size_t k = 0; k < rowBytes; ++k) {
            uint8_t value = static_cast<uint8_t>((y * 9 + k * 5 + random() % 64) & 0xFF);
            bmp.pixels[y * rowBytes + k] = value;
            b[bmp.pixelOffset + y * bmp.stride + k] = value;
        }
    return bmp;
}

inline uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = (value << 8) | bytes[at + k];
    return value;
}

// What the module must write for an accepted file: the same bytes with only the pixels blurred. Reads the layout
// from the headers itself, so it serves files from anywhere.
inline std::vector<uint8_t> ExpectedOutput(const std::vector<uint8_t>& file, int radius = 10) {
    size_t offset = Get32(file, 10);
    int width = static_cast<int32_t>(Get32(file, 18));
    int height = static_cast<int32_t>(Get32(file, 22));
    int rows = height < 0 ? -height : height;
    size_t rowBytes = static_cast<size_t>(width) * 3, stride = (rowBytes + 3) / 4 * 4;
    std::vector<uint8_t> pixels;
    for (int y = 0; y < rows; ++y) {
        auto row = file.begin() + offset + y * stride;
        pixels.insert(pixels.end(), row, row + rowBytes);
    }
    std::vector<uint8_t> blurred = ReferenceBlur(pixels, width, rows, radius);
    std::vector<uint8_t> out = file;
    for (int y = 0; y < rows; ++y)
        std::copy(blurred.begin() + y * rowBytes, blurred.begin() + (y + 1) * rowBytes, out.begin() + offset + y * stride);
    return out;
}

inline std::vector<uint8_t> ExpectedOutput(const TestBitmap& bmp, int radius = 10) {
    return ExpectedOutput(bmp.bytes, radius);
}

#endif
