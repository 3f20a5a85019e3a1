// A call's memory does not grow with the image: a 768 MiB image blurs in a few MiB.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <fstream>
#include <map>

#include "VostrelMistvane.h"
#include "system_call_filters.h"
#include "test_bitmaps.h"
#include "test_files.h"

namespace {

const int32_t kSide = 16384;

long PeakKilobytes() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A sparse file of kSide columns: pixels of zero but for a 21 x 21 square of 255 in the first byte at (5000, 7000)
// when the image is that tall, so its blur is known.
void WriteSparseImage(const std::string& path, int32_t height) {
    std::vector<uint8_t> header = MakeBitmap({.width = 0, .height = 0}).bytes;
    Put32(header, 18, kSide);
    Put32(header, 22, height);
    WriteFile(path, header);
    fs::resize_file(path, 54 + uintmax_t{kSide} * height * 3);
    if (height < 5021) return;
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    for (uintmax_t row = 5000; row < 5021; ++row)
        for (uintmax_t column = 7000; column < 7021; ++column) {
            file.seekp(54 + (row * kSide + column) * 3);
            file.put(static_cast<char>(255));
        }
}

// Kilobytes of peak resident size one call added in a fresh child, or minus the status of a failed call.
int32_t CallGrowth(const std::string& input, const std::string& output) {
    return InChild([&] {
        // A huge page, which the kernel may give or assemble in the background at any moment, would count 2 MiB.
        prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
        long before = PeakKilobytes();
        int32_t status = Mistvane(Utf16(input).c_str(), Utf16(output).c_str());
        long after = PeakKilobytes();
        return status == MistvaneStatusDone ? static_cast<int32_t>(after - before) : -status;
    });
}

TEST(Memory, HugeImageBlursInLittleMemory) {
    TempDir dir;
    std::string input = dir / "huge.bmp", output = dir / "huge-blurred.bmp";
    std::string shortInput = dir / "short.bmp", shortOutput = dir / "short-blurred.bmp";
    WriteSparseImage(input, kSide);
    // As wide, and with an output past the size that gets a writer thread, so it takes the same path.
    WriteSparseImage(shortInput, 64);
    int32_t growth = CallGrowth(input, output);
    int32_t shortGrowth = CallGrowth(shortInput, shortOutput);
    ASSERT_GE(growth, 0) << "status " << -growth;
    ASSERT_GE(shortGrowth, 0) << "status " << -shortGrowth;
    // Holding the image, or anything for each row, would show as hundreds of MiB; a sanitizer's runtime or the
    // emulator adds a little of its own now and then.
    EXPECT_LT(growth - shortGrowth, 4 * 1024) << "kilobytes a 16384-row image added over a 64-row one as wide";
#if !defined(MISTVANE_TESTS_EMULATED) && !defined(MISTVANE_TESTS_SANITIZED)
    // Under an emulator the process's size also holds the code it translated for the call; under a sanitizer, its
    // allocator's guard zones and the freed blocks it keeps out of use (5.8 MiB here, 8.0 on another machine, where
    // the plain build adds 4.2).
    EXPECT_LT(growth, 8 * 1024) << "kilobytes of peak resident size the call added";
#endif
    ASSERT_EQ(fs::file_size(output), fs::file_size(input));
    // Inside the square the window sees only 255; ten columns right of its centre, 11 of its 21 columns.
    std::ifstream blurred(output, std::ios::binary);
    auto byteAt = [&](uintmax_t row, uintmax_t column) {
        blurred.seekg(54 + (row * kSide + column) * 3);
        return blurred.get();
    };
    EXPECT_EQ(byteAt(5010, 7010), 255);
    EXPECT_EQ(byteAt(5010, 7020), 255 * 11 * 21 / 441);
    EXPECT_EQ(byteAt(5010, 7031), 0);
    EXPECT_EQ(byteAt(4989, 7010), 0);
}

// The output slots' fresh pages: in one huge page where the kernel offers them, on small pages where it does not,
// and allocated one by one where no block of that size can be mapped; the result is the same each way.
std::map<std::string, long> MemoryCounters() {
    std::map<std::string, long> counters;
    std::ifstream stat("/proc/vmstat");
    std::string name;
    long value;
    while (stat >> name >> value) counters[name] = value;
    return counters;
}

#ifdef MISTVANE_TESTS_EMULATED
const bool kEmulated = true;
#else
const bool kEmulated = false;
#endif

TEST(Memory, OutputSlotsTakeFewFreshPages) {
    TempDir dir;
    TestBitmap bmp = MakeBitmap({.width = 640, .height = 480});  // past one 512 KiB slot
    const std::vector<uint8_t> expected = ExpectedOutput(bmp);
    std::string input = dir / "in.bmp", output = dir / "out.bmp";
    WriteFile(input, bmp.bytes);
    // Minor faults of one call in a fresh child set up by `prepare`; -1 when it cannot be, -2 for a wrong result.
    auto faults = [&](const std::function<bool()>& prepare) {
        fs::remove(output);
        return InChild([&] {
            if (!prepare()) return -1;
            struct rusage before, after;
            getrusage(RUSAGE_SELF, &before);
            int32_t status = Mistvane(Utf16(input).c_str(), Utf16(output).c_str());
            getrusage(RUSAGE_SELF, &after);
            if (status != MistvaneStatusDone || ReadFile(output) != expected) return -2;
            return static_cast<int32_t>(after.ru_minflt - before.ru_minflt);
        });
    };
    // qemu-arm passes no such prctl on; the counts are compared only where it runs natively.
    int32_t smallPages = faults([] { return prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) == 0 || kEmulated; });
    ASSERT_GE(smallPages, 0);
#ifndef MISTVANE_TESTS_SANITIZED
    // Room for the four slots one by one, not for a block of them on a 2 MiB boundary. (A sanitizer's shadow memory
    // leaves no room under any such limit; an emulator does not enforce it, and then takes the block.)
    int32_t separate = faults([] { return LimitAddressSpace(3 << 20); });
    EXPECT_NE(separate, -2) << "slots allocated one by one";
#endif
    int32_t unadvised = faults([] { return RefuseSystemCall(__NR_madvise, EINVAL); });
    EXPECT_NE(unadvised, -2) << "no huge pages offered";
    std::map<std::string, long> before = MemoryCounters();
    int32_t huge = faults([] { return true; });
    std::map<std::string, long> after = MemoryCounters();
    ASSERT_GE(huge, 0);
#if !defined(MISTVANE_TESTS_EMULATED) && !defined(MISTVANE_TESTS_SANITIZED)
    std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes((std::istreambuf_iterator<char>(mode)), std::istreambuf_iterator<char>());
    if (modes.find("[never]") != std::string::npos || modes.empty() ||
        after["thp_fault_fallback"] > before["thp_fault_fallback"])
        GTEST_SKIP() << "no huge page was to be had (transparent huge pages off, or none free)";
    // The slots the call fills are 1 MiB: 256 small pages.
    EXPECT_LT(huge + 200, smallPages) << "minor faults with huge pages, and without";
#endif
}

}  // namespace
