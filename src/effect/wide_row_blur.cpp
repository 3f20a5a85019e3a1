#include "wide_row_blur.h"

#if defined(MISTVANE_WIDE_ROW_BLUR)

// GCC 12 takes the undefined upper lanes some 512-bit intrinsics start from for uninitialised variables.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

// Along a row each byte's window total is the total three bytes (one pixel) earlier, plus the column entering and
// minus the column leaving. That chain is turned into a prefix sum over the changes, taken lane-parallel within
// blocks of three vectors, which hold whole pixels: each lane gains the lanes of its channel before it in the block
// (strides 3, 6, 12, ...: one, two, four pixels back) and the totals carried from the blocks before. A block's
// prefix is a deep chain of shuffles, each waiting on the one before, so the loops keep several independent ones
// going: the processor runs the others' while one's wait.

#define AVX2 __attribute__((target("avx2")))
#define AVX512 __attribute__((target("avx512f,avx512bw")))

AVX2 size_t ReplaceRowAvx2(uint16_t* sums, uint8_t* slot, const uint8_t* row, size_t count) {
    size_t k = 0;
    for (; k + 16 <= count; k += 16) {
        __m128i entering = _mm_loadu_si128((const __m128i*)(row + k));
        __m128i leaving = _mm_loadu_si128((const __m128i*)(slot + k));
        _mm_storeu_si128((__m128i*)(slot + k), entering);
        __m256i change = _mm256_sub_epi16(_mm256_cvtepu8_epi16(entering), _mm256_cvtepu8_epi16(leaving));
        __m256i s = _mm256_loadu_si256((const __m256i*)(sums + k));
        _mm256_storeu_si256((__m256i*)(sums + k), _mm256_add_epi16(s, change));
    }
    return k;
}

// The 32 bytes from `k` on (those `kept` selects) enter and leave the column sums.
AVX512 static inline void ReplaceBytes32(uint16_t* sums, uint8_t* slot, const uint8_t* row, size_t k,
                                         __mmask32 kept) {
    __m256i entering = _mm512_castsi512_si256(_mm512_maskz_loadu_epi8(kept, row + k));
    __m256i leaving = _mm512_castsi512_si256(_mm512_maskz_loadu_epi8(kept, slot + k));
    _mm512_mask_storeu_epi8(slot + k, kept, _mm512_castsi256_si512(entering));
    __m512i change = _mm512_sub_epi16(_mm512_cvtepu8_epi16(entering), _mm512_cvtepu8_epi16(leaving));
    _mm512_mask_storeu_epi16(sums + k, kept, _mm512_add_epi16(_mm512_maskz_loadu_epi16(kept, sums + k), change));
}

AVX512 size_t ReplaceRowAvx512(uint16_t* sums, uint8_t* slot, const uint8_t* row, size_t count) {
    // The sums before their first cache-line boundary go under a mask, so that every later access to them is
    // a whole line: one split between two lines takes about half as long again.
    size_t k = (64 - ((uintptr_t)sums & 63)) % 64 / sizeof(uint16_t);
    if (k > count) k = count;
    if (k > 0) ReplaceBytes32(sums, slot, row, 0, (__mmask32)((1u << k) - 1));
    for (; k + 32 <= count; k += 32) {
        __m256i entering = _mm256_loadu_si256((const __m256i*)(row + k));
        __m256i leaving = _mm256_loadu_si256((const __m256i*)(slot + k));
        _mm256_storeu_si256((__m256i*)(slot + k), entering);
        __m512i change = _mm512_sub_epi16(_mm512_cvtepu8_epi16(entering), _mm512_cvtepu8_epi16(leaving));
        _mm512_store_si512(sums + k, _mm512_add_epi16(_mm512_load_si512(sums + k), change));
    }
    return k;
}

// --- 256 bits: eight lanes, blocks of 24 bytes (8 pixels) ---

// The lanes moved up to `places`, those below cleared by `kept`.
AVX2 static inline __m256i ShiftUp8(__m256i v, __m256i places, __m256i kept) {
    return _mm256_and_si256(_mm256_permutevar8x32_epi32(v, places), kept);
}

AVX2 static inline __m256i LanePrefix8(__m256i v) {
    const __m256i up3 = _mm256_setr_epi32(0, 0, 0, 0, 1, 2, 3, 4);
    const __m256i from3 = _mm256_setr_epi32(0, 0, 0, -1, -1, -1, -1, -1);
    const __m256i up6 = _mm256_setr_epi32(0, 0, 0, 0, 0, 0, 0, 1);
    const __m256i from6 = _mm256_setr_epi32(0, 0, 0, 0, 0, 0, -1, -1);
    v = _mm256_add_epi32(v, ShiftUp8(v, up3, from3));
    return _mm256_add_epi32(v, ShiftUp8(v, up6, from6));
}

// A column sum is at most 63 * 255, so the difference of two fits in 16 bits and is widened once.
AVX2 static inline __m256i Changes8(const uint16_t* entering, const uint16_t* leaving) {
    return _mm256_cvtepi16_epi32(
        _mm_sub_epi16(_mm_loadu_si128((const __m128i*)entering), _mm_loadu_si128((const __m128i*)leaving)));
}

AVX2 static inline __m256i Means8(__m256i totals, __m256 divisor) {
    return _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(totals), divisor));
}

// The carried totals are added after a block's prefix, rearranged for each of its vectors: the chain from block to
// block is then one addition, and the two blocks of a step have independent prefixes.
struct Block8 {
    __m256i v0, v1, v2;
};

// Lane j of the next vector continues the channel of lane 5 + j % 3 of this one (8 = 2 mod 3).
AVX2 static inline __m256i LastOfChannel8(__m256i v) {
    return _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(5, 6, 7, 5, 6, 7, 5, 6));
}

// The changes of a block, each lane summed with its channel's lanes before it in the block.
AVX2 static inline Block8 PrefixBlock8(const uint16_t* entering, const uint16_t* leaving) {
    Block8 b;
    b.v0 = LanePrefix8(Changes8(entering, leaving));
    b.v1 = LanePrefix8(Changes8(entering + 8, leaving + 8));
    b.v2 = LanePrefix8(Changes8(entering + 16, leaving + 16));
    b.v1 = _mm256_add_epi32(b.v1, LastOfChannel8(b.v0));
    b.v2 = _mm256_add_epi32(b.v2, LastOfChannel8(b.v1));
    return b;
}

// Writes the block's means, given the totals carried from before it (lane j holding channel j % 3), and carries
// them past it.
AVX2 static inline void StoreBlock8(const Block8* b, __m256i* carried, __m256 divisor, uint8_t* pixel) {
    // The carried totals rearranged for the block's second and third vectors.
    const __m256i secondVector = _mm256_setr_epi32(2, 0, 1, 2, 0, 1, 2, 0);
    const __m256i thirdVector = _mm256_setr_epi32(1, 2, 0, 1, 2, 0, 1, 2);
    const __m256i packOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    __m256i v0 = _mm256_add_epi32(b->v0, *carried);
    __m256i v1 = _mm256_add_epi32(b->v1, _mm256_permutevar8x32_epi32(*carried, secondVector));
    __m256i v2 = _mm256_add_epi32(b->v2, _mm256_permutevar8x32_epi32(*carried, thirdVector));
    *carried = _mm256_add_epi32(*carried, LastOfChannel8(b->v2));
    __m256i m0 = Means8(v0, divisor), m1 = Means8(v1, divisor), m2 = Means8(v2, divisor);
    // Means are 0..255, so packing never saturates; the permutation undoes the packs' 128-bit halves.
    __m256i bytes = _mm256_packus_epi16(_mm256_packus_epi32(m0, m1), _mm256_packus_epi32(m2, m2));
    bytes = _mm256_permutevar8x32_epi32(bytes, packOrder);
    _mm_storeu_si128((__m128i*)pixel, _mm256_castsi256_si128(bytes));
    _mm_storel_epi64((__m128i*)(pixel + 16), _mm256_extracti128_si256(bytes, 1));
}

AVX2 int32_t AverageMiddleAvx2(const uint16_t* sums, int32_t radius, int32_t x, int32_t end, uint32_t totals[3],
                               float divisorValue, uint8_t* out, PrefetchCursor* upcoming) {
    const int32_t kBlock = 8;
    if (end - x < kBlock) return x;
    const __m256 divisor = _mm256_set1_ps(divisorValue);
    __m256i carried = _mm256_setr_epi32((int)totals[0], (int)totals[1], (int)totals[2], (int)totals[0],
                                        (int)totals[1], (int)totals[2], (int)totals[0], (int)totals[1]);
    const uint16_t* entering = sums + 3 * (x + radius);
    const uint16_t* leaving = sums + 3 * (x - radius - 1);
    uint8_t* pixel = out + 3 * (size_t)x;
    // Kept in a local: stores through `out` could otherwise alias the cursor and force it back to memory.
    PrefetchCursor fetch = *upcoming;
    for (; end - x >= 2 * kBlock; x += 2 * kBlock, entering += 48, leaving += 48, pixel += 48) {
        PrefetchLine(&fetch);
        PrefetchLine(&fetch);
        Block8 first = PrefixBlock8(entering, leaving);
        Block8 second = PrefixBlock8(entering + 24, leaving + 24);
        StoreBlock8(&first, &carried, divisor, pixel);
        StoreBlock8(&second, &carried, divisor, pixel + 24);
    }
    if (end - x >= kBlock) {
        PrefetchLine(&fetch);
        Block8 last = PrefixBlock8(entering, leaving);
        StoreBlock8(&last, &carried, divisor, pixel);
        x += kBlock;
    }
    *upcoming = fetch;
    totals[0] = (uint32_t)_mm256_extract_epi32(carried, 0);
    totals[1] = (uint32_t)_mm256_extract_epi32(carried, 1);
    totals[2] = (uint32_t)_mm256_extract_epi32(carried, 2);
    return x;
}

// --- 512 bits: sixteen lanes, blocks of 48 bytes (16 pixels) ---

// The block's three vectors as one run of 48 lanes, each lane gaining those 3, 6, 12 and 24 before it in the run:
// every lane then holds the sum of its channel's lanes up to it. Shifting across the vectors keeps the depth at
// four steps; a prefix within each vector and then from vector to vector would take seven.
struct Block16 {
    __m512i v0, v1, v2;
};

AVX512 static inline void ShiftAndAdd(Block16* b, int places) {
    const __m512i zero = _mm512_setzero_si512();
    __m512i s0 = zero, s1, s2;
    // alignr takes a constant count: the cases below fold to one instruction each.
    switch (places) {
    case 3:
        s0 = _mm512_alignr_epi32(b->v0, zero, 13);
        s1 = _mm512_alignr_epi32(b->v1, b->v0, 13);
        s2 = _mm512_alignr_epi32(b->v2, b->v1, 13);
        break;
    case 6:
        s0 = _mm512_alignr_epi32(b->v0, zero, 10);
        s1 = _mm512_alignr_epi32(b->v1, b->v0, 10);
        s2 = _mm512_alignr_epi32(b->v2, b->v1, 10);
        break;
    case 12:
        s0 = _mm512_alignr_epi32(b->v0, zero, 4);
        s1 = _mm512_alignr_epi32(b->v1, b->v0, 4);
        s2 = _mm512_alignr_epi32(b->v2, b->v1, 4);
        break;
    default:  // 24: a lane of the first vector has nothing that far back
        s1 = _mm512_alignr_epi32(b->v0, zero, 8);
        s2 = _mm512_alignr_epi32(b->v1, b->v0, 8);
        break;
    }
    b->v0 = _mm512_add_epi32(b->v0, s0);
    b->v1 = _mm512_add_epi32(b->v1, s1);
    b->v2 = _mm512_add_epi32(b->v2, s2);
}

AVX512 static inline __m512i Changes16(const uint16_t* entering, const uint16_t* leaving) {
    return _mm512_cvtepi16_epi32(_mm256_sub_epi16(_mm256_loadu_si256((const __m256i*)entering),
                                                  _mm256_loadu_si256((const __m256i*)leaving)));
}

AVX512 static inline Block16 LoadChanges(const uint16_t* entering, const uint16_t* leaving) {
    Block16 b = {Changes16(entering, leaving), Changes16(entering + 16, leaving + 16),
                 Changes16(entering + 32, leaving + 32)};
    return b;
}

// A total times the divisor (the smallest float not below 1 / count), taken exactly and added to 2^23 with one
// rounding down, is 2^23 + floor(total / count): the product exceeds total / count by at most 2^-23 of it, under
// 3.1e-5 for a mean up to 255, less than the 1 / count (over 2.5e-4) by which a fraction total / count falls
// short of the next integer; and from 2^23 to 2^24 the floats are the integers. The mean is then the low byte of
// the float's bits, which narrowing to bytes keeps, so no conversion back to integers is needed.
AVX512 static inline __m128i MeanBytes16(__m512i totals, __m512 divisor) {
    __m512 shifted = _mm512_fmadd_round_ps(_mm512_cvtepi32_ps(totals), divisor, _mm512_set1_ps(8388608.0f),
                                           _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    return _mm512_cvtepi32_epi8(_mm512_castps_si512(shifted));
}

AVX512 static inline void PrefixBlock(Block16* b) {
    ShiftAndAdd(b, 3);
    ShiftAndAdd(b, 6);
    ShiftAndAdd(b, 12);
    ShiftAndAdd(b, 24);
}

// The totals carried into a block enter as one more change on its first pixel (lanes 0, 1, 2 of its first
// vector), and the prefix takes them to every lane; they leave in lanes 13, 14, 15 of its last vector, moved to
// lanes 0, 1, 2. That costs one shuffle a block (adding them after the prefix, in each vector's arrangement of
// the channels, would take three), but it puts the whole prefix on the chain from each block to the next: see
// AverageMiddleAvx512.
AVX512 static inline void PrefixAfter(Block16* b, __m512i carried) {
    b->v0 = _mm512_add_epi32(b->v0, carried);
    PrefixBlock(b);
}

AVX512 static inline __m512i CarriedPast(const Block16* b) {
    return _mm512_alignr_epi32(_mm512_setzero_si512(), b->v2, 13);
}

AVX512 static inline void StoreMeans(const Block16* b, __m512 divisor, uint8_t* pixel) {
    _mm_storeu_si128((__m128i*)pixel, MeanBytes16(b->v0, divisor));
    _mm_storeu_si128((__m128i*)(pixel + 16), MeanBytes16(b->v1, divisor));
    _mm_storeu_si128((__m128i*)(pixel + 32), MeanBytes16(b->v2, divisor));
}

// Lanes 0, 1, 2 hold the three totals, the others 0.
AVX512 static inline __m512i CarriedTotals(const uint32_t totals[3]) {
    return _mm512_castsi128_si512(_mm_setr_epi32((int)totals[0], (int)totals[1], (int)totals[2], 0));
}

AVX512 int32_t AverageMiddleAvx512(const uint16_t* sums, int32_t radius, int32_t x, int32_t end,
                                   uint32_t totals[3], float divisorValue, uint8_t* out, PrefetchCursor* upcoming) {
    const int32_t kBlock = 16;
    // With the whole prefix on the chain from block to block, one chain is slow. So the middle is cut into
    // kChains stretches of whole blocks, each starting from the totals of the pixel before it summed directly
    // (2 * radius + 1 columns), and the chains of the stretches run side by side, a block of each a step.
    const int32_t kChains = 4;
    const __m512 divisor = _mm512_set1_ps(divisorValue);
    __m512i carried = CarriedTotals(totals);
    // Kept in a local: stores through `out` could otherwise alias the cursor and force it back to memory.
    PrefetchCursor fetch = *upcoming;
    int32_t steps = (end - x) / (kChains * kBlock);
    if (steps > 0) {
        const size_t stretch = (size_t)steps * kBlock * 3;  // column sums, and bytes out, a stretch
        __m512i chains[kChains];
        chains[0] = carried;
        for (int32_t c = 1; c < kChains; ++c) {
            int32_t before = x + c * steps * kBlock - 1;
            uint32_t start[3] = {0, 0, 0};
            for (const uint16_t* column = sums + 3 * (before - radius); column <= sums + 3 * (before + radius);
                 column += 3) {
                start[0] += column[0];
                start[1] += column[1];
                start[2] += column[2];
            }
            chains[c] = CarriedTotals(start);
        }
        const uint16_t* entering = sums + 3 * (x + radius);
        const uint16_t* leaving = sums + 3 * (x - radius - 1);
        uint8_t* pixel = out + 3 * (size_t)x;
        for (int32_t step = 0; step < steps; ++step, entering += 48, leaving += 48, pixel += 48) {
            Block16 blocks[kChains];
#pragma GCC unroll 4
            for (int32_t c = 0; c < kChains; ++c) {
                PrefetchLine(&fetch);
                blocks[c] = LoadChanges(entering + c * stretch, leaving + c * stretch);
            }
#pragma GCC unroll 4
            for (int32_t c = 0; c < kChains; ++c) PrefixAfter(&blocks[c], chains[c]);
#pragma GCC unroll 4
            for (int32_t c = 0; c < kChains; ++c) {
                StoreMeans(&blocks[c], divisor, pixel + c * stretch);
                chains[c] = CarriedPast(&blocks[c]);
            }
        }
        x += kChains * steps * kBlock;
        carried = chains[kChains - 1];
    }
    // Fewer than kChains blocks are left: one chain.
    const uint16_t* entering = sums + 3 * (x + radius);
    const uint16_t* leaving = sums + 3 * (x - radius - 1);
    uint8_t* pixel = out + 3 * (size_t)x;
    for (; end - x >= kBlock; x += kBlock, entering += 48, leaving += 48, pixel += 48) {
        PrefetchLine(&fetch);
        Block16 block = LoadChanges(entering, leaving);
        PrefixAfter(&block, carried);
        StoreMeans(&block, divisor, pixel);
        carried = CarriedPast(&block);
    }
    *upcoming = fetch;
    uint32_t lanes[16];
    _mm512_storeu_si512(lanes, carried);
    totals[0] = lanes[0];
    totals[1] = lanes[1];
    totals[2] = lanes[2];
    return x;
}

#endif
