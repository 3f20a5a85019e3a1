// Files and images past what 32 bits can count. On a 32-bit system (the ARM build) such a file must be read, or
// refused with 1 for what its headers say: never wrapped, and never taken for an unreadable file.
#include <gtest/gtest.h>

#include "VostrelMistvane.h"
#include "bitmap_layout.h"
#include "test_bitmaps.h"
#include "file_fixture.h"
#include "test_files.h"

namespace {

class LargeFile : public FileFixture {
  protected:
    // Headers claiming width x height, in a sparse file of `size` bytes. False when the file system cannot hold it.
    bool WriteSparse(int32_t width, int32_t height, uint64_t size) {
        std::vector<uint8_t> header = MakeBitmap({.width = 0, .height = 0}).bytes;
        Put32(header, 18, static_cast<uint32_t>(width));
        Put32(header, 22, static_cast<uint32_t>(height));
        WriteFile(input, header);
        // The 64-bit calls by name, so that the file has its size whatever this test is compiled with.
        struct stat64 status;
        return truncate64(input.c_str(), static_cast<off64_t>(size)) == 0 && stat64(input.c_str(), &status) == 0 &&
               static_cast<uint64_t>(status.st_size) == size;
    }

    int32_t Blur() { return Mistvane(Utf16(input).c_str(), Utf16(output).c_str()); }
};

TEST_F(LargeFile, FileOfMoreThan4GiBClaimingMoreStill) {
    // 65536 rows of 196608 bytes: 12 GiB of pixels claimed, 5 GiB held.
    if (!WriteSparse(0x10000, 0x10000, 5ull << 30)) GTEST_SKIP() << "no sparse files of 5 GiB here";
    testing::internal::CaptureStderr();
    EXPECT_EQ(Blur(), MistvaneStatusNotBitmap);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Not a valid BMP file\n");
    EXPECT_EQ(dir.Names(), std::set<std::string>{"in.bmp"});
}

TEST_F(LargeFile, RowsTheBlurWouldHoldPastWhatSizeTCounts) {
    // Rows of 300 MB, all of them in the file: the 21 rows the blur holds at a time come to 6.3 GB.
    const int32_t width = 100000000, height = 30;
    const uint64_t size = 54 + static_cast<uint64_t>(height) * 300000000;
    std::vector<uint8_t> header = MakeBitmap({.width = 0, .height = 0}).bytes;
    Put32(header, 18, width);
    Put32(header, 22, height);
    BitmapLayout layout;
    bool accepted = CheckBitmapHeaders(header.data(), header.size(), size, &layout);
    if (sizeof(size_t) > 4) {
        ASSERT_TRUE(accepted) << "a 64-bit system can hold such rows";
        EXPECT_EQ(layout.pixelEnd, size);
        return;
    }
    EXPECT_FALSE(accepted);
    if (!WriteSparse(width, height, size)) GTEST_SKIP() << "no sparse files of 9 GB here";
    testing::internal::CaptureStderr();
    EXPECT_EQ(Blur(), MistvaneStatusNotBitmap) << "refused for its size, not a failed allocation";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Not a valid BMP file\n");
    EXPECT_EQ(dir.Names(), std::set<std::string>{"in.bmp"});
}

TEST_F(LargeFile, LongestRowOnA32BitSystem) {
    // Rows up to 128 MiB: 44739241 pixels make 134217723 bytes, padded to 134217724; one more pixel passes it.
    for (auto [width, fits] : {std::pair{44739241, true}, {44739242, false}}) {
        std::vector<uint8_t> header = MakeBitmap({.width = 0, .height = 0}).bytes;
        Put32(header, 18, width);
        Put32(header, 22, 1);
        BitmapLayout layout;
        EXPECT_EQ(CheckBitmapHeaders(header.data(), header.size(), 54 + 134217728, &layout), fits || sizeof(size_t) > 4)
            << width;
    }
}

}  // namespace
