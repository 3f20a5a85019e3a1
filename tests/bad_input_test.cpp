// Hostile inputs through the whole file operation: a valid file cut at every byte, every header field set to the
// values that break careless arithmetic, dimensions whose products wrap 32 and 64 bits, and pixel offsets at and
// past the end. Each is refused with 1 (never a crash, never an output, never a temporary file), or, where the
// field is one the module does not read, blurred like the original. The in-memory path must give the same verdict.
#include <gtest/gtest.h>

#include <cstring>

#include "VostrelMistvane.h"
#include "bitmap_blur.h"
#include "test_bitmaps.h"
#include "file_fixture.h"
#include "test_files.h"

namespace {

class BadInput : public FileFixture {
  protected:
    // Runs one case through Mistvane and BlurBitmapBytes and checks everything a caller may rely on.
    void Expect(const std::vector<uint8_t>& bytes, int32_t expected, const std::string& what) {
        SCOPED_TRACE(what);
        fs::remove(output);
        WriteFile(input, bytes);
        testing::internal::CaptureStderr();
        int32_t status = Mistvane(Utf16(input).c_str(), Utf16(output).c_str());
        std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, expected);
        EXPECT_EQ(ReadFile(input), bytes) << "the input changed";
        std::vector<uint8_t> inMemory(bytes.size(), 0x5A);
        EXPECT_EQ(BlurBitmapBytes(bytes.data(), bytes.size(), inMemory.data()), expected) << "in memory";
        if (expected == MistvaneStatusDone) {
            EXPECT_EQ(errors, "");
            std::vector<uint8_t> blurred = ExpectedOutput(bytes);
            EXPECT_EQ(ReadFile(output), blurred);
            EXPECT_EQ(inMemory, blurred) << "in memory";
            EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.bmp", "out.bmp"}));
        } else {
            EXPECT_EQ(errors, "Not a valid BMP file\n");
            EXPECT_EQ(inMemory, std::vector<uint8_t>(bytes.size(), 0x5A)) << "in memory";
            EXPECT_EQ(dir.Names(), std::set<std::string>{"in.bmp"}) << "an output or a temporary file was left";
        }
    }
};

TEST_F(BadInput, ValidFileCutAtEveryByte) {
    // Rows without padding: every byte belongs to the headers or the pixels, so every cut loses some.
    std::vector<uint8_t> whole = MakeBitmap({.width = 4, .height = 5}).bytes;
    Expect(whole, MistvaneStatusDone, "whole");
    for (size_t cut = 0; cut < whole.size(); ++cut)
        Expect(std::vector<uint8_t>(whole.begin(), whole.begin() + cut), MistvaneStatusNotBitmap, "cut at " + std::to_string(cut));
}

TEST_F(BadInput, PaddedFileCutAtEveryByte) {
    // 5 pixels make 15 bytes and one byte of padding per row; only the last row's padding may go missing.
    std::vector<uint8_t> whole = MakeBitmap({.width = 5, .height = 3, .infoSize = 108, .gap = 8}).bytes;
    for (size_t cut = 0; cut <= whole.size(); ++cut)
        Expect(std::vector<uint8_t>(whole.begin(), whole.begin() + cut), cut + 1 >= whole.size() ? MistvaneStatusDone : MistvaneStatusNotBitmap,
               "cut at " + std::to_string(cut));
}

struct Field {
    const char* name;
    size_t at;
    size_t size;
};

const Field kFields[] = {
    {"bfType", 0, 2},          {"bfSize", 2, 4},         {"bfReserved1", 6, 2},     {"bfReserved2", 8, 2},
    {"bfOffBits", 10, 4},      {"biSize", 14, 4},        {"biWidth", 18, 4},        {"biHeight", 22, 4},
    {"biPlanes", 26, 2},       {"biBitCount", 28, 2},    {"biCompression", 30, 4},  {"biSizeImage", 34, 4},
    {"biXPelsPerMeter", 38, 4}, {"biYPelsPerMeter", 42, 4}, {"biClrUsed", 46, 4},   {"biClrImportant", 50, 4}};

// What each field set to each value must give. Fields the module does not read leave the file as good as before.
int32_t ExpectedStatus(const std::string& field, uint32_t value) {
    if (field == "bfType" || field == "bfOffBits" || field == "biSize" || field == "biBitCount") return MistvaneStatusNotBitmap;
    if (field == "biCompression") return value == 0 ? MistvaneStatusDone : MistvaneStatusNotBitmap;
    // Width 0 and height 0 are empty images; height -1 is one row stored top-down, the others then trailing bytes.
    if (field == "biWidth") return value == 0 ? MistvaneStatusDone : MistvaneStatusNotBitmap;
    if (field == "biHeight") return value == 0 || value == 0xFFFFFFFFu ? MistvaneStatusDone : MistvaneStatusNotBitmap;
    return MistvaneStatusDone;
}

TEST_F(BadInput, EveryHeaderFieldAtItsExtremes) {
    const std::vector<uint8_t> good = MakeBitmap({.width = 6, .height = 8}).bytes;
    for (const Field& field : kFields)
        for (uint32_t value : {0u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u}) {
            std::vector<uint8_t> bytes = good;
            // A 2-byte field gets the same four values in 16 bits: 0, -1, its largest and its smallest signed value.
            uint32_t stored = field.size == 4 ? value : value == 0x7FFFFFFFu ? 0x7FFF : value == 0x80000000u ? 0x8000 : value & 0xFFFF;
            if (field.size == 4)
                Put32(bytes, field.at, stored);
            else
                Put16(bytes, field.at, static_cast<uint16_t>(stored));
            char what[64];
            std::snprintf(what, sizeof what, "%s = 0x%X", field.name, stored);
            Expect(bytes, ExpectedStatus(field.name, value), what);
        }
}

// A header claiming width x height over a file holding `pixelBytes` bytes after the headers: sizes an implementation
// computing in 32 or 64 bits would wrap down to what the file holds.
std::vector<uint8_t> Claim(uint32_t width, uint32_t height, size_t pixelBytes) {
    std::vector<uint8_t> bytes = MakeBitmap({.width = 0, .height = 0, .trailing = pixelBytes}).bytes;
    Put32(bytes, 18, width);
    Put32(bytes, 22, height);
    return bytes;
}

TEST_F(BadInput, DimensionProductsThatWrap) {
    Expect(Claim(0x55555556, 1, 4), MistvaneStatusNotBitmap, "3 * width = 2^32 + 2");
    Expect(Claim(0x2AAAAAAB, 2, 4), MistvaneStatusNotBitmap, "3 * width * height = 2^32 + 2");
    Expect(Claim(0x10000, 0x10000, 0), MistvaneStatusNotBitmap, "width * height = 2^32");
    Expect(Claim(0x40000000, 4, 0), MistvaneStatusNotBitmap, "row bytes * height = 3 * 2^32");
    Expect(Claim(0x55555556, 0x55555556u, 8), MistvaneStatusNotBitmap, "both near 2^32 / 3");
    Expect(Claim(0x7FFFFFFF, 0x7FFFFFFF, 16), MistvaneStatusNotBitmap, "3 * width * height passes 2^63");
    Expect(Claim(0x7FFFFFFF, 0x80000001u, 16), MistvaneStatusNotBitmap, "the same, top-down");
    Expect(Claim(0xFFFFFFFFu, 0xFFFFFFFFu, 3), MistvaneStatusNotBitmap, "-1 x -1: 3 bytes if signs cancel");
    Expect(Claim(0x80000000u, 0x80000000u, 0), MistvaneStatusNotBitmap, "-2^31 x -2^31: 2^62, 0 when wrapped in 32 bits");
    // Wide and empty: nothing to blur, and no buffer to size, but the row must still be countable (32-bit systems).
    Expect(Claim(0x7FFFFFFF, 0, 0), sizeof(size_t) > 4 ? MistvaneStatusDone : MistvaneStatusNotBitmap, "width 2^31 - 1, height 0");
}

TEST_F(BadInput, PixelOffsetAtAndPastTheEnd) {
    // Two rows of 12 bytes (9 of pixels): they fit from end - 24 on; the last row may lack its 3 bytes of padding.
    std::vector<uint8_t> bytes = MakeBitmap({.width = 3, .height = 2, .trailing = 5}).bytes;
    uint32_t end = static_cast<uint32_t>(bytes.size());
    for (uint32_t offset : {end - 24, end - 21, end - 20, end - 1, end, end + 1, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        Put32(bytes, 10, offset);
        Expect(bytes, offset <= end - 21 ? MistvaneStatusDone : MistvaneStatusNotBitmap, "bfOffBits " + std::to_string(offset));
    }
    // With no pixels, the offset may sit right at the end, but not past it.
    std::vector<uint8_t> empty = MakeBitmap({.width = 0, .height = 4, .trailing = 3}).bytes;
    Put32(empty, 10, static_cast<uint32_t>(empty.size()));
    Expect(empty, MistvaneStatusDone, "empty image, offset at the end");
    Put32(empty, 10, static_cast<uint32_t>(empty.size() + 1));
    Expect(empty, MistvaneStatusNotBitmap, "empty image, offset past the end");
}

}  // namespace
