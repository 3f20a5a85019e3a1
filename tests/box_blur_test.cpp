#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "box_blur.h"
#include "reference_blur.h"
#include "row_blur.h"
#include "test_bitmaps.h"

namespace {

std::vector<uint8_t> Blurred(std::vector<uint8_t> pixels, int width, int height, int radius = 10) {
    EXPECT_TRUE(BlurPixels(pixels.data(), width, height, radius));
    return pixels;
}

std::vector<uint8_t> OneChannelRow(std::initializer_list<uint8_t> values) {
    std::vector<uint8_t> pixels;
    for (uint8_t v : values) pixels.insert(pixels.end(), {v, 0, 0});
    return pixels;
}

TEST(BlurPixelsCases, SinglePixelIsUnchanged) {
    EXPECT_EQ(Blurred({12, 200, 7}, 1, 1), (std::vector<uint8_t>{12, 200, 7}));
}

TEST(BlurPixelsCases, OneColourImageIsUnchanged) {
    std::vector<uint8_t> pixels;
    for (int k = 0; k < 37 * 29; ++k) pixels.insert(pixels.end(), {31, 128, 254});
    EXPECT_EQ(Blurred(pixels, 37, 29), pixels);
}

TEST(BlurPixelsCases, ThreePixelsAllShareOneWindow) {
    EXPECT_EQ(Blurred(OneChannelRow({0, 0, 255}), 3, 1), OneChannelRow({85, 85, 85}));
}

TEST(BlurPixelsCases, AveragesTruncateRatherThanRound) {
    EXPECT_EQ(Blurred(OneChannelRow({0, 255}), 2, 1), OneChannelRow({127, 127}));
    EXPECT_EQ(Blurred(OneChannelRow({0, 255}), 1, 2), OneChannelRow({127, 127}));
}

TEST(BlurPixelsCases, WindowsAreCutOffAtTheEdges) {
    // One bright pixel at the far end of a 30-pixel row: pixels 19..29 see it; their windows hold 21 samples up
    // to pixel 19 and shrink to 11 at pixel 29.
    std::vector<uint8_t> pixels(30 * 3, 0);
    pixels[29 * 3] = 231;
    std::vector<uint8_t> out = Blurred(pixels, 30, 1);
    for (int j = 0; j < 30; ++j) {
        int count = std::min(29, j + 10) - std::max(0, j - 10) + 1;
        int expected = j >= 19 ? 231 / count : 0;
        EXPECT_EQ(out[j * 3], expected) << "pixel " << j;
    }
}

TEST(BlurPixelsCases, CornerAndCentreWindowSizes) {
    // 25 x 25 with 120 everywhere but one pixel of 241 at the corner: the corner averages 121 samples, the
    // centre 441, so their results tell the two counts apart.
    std::vector<uint8_t> pixels(25 * 25 * 3, 120);
    pixels[0] = 241;
    std::vector<uint8_t> out = Blurred(pixels, 25, 25);
    EXPECT_EQ(out[0], (120 * 120 + 241) / 121);
    EXPECT_EQ(out[(12 * 25 + 12) * 3], (120 * 440 + 241) / 441);
    EXPECT_EQ(out, ReferenceBlur(pixels, 25, 25, 10));
}

TEST(BlurPixelsCases, EmptyImagesNeedNothing) {
    EXPECT_TRUE(BlurPixels(nullptr, 0, 0, 10));
    EXPECT_TRUE(BlurPixels(nullptr, 0, 5, 10));
    EXPECT_TRUE(BlurPixels(nullptr, 5, 0, 10));
}

TEST(BlurPixelsCases, RefusesNegativeArgumentsWithoutTouchingTheBlock) {
    std::vector<uint8_t> pixels = RandomBytes(4 * 4 * 3, 3), before = pixels;
    EXPECT_FALSE(BlurPixels(pixels.data(), 4, 4, -1));
    EXPECT_FALSE(BlurPixels(pixels.data(), -4, 4, 1));
    EXPECT_FALSE(BlurPixels(pixels.data(), 4, -4, 1));
    EXPECT_EQ(pixels, before);
}

TEST(BlurPixelsCases, RadiusWiderThanTheImageAveragesEverything) {
    std::vector<uint8_t> pixels = RandomBytes(5 * 4 * 3, 9);
    EXPECT_EQ(Blurred(pixels, 5, 4, 1000), ReferenceBlur(pixels, 5, 4, 4));
}

TEST(BlurPixelsCases, RadiusBeyondTheExactRangeIsRefused) {
    std::vector<uint8_t> pixels = RandomBytes(70 * 70 * 3, 9), before = pixels;
    EXPECT_FALSE(BlurPixels(pixels.data(), 70, 70, kMaxBlurRadius + 1));
    EXPECT_EQ(pixels, before);
    EXPECT_EQ(Blurred(pixels, 70, 70, kMaxBlurRadius), ReferenceBlur(pixels, 70, 70, kMaxBlurRadius));
}

// Every pixel, borders included, against the reference, over sizes around and across the window's width.
class BlurPixelsMatchesReference : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(BlurPixelsMatchesReference, AtRadiusTen) {
    auto [width, height] = GetParam();
    std::vector<uint8_t> pixels = RandomBytes(static_cast<size_t>(width) * height * 3, width * 1000 + height);
    EXPECT_EQ(Blurred(pixels, width, height), ReferenceBlur(pixels, width, height, 10));
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlurPixelsMatchesReference,
                         testing::Combine(testing::Values(1, 2, 3, 7, 10, 11, 20, 21, 22, 25, 30, 43, 64),
                                          testing::Values(1, 2, 3, 9, 11, 21, 22, 25, 31, 50)));

TEST(BlurPixelsMatchesReferenceAtEveryRadius, ZeroToFifteen) {
    for (int radius = 0; radius <= 15; ++radius) {
        for (auto [width, height] : {std::pair{33, 17}, {1, 40}, {40, 1}, {radius + 1, 2 * radius + 3}}) {
            std::vector<uint8_t> pixels = RandomBytes(static_cast<size_t>(width) * height * 3, radius);
            EXPECT_EQ(Blurred(pixels, width, height, radius), ReferenceBlur(pixels, width, height, radius))
                << width << " x " << height << " radius " << radius;
        }
    }
}

TEST(BlurPixelsMatchesReferenceAtEveryRadius, EveryWidthUpToPastBothEdgesOnShortImages) {
    // Rows go in blocks of four pixels (each edge with a divisor of its own, a middle of whole windows, a last
    // block at the right edge), then one pixel at a time: every width up to past the radius rounded up to four,
    // plus four, at each end meets each way the pieces meet, for each radius modulo 4, as short as one row.
    for (int radius : {1, 2, 3, 4, 10}) {
        for (int width = 1; width <= 4 * radius + 20; ++width) {
            for (int height : {1, 2, radius + 2}) {
                std::vector<uint8_t> pixels = RandomBytes(static_cast<size_t>(width) * height * 3, width + radius);
                ASSERT_EQ(Blurred(pixels, width, height, radius), ReferenceBlur(pixels, width, height, radius))
                    << width << " x " << height << " radius " << radius;
            }
        }
    }
}

TEST(BlurPixelsMatchesReferenceAtEveryRadius, ExtremeValuesStayExact) {
    // All-255 windows give the largest sums the reciprocals meet; a lone 0 among them the largest remainders.
    std::vector<uint8_t> pixels(64 * 64 * 3, 255);
    pixels[(31 * 64 + 31) * 3 + 1] = 0;
    for (int radius : {0, 1, 10, 15, kMaxBlurRadius})
        EXPECT_EQ(Blurred(pixels, 64, 64, radius), ReferenceBlur(pixels, 64, 64, radius)) << radius;
}

TEST(RowBlurStream, RefusesARowWhileAFinishedRowWaitsAndOnceEveryRowIsIn) {
    // 4 x 3 pixels at radius 1: output row 0 needs input rows 0 and 1, row 1 needs 0..2.
    std::vector<uint8_t> pixels = RandomBytes(4 * 3 * 3, 5), out(4 * 3 * 3);
    RowBlur blur;
    ASSERT_TRUE(StartRowBlur(&blur, 4, 3, 1, 12));
    EXPECT_TRUE(PushInputRow(&blur, &pixels[0]));
    EXPECT_FALSE(PopOutputRow(&blur, &out[0])) << "row 0 still needs row 1";
    EXPECT_TRUE(PushInputRow(&blur, &pixels[12]));
    EXPECT_FALSE(PushInputRow(&blur, &pixels[24])) << "row 0 is finished and must be taken first";
    EXPECT_TRUE(PopOutputRow(&blur, &out[0]));
    EXPECT_TRUE(PushInputRow(&blur, &pixels[24]));
    EXPECT_FALSE(PushInputRow(&blur, &pixels[24])) << "every row is in";
    EXPECT_TRUE(PopOutputRow(&blur, &out[12]));
    EXPECT_TRUE(PopOutputRow(&blur, &out[24]));
    EXPECT_FALSE(PopOutputRow(&blur, &out[24]));
    EndRowBlur(&blur);
    EXPECT_EQ(out, ReferenceBlur(pixels, 4, 3, 1));
}

// Both division methods, for every sum a window of `count` bytes can reach; the integer one from two samples on,
// since a window of one pixel is never divided.
void ExpectExactDivisions(uint32_t firstCount, uint32_t lastCount) {
    for (uint32_t count = firstCount; count <= lastCount; ++count) {
        uint32_t reciprocal = BlurReciprocal(count);
        float floatReciprocal = BlurFloatReciprocal(count);
        for (uint32_t sum = 0; sum <= 255 * count; ++sum) {
            if (count >= 2 && DivideByReciprocal(sum, reciprocal) != sum / count) FAIL() << sum << " / " << count;
            if (DivideByFloatReciprocal(sum, floatReciprocal) != sum / count) FAIL() << sum << " / " << count << " (float)";
        }
    }
}

TEST(BlurDivisions, ExactForEveryCountUpToRadiusFifteen) {
    ExpectExactDivisions(1, 31 * 31);
}

TEST(BlurDivisions, ReciprocalsOfProductsEqualThoseOfTheirCounts) {
    for (uint32_t rows = 1; rows <= 2 * kMaxBlurRadius + 1; ++rows)
        for (uint32_t columns = rows == 1 ? 2 : 1; columns <= 2 * kMaxBlurRadius + 1; ++columns)
            ASSERT_EQ(BlurProductReciprocal(columns, rows), 0xFFFFFFFFu / (columns * rows) + 1) << columns << " x " << rows;
}

TEST(BlurDivisions, ExactAtTheLargestCounts) {
    const uint32_t largest = (2 * kMaxBlurRadius + 1) * (2 * kMaxBlurRadius + 1);
    ExpectExactDivisions(largest - 100, largest);
}

}  // namespace
