#include "box_blur.h"

#include "row_blur.h"

bool BlurPixels(uint8_t* block, int32_t width, int32_t height, int32_t radius) {
    if (width < 0 || height < 0 || radius < 0) return false;
    if (width == 0 || height == 0) return true;
    size_t stride = (size_t)width * 3;
    RowBlur blur;
    if (!StartRowBlur(&blur, width, height, radius, stride)) return false;
    // Rows are copied into the blur before the rows above them are overwritten, so one block serves as both.
    int32_t written = 0;
    for (int32_t row = 0; row < height; ++row) {
        // Cannot fail: every ready row is taken below, so the blur always has room for the next one.
        if (!PushInputRow(&blur, block + (size_t)row * stride)) {
            EndRowBlur(&blur);
            return false;
        }
        // The next row comes from main memory: asked for while the output rows are averaged, it is there by the
        // next push instead of stalling it.
        if (row + 1 < height) ExpectInputRow(&blur, block + (size_t)(row + 1) * stride);
        while (PopOutputRow(&blur, block + (size_t)written * stride)) ++written;
    }
    while (PopOutputRow(&blur, block + (size_t)written * stride)) ++written;
    EndRowBlur(&blur);
    return true;
}
