// The blur written the slow, obvious way: every window summed directly, every position bounds-checked. The tests
// hold every faster form to its bytes.
#ifndef MISTVANE_TESTS_REFERENCE_BLUR_H
#define MISTVANE_TESTS_REFERENCE_BLUR_H

#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<uint8_t> ReferenceBlur(const std::vector<uint8_t>& pixels, int width, int height, int radius) {
    std::vector<uint8_t> out(pixels.size());
    for (int i = 0; i < height; ++i) {
        for (int j = 0; j < width; ++j) {
            int count = 0;
            int sums[3] = {0, 0, 0};
            for (int dy = -radius; dy <= radius; ++dy) {
                for (int dx = -radius; dx <= radius; ++dx) {
                    int y = i + dy, x = j + dx;
                    if (x < 0 || x >= width || y < 0 || y >= height) continue;
                    ++count;
                    for (int c = 0; c < 3; ++c) sums[c] += pixels[(static_cast<size_t>(y) * width + x) * 3 + c];
                }
            }
            for (int c = 0; c < 3; ++c) out[(static_cast<size_t>(i) * width + j) * 3 + c] = static_cast<uint8_t>(sums[c] / count);
        }
    }
    return out;
}

#endif
