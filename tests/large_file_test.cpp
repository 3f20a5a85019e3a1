// Files and images past what 32 bits can count. On a 32-bit system (the ARM build) such a file must be read, or
// refused with 1 for what its headers say: never wrapped, and never taken for an unreadable file.
#include <gtest/gtest.h>

#include "VostrelMistvane.h"
#include "bitmap_layout.h"
#include "test_bitmaps.h"
#include "test_files.h"

namespace {

class LargeFile : public testing::Test {
  protected:
    TempDir dir;
    std::string input = dir / "in.bmp";
    std::string output = dir / "out.bmp";

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
    EXPECT_EQ(Blur(), StatusNotBitmap);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Not a valid BMP file\n");
    EXPECT_EQ(dir.Names(), std::set<std::string>{"in.bmp"});
}

}  // namespace
