// The box blur as a stream of rows: rows go in one at a time, in file order, and come out blurred `radius` rows
// later. Only the last 2 * radius + 1 rows and one row of column sums are held, so the memory used depends on the
// width and the radius, never on the height.
//
// Each output pixel is the truncated mean of the (2 * radius + 1)^2 window around it, cut off at the edges: the sum
// over the window is the sum, over the window's columns, of each column's sum over the window's rows. Column sums
// are kept up to date by adding the row entering the window and subtracting the row leaving it, and each output row
// slides a running sum along them, so a pixel costs the same whatever the radius.
#ifndef MISTVANE_ROW_BLUR_H
#define MISTVANE_ROW_BLUR_H

#include <stddef.h>
#include <stdint.h>

// The widest window the exact divisions below cover; column sums of up to 63 rows of 255 fit in 16 bits.
const int32_t kMaxBlurRadius = 31;

// Two exact ways to take floor(sum / count) without a division instruction, both for 2 <= count <=
// (2 * kMaxBlurRadius + 1)^2 and 0 <= sum <= 255 * count: an integer one for processors without vector units (one
// 32 x 32 -> 64-bit multiply, as ARMv4's UMULL, the processor without a divider this module first ran on), and a
// single-precision one that four lanes of a vector register can do at once. (A count of 1, a window of one pixel,
// only occurs at radius 0, where each byte is its own mean.)
uint32_t BlurReciprocal(uint32_t count);
inline uint32_t DivideByReciprocal(uint32_t sum, uint32_t reciprocal) {
    return (uint32_t)(((uint64_t)sum * reciprocal) >> 32);
}
// BlurReciprocal(columns * rows) for 1 <= columns, rows <= 2 * kMaxBlurRadius + 1 (columns * rows >= 2), made
// without a division.
uint32_t BlurProductReciprocal(uint32_t columns, uint32_t rows);
float BlurFloatReciprocal(uint32_t count);
inline uint32_t DivideByFloatReciprocal(uint32_t sum, float reciprocal) {
    return (uint32_t)((float)sum * reciprocal);
}

#if defined(__SSE2__)
typedef float BlurDivisor;
#else
typedef uint32_t BlurDivisor;
#endif

// Memory to bring into the cache a line at a time while rows are averaged.
struct PrefetchCursor {
    const uint8_t* next;
    size_t left;  // bytes from `next` on still to ask for
};

// Asks for the next cache line of the cursor, if any is left.
inline void PrefetchLine(PrefetchCursor* cursor) {
    if (cursor->left == 0) return;
    __builtin_prefetch(cursor->next);
    size_t step = cursor->left < 64 ? cursor->left : 64;
    cursor->next += step;
    cursor->left -= step;
}

inline void PrefetchRest(PrefetchCursor* cursor) {
    while (cursor->left > 0) PrefetchLine(cursor);
}

struct RowBlur {
    int32_t width;
    int32_t rows;
    int32_t radius;
    size_t stride;          // bytes per row: width * 3 pixel bytes, then padding carried through unchanged
    size_t slotBytes;       // bytes per row in the ring, a whole number of 32-bit words: the row (its bytes with
                            // vector units, split as the column sums are without), then its padding
    int32_t window;         // rows held: 2 * radius + 1, or fewer for a short image
    int32_t ringSlots;      // slots allocated so far: `window`, or, for rows that must prove they exist, as many
                            // as have arrived, the ring and the column sums growing with them
    size_t sumCount;        // column sums in a row's worth
    uint8_t* ring;          // the last `window` rows pushed, row y in slot y % window
    uint16_t* columnSums;   // per pixel byte of a row, the sum over the rows of the current vertical window: in the
                            // row's order with vector units, packed two to a word without (row_blur.cpp)
    BlurDivisor* divisors;  // for each window width 1 .. 2 * radius + 1, the reciprocal of width * windowRows
                            // (without vector units then those of the pixels at each end of a row)
    int32_t divisorRows;    // the window height those reciprocals are for
    int32_t rowsIn;
    int32_t rowsOut;
    int32_t rowsCounted;    // the first row the column sums still include
    int32_t vectors;        // the ProcessorVectorLevel the loops use
    PrefetchCursor upcoming;  // input the caller will push next, if it said so
};

// Prepares a blur of `rows` rows of `width` pixels, each row `stride` bytes long (stride >= width * 3). A radius
// wider than the image is narrowed to the image, which gives the same result. Returns false, with nothing to
// release, when memory runs out or the arguments are out of range (negative sizes or radius, or a radius that
// still exceeds kMaxBlurRadius).
bool StartRowBlur(RowBlur* blur, int32_t width, int32_t rows, int32_t radius, size_t stride);
// The same for rows whose width and number nothing vouches for (an input read as it arrives): the rows and the
// column sums are allocated as rows come in, so that a claim costs nothing until that many bytes have arrived.
bool StartGrowingRowBlur(RowBlur* blur, int32_t width, int32_t rows, int32_t radius, size_t stride);

// Takes in the next `stride` bytes of input (copied, so `row` may be reused or overwritten at once). Returns false,
// taking nothing, when every row is in, when a finished output row must be taken first, or when a growing blur's
// memory runs out.
bool PushInputRow(RowBlur* blur, const uint8_t* row);

// Says that the next row to be pushed is at `row`, in memory not yet read: the output rows taken before that push
// ask for it a cache line at a time as they go, so that fetching it overlaps their work.
void ExpectInputRow(RowBlur* blur, const uint8_t* row);

// Whether the next blurred row can be taken.
bool OutputRowReady(const RowBlur* blur);

// Writes the next blurred row (`stride` bytes: pixels, then the input row's padding) to `out` once the rows it
// needs are in. Returns false when no row is ready. `out` may be the memory the row was read from.
bool PopOutputRow(RowBlur* blur, uint8_t* out);

void EndRowBlur(RowBlur* blur);

#endif
