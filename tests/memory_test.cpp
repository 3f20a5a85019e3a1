// A call's memory does not grow with the image: a 768 MiB image blurs in a few MiB.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "VostrelMistvane.h"
#include "test_bitmaps.h"
#include "test_files.h"

namespace {

long PeakKilobytes() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(Memory, HugeImageBlursInLittleMemory) {
    const int32_t side = 16384;
    TempDir dir;
    std::string input = dir / "huge.bmp", output = dir / "huge-blurred.bmp";
    // A sparse file: pixels of zero but for a 21 x 21 square of 255 in the first byte, whose blur is known.
    std::vector<uint8_t> header = MakeBitmap({.width = 0, .height = 0}).bytes;
    Put32(header, 18, side);
    Put32(header, 22, side);
    WriteFile(input, header);
    const uintmax_t size = 54 + uintmax_t{side} * side * 3;
    fs::resize_file(input, size);
    {
        std::fstream file(input, std::ios::in | std::ios::out | std::ios::binary);
        for (uintmax_t row = 5000; row < 5021; ++row)
            for (uintmax_t column = 7000; column < 7021; ++column) {
                file.seekp(54 + (row * side + column) * 3);
                file.put(static_cast<char>(255));
            }
    }
    int32_t growth = InChild([&] {
        long before = PeakKilobytes();
        int32_t status = Mistvane(Utf16(input).c_str(), Utf16(output).c_str());
        long after = PeakKilobytes();
        return status == StatusDone ? static_cast<int32_t>(after - before) : -status;
    });
    ASSERT_GE(growth, 0) << "status " << -growth;
    EXPECT_LT(growth, 8 * 1024) << "kilobytes of peak resident size the call added";
    ASSERT_EQ(fs::file_size(output), size);
    // Inside the square the window sees only 255; ten columns right of its centre, 11 of its 21 columns.
    std::ifstream blurred(output, std::ios::binary);
    auto byteAt = [&](uintmax_t row, uintmax_t column) {
        blurred.seekg(54 + (row * side + column) * 3);
        return blurred.get();
    };
    EXPECT_EQ(byteAt(5010, 7010), 255);
    EXPECT_EQ(byteAt(5010, 7020), 255 * 11 * 21 / 441);
    EXPECT_EQ(byteAt(5010, 7031), 0);
    EXPECT_EQ(byteAt(4989, 7010), 0);
}

}  // namespace
