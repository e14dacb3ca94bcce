// AVX2 kernels: the SSE2 scheme 32 samples at a time, with the row's last
// partial vector taken as the row's final 32 bytes, the bytes already
// counted masked off. Compiled with -mavx2 only; chosen only when the
// processor reports AVX2 with the YMM state enabled.
#include <immintrin.h>

#include <algorithm>

#include "motion/score_kernels.h"

namespace placidor::motion {

namespace {

// 32 zero bytes, then 32 set bytes: a load at tailMask + n has its last n
// bytes set.
alignas(32) const std::uint8_t tailMask[64] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// Mask whose last n of 32 bytes are set.
inline __m256i lastBytes256(std::int32_t n) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(tailMask + n));
}
// Mask whose last n of 16 bytes are set.
inline __m128i lastBytes128(std::int32_t n) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(tailMask + 16 + n));
}

inline __m256i load256(const std::uint8_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}
inline __m128i load128(const std::uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

inline __m256i positiveSad(__m256i cur, __m256i ref) {
    return _mm256_sad_epu8(_mm256_subs_epu8(cur, ref), _mm256_setzero_si256());
}

inline std::uint64_t horizontalSum(__m256i v) {
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    alignas(16) std::uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), s);
    return lanes[0] + lanes[1];
}

// One row, cols >= 16. The partial vector at the end is re-read from the
// row's last 32 (or 16) bytes so that nothing beyond the row is touched.
inline __m256i rowSad(const std::uint8_t *ref, const std::uint8_t *cur, std::int32_t cols,
                      __m256i acc) {
    std::int32_t c = 0;
    for (; c + 32 <= cols; c += 32)
        acc = _mm256_add_epi64(acc, positiveSad(load256(cur + c), load256(ref + c)));
    const std::int32_t tail = cols - c;
    if (tail == 0) return acc;
    if (cols >= 32) {
        const __m256i d =
            _mm256_and_si256(_mm256_subs_epu8(load256(cur + cols - 32), load256(ref + cols - 32)),
                             lastBytes256(tail));
        return _mm256_add_epi64(acc, _mm256_sad_epu8(d, _mm256_setzero_si256()));
    }
    // 16 <= cols < 32: one whole 16-byte vector and a masked one.
    __m128i d = _mm_subs_epu8(load128(cur), load128(ref));
    __m128i s = _mm_sad_epu8(d, _mm_setzero_si128());
    if (cols > 16) {
        d = _mm_and_si128(_mm_subs_epu8(load128(cur + cols - 16), load128(ref + cols - 16)),
                          lastBytes128(cols - 16));
        s = _mm_add_epi64(s, _mm_sad_epu8(d, _mm_setzero_si128()));
    }
    return _mm256_add_epi64(acc, _mm256_zextsi128_si256(s));
}

std::uint64_t positiveDiffSum_avx2(const std::uint8_t *ref, const std::uint8_t *cur,
                                   std::ptrdiff_t stride, std::int32_t cols, std::int32_t rows) {
    if (cols < 16) return positiveDiffSum_c(ref, cur, stride, cols, rows);
    __m256i acc = _mm256_setzero_si256();
    for (std::int32_t r = 0; r < rows; ++r, ref += stride, cur += stride)
        acc = rowSad(ref, cur, cols, acc);
    return horizontalSum(acc);
}

std::uint64_t positiveDiffSumBounded_avx2(const std::uint8_t *ref, const std::uint8_t *cur,
                                          std::ptrdiff_t stride, std::int32_t cols,
                                          std::int32_t rows, std::uint64_t limit) {
    if (cols < 16) return positiveDiffSumBounded_c(ref, cur, stride, cols, rows, limit);
    std::uint64_t sum = 0;
    for (std::int32_t r = 0; r < rows; ++r, ref += stride, cur += stride) {
        sum += horizontalSum(rowSad(ref, cur, cols, _mm256_setzero_si256()));
        if (sum > limit) break;
    }
    return sum;
}

// Four candidates one column apart over the same window: five loads per
// 32 columns instead of eight.
void positiveDiffSumX4_avx2(const std::uint8_t *ref, const std::uint8_t *cur, std::ptrdiff_t stride,
                            std::int32_t cols, std::int32_t rows, std::uint64_t sums[4]) {
    if (cols < 32) {
        for (int k = 0; k < 4; ++k)
            sums[k] = positiveDiffSum_avx2(ref, cur + k, stride, cols, rows);
        return;
    }
    const __m256i zero = _mm256_setzero_si256();
    __m256i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
    const std::int32_t tail = cols % 32;
    const __m256i mask = lastBytes256(tail);
    for (std::int32_t r = 0; r < rows; ++r, ref += stride, cur += stride) {
        std::int32_t c = 0;
        for (; c + 32 <= cols; c += 32) {
            const __m256i rv = load256(ref + c);
            acc0 = _mm256_add_epi64(acc0, positiveSad(load256(cur + c), rv));
            acc1 = _mm256_add_epi64(acc1, positiveSad(load256(cur + c + 1), rv));
            acc2 = _mm256_add_epi64(acc2, positiveSad(load256(cur + c + 2), rv));
            acc3 = _mm256_add_epi64(acc3, positiveSad(load256(cur + c + 3), rv));
        }
        if (tail) {
            const std::int32_t at = cols - 32;
            const __m256i rv = load256(ref + at);
            const auto masked = [&](std::int32_t k) {
                return _mm256_sad_epu8(
                    _mm256_and_si256(_mm256_subs_epu8(load256(cur + at + k), rv), mask), zero);
            };
            acc0 = _mm256_add_epi64(acc0, masked(0));
            acc1 = _mm256_add_epi64(acc1, masked(1));
            acc2 = _mm256_add_epi64(acc2, masked(2));
            acc3 = _mm256_add_epi64(acc3, masked(3));
        }
    }
    sums[0] = horizontalSum(acc0);
    sums[1] = horizontalSum(acc1);
    sums[2] = horizontalSum(acc2);
    sums[3] = horizontalSum(acc3);
}

// 16-bit samples as in the SSE2 kernel, 16 at a time, the row's last
// partial vector taken as its final 16 samples with those already counted
// masked off. The rows are added up in the vector's 32-bit lanes and the
// limit is checked once every kRowsPerCheck rows: the horizontal sum and
// the test cost as much as a row of a narrow block plane.
constexpr std::int32_t kRowsPerCheck = 4;
// Each multiply-add lane takes at most 2 * 32767 a vector; kRowsPerCheck
// rows of up to this many samples stay below 2^32 in every lane.
constexpr std::int32_t kWidest16 = 65536;

inline __m256i load16x16(const std::uint16_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

std::uint64_t positiveDiffSum16Bounded_avx2(const std::uint16_t *ref, std::ptrdiff_t refStride,
                                            const std::uint16_t *cur, std::ptrdiff_t curStride,
                                            std::int32_t cols, std::int32_t rows,
                                            std::uint64_t limit) {
    if (cols < 16 || cols > kWidest16)
        return positiveDiffSum16Bounded_c(ref, refStride, cur, curStride, cols, rows, limit);
    const __m256i ones = _mm256_set1_epi16(1), zero = _mm256_setzero_si256();
    const std::int32_t whole = cols & ~15, tail = cols - whole;
    const __m256i mask = lastBytes256(2 * tail);
    std::uint64_t sum = 0;
    for (std::int32_t r = 0; r < rows;) {
        const std::int32_t end = std::min(rows, r + kRowsPerCheck);
        __m256i acc = zero;
        for (; r < end; ++r, ref += refStride, cur += curStride) {
            for (std::int32_t c = 0; c < whole; c += 16) {
                const __m256i d = _mm256_subs_epu16(load16x16(cur + c), load16x16(ref + c));
                acc = _mm256_add_epi32(acc, _mm256_madd_epi16(d, ones));
            }
            if (tail) {
                const __m256i d = _mm256_and_si256(
                    _mm256_subs_epu16(load16x16(cur + cols - 16), load16x16(ref + cols - 16)),
                    mask);
                acc = _mm256_add_epi32(acc, _mm256_madd_epi16(d, ones));
            }
        }
        sum += horizontalSum(
            _mm256_add_epi64(_mm256_unpacklo_epi32(acc, zero), _mm256_unpackhi_epi32(acc, zero)));
        if (sum > limit) break;
    }
    return sum;
}

}  // namespace

void initScoreKernels_avx2(ScoreKernels &k) {
    k.positiveDiffSum = positiveDiffSum_avx2;
    k.positiveDiffSumX4 = positiveDiffSumX4_avx2;
    k.positiveDiffSumBounded = positiveDiffSumBounded_avx2;
    k.positiveDiffSum16Bounded = positiveDiffSum16Bounded_avx2;
}

}  // namespace placidor::motion
