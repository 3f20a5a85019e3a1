#include "wide_row_blur.h"

#if defined(MISTVANE_WIDE_ROW_BLUR)

// GCC 12 takes the undefined upper lanes some 512-bit intrinsics start from for uninitialised variables.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

// Along a row each byte's window total is the total three bytes (one pixel) earlier, plus the column entering and
// minus the column leaving. That chain is turned into a prefix sum over the changes, taken lane-parallel: each
// vector first sums its own lanes at strides 3, 6, 12 (the same channel one, two, four pixels back), then adds the
// running totals carried from before it. Blocks of three vectors hold whole pixels, so the carried totals come
// back to the same lane arrangement every block and the only chain from block to block is one addition.

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

AVX512 size_t ReplaceRowAvx512(uint16_t* sums, uint8_t* slot, const uint8_t* row, size_t count) {
    size_t k = 0;
    for (; k + 32 <= count; k += 32) {
        __m256i entering = _mm256_loadu_si256((const __m256i*)(row + k));
        __m256i leaving = _mm256_loadu_si256((const __m256i*)(slot + k));
        _mm256_storeu_si256((__m256i*)(slot + k), entering);
        __m512i change = _mm512_sub_epi16(_mm512_cvtepu8_epi16(entering), _mm512_cvtepu8_epi16(leaving));
        _mm512_storeu_si512(sums + k, _mm512_add_epi16(_mm512_loadu_si512(sums + k), change));
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

AVX2 int32_t AverageMiddleAvx2(const uint16_t* sums, int32_t radius, int32_t x, int32_t end, uint32_t totals[3],
                               float divisorValue, uint8_t* out, PrefetchCursor* upcoming) {
    const int32_t kBlock = 8;
    if (end - x < kBlock) return x;
    // Lane j of the next vector continues the channel of lane 5 + j % 3 of this one (8 = 2 mod 3).
    const __m256i lastOfChannel = _mm256_setr_epi32(5, 6, 7, 5, 6, 7, 5, 6);
    // The carried totals, lane j holding channel j % 3, rearranged for the block's second and third vectors.
    const __m256i secondVector = _mm256_setr_epi32(2, 0, 1, 2, 0, 1, 2, 0);
    const __m256i thirdVector = _mm256_setr_epi32(1, 2, 0, 1, 2, 0, 1, 2);
    const __m256i packOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256 divisor = _mm256_set1_ps(divisorValue);
    __m256i carried = _mm256_setr_epi32((int)totals[0], (int)totals[1], (int)totals[2], (int)totals[0],
                                        (int)totals[1], (int)totals[2], (int)totals[0], (int)totals[1]);
    const uint16_t* entering = sums + 3 * (x + radius);
    const uint16_t* leaving = sums + 3 * (x - radius - 1);
    uint8_t* pixel = out + 3 * (size_t)x;
    // Kept in a local: stores through `out` could otherwise alias the cursor and force it back to memory.
    PrefetchCursor fetch = *upcoming;
    for (; end - x >= kBlock; x += kBlock, entering += 24, leaving += 24, pixel += 24) {
        PrefetchLine(&fetch);
        __m256i t0 = LanePrefix8(Changes8(entering, leaving));
        __m256i t1 = LanePrefix8(Changes8(entering + 8, leaving + 8));
        __m256i t2 = LanePrefix8(Changes8(entering + 16, leaving + 16));
        t1 = _mm256_add_epi32(t1, _mm256_permutevar8x32_epi32(t0, lastOfChannel));
        t2 = _mm256_add_epi32(t2, _mm256_permutevar8x32_epi32(t1, lastOfChannel));
        __m256i v0 = _mm256_add_epi32(t0, carried);
        __m256i v1 = _mm256_add_epi32(t1, _mm256_permutevar8x32_epi32(carried, secondVector));
        __m256i v2 = _mm256_add_epi32(t2, _mm256_permutevar8x32_epi32(carried, thirdVector));
        carried = _mm256_add_epi32(carried, _mm256_permutevar8x32_epi32(t2, lastOfChannel));
        __m256i m0 = Means8(v0, divisor), m1 = Means8(v1, divisor), m2 = Means8(v2, divisor);
        // Means are 0..255, so packing never saturates; the permutation undoes the packs' 128-bit halves.
        __m256i bytes = _mm256_packus_epi16(_mm256_packus_epi32(m0, m1), _mm256_packus_epi32(m2, m2));
        bytes = _mm256_permutevar8x32_epi32(bytes, packOrder);
        _mm_storeu_si128((__m128i*)pixel, _mm256_castsi256_si128(bytes));
        _mm_storel_epi64((__m128i*)(pixel + 16), _mm256_extracti128_si256(bytes, 1));
    }
    *upcoming = fetch;
    totals[0] = (uint32_t)_mm256_extract_epi32(carried, 0);
    totals[1] = (uint32_t)_mm256_extract_epi32(carried, 1);
    totals[2] = (uint32_t)_mm256_extract_epi32(carried, 2);
    return x;
}

// --- 512 bits: sixteen lanes, blocks of 48 bytes (16 pixels) ---

AVX512 static inline __m512i LanePrefix16(__m512i v) {
    const __m512i zero = _mm512_setzero_si512();
    v = _mm512_add_epi32(v, _mm512_alignr_epi32(v, zero, 16 - 3));
    v = _mm512_add_epi32(v, _mm512_alignr_epi32(v, zero, 16 - 6));
    return _mm512_add_epi32(v, _mm512_alignr_epi32(v, zero, 16 - 12));
}

AVX512 static inline __m512i Changes16(const uint16_t* entering, const uint16_t* leaving) {
    return _mm512_cvtepi16_epi32(_mm256_sub_epi16(_mm256_loadu_si256((const __m256i*)entering),
                                                  _mm256_loadu_si256((const __m256i*)leaving)));
}

AVX512 static inline __m128i MeanBytes16(__m512i totals, __m512 divisor) {
    return _mm512_cvtepi32_epi8(_mm512_cvttps_epi32(_mm512_mul_ps(_mm512_cvtepi32_ps(totals), divisor)));
}

AVX512 int32_t AverageMiddleAvx512(const uint16_t* sums, int32_t radius, int32_t x, int32_t end,
                                   uint32_t totals[3], float divisorValue, uint8_t* out, PrefetchCursor* upcoming) {
    const int32_t kBlock = 16;
    if (end - x < kBlock) return x;
    // Lane j of the next vector continues the channel of lane 13 + j % 3 of this one (16 = 1 mod 3).
    const __m512i lastOfChannel = _mm512_setr_epi32(13, 14, 15, 13, 14, 15, 13, 14, 15, 13, 14, 15, 13, 14, 15, 13);
    const __m512i secondVector = _mm512_setr_epi32(1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1);
    const __m512i thirdVector = _mm512_setr_epi32(2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2);
    const __m512 divisor = _mm512_set1_ps(divisorValue);
    __m512i carried = _mm512_permutexvar_epi32(
        _mm512_setr_epi32(0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0),
        _mm512_castsi128_si512(_mm_setr_epi32((int)totals[0], (int)totals[1], (int)totals[2], 0)));
    const uint16_t* entering = sums + 3 * (x + radius);
    const uint16_t* leaving = sums + 3 * (x - radius - 1);
    uint8_t* pixel = out + 3 * (size_t)x;
    // Kept in a local: stores through `out` could otherwise alias the cursor and force it back to memory.
    PrefetchCursor fetch = *upcoming;
    for (; end - x >= kBlock; x += kBlock, entering += 48, leaving += 48, pixel += 48) {
        PrefetchLine(&fetch);
        __m512i t0 = LanePrefix16(Changes16(entering, leaving));
        __m512i t1 = LanePrefix16(Changes16(entering + 16, leaving + 16));
        __m512i t2 = LanePrefix16(Changes16(entering + 32, leaving + 32));
        t1 = _mm512_add_epi32(t1, _mm512_permutexvar_epi32(lastOfChannel, t0));
        t2 = _mm512_add_epi32(t2, _mm512_permutexvar_epi32(lastOfChannel, t1));
        __m512i v0 = _mm512_add_epi32(t0, carried);
        __m512i v1 = _mm512_add_epi32(t1, _mm512_permutexvar_epi32(secondVector, carried));
        __m512i v2 = _mm512_add_epi32(t2, _mm512_permutexvar_epi32(thirdVector, carried));
        carried = _mm512_add_epi32(carried, _mm512_permutexvar_epi32(lastOfChannel, t2));
        _mm_storeu_si128((__m128i*)pixel, MeanBytes16(v0, divisor));
        _mm_storeu_si128((__m128i*)(pixel + 16), MeanBytes16(v1, divisor));
        _mm_storeu_si128((__m128i*)(pixel + 32), MeanBytes16(v2, divisor));
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
