#include "row_blur.h"

#include "platform.h"

// With m = ceil(2^32 / c), sum * m / 2^32 exceeds sum / c by sum * (m * c - 2^32) / (c * 2^32), which is below
// 255 * c * c / (c * 2^32) = 255 * c / 2^32. A fraction sum / c lies at least 1 / c below the next integer, so
// the floor is exact while 255 * c * c < 2^32, that is for every count up to 4103 = (2 * 31 + 1)^2 + 134.
uint64_t BlurReciprocal(uint32_t count) {
    return (((uint64_t)1 << 32) + count - 1) / count;
}

static int32_t MinInt(int32_t a, int32_t b) { return a < b ? a : b; }
static int32_t MaxInt(int32_t a, int32_t b) { return a > b ? a : b; }

bool StartRowBlur(RowBlur* blur, int32_t width, int32_t rows, int32_t radius, size_t stride) {
    if (width < 0 || rows < 0 || radius < 0) return false;
    if ((size_t)width > stride / 3) return false;
    // A window never reaches further than the image, so a larger radius changes nothing.
    int32_t reach = MaxInt(width, rows) - 1;
    if (radius > reach) radius = MaxInt(reach, 0);
    if (radius > kMaxBlurRadius) return false;

    int32_t window = MinInt(2 * radius + 1, MaxInt(rows, 1));
    size_t sums = (size_t)width * 3;
    if (stride > SIZE_MAX / (size_t)window || sums > SIZE_MAX / sizeof(uint16_t)) return false;

    blur->width = width;
    blur->rows = rows;
    blur->radius = radius;
    blur->stride = stride;
    blur->window = window;
    blur->rowsIn = 0;
    blur->rowsOut = 0;
    blur->reciprocalRows = 0;
    // One byte at least, so that an empty image still gets blocks a null result can be told apart from.
    blur->ring = (uint8_t*)AllocateBlock(stride * (size_t)window + 1);
    blur->columnSums = (uint16_t*)AllocateBlock(sums * sizeof(uint16_t) + 1);
    blur->reciprocals = (uint64_t*)AllocateBlock(((size_t)radius * 2 + 2) * sizeof(uint64_t));
    if (!blur->ring || !blur->columnSums || !blur->reciprocals) {
        EndRowBlur(blur);
        return false;
    }
    for (size_t k = 0; k < sums; ++k) blur->columnSums[k] = 0;
    return true;
}

void EndRowBlur(RowBlur* blur) {
    ReleaseBlock(blur->ring);
    ReleaseBlock(blur->columnSums);
    ReleaseBlock(blur->reciprocals);
    blur->ring = 0;
    blur->columnSums = 0;
    blur->reciprocals = 0;
}

static uint8_t* RingRow(RowBlur* blur, int32_t row) {
    return blur->ring + (size_t)(row % blur->window) * blur->stride;
}

// The last input row that output row `row` needs.
static int32_t LastRowNeeded(const RowBlur* blur, int32_t row) {
    return MinInt(row + blur->radius, blur->rows - 1);
}

static bool OutputReady(const RowBlur* blur) {
    return blur->rowsOut < blur->rows && blur->rowsIn > LastRowNeeded(blur, blur->rowsOut);
}

uint8_t* NextInputRow(RowBlur* blur) {
    // The slot of the next row is still in use until the output row before it has been taken.
    if (blur->rowsIn >= blur->rows || OutputReady(blur)) return 0;
    return RingRow(blur, blur->rowsIn);
}

void PushInputRow(RowBlur* blur) {
    const uint8_t* row = RingRow(blur, blur->rowsIn);
    uint16_t* sums = blur->columnSums;
    size_t count = (size_t)blur->width * 3;
    for (size_t k = 0; k < count; ++k) sums[k] = (uint16_t)(sums[k] + row[k]);
    blur->rowsIn++;
}

static void SubtractRow(RowBlur* blur, int32_t rowIndex) {
    const uint8_t* row = RingRow(blur, rowIndex);
    uint16_t* sums = blur->columnSums;
    size_t count = (size_t)blur->width * 3;
    for (size_t k = 0; k < count; ++k) sums[k] = (uint16_t)(sums[k] - row[k]);
}

// Reciprocals of width * windowRows for every window width, computed again only when the window height changes
// (near the top and bottom edges).
static void PrepareReciprocals(RowBlur* blur, int32_t windowRows) {
    if (blur->reciprocalRows == windowRows) return;
    for (int32_t columns = 1; columns <= 2 * blur->radius + 1; ++columns)
        blur->reciprocals[columns] = BlurReciprocal((uint32_t)(columns * windowRows));
    blur->reciprocalRows = windowRows;
}

// Slides a window of 2 * radius + 1 column sums along the row, for each of the three pixel bytes at once.
static void AverageAlongRow(const RowBlur* blur, uint8_t* out) {
    const uint16_t* sums = blur->columnSums;
    const uint64_t* reciprocals = blur->reciprocals;
    int32_t width = blur->width;
    int32_t radius = blur->radius;
    uint32_t s0 = 0, s1 = 0, s2 = 0;
    for (int32_t x = 0; x < MinInt(radius, width); ++x) {
        s0 += sums[3 * x];
        s1 += sums[3 * x + 1];
        s2 += sums[3 * x + 2];
    }
    for (int32_t x = 0; x < width; ++x) {
        int32_t entering = x + radius;
        if (entering < width) {
            s0 += sums[3 * entering];
            s1 += sums[3 * entering + 1];
            s2 += sums[3 * entering + 2];
        }
        uint64_t reciprocal = reciprocals[MinInt(entering, width - 1) - MaxInt(x - radius, 0) + 1];
        out[3 * x] = (uint8_t)DivideByReciprocal(s0, reciprocal);
        out[3 * x + 1] = (uint8_t)DivideByReciprocal(s1, reciprocal);
        out[3 * x + 2] = (uint8_t)DivideByReciprocal(s2, reciprocal);
        int32_t leaving = x - radius;
        if (leaving >= 0) {
            s0 -= sums[3 * leaving];
            s1 -= sums[3 * leaving + 1];
            s2 -= sums[3 * leaving + 2];
        }
    }
}

bool PopOutputRow(RowBlur* blur, uint8_t* out) {
    if (!OutputReady(blur)) return false;
    int32_t row = blur->rowsOut;
    int32_t first = MaxInt(row - blur->radius, 0);
    PrepareReciprocals(blur, LastRowNeeded(blur, row) - first + 1);
    const uint8_t* source = RingRow(blur, row);
    size_t pixelBytes = (size_t)blur->width * 3;
    // Padding travels with its row unchanged.
    for (size_t k = pixelBytes; k < blur->stride; ++k) out[k] = source[k];
    AverageAlongRow(blur, out);
    // The row leaving the window must go before its slot is refilled by the next push.
    if (row - blur->radius >= 0) SubtractRow(blur, row - blur->radius);
    blur->rowsOut++;
    return true;
}
