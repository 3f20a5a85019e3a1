// The check every benchmark makes before it times anything: a blurred image against the literal algorithm, on
// every pixel of the border bands and a few thousand inside (the whole image would take minutes at 4096 x 4096).
#ifndef MISTVANE_BENCH_CHECKS_H
#define MISTVANE_BENCH_CHECKS_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

// One pixel of the literal algorithm.
inline void ReferencePixel(const std::vector<uint8_t>& in, int width, int height, int i, int j, uint8_t out[3]) {
    int count = 0, sums[3] = {0, 0, 0};
    for (int y = std::max(0, i - 10); y <= std::min(height - 1, i + 10); ++y)
        for (int x = std::max(0, j - 10); x <= std::min(width - 1, j + 10); ++x) {
            ++count;
            for (int c = 0; c < 3; ++c) sums[c] += in[(static_cast<size_t>(y) * width + x) * 3 + c];
        }
    for (int c = 0; c < 3; ++c) out[c] = static_cast<uint8_t>(sums[c] / count);
}

// Every pixel of the four borders' bands and a few thousand inside, against the literal algorithm.
inline bool Verified(const std::vector<uint8_t>& in, const std::vector<uint8_t>& out, int width, int height) {
    std::mt19937 random(7);
    auto matches = [&](int i, int j) {
        uint8_t expected[3];
        ReferencePixel(in, width, height, i, j, expected);
        return std::memcmp(expected, &out[(static_cast<size_t>(i) * width + j) * 3], 3) == 0;
    };
    for (int i = 0; i < height; ++i)
        for (int j : {0, 1, 9, 10, 11, width - 12, width - 11, width - 2, width - 1})
            if (j >= 0 && j < width && !matches(i, j)) return false;
    for (int j = 0; j < width; ++j)
        for (int i : {0, 10, height - 11, height - 1})
            if (i >= 0 && i < height && !matches(i, j)) return false;
    for (int k = 0; k < 5000; ++k)
        if (!matches(static_cast<int>(random() % height), static_cast<int>(random() % width))) return false;
    return true;
}

#endif
