// SSE2 kernels: saturating byte subtraction (cur - ref, negatives become 0)
// followed by a sum of absolute differences against zero adds up 16
// positive differences per instruction pair. Compiled with -msse2 only.
#include <emmintrin.h>

#include "motion/score_kernels.h"

namespace placidor::motion {

namespace {

// _mm_loadu_si128 at tailMask + n has its last n bytes set, for 0 <= n <= 16.
alignas(16) const std::uint8_t tailMask[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

inline __m128i load(const std::uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

inline __m128i positiveSad(__m128i cur, __m128i ref) {
    return _mm_sad_epu8(_mm_subs_epu8(cur, ref), _mm_setzero_si128());
}

inline std::uint64_t horizontalSum(__m128i v) {
    alignas(16) std::uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), v);
    return lanes[0] + lanes[1];
}

// One row, cols >= 16: whole vectors, then the last 16 bytes of the row
// with the bytes already counted masked off, so nothing past the row is
// read.
inline __m128i rowSad(const std::uint8_t *ref, const std::uint8_t *cur, std::int32_t cols,
                      __m128i acc) {
    std::int32_t c = 0;
    for (; c + 16 <= cols; c += 16)
        acc = _mm_add_epi64(acc, positiveSad(load(cur + c), load(ref + c)));
    if (c < cols) {
        const std::int32_t tail = cols - c;
        const __m128i mask = load(tailMask + tail);
        const __m128i d =
            _mm_and_si128(_mm_subs_epu8(load(cur + cols - 16), load(ref + cols - 16)), mask);
        acc = _mm_add_epi64(acc, _mm_sad_epu8(d, _mm_setzero_si128()));
    }
    return acc;
}

std::uint64_t positiveDiffSum_sse2(const std::uint8_t *ref, const std::uint8_t *cur,
                                   std::ptrdiff_t stride, std::int32_t cols, std::int32_t rows) {
    if (cols < 16) return positiveDiffSum_c(ref, cur, stride, cols, rows);
    __m128i acc = _mm_setzero_si128();
    for (std::int32_t r = 0; r < rows; ++r, ref += stride, cur += stride)
        acc = rowSad(ref, cur, cols, acc);
    return horizontalSum(acc);
}

std::uint64_t positiveDiffSumBounded_sse2(const std::uint8_t *ref, const std::uint8_t *cur,
                                          std::ptrdiff_t stride, std::int32_t cols,
                                          std::int32_t rows, std::uint64_t limit) {
    if (cols < 16) return positiveDiffSumBounded_c(ref, cur, stride, cols, rows, limit);
    std::uint64_t sum = 0;
    for (std::int32_t r = 0; r < rows; ++r, ref += stride, cur += stride) {
        sum += horizontalSum(rowSad(ref, cur, cols, _mm_setzero_si128()));
        if (sum > limit) break;
    }
    return sum;
}

// Four candidates one column apart: one reference load serves four current
// loads.
void positiveDiffSumX4_sse2(const std::uint8_t *ref, const std::uint8_t *cur, std::ptrdiff_t stride,
                            std::int32_t cols, std::int32_t rows, std::uint64_t sums[4]) {
    if (cols < 16) {
        positiveDiffSumX4_c(ref, cur, stride, cols, rows, sums);
        return;
    }
    const __m128i zero = _mm_setzero_si128();
    __m128i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
    const std::int32_t tail = cols % 16;
    const __m128i mask = load(tailMask + tail);
    for (std::int32_t r = 0; r < rows; ++r, ref += stride, cur += stride) {
        std::int32_t c = 0;
        for (; c + 16 <= cols; c += 16) {
            const __m128i rv = load(ref + c);
            acc0 = _mm_add_epi64(acc0, positiveSad(load(cur + c), rv));
            acc1 = _mm_add_epi64(acc1, positiveSad(load(cur + c + 1), rv));
            acc2 = _mm_add_epi64(acc2, positiveSad(load(cur + c + 2), rv));
            acc3 = _mm_add_epi64(acc3, positiveSad(load(cur + c + 3), rv));
        }
        if (tail) {
            const std::int32_t at = cols - 16;
            const __m128i rv = load(ref + at);
            const auto masked = [&](std::int32_t k) {
                return _mm_sad_epu8(_mm_and_si128(_mm_subs_epu8(load(cur + at + k), rv), mask),
                                    zero);
            };
            acc0 = _mm_add_epi64(acc0, masked(0));
            acc1 = _mm_add_epi64(acc1, masked(1));
            acc2 = _mm_add_epi64(acc2, masked(2));
            acc3 = _mm_add_epi64(acc3, masked(3));
        }
    }
    sums[0] = horizontalSum(acc0);
    sums[1] = horizontalSum(acc1);
    sums[2] = horizontalSum(acc2);
    sums[3] = horizontalSum(acc3);
}

// 16-bit samples: saturating subtraction, then pairs added into 32-bit
// lanes (each difference is below 32768, so the signed multiply-add by one
// is exact); the row's last partial vector taken as its final 8 samples
// with those already counted masked off. The rows are added up in the
// lanes and the limit is checked once every kRowsPerCheck rows.
constexpr std::int32_t kRowsPerCheck = 4;
// kRowsPerCheck rows of up to this many samples stay below 2^32 a lane.
constexpr std::int32_t kWidest16 = 32768;

inline __m128i load8x16(const std::uint16_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

std::uint64_t positiveDiffSum16Bounded_sse2(const std::uint16_t *ref, std::ptrdiff_t refStride,
                                            const std::uint16_t *cur, std::ptrdiff_t curStride,
                                            std::int32_t cols, std::int32_t rows,
                                            std::uint64_t limit) {
    if (cols < 8 || cols > kWidest16)
        return positiveDiffSum16Bounded_c(ref, refStride, cur, curStride, cols, rows, limit);
    const __m128i ones = _mm_set1_epi16(1), zero = _mm_setzero_si128();
    const std::int32_t whole = cols & ~7, tail = cols - whole;
    const __m128i mask = load(tailMask + 2 * tail);
    std::uint64_t sum = 0;
    for (std::int32_t r = 0; r < rows;) {
        const std::int32_t end = rows - r < kRowsPerCheck ? rows : r + kRowsPerCheck;
        __m128i acc = zero;
        for (; r < end; ++r, ref += refStride, cur += curStride) {
            for (std::int32_t c = 0; c < whole; c += 8) {
                const __m128i d = _mm_subs_epu16(load8x16(cur + c), load8x16(ref + c));
                acc = _mm_add_epi32(acc, _mm_madd_epi16(d, ones));
            }
            if (tail) {
                const __m128i d = _mm_and_si128(
                    _mm_subs_epu16(load8x16(cur + cols - 8), load8x16(ref + cols - 8)), mask);
                acc = _mm_add_epi32(acc, _mm_madd_epi16(d, ones));
            }
        }
        sum += horizontalSum(
            _mm_add_epi64(_mm_unpacklo_epi32(acc, zero), _mm_unpackhi_epi32(acc, zero)));
        if (sum > limit) break;
    }
    return sum;
}

}  // namespace

void initScoreKernels_sse2(ScoreKernels &k) {
    k.positiveDiffSum = positiveDiffSum_sse2;
    k.positiveDiffSumX4 = positiveDiffSumX4_sse2;
    k.positiveDiffSumBounded = positiveDiffSumBounded_sse2;
    k.positiveDiffSum16Bounded = positiveDiffSum16Bounded_sse2;
}

}  // namespace placidor::motion
