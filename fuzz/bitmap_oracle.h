// What the fuzzers hold the module to, worked out independently of it: which files are accepted, from the header
// rules in exact arithmetic, and what the blurred file must hold, from a summed-area table rather than the
// module's running column sums.
#ifndef MISTVANE_FUZZ_BITMAP_ORACLE_H
#define MISTVANE_FUZZ_BITMAP_ORACLE_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

// Fails the run with a message that the fuzzer and the replay tests both show.
#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);   \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

struct OracleLayout {
    uint64_t offset;
    uint64_t width;
    uint64_t rows;
    uint64_t stride;
};

inline uint32_t OracleGet32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The module holds up to 21 rows, a row of 16-bit column sums and a row to write: a row longer than a 32nd of
// what size_t counts is refused.
inline std::optional<OracleLayout> OracleAccepts(const uint8_t* data, size_t size) {
    if (size < 54 || data[0] != 'B' || data[1] != 'M') return std::nullopt;
    uint32_t offset = OracleGet32(data + 10), infoSize = OracleGet32(data + 14);
    int32_t width = static_cast<int32_t>(OracleGet32(data + 18)), height = static_cast<int32_t>(OracleGet32(data + 22));
    uint16_t bits = static_cast<uint16_t>(data[28] | (data[29] << 8));
    uint32_t compression = OracleGet32(data + 30);
    if (infoSize < 40 || bits != 24 || compression != 0) return std::nullopt;
    if (width < 0 || height == INT32_MIN) return std::nullopt;
    if (offset < uint64_t{14} + infoSize || offset > size) return std::nullopt;
    OracleLayout layout;
    layout.offset = offset;
    layout.width = static_cast<uint64_t>(width);
    layout.rows = static_cast<uint64_t>(height < 0 ? -static_cast<int64_t>(height) : height);
    layout.stride = (layout.width * 3 + 3) / 4 * 4;
    // Exact in 64 bits: rows < 2^31 and stride < 2^33 keep the product below 2^64, and a sum that overflows
    // ends past any file.
    uint64_t end = 0;
    if (layout.width != 0 && layout.rows != 0 &&
        (__builtin_add_overflow(uint64_t{offset}, (layout.rows - 1) * layout.stride, &end) ||
         __builtin_add_overflow(end, layout.width * 3, &end) || end > size))
        return std::nullopt;
    if (layout.stride * 32 > SIZE_MAX) return std::nullopt;
    return layout;
}

// The accepted file with each pixel replaced by the truncated mean of its 21 x 21 window, cut off at the edges;
// every other byte unchanged.
inline std::vector<uint8_t> OracleBlur(const uint8_t* data, size_t size, const OracleLayout& layout) {
    std::vector<uint8_t> out(data, data + size);
    const int64_t w = static_cast<int64_t>(layout.width), h = static_cast<int64_t>(layout.rows), r = 10;
    if (w == 0 || h == 0) return out;
    auto pixel = [&](int64_t y, int64_t x, int c) { return data[layout.offset + y * layout.stride + x * 3 + c]; };
    // table[(y * (w + 1) + x) * 3 + c]: the sum of channel c over rows < y and columns < x.
    std::vector<uint64_t> table(static_cast<size_t>((w + 1) * (h + 1) * 3), 0);
    auto at = [&](int64_t y, int64_t x, int c) -> uint64_t& { return table[static_cast<size_t>((y * (w + 1) + x) * 3 + c)]; };
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                at(y + 1, x + 1, c) = pixel(y, x, c) + at(y, x + 1, c) + at(y + 1, x, c) - at(y, x, c);
    for (int64_t y = 0; y < h; ++y) {
        int64_t top = std::max<int64_t>(0, y - r), bottom = std::min<int64_t>(h, y + r + 1);
        for (int64_t x = 0; x < w; ++x) {
            int64_t left = std::max<int64_t>(0, x - r), right = std::min<int64_t>(w, x + r + 1);
            uint64_t count = static_cast<uint64_t>((bottom - top) * (right - left));
            for (int c = 0; c < 3; ++c) {
                uint64_t sum = at(bottom, right, c) - at(top, right, c) - at(bottom, left, c) + at(top, left, c);
                out[layout.offset + y * layout.stride + x * 3 + c] = static_cast<uint8_t>(sum / count);
            }
        }
    }
    return out;
}

#endif
