// The blur's loops come in one form per vector width, chosen by the processor at run time. Each form this machine
// can run is forced in turn and held to the reference, with rows long enough to cross many of its blocks.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "box_blur.h"
#include "processor_vectors.h"
#include "reference_blur.h"
#include "row_blur.h"
#include "test_bitmaps.h"

namespace {

const char* LevelName(int32_t level) {
    switch (level) {
        case VectorsBaseline: return "baseline";
        case VectorsAvx2: return "AVX2";
        default: return "AVX-512";
    }
}

class VectorPaths : public testing::TestWithParam<int32_t> {
  protected:
    void SetUp() override {
        LimitProcessorVectors(VectorsAvx512);
        if (ProcessorVectors() < GetParam()) GTEST_SKIP() << "this processor has no " << LevelName(GetParam());
        LimitProcessorVectors(GetParam());
        ASSERT_EQ(ProcessorVectors(), GetParam());
    }
    void TearDown() override { LimitProcessorVectors(VectorsAvx512); }

    static std::vector<uint8_t> Blurred(std::vector<uint8_t> pixels, int width, int height, int radius) {
        EXPECT_TRUE(BlurPixels(pixels.data(), width, height, radius));
        return pixels;
    }
};

TEST_P(VectorPaths, EveryRadiusOverRowsThatEndAnywhereInABlock) {
    // Widths give the middle of the row every length from just below one 16-pixel block to past three, so each
    // way a row's last block can fall short of its end is met, at every radius the divisions cover.
    for (int radius = 0; radius <= kMaxBlurRadius; ++radius) {
        for (int extra : {0, 1, 7, 8, 9, 15, 16, 17, 23, 31, 32, 33, 47, 48, 49}) {
            int width = 2 * radius + 2 + extra, height = radius % 4 + 2;
            std::vector<uint8_t> pixels = RandomBytes(static_cast<size_t>(width) * height * 3, radius * 100 + extra);
            ASSERT_EQ(Blurred(pixels, width, height, radius), ReferenceBlur(pixels, width, height, radius))
                << LevelName(GetParam()) << ": " << width << " x " << height << " radius " << radius;
        }
    }
}

TEST_P(VectorPaths, EveryCountOfBlocksLeftAfterTheWholeSteps) {
    // The loops take several blocks a step (a block from each of four stretches with 512 bits, two blocks with
    // 256) and what is left one block at a time: middles of 0 to 9 whole 16-pixel blocks, alone or with a few
    // pixels over, leave every count of single blocks after 0, 1 and 2 whole steps, for the 8-pixel blocks too.
    for (int radius : {3, 10}) {
        for (int blocks = 0; blocks <= 9; ++blocks) {
            for (int over : {0, 5, 15}) {
                int width = 2 * radius + 1 + 16 * blocks + over, height = 3;
                std::vector<uint8_t> pixels = RandomBytes(static_cast<size_t>(width) * height * 3, width);
                ASSERT_EQ(Blurred(pixels, width, height, radius), ReferenceBlur(pixels, width, height, radius))
                    << LevelName(GetParam()) << ": " << width << " x " << height << " radius " << radius;
            }
        }
    }
}

TEST_P(VectorPaths, WideImagesAtTheModulesRadius) {
    for (auto [width, height] : {std::pair{640, 48}, {1001, 23}, {257, 64}}) {
        std::vector<uint8_t> pixels = RandomBytes(static_cast<size_t>(width) * height * 3, width);
        ASSERT_EQ(Blurred(pixels, width, height, 10), ReferenceBlur(pixels, width, height, 10))
            << LevelName(GetParam()) << ": " << width << " x " << height;
    }
}

TEST_P(VectorPaths, LargestSumsAndRemaindersStayExact) {
    // Bright windows reach the largest totals the lanes carry; dark pixels scattered among them leave remainders
    // just short of the next integer, where a division that is off by a little shows.
    for (int radius : {1, 10, kMaxBlurRadius}) {
        int width = 2 * radius + 2 + 100, height = 2 * radius + 3;
        std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3, 255);
        std::vector<uint8_t> noise = RandomBytes(pixels.size(), radius);
        for (size_t k = 0; k < pixels.size(); ++k)
            if (noise[k] < 3) pixels[k] = noise[k];
        ASSERT_EQ(Blurred(pixels, width, height, radius), ReferenceBlur(pixels, width, height, radius))
            << LevelName(GetParam()) << " radius " << radius;
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, VectorPaths, testing::Values(VectorsBaseline, VectorsAvx2, VectorsAvx512),
                         [](const testing::TestParamInfo<int32_t>& info) {
                             return std::string(info.param == VectorsBaseline ? "Baseline"
                                                : info.param == VectorsAvx2   ? "Avx2"
                                                                              : "Avx512");
                         });

#if defined(__x86_64__) && defined(__linux__)
// The kernel lists what the processor has and the system saves; detection must agree with it.
TEST(ProcessorVectorDetection, AgreesWithTheKernelsFlags) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && line.rfind("flags", 0) != 0) {
    }
    if (line.empty()) GTEST_SKIP() << "no flags line in /proc/cpuinfo";
    std::istringstream words(line.substr(line.find(':') + 1));
    bool avx2 = false, avx512f = false, avx512bw = false;
    for (std::string flag; words >> flag;) {
        avx2 |= flag == "avx2";
        avx512f |= flag == "avx512f";
        avx512bw |= flag == "avx512bw";
    }
    int32_t expected = avx2 && avx512f && avx512bw ? VectorsAvx512 : avx2 ? VectorsAvx2 : VectorsBaseline;
    LimitProcessorVectors(VectorsAvx512);
    EXPECT_EQ(ProcessorVectors(), expected);
    LimitProcessorVectors(VectorsBaseline);
    EXPECT_EQ(ProcessorVectors(), VectorsBaseline);
    LimitProcessorVectors(VectorsAvx512);
}
#endif

}  // namespace
