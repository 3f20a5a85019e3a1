// Fuzzes the in-memory check-and-blur path: any bytes at all, held to the oracle's verdict and output.
#include <algorithm>

#include "VostrelMistvane.h"
#include "bitmap_blur.h"
#include "bitmap_oracle.h"
#include "processor_vectors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly `size` bytes, so that AddressSanitizer sees any read past the end of the input.
    std::vector<uint8_t> input(data, data + size);
    const uint8_t kUntouched = 0xA5;
    std::vector<uint8_t> output(size, kUntouched);
    // Inputs take turns at each vector path the processor has, so all of them meet the oracle.
    LimitProcessorVectors(static_cast<int32_t>(size % 3));
    int32_t status = BlurBitmapBytes(input.data(), size, output.data());
    LimitProcessorVectors(VectorsAvx512);
    std::optional<OracleLayout> layout = OracleAccepts(input.data(), size);
    if (!layout) {
        FUZZ_CHECK(status == MistvaneStatusNotBitmap);
        for (uint8_t b : output) FUZZ_CHECK(b == kUntouched);
    } else {
        FUZZ_CHECK(status == MistvaneStatusDone);
        FUZZ_CHECK(output == OracleBlur(input.data(), size, *layout));
    }
    FUZZ_CHECK(std::equal(input.begin(), input.end(), data));
    return 0;
}
