// One blur of a pixel block and nothing else, for counting the instructions it takes under qemu-arm (see
// count_instructions.py): the run without a blur is the baseline to subtract. Written without a C library, so the
// same source builds for the Linux ARM build and, freestanding, for the Windows CE one.
//
//   blur_count none|blur|literal WIDTH HEIGHT   makes a block, blurs it with BlurPixels or the literal algorithm
//                                               (or not), and exits with one of its bytes
//   blur_count check WIDTH HEIGHT               exits 0 when BlurPixels gives what the literal algorithm gives
#include <stddef.h>
#include <stdint.h>

#include "box_blur.h"
#include "platform.h"

namespace {

const int32_t kRadius = 10;

// The blur as written down: every sample of every window, each tested against the edges, one division a byte.
void LiteralBlur(const uint8_t* in, uint8_t* out, int32_t width, int32_t height, int32_t radius) {
    for (int32_t i = 0; i < height; ++i)
        for (int32_t j = 0; j < width; ++j) {
            int32_t count = 0, sums[3] = {0, 0, 0};
            for (int32_t dy = -radius; dy <= radius; ++dy)
                for (int32_t dx = -radius; dx <= radius; ++dx) {
                    int32_t y = i + dy, x = j + dx;
                    if (x < 0 || x >= width || y < 0 || y >= height) continue;
                    ++count;
                    for (int32_t c = 0; c < 3; ++c) sums[c] += in[((size_t)y * width + x) * 3 + c];
                }
            for (int32_t c = 0; c < 3; ++c) out[((size_t)i * width + j) * 3 + c] = (uint8_t)(sums[c] / count);
        }
}

bool Same(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

int32_t Number(const char* text) {
    int32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + (*text - '0');
    return *text ? -1 : value;
}

}  // namespace

int main(int argc, char** argv) {
    int32_t width = argc == 4 ? Number(argv[2]) : -1, height = argc == 4 ? Number(argv[3]) : -1;
    if (width < 1 || height < 1 || width > 8192 || height > 8192) return 64;
    size_t bytes = (size_t)width * height * 3;
    uint8_t* block = (uint8_t*)AllocateBlock(bytes);
    uint8_t* other = (uint8_t*)AllocateBlock(bytes);
    if (!block || !other) return 72;
    uint32_t state = 12345;
    for (size_t k = 0; k < bytes; ++k) {
        state = state * 1103515245u + 12345u;
        block[k] = other[k] = (uint8_t)(state >> 23);
    }
    int result = 0;
    if (Same(argv[1], "check")) {
        LiteralBlur(other, block, width, height, kRadius);
        if (!BlurPixels(other, width, height, kRadius)) return 1;
        for (size_t k = 0; k < bytes; ++k) result |= block[k] != other[k];
    } else if (Same(argv[1], "blur")) {
        if (!BlurPixels(block, width, height, kRadius)) return 1;
        result = block[bytes / 2] & 0x3F;
    } else if (Same(argv[1], "literal")) {
        LiteralBlur(other, block, width, height, kRadius);
        result = block[bytes / 2] & 0x3F;
    } else if (!Same(argv[1], "none")) {
        return 64;
    }
    ReleaseBlock(block);
    ReleaseBlock(other);
    return result;
}
