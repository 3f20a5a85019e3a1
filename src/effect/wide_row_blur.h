// The two loops of the row blur where the time goes, in 256- and 512-bit forms for processors that have them (see
// processor_vectors.h); row_blur.cpp calls them only when ProcessorVectors allows.
#ifndef MISTVANE_WIDE_ROW_BLUR_H
#define MISTVANE_WIDE_ROW_BLUR_H

#include <stddef.h>
#include <stdint.h>

#include "row_blur.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define MISTVANE_WIDE_ROW_BLUR 1

// Column sums gain the bytes of `row` and lose those of `slot`, which then takes `row`'s bytes: the row entering
// the window replaces the one leaving it. Whole vectors only: returns how many of the `count` bytes were done.
size_t ReplaceRowAvx2(uint16_t* sums, uint8_t* slot, const uint8_t* row, size_t count);
size_t ReplaceRowAvx512(uint16_t* sums, uint8_t* slot, const uint8_t* row, size_t count);

// The middle of a row, where every window is whole and has the same divisor. On entry `totals` holds the three
// window sums of pixel x - 1; the pixels from x on are written to `out` (the whole row) in blocks while a block
// fits before `end`. Returns the first pixel not written, with `totals` then holding the sums of the pixel before
// it. `sums` are the column sums of the row; every pixel in [x, end) has both column
// x - radius - 1 and column x + radius inside the row. One cache line of `upcoming` is asked for per block.
int32_t AverageMiddleAvx2(const uint16_t* sums, int32_t radius, int32_t x, int32_t end, uint32_t totals[3],
                          float divisor, uint8_t* out, PrefetchCursor* upcoming);
int32_t AverageMiddleAvx512(const uint16_t* sums, int32_t radius, int32_t x, int32_t end, uint32_t totals[3],
                            float divisor, uint8_t* out, PrefetchCursor* upcoming);

#endif

#endif
