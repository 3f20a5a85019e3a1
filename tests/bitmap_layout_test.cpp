#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bitmap_layout.h"
#include "test_bitmaps.h"

namespace {

bool Accepts(const std::vector<uint8_t>& bytes, BitmapLayout* layout = nullptr) {
    BitmapLayout ignored;
    return CheckBitmapHeaders(bytes.data(), bytes.size(), bytes.size(), layout ? layout : &ignored);
}

TEST(BitmapHeaders, ReadsEveryFieldLittleEndian) {
    std::vector<uint8_t> bytes(54);
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<uint8_t>(k + 1);
    BITMAPFILEHEADER file;
    BITMAPINFOHEADER info;
    ReadFileHeader(bytes.data(), &file);
    ReadInfoHeader(bytes.data() + 14, &info);
    EXPECT_EQ(file.bfType, 0x0201);
    EXPECT_EQ(file.bfSize, 0x06050403u);
    EXPECT_EQ(file.bfReserved1, 0x0807);
    EXPECT_EQ(file.bfReserved2, 0x0A09);
    EXPECT_EQ(file.bfOffBits, 0x0E0D0C0Bu);
    EXPECT_EQ(info.biSize, 0x1211100Fu);
    EXPECT_EQ(info.biWidth, 0x16151413);
    EXPECT_EQ(info.biHeight, 0x1A191817);
    EXPECT_EQ(info.biPlanes, 0x1C1B);
    EXPECT_EQ(info.biBitCount, 0x1E1D);
    EXPECT_EQ(info.biCompression, 0x2221201Fu);
    EXPECT_EQ(info.biSizeImage, 0x26252423u);
    EXPECT_EQ(info.biXPelsPerMeter, 0x2A292827);
    EXPECT_EQ(info.biYPelsPerMeter, 0x2E2D2C2B);
    EXPECT_EQ(info.biClrUsed, 0x3231302Fu);
    EXPECT_EQ(info.biClrImportant, 0x36353433u);
}

TEST(BitmapHeaders, PlainFileLayout) {
    BitmapLayout layout;
    ASSERT_TRUE(Accepts(MakeBitmap({.width = 4, .height = 3}).bytes, &layout));
    EXPECT_EQ(layout.width, 4);
    EXPECT_EQ(layout.rows, 3);
    EXPECT_EQ(layout.pixelOffset, 54u);
    EXPECT_EQ(layout.rowBytes, 12u);
    EXPECT_EQ(layout.stride, 12u);
    EXPECT_EQ(layout.lastRowBytes, 12u);
    EXPECT_EQ(layout.pixelEnd, 54u + 36u);
}

TEST(BitmapHeaders, PaddedTopDownRowsAfterALargerHeader) {
    BitmapLayout layout;
    ASSERT_TRUE(Accepts(MakeBitmap({.width = 5, .height = -7, .infoSize = 124, .gap = 12, .trailing = 9}).bytes, &layout));
    EXPECT_EQ(layout.rows, 7);
    EXPECT_EQ(layout.pixelOffset, 14u + 124u + 12u);
    EXPECT_EQ(layout.rowBytes, 15u);
    EXPECT_EQ(layout.stride, 16u);
    EXPECT_EQ(layout.pixelEnd, layout.pixelOffset + 7 * 16);
}

TEST(BitmapHeaders, LastRowMayLackItsPaddingButNotItsPixels) {
    BitmapLayout layout;
    TestBitmap bmp = MakeBitmap({.width = 5, .height = 3, .lastRowUnpadded = true});
    ASSERT_TRUE(Accepts(bmp.bytes, &layout));
    EXPECT_EQ(layout.lastRowBytes, 15u);
    bmp.bytes.pop_back();
    EXPECT_FALSE(Accepts(bmp.bytes));
}

TEST(BitmapHeaders, EmptyImagesAreAccepted) {
    for (auto [w, h] : {std::pair{0, 0}, {0, 9}, {9, 0}}) {
        BitmapLayout layout;
        ASSERT_TRUE(Accepts(MakeBitmap({.width = w, .height = h}).bytes, &layout)) << w << " x " << h;
        EXPECT_EQ(layout.pixelEnd, 54u);
    }
}

TEST(BitmapHeaders, RefusesWhatItCannotRead) {
    std::vector<uint8_t> good = MakeBitmap({.width = 6, .height = 5}).bytes;
    auto without = [&](auto change) {
        std::vector<uint8_t> bytes = good;
        change(bytes);
        return Accepts(bytes);
    };
    EXPECT_TRUE(Accepts(good));
    EXPECT_FALSE(without([](auto& b) { b[0] = 'M', b[1] = 'B'; })) << "signature reversed";
    EXPECT_FALSE(without([](auto& b) { b[1] = 'A'; })) << "signature";
    EXPECT_FALSE(without([](auto& b) { Put32(b, 14, 12); })) << "OS/2 header";
    EXPECT_FALSE(without([](auto& b) { Put32(b, 14, 39); })) << "info header too small";
    EXPECT_FALSE(without([](auto& b) { Put16(b, 28, 32); })) << "32 bits";
    EXPECT_FALSE(without([](auto& b) { Put16(b, 28, 8); })) << "8 bits";
    EXPECT_FALSE(without([](auto& b) { Put32(b, 30, 1); })) << "RLE";
    EXPECT_FALSE(without([](auto& b) { Put32(b, 30, 3); })) << "bit fields";
    EXPECT_FALSE(without([](auto& b) { Put32(b, 18, static_cast<uint32_t>(-6)); })) << "negative width";
    EXPECT_FALSE(without([](auto& b) { Put32(b, 22, 0x80000000u); })) << "height -2^31";
    EXPECT_FALSE(without([](auto& b) { Put32(b, 10, 53); })) << "pixels inside the headers";
    EXPECT_FALSE(without([](auto& b) { Put32(b, 14, 60); })) << "info header runs into the pixels";
    EXPECT_FALSE(without([](auto& b) { Put32(b, 10, 57); })) << "rows past the end";
    EXPECT_FALSE(without([](auto& b) { Put32(b, 22, 6); })) << "one row too many";
    EXPECT_FALSE(without([](auto& b) { Put32(b, 14, 0xFFFFFFF0u); })) << "header size wraps";
}

TEST(BitmapHeaders, RefusesShortFiles) {
    std::vector<uint8_t> good = MakeBitmap({.width = 0, .height = 0}).bytes;
    for (size_t size = 0; size < 54; ++size) {
        BitmapLayout layout;
        EXPECT_FALSE(CheckBitmapHeaders(good.data(), size, size, &layout)) << size;
    }
}

TEST(BitmapHeaders, OffsetAtTheEndOnlyForAnEmptyImage) {
    std::vector<uint8_t> bytes = MakeBitmap({.width = 0, .height = 3, .trailing = 5}).bytes;
    Put32(bytes, 10, static_cast<uint32_t>(bytes.size()));
    EXPECT_TRUE(Accepts(bytes));
    Put32(bytes, 10, static_cast<uint32_t>(bytes.size() + 1));
    EXPECT_FALSE(Accepts(bytes));
    bytes = MakeBitmap({.width = 1, .height = 1}).bytes;
    Put32(bytes, 10, static_cast<uint32_t>(bytes.size()));
    EXPECT_FALSE(Accepts(bytes));
}

TEST(BitmapHeaders, HugeDimensionsCostNothingAndNeverWrap) {
    // The header claims far more than the file holds; products that wrap 32 and 64 bits must not sneak through.
    const std::pair<uint32_t, uint32_t> claims[] = {
        {60000, 60000},          {0x7FFFFFFF, 0x7FFFFFFF}, {0x55555556, 1},  // 3 * w wraps 32 bits
        {0x7FFFFFFF, 0x80000001}, {1, 0x7FFFFFFF},          {0x40000000, 4}};
    for (auto [w, h] : claims) {
        std::vector<uint8_t> bytes = MakeBitmap({.width = 1, .height = 1, .trailing = 40}).bytes;
        Put32(bytes, 18, w);
        Put32(bytes, 22, h);
        EXPECT_FALSE(Accepts(bytes)) << w << " x " << h;
        // Against a file as large as can be, whatever is accepted must end where exact arithmetic says.
        BitmapLayout layout;
        if (CheckBitmapHeaders(bytes.data(), bytes.size(), UINT64_MAX, &layout)) {
            // Exact in 64 bits: a stride below 2^33 times fewer than 2^31 rows stays below 2^64 - 54.
            uint64_t stride = (static_cast<uint64_t>(w) * 3 + 3) / 4 * 4;
            int64_t height = static_cast<int32_t>(h);
            uint64_t end = 54 + stride * static_cast<uint64_t>(height < 0 ? -height : height);
            EXPECT_EQ(layout.pixelEnd, end) << w << " x " << h;
        }
    }
}

TEST(BitmapHeaders, StreamedInputsGetEveryCheckThatNeedsNoSize) {
    // Headers alone, as a pipe's first bytes, claiming far more than follows: left to the reads.
    std::vector<uint8_t> bytes = MakeBitmap({.width = 5, .height = -7, .gap = 8}).bytes;
    Put32(bytes, 22, static_cast<uint32_t>(-60000));
    BitmapLayout layout;
    ASSERT_TRUE(CheckStreamedBitmapHeaders(bytes.data(), 54, &layout));
    EXPECT_EQ(layout.lastRowBytes, 15u) << "the last row's padding, if any, comes with what follows";
    EXPECT_EQ(layout.pixelEnd, 62u + 59999 * 16 + 15);
    EXPECT_FALSE(CheckStreamedBitmapHeaders(bytes.data(), 53, &layout));
    Put32(bytes, 10, 53);  // pixels inside the headers
    EXPECT_FALSE(CheckStreamedBitmapHeaders(bytes.data(), 54, &layout));
}

}  // namespace
