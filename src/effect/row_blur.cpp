#include "row_blur.h"

#include <string.h>

#include "platform.h"
#include "processor_vectors.h"
#include "wide_row_blur.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// With m = ceil(2^32 / c), sum * m / 2^32 exceeds sum / c by sum * (m * c - 2^32) / (c * 2^32), which is below
// 255 * c * c / (c * 2^32) = 255 * c / 2^32. A fraction sum / c lies at least 1 / c below the next integer, so
// the floor is exact while 255 * c * c < 2^32, that is for every count up to 4103 = (2 * 31 + 1)^2 + 134. For
// c >= 2, m is below 2^32, so one 32 x 32 -> 64-bit multiply gives the quotient as its high word; and
// ceil(2^32 / c) = floor((2^32 - 1) / c) + 1, a 32-bit division.
uint32_t BlurReciprocal(uint32_t count) {
    return 0xFFFFFFFFu / count + 1;
}

// The smallest float not below 1 / c. The product with a sum (exact in a float) is then never below sum / c, and
// rounding keeps it at or above the integer floor(sum / c); it exceeds sum / c by at most 2^-23 of it plus half an
// ulp of the product, under 4.6e-5 for a sum / c up to 255, while a fraction sum / c lies at least 1 / c (over
// 2.5e-4 for c up to 3969) below the next integer. So truncation gives the floor exactly.
float BlurFloatReciprocal(uint32_t count) {
    float reciprocal = (float)(1.0 / count);
    // The product of a 24-bit mantissa and a 12-bit count is exact in a double.
    if ((double)reciprocal * count < 1.0) {
        uint32_t bits;
        memcpy(&bits, &reciprocal, sizeof bits);
        ++bits;  // the next float up, as the value is positive
        memcpy(&reciprocal, &bits, sizeof bits);
    }
    return reciprocal;
}

// Two tables made at compile time, so that a window height changing (each of the first and last rows) costs no
// division: floor((2^32 - 1) / rows), and ceil(2^32 / columns) for columns >= 2. Then
// floor((2^32 - 1) / (columns * rows)) = floor(floor((2^32 - 1) / rows) / columns), and the high word of that
// quotient times ceil(2^32 / columns) exceeds its floor by less than quotient / 2^32 < 1, so one correction
// finishes it.
struct ReciprocalTables {
    uint32_t quotients[2 * kMaxBlurRadius + 2];    // floor((2^32 - 1) / n)
    uint32_t reciprocals[2 * kMaxBlurRadius + 2];  // ceil(2^32 / n), n >= 2
};

constexpr ReciprocalTables MakeReciprocalTables() {
    ReciprocalTables tables = {};
    for (uint32_t n = 1; n < 2 * kMaxBlurRadius + 2; ++n) {
        tables.quotients[n] = 0xFFFFFFFFu / n;
        tables.reciprocals[n] = n >= 2 ? 0xFFFFFFFFu / n + 1 : 0;
    }
    return tables;
}

static constexpr ReciprocalTables kReciprocalTables = MakeReciprocalTables();

uint32_t BlurProductReciprocal(uint32_t columns, uint32_t rows) {
    uint32_t quotient = kReciprocalTables.quotients[rows];
    if (columns >= 2) {
        uint32_t estimate = DivideByReciprocal(quotient, kReciprocalTables.reciprocals[columns]);
        quotient = (uint64_t)estimate * columns > quotient ? estimate - 1 : estimate;
    }
    return quotient + 1;
}

static BlurDivisor MakeDivisor(uint32_t columns, uint32_t rows) {
#if defined(__SSE2__)
    return BlurFloatReciprocal(columns * rows);
#else
    return BlurProductReciprocal(columns, rows);
#endif
}

static int32_t MinInt(int32_t a, int32_t b) { return a < b ? a : b; }
static int32_t MaxInt(int32_t a, int32_t b) { return a > b ? a : b; }

// Where a ring slot keeps the row's padding: after its bytes with vector units, after its split halves without.
#if defined(__SSE2__)
static size_t SlotPadding(int32_t width, size_t) { return (size_t)width * 3; }
#else
static size_t SlotPadding(int32_t, size_t sumCount) { return sumCount * sizeof(uint16_t); }
#endif

#if defined(__SSE2__)
static size_t SumsMargin(int32_t) { return 0; }
static size_t EdgeDivisorCount(int32_t) { return 0; }
#else
// Without vector units the column sums have zeros on both sides: every pixel's window then moves the same way, one
// column entering and one leaving, those beyond the row adding nothing, and only the divisor changes near the
// edges. The margins cover what the loops reach past the row's ends in whole groups of four: 3 * radius + 3 sums
// for a window, 9 before the row as the first totals are gathered.
static size_t SumsMargin(int32_t radius) {
    return ((size_t)radius * 3 + 15) & ~(size_t)3;
}
// Pixels at each end of a row whose divisor the edge loops take from a table of their own: the first block of
// four past the radius and one more.
static int32_t EdgePixels(int32_t radius) {
    return ((radius + 3) & ~3) + 4;
}
static size_t EdgeDivisorCount(int32_t radius) {
    return 2 * (size_t)EdgePixels(radius);
}
#endif

// Makes room for `slots` rows in the ring (at most the window), keeping the rows already in: while the ring is not
// yet full, row y is in slot y whatever its size. Slots not yet used hold zeros, which the first rows to take them
// subtract from the column sums. The column sums come with the first slot.
static bool GrowRing(RowBlur* blur, int32_t slots) {
    if (slots > blur->window) slots = blur->window;
    size_t used = blur->slotBytes * (size_t)blur->ringSlots, size = blur->slotBytes * (size_t)slots;
    // One byte at least, so that an empty image still gets a block a null result can be told apart from.
    uint8_t* ring = (uint8_t*)AllocateBlock(size + 1);
    if (!ring) return false;
    if (!blur->columnSums) {
        size_t margin = SumsMargin(blur->radius), all = blur->sumCount + 2 * margin;
        uint16_t* sums = (uint16_t*)AllocateBlock(all * sizeof(uint16_t));
        if (!sums) {
            ReleaseBlock(ring);
            return false;
        }
        memset(sums, 0, all * sizeof(uint16_t));
        blur->columnSums = sums + margin;
    }
    if (used > 0) memcpy(ring, blur->ring, used);
    memset(ring + used, 0, size - used);
    ReleaseBlock(blur->ring);
    blur->ring = ring;
    blur->ringSlots = slots;
    return true;
}

static bool StartBlur(RowBlur* blur, int32_t width, int32_t rows, int32_t radius, size_t stride, bool growing) {
    if (width < 0 || rows < 0 || radius < 0) return false;
    if ((size_t)width > stride / 3) return false;
    // A window never reaches further than the image, so a larger radius changes nothing.
    int32_t reach = MaxInt(width, rows) - 1;
    if (radius > reach) radius = MaxInt(reach, 0);
    if (radius > kMaxBlurRadius) return false;

    int32_t window = MinInt(2 * radius + 1, MaxInt(rows, 1));
    // Column sums in whole groups of four, with one to spare: the vector path reads four sums where a pixel has
    // three, and the packed one keeps them in fours.
    size_t sums = ((size_t)width * 3 + 4) & ~(size_t)3;
    if (sums > SIZE_MAX / (2 * sizeof(uint16_t))) return false;
    // Ring slots start on 4-byte boundaries whatever the rows' stride, so that they can be read a word at a time.
    size_t before = SlotPadding(width, sums), padding = stride - (size_t)width * 3;
    if (padding > SIZE_MAX - 3 - before) return false;
    size_t slotBytes = (before + padding + 3) & ~(size_t)3;
    if (slotBytes > SIZE_MAX / (size_t)window) return false;

    blur->width = width;
    blur->rows = rows;
    blur->radius = radius;
    blur->stride = stride;
    blur->slotBytes = slotBytes;
    blur->window = window;
    blur->rowsIn = 0;
    blur->rowsOut = 0;
    blur->rowsCounted = 0;
    blur->divisorRows = 0;
    blur->vectors = ProcessorVectors();
    blur->upcoming.next = 0;
    blur->upcoming.left = 0;
    blur->sumCount = sums;
    blur->ringSlots = 0;
    blur->ring = 0;
    blur->columnSums = 0;
    blur->divisors =
        (BlurDivisor*)AllocateBlock(((size_t)radius * 2 + 2 + EdgeDivisorCount(radius)) * sizeof(BlurDivisor));
    if (!blur->divisors || (!growing && !GrowRing(blur, window))) {
        EndRowBlur(blur);
        return false;
    }
    return true;
}

bool StartRowBlur(RowBlur* blur, int32_t width, int32_t rows, int32_t radius, size_t stride) {
    return StartBlur(blur, width, rows, radius, stride, false);
}

bool StartGrowingRowBlur(RowBlur* blur, int32_t width, int32_t rows, int32_t radius, size_t stride) {
    return StartBlur(blur, width, rows, radius, stride, true);
}

void EndRowBlur(RowBlur* blur) {
    ReleaseBlock(blur->ring);
    if (blur->columnSums) ReleaseBlock(blur->columnSums - SumsMargin(blur->radius));
    ReleaseBlock(blur->divisors);
    blur->ring = 0;
    blur->columnSums = 0;
    blur->divisors = 0;
}

static uint8_t* RingRow(RowBlur* blur, int32_t row) {
    return blur->ring + (size_t)(row % blur->window) * blur->slotBytes;
}

// The last input row that output row `row` needs.
static int32_t LastRowNeeded(const RowBlur* blur, int32_t row) {
    return MinInt(row + blur->radius, blur->rows - 1);
}

static bool OutputReady(const RowBlur* blur) {
    return blur->rowsOut < blur->rows && blur->rowsIn > LastRowNeeded(blur, blur->rowsOut);
}

bool OutputRowReady(const RowBlur* blur) {
    return OutputReady(blur);
}

#if defined(__SSE2__)

// The row takes the slot of the row leaving the window (zeros until the ring is full), and the column sums gain
// the one and lose the other in the same pass.
static void ReplaceRow(uint16_t* sums, uint8_t* slot, const uint8_t* row, size_t count) {
    for (size_t k = 0; k < count; ++k) {
        sums[k] = (uint16_t)(sums[k] + row[k] - slot[k]);
        slot[k] = row[k];
    }
}

// Near the bottom no row enters to push the oldest out: it is taken off on its own.
static void SubtractRow(uint16_t* sums, const uint8_t* row, size_t count) {
    for (size_t k = 0; k < count; ++k) sums[k] = (uint16_t)(sums[k] - row[k]);
}

#else

// Without vector units the column sums sit two to a 32-bit word, so that one addition updates two of them: of each
// four sums (bytes k to k + 3 of a row), one word holds those of bytes k and k + 2, the next those of k + 1 and
// k + 3. As 16-bit units that is the order of the row's bytes with the middle two of every four swapped. A word of
// four row bytes (little-endian) then gives the halves of both words with one mask each, and no sum reaches 2^16
// (63 rows of 255), so neither half ever carries into the other.
constexpr size_t SumIndex(size_t byte) {
    return byte ^ (((byte ^ (byte >> 1)) & 1) * 3);
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "row words are split as little-endian");
typedef uint32_t __attribute__((may_alias)) PackedWord;
const uint32_t kEvenBytes = 0x00FF00FFu;

static inline bool WordAligned(const void* p) {
    return ((uintptr_t)p & 3) == 0;
}

// Each ring slot holds its row already split as the column sums are, two 16-bit halves to a word in the same
// order, followed by the row's padding: a row leaving the window is then taken off the sums a word at a time with
// no masking, the masks being paid once, when the row comes in. Slots are word-aligned; a row that is not
// (BlurPixels on a width that is not a multiple of 4) goes a byte at a time.
static inline void ReplaceWord(PackedWord* pairs, PackedWord* leaving, uint32_t in) {
    uint32_t even = in & kEvenBytes, odd = (in >> 8) & kEvenBytes;
    pairs[0] += even - leaving[0];
    pairs[1] += odd - leaving[1];
    leaving[0] = even;
    leaving[1] = odd;
}

#if defined(__arm__)
// The loop below as the compiler does not write it: ARM's multiple loads and stores move the two words of the
// entering row, the four of the leaving one and the four of their sums in five instructions where single ones
// take fourteen, and each pass takes two such steps. At least one pass; the pointers end past the last.
static void ReplaceBlocks(PackedWord** pairs, PackedWord** leaving, const PackedWord** entering, const PackedWord* end) {
    // ldm and stm take registers in ascending order, so the words they move have registers of their own.
    register uint32_t p0 asm("r0"), p1 asm("r1"), p2 asm("r2"), p3 asm("r3");
    register uint32_t q0 asm("r4"), q1 asm("r5"), q2 asm("r6"), q3 asm("r7");
    __asm__ volatile(
        "1:\n"
        ".rept 2\n"
        "ldmia %[sums], {%[p0], %[p1], %[p2], %[p3]}\n"
        "ldmia %[out], {%[q0], %[q1], %[q2], %[q3]}\n"
        "sub %[p0], %[p0], %[q0]\n"
        "sub %[p1], %[p1], %[q1]\n"
        "sub %[p2], %[p2], %[q2]\n"
        "sub %[p3], %[p3], %[q3]\n"
        "ldmia %[in]!, {%[q0], %[q2]}\n"
        "and %[q1], %[mask], %[q0], lsr #8\n"
        "and %[q0], %[q0], %[mask]\n"
        "and %[q3], %[mask], %[q2], lsr #8\n"
        "and %[q2], %[q2], %[mask]\n"
        "stmia %[out]!, {%[q0], %[q1], %[q2], %[q3]}\n"
        "add %[p0], %[p0], %[q0]\n"
        "add %[p1], %[p1], %[q1]\n"
        "add %[p2], %[p2], %[q2]\n"
        "add %[p3], %[p3], %[q3]\n"
        "stmia %[sums]!, {%[p0], %[p1], %[p2], %[p3]}\n"
        ".endr\n"
        "cmp %[in], %[end]\n"
        "bne 1b\n"
        : [sums] "+r"(*pairs), [out] "+r"(*leaving), [in] "+r"(*entering), [p0] "=&r"(p0), [p1] "=&r"(p1),
          [p2] "=&r"(p2), [p3] "=&r"(p3), [q0] "=&r"(q0), [q1] "=&r"(q1), [q2] "=&r"(q2), [q3] "=&r"(q3)
        : [end] "r"(end), [mask] "r"(kEvenBytes)
        : "memory", "cc");
}
#endif

static void ReplaceRow(uint16_t* sums, uint8_t* slotBytes, const uint8_t* row, size_t count) {
    uint16_t* slot = (uint16_t*)slotBytes;
    size_t k = 0;
    if (WordAligned(row)) {
        // Two words a step (two steps a pass on ARM), so that the loop's own count and jump are paid once for eight
        // bytes or more.
        PackedWord* pairs = (PackedWord*)sums;
        const PackedWord* entering = (const PackedWord*)row;
        PackedWord* leaving = (PackedWord*)slot;
        const PackedWord* end = entering + count / 8 * 2;
#if defined(__arm__)
        if ((count / 8) & 1) {
            ReplaceWord(pairs, leaving, entering[0]);
            ReplaceWord(pairs + 2, leaving + 2, entering[1]);
            entering += 2;
            leaving += 4;
            pairs += 4;
        }
        if (entering < end) ReplaceBlocks(&pairs, &leaving, &entering, end);
#endif
        for (; entering < end; entering += 2, leaving += 4, pairs += 4) {
            ReplaceWord(pairs, leaving, entering[0]);
            ReplaceWord(pairs + 2, leaving + 2, entering[1]);
        }
        k = count / 8 * 8;
        if (k + 4 <= count) {
            ReplaceWord(pairs, leaving, *entering);
            k += 4;
        }
    }
    for (; k < count; ++k) {
        size_t j = SumIndex(k);
        sums[j] = (uint16_t)(sums[j] + row[k] - slot[j]);
        slot[j] = row[k];
    }
}

// Near the bottom no row enters to push the oldest out: it is taken off on its own. `slot` is a ring slot, whose
// halves past the row's bytes are zero.
static void SubtractRow(uint16_t* sums, const uint8_t* slot, size_t count) {
    PackedWord* pairs = (PackedWord*)sums;
    const PackedWord* leaving = (const PackedWord*)slot;
    const PackedWord* end = leaving + (count + 3) / 4 * 2;
    for (; leaving < end; leaving += 2, pairs += 2) {
        pairs[0] -= leaving[0];
        pairs[1] -= leaving[1];
    }
}

#endif

bool PushInputRow(RowBlur* blur, const uint8_t* row) {
    // The slot of the next row is still in use until the output row before it has been taken.
    if (blur->rowsIn >= blur->rows || OutputReady(blur)) return false;
    // A growing ring doubles as rows come in, so that what it holds is never more than twice what arrived.
    if (blur->rowsIn >= blur->ringSlots && blur->ringSlots < blur->window &&
        !GrowRing(blur, blur->ringSlots > 0 ? 2 * blur->ringSlots : 1))
        return false;
    uint8_t* slot = RingRow(blur, blur->rowsIn);
    size_t count = (size_t)blur->width * 3;
    size_t done = 0;
#if defined(MISTVANE_WIDE_ROW_BLUR)
    if (blur->vectors >= VectorsAvx512)
        done = ReplaceRowAvx512(blur->columnSums, slot, row, count);
    else if (blur->vectors >= VectorsAvx2)
        done = ReplaceRowAvx2(blur->columnSums, slot, row, count);
#endif
    ReplaceRow(blur->columnSums + done, slot + done, row + done, count - done);
    // The padding is kept to go out with the row.
    memcpy(slot + SlotPadding(blur->width, blur->sumCount), row + count, blur->stride - count);
    blur->rowsIn++;
    if (blur->rowsIn > blur->window) blur->rowsCounted = blur->rowsIn - blur->window;
    return true;
}

void ExpectInputRow(RowBlur* blur, const uint8_t* row) {
    blur->upcoming.next = row;
    blur->upcoming.left = blur->stride;
}

static int32_t WindowColumns(int32_t x, int32_t width, int32_t radius) {
    return MinInt(x + radius, width - 1) - MaxInt(x - radius, 0) + 1;
}

// Divisors for width * windowRows for every window width, made again only when the window height changes (near
// the top and bottom edges).
static void PrepareDivisors(RowBlur* blur, int32_t windowRows) {
    if (blur->divisorRows == windowRows) return;
    for (int32_t columns = 1; columns <= 2 * blur->radius + 1; ++columns)
        blur->divisors[columns] = MakeDivisor((uint32_t)columns, (uint32_t)windowRows);
    blur->divisorRows = windowRows;
#if !defined(__SSE2__)
    // The edge table: the first EdgePixels pixels of the row, then the last (or the whole of a short row).
    int32_t width = blur->width, radius = blur->radius, edge = EdgePixels(radius);
    BlurDivisor* table = blur->divisors + 2 * radius + 2;
    for (int32_t k = 0; k < 2 * edge; ++k) {
        int32_t x = width > 2 * edge && k >= edge ? k + width - 2 * edge : k;
        if (x < width) table[k] = blur->divisors[WindowColumns(x, width, radius)];
    }
#endif
}

#if defined(__SSE2__)

// Pixel x averages the column sums x - radius .. x + radius that lie inside the row. Going from x - 1 to x, column
// x - radius - 1 leaves (once x > radius) and column x + radius enters (while it exists). The row splits into at
// most three stretches where neither changes, and the one in the middle has a single divisor.
struct Stretch {
    int32_t begin, end;
    bool leaves, enters;
};

static int32_t Stretches(int32_t width, int32_t radius, Stretch* stretches) {
    int32_t cuts[4] = {0, MinInt(radius + 1, width), MaxInt(width - radius, 0), width};
    if (cuts[1] > cuts[2]) {
        int32_t t = cuts[1];
        cuts[1] = cuts[2];
        cuts[2] = t;
    }
    int32_t count = 0;
    for (int32_t k = 0; k < 3; ++k) {
        if (cuts[k] == cuts[k + 1]) continue;
        Stretch* s = &stretches[count++];
        s->begin = cuts[k];
        s->end = cuts[k + 1];
        s->leaves = s->begin > radius;
        s->enters = s->begin + radius < width;
    }
    return count;
}

// Three column sums (one pixel's bytes) and a fourth that is ignored, widened to 32-bit lanes.
static inline __m128i LoadPixelSums(const uint16_t* sums, int32_t x) {
    return _mm_unpacklo_epi16(_mm_loadl_epi64((const __m128i*)(sums + 3 * x)), _mm_setzero_si128());
}

// The mean of each lane, packed into the low three bytes (the fourth is a copy of the third lane's, unused).
static inline uint32_t PixelMeans(__m128i total, __m128 divisor) {
    __m128i mean = _mm_cvttps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(total), divisor));
    mean = _mm_packs_epi32(mean, mean);
    return (uint32_t)_mm_cvtsi128_si32(_mm_packus_epi16(mean, mean));
}

static void AverageAlongRow(RowBlur* blur, uint8_t* out) {
    const uint16_t* sums = blur->columnSums;
    int32_t width = blur->width, radius = blur->radius;
    __m128i total = _mm_setzero_si128();
    for (int32_t x = 0; x < MinInt(radius, width); ++x) total = _mm_add_epi32(total, LoadPixelSums(sums, x));
    Stretch stretches[3];
    int32_t count = Stretches(width, radius, stretches);
    for (int32_t k = 0; k < count; ++k) {
        const Stretch s = stretches[k];
        int32_t x = s.begin;
        if (s.leaves && s.enters) {
            // The middle of the row, where nearly all the time goes: one divisor, every pixel followed by another
            // (so four bytes can be stored, the fourth rewritten by the next pixel), and one addition on the
            // running total per pixel, the column change being formed off that chain.
            float divisorValue = blur->divisors[2 * radius + 1];
            int32_t end = MinInt(s.end, width - 1);
#if defined(MISTVANE_WIDE_ROW_BLUR)
            if (blur->vectors >= VectorsAvx2) {
                uint32_t totals[4];
                _mm_storeu_si128((__m128i*)totals, total);
                x = blur->vectors >= VectorsAvx512
                        ? AverageMiddleAvx512(sums, radius, x, end, totals, divisorValue, out, &blur->upcoming)
                        : AverageMiddleAvx2(sums, radius, x, end, totals, divisorValue, out, &blur->upcoming);
                total = _mm_setr_epi32((int)totals[0], (int)totals[1], (int)totals[2], 0);
            }
#endif
            __m128 divisor = _mm_set1_ps(divisorValue);
            const uint16_t* entering = sums + 3 * (x + radius);
            const uint16_t* leaving = sums + 3 * (x - radius - 1);
            uint8_t* pixel = out + 3 * (size_t)x;
            for (; x < end; ++x, entering += 3, leaving += 3, pixel += 3) {
                __m128i change = _mm_sub_epi32(
                    _mm_unpacklo_epi16(_mm_loadl_epi64((const __m128i*)entering), _mm_setzero_si128()),
                    _mm_unpacklo_epi16(_mm_loadl_epi64((const __m128i*)leaving), _mm_setzero_si128()));
                total = _mm_add_epi32(total, change);
                uint32_t bytes = PixelMeans(total, divisor);
                memcpy(pixel, &bytes, 4);
            }
        }
        for (; x < s.end; ++x) {
            if (s.enters) total = _mm_add_epi32(total, LoadPixelSums(sums, x + radius));
            if (s.leaves) total = _mm_sub_epi32(total, LoadPixelSums(sums, x - radius - 1));
            uint32_t bytes = PixelMeans(total, _mm_set1_ps(blur->divisors[WindowColumns(x, width, radius)]));
            // The last pixel of the row writes only its own three bytes.
            memcpy(out + 3 * (size_t)x, &bytes, x + 1 < width ? 4 : 3);
        }
    }
}

#else

// The three window sums of one pixel, moved by a column's sums entering or leaving.
struct PixelTotals {
    uint32_t t0, t1, t2;
};

static inline void AddColumn(PixelTotals* t, const uint16_t* sums, int32_t x) {
    size_t byte = 3 * (size_t)x;
    t->t0 += sums[SumIndex(byte)];
    t->t1 += sums[SumIndex(byte + 1)];
    t->t2 += sums[SumIndex(byte + 2)];
}

static inline void SubtractColumn(PixelTotals* t, const uint16_t* sums, int32_t x) {
    size_t byte = 3 * (size_t)x;
    t->t0 -= sums[SumIndex(byte)];
    t->t1 -= sums[SumIndex(byte + 1)];
    t->t2 -= sums[SumIndex(byte + 2)];
}

static inline void WriteMeans(const PixelTotals* t, BlurDivisor divisor, uint8_t* pixel) {
    pixel[0] = (uint8_t)DivideByReciprocal(t->t0, divisor);
    pixel[1] = (uint8_t)DivideByReciprocal(t->t1, divisor);
    pixel[2] = (uint8_t)DivideByReciprocal(t->t2, divisor);
}

// A total back from total * reciprocal (as the middle loop carries it): the high word is total / count, and the low
// word is 2^32 times (total % count) / count plus total * (reciprocal * count - 2^32) / count, under 2^32 / count
// more, less what the word's truncation dropped; one more than it, times count, then lies between remainder * 2^32
// and (remainder + 1) * 2^32.
static inline uint32_t TotalFromProduct(uint64_t product, uint32_t count) {
    uint32_t quotient = (uint32_t)(product >> 32);
    uint64_t fraction = (uint32_t)product;
    return quotient * count + (uint32_t)(((fraction + 1) * count) >> 32);
}

// The loops below go four pixels at a time from x, a multiple of 4. Four pixels are twelve bytes, three whole
// groups of packed sums, so the bytes entering and leaving fall at the same places within the groups in every
// block: where depends only on the radius modulo 4, given as Phase, and with it every load has a fixed offset from
// `in` and `off`, the groups holding the first byte entering and the first leaving. The sums' zero margins stand
// for the columns beyond the row.
template <int Phase>
struct BlockSums {
    static const size_t kIn = (3 * Phase) & 3;
    static const size_t kOut = (4 - (3 * (Phase + 1)) % 4) % 4;
    const uint16_t* in;
    const uint16_t* off;
    BlockSums(const uint16_t* sums, int32_t radius, int32_t x)
        : in(sums + (3 * (ptrdiff_t)(x + radius) - (ptrdiff_t)kIn)),
          off(sums + (3 * (ptrdiff_t)(x - radius - 1) - (ptrdiff_t)kOut)) {}
};
#define MISTVANE_IN(b, p, c) (b).in[SumIndex((b).kIn + 3 * (p) + (c))]
#define MISTVANE_OUT(b, p, c) (b).off[SumIndex((b).kOut + 3 * (p) + (c))]

// The totals of pixel x - 1 for x = -RoundUp4(radius) up to 0, whose windows hold only columns entering: from zero
// (the window of the first lies wholly left of the row) to those of the columns 0 .. radius - 1.
template <int Phase>
static void GatherFirstColumns(const uint16_t* sums, int32_t radius, PixelTotals* totals) {
    int32_t x = -((radius + 3) & ~3);
    BlockSums<Phase> b(sums, radius, x);
    uint32_t t0 = 0, t1 = 0, t2 = 0;
    for (; x < 0; x += 4, b.in += 12) {
        for (int p = 0; p < 4; ++p) {
            t0 += MISTVANE_IN(b, p, 0);
            t1 += MISTVANE_IN(b, p, 1);
            t2 += MISTVANE_IN(b, p, 2);
        }
    }
    totals->t0 = t0;
    totals->t1 = t1;
    totals->t2 = t2;
}

// Near the edges: each pixel its own divisor, divisors[k] being pixel x + k's. Returns the first pixel not done.
template <int Phase>
static int32_t AverageEdgeBlocks(const uint16_t* sums, int32_t radius, int32_t x, int32_t end, PixelTotals* totals,
                                 const BlurDivisor* divisors, uint8_t* out) {
    BlockSums<Phase> b(sums, radius, x);
    uint8_t* pixel = out + 3 * (size_t)x;
    uint32_t t0 = totals->t0, t1 = totals->t1, t2 = totals->t2;
    for (; x + 4 <= end; x += 4, b.in += 12, b.off += 12, pixel += 12, divisors += 4) {
        for (int p = 0; p < 4; ++p) {
            BlurDivisor divisor = divisors[p];
            t0 += MISTVANE_IN(b, p, 0) - MISTVANE_OUT(b, p, 0);
            t1 += MISTVANE_IN(b, p, 1) - MISTVANE_OUT(b, p, 1);
            t2 += MISTVANE_IN(b, p, 2) - MISTVANE_OUT(b, p, 2);
            pixel[3 * p] = (uint8_t)DivideByReciprocal(t0, divisor);
            pixel[3 * p + 1] = (uint8_t)DivideByReciprocal(t1, divisor);
            pixel[3 * p + 2] = (uint8_t)DivideByReciprocal(t2, divisor);
        }
    }
    totals->t0 = t0;
    totals->t1 = t1;
    totals->t2 = t2;
    return x;
}

// The middle of a row, where every window is whole: each channel's total is carried already multiplied by the
// reciprocal, in 64 bits (total * reciprocal is exact, below 2^41), so that one multiply-accumulate of a column's
// change (ARM's SMLAL) both slides the window and divides, the high word being the mean. The reciprocal is below
// 2^31 here (the count is at least 3), so it multiplies as a signed value. Returns the first pixel not done, with
// the totals brought back.
template <int Phase>
static inline void AverageMiddleBlock(const BlockSums<Phase>& b, int32_t reciprocal, int64_t* a0, int64_t* a1,
                                      int64_t* a2, uint8_t* pixel) {
    for (int p = 0; p < 4; ++p) {
        *a0 += (int64_t)((int32_t)MISTVANE_IN(b, p, 0) - MISTVANE_OUT(b, p, 0)) * reciprocal;
        pixel[3 * p] = (uint8_t)(*a0 >> 32);
        *a1 += (int64_t)((int32_t)MISTVANE_IN(b, p, 1) - MISTVANE_OUT(b, p, 1)) * reciprocal;
        pixel[3 * p + 1] = (uint8_t)(*a1 >> 32);
        *a2 += (int64_t)((int32_t)MISTVANE_IN(b, p, 2) - MISTVANE_OUT(b, p, 2)) * reciprocal;
        pixel[3 * p + 2] = (uint8_t)(*a2 >> 32);
    }
}

// The middle of a row, where every window is whole: each channel's total is carried already multiplied by the
// reciprocal, in 64 bits (total * reciprocal is exact, below 2^41), so that one multiply-accumulate of a column's
// change (ARM's SMLAL) both slides the window and divides, the high word being the mean. The reciprocal is below
// 2^31 here (the count is at least 3), so it multiplies as a signed value. Two blocks a step, so that the loop's
// own work is paid once for eight pixels. Returns the first pixel not done, with the totals brought back.
template <int Phase>
static int32_t AverageMiddleBlocks(const uint16_t* sums, int32_t radius, int32_t x, int32_t end, PixelTotals* totals,
                                   BlurDivisor divisor, uint32_t count, uint8_t* out) {
    int32_t blocks = (end - x) / 4;
    if (blocks <= 0) return x;
    BlockSums<Phase> b(sums, radius, x);
    uint8_t* pixel = out + 3 * (size_t)x;
    uint8_t* stop = pixel + 24 * (size_t)(blocks / 2);
    const int32_t reciprocal = (int32_t)divisor;
    int64_t a0 = (int64_t)((uint64_t)totals->t0 * divisor);
    int64_t a1 = (int64_t)((uint64_t)totals->t1 * divisor);
    int64_t a2 = (int64_t)((uint64_t)totals->t2 * divisor);
    for (; pixel != stop; pixel += 24) {
        AverageMiddleBlock(b, reciprocal, &a0, &a1, &a2, pixel);
        b.in += 12;
        b.off += 12;
        AverageMiddleBlock(b, reciprocal, &a0, &a1, &a2, pixel + 12);
        b.in += 12;
        b.off += 12;
    }
    if (blocks & 1) AverageMiddleBlock(b, reciprocal, &a0, &a1, &a2, pixel);
    totals->t0 = TotalFromProduct((uint64_t)a0, count);
    totals->t1 = TotalFromProduct((uint64_t)a1, count);
    totals->t2 = TotalFromProduct((uint64_t)a2, count);
    return x + 4 * blocks;
}
#undef MISTVANE_IN
#undef MISTVANE_OUT

template <int Phase>
static int32_t AverageBlocks(RowBlur* blur, uint8_t* out) {
    const uint16_t* sums = blur->columnSums;
    int32_t width = blur->width, radius = blur->radius, edge = EdgePixels(radius);
    const BlurDivisor* table = blur->divisors + 2 * radius + 2;
    PixelTotals totals;
    GatherFirstColumns<Phase>(sums, radius, &totals);
    // The left edge up to the first multiple of 4 past the radius, the middle while whole windows last, then the
    // right edge in whole blocks; the edge table's second half covers the last `edge` pixels of a long row.
    int32_t x = AverageEdgeBlocks<Phase>(sums, radius, 0, MinInt((radius + 3) & ~3, width), &totals, table, out);
    x = AverageMiddleBlocks<Phase>(sums, radius, x, width - radius, &totals, blur->divisors[2 * radius + 1],
                                   (uint32_t)((2 * radius + 1) * blur->divisorRows), out);
    const BlurDivisor* right = width > 2 * edge && x >= edge ? table + x - (width - 2 * edge) : table + x;
    x = AverageEdgeBlocks<Phase>(sums, radius, x, width, &totals, right, out);
    // The last pixels of a row whose width is not a multiple of 4, one at a time.
    for (; x < width; ++x) {
        AddColumn(&totals, sums, x + radius);
        SubtractColumn(&totals, sums, x - radius - 1);
        WriteMeans(&totals, blur->divisors[WindowColumns(x, width, radius)], out + 3 * (size_t)x);
    }
    return x;
}

static void AverageAlongRow(RowBlur* blur, uint8_t* out) {
    const uint16_t* sums = blur->columnSums;
    int32_t width = blur->width, radius = blur->radius;
    if (radius == 0) {
        // Each window is one pixel of one row: its sums are its bytes.
        for (size_t k = 0; k < (size_t)width * 3; ++k) out[k] = (uint8_t)sums[SumIndex(k)];
        return;
    }
    switch (radius & 3) {
    case 0: AverageBlocks<0>(blur, out); break;
    case 1: AverageBlocks<1>(blur, out); break;
    case 2: AverageBlocks<2>(blur, out); break;
    default: AverageBlocks<3>(blur, out); break;
    }
}

#endif

bool PopOutputRow(RowBlur* blur, uint8_t* out) {
    if (!OutputReady(blur)) return false;
    int32_t row = blur->rowsOut;
    int32_t first = MaxInt(row - blur->radius, 0);
    for (; blur->rowsCounted < first; blur->rowsCounted++)
        SubtractRow(blur->columnSums, RingRow(blur, blur->rowsCounted), (size_t)blur->width * 3);
    PrepareDivisors(blur, LastRowNeeded(blur, row) - first + 1);
    AverageAlongRow(blur, out);
    // Whatever of the expected row the loops did not ask for is asked for now.
    PrefetchRest(&blur->upcoming);
    // Padding travels with its row unchanged.
    size_t count = (size_t)blur->width * 3;
    const uint8_t* source = RingRow(blur, row) + SlotPadding(blur->width, blur->sumCount);
    for (size_t k = count; k < blur->stride; ++k) out[k] = source[k - count];
    blur->rowsOut++;
    return true;
}
