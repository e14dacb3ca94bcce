// AVX2 conversion kernels, 32 pixels a step. The 96 bytes of 32 3-byte
// pixels are loaded so that each 128-bit lane holds 48 bytes of whole
// pixels in three registers (pixels 0-15 in the low lanes, 16-31 in the
// high ones); byte shuffles within the lanes then gather any byte of every
// pixel. A run's last partial step is taken as its final 32 (or 16) pixels
// again, so no load leaves the run; runs under 16 pixels use the reference
// loop. Compiled with -mavx2 only; chosen only when the processor reports
// AVX2 with the YMM state enabled.
#include <immintrin.h>

#include "motion/frame_convert.h"
#include "motion/frame_convert_shuffles.h"

namespace placidor::motion {

namespace {

inline __m128i load128(const std::uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
inline __m256i load256(const std::uint8_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}
inline __m128i control128(const Gather &g, int reg) {
    return _mm_load_si128(reinterpret_cast<const __m128i *>(g.control[reg]));
}
inline __m256i control256(const Gather &g, int reg) {
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(g.control[reg]));
}

// 32 pixels: registers whose low lanes hold pixels 0-15, high lanes 16-31.
struct Group256 {
    __m256i r[3];
    explicit Group256(const std::uint8_t *src) {
        for (int i = 0; i < 3; ++i)
            r[i] = _mm256_inserti128_si256(_mm256_castsi128_si256(load128(src + 16 * i)),
                                           load128(src + 48 + 16 * i), 1);
    }
    __m256i gather(const Gather &g, int from, int to) const {
        __m256i v = _mm256_shuffle_epi8(r[from], control256(g, from));
        for (int i = from + 1; i <= to; ++i)
            v = _mm256_or_si256(v, _mm256_shuffle_epi8(r[i], control256(g, i)));
        return v;
    }
};

// 16 pixels, the same in one lane.
struct Group128 {
    __m128i r[3];
    explicit Group128(const std::uint8_t *src) {
        for (int i = 0; i < 3; ++i) r[i] = load128(src + 16 * i);
    }
    __m128i gather(const Gather &g, int from, int to) const {
        __m128i v = _mm_shuffle_epi8(r[from], control128(g, from));
        for (int i = from + 1; i <= to; ++i)
            v = _mm_or_si128(v, _mm_shuffle_epi8(r[i], control128(g, i)));
        return v;
    }
};

// Luma of 8 pixels per lane from their (blue, green) and (green, red) pairs.
inline __m256i luma8(__m256i blueGreen, __m256i greenRed) {
    const __m256i sum =
        _mm256_add_epi16(_mm256_maddubs_epi16(blueGreen, _mm256_set1_epi16(kWeightsBlueGreen)),
                         _mm256_maddubs_epi16(greenRed, _mm256_set1_epi16(kWeightsGreenRed)));
    return _mm256_srli_epi16(sum, 8);
}
inline __m128i luma8(__m128i blueGreen, __m128i greenRed) {
    const __m128i sum =
        _mm_add_epi16(_mm_maddubs_epi16(blueGreen, _mm_set1_epi16(kWeightsBlueGreen)),
                      _mm_maddubs_epi16(greenRed, _mm_set1_epi16(kWeightsGreenRed)));
    return _mm_srli_epi16(sum, 8);
}

inline void luma32(const std::uint8_t *src, std::uint8_t *dst) {
    const Group256 g(src);
    const __m256i lo = luma8(g.gather(kPairLo[0], 0, 1), g.gather(kPairLo[1], 0, 1));
    const __m256i hi = luma8(g.gather(kPairHi[0], 1, 2), g.gather(kPairHi[1], 1, 2));
    // Lane by lane: pixels 0-7 then 8-15, and 16-23 then 24-31.
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), _mm256_packus_epi16(lo, hi));
}
inline void luma16(const std::uint8_t *src, std::uint8_t *dst) {
    const Group128 g(src);
    const __m128i lo = luma8(g.gather(kPairLo[0], 0, 1), g.gather(kPairLo[1], 0, 1));
    const __m128i hi = luma8(g.gather(kPairHi[0], 1, 2), g.gather(kPairHi[1], 1, 2));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm_packus_epi16(lo, hi));
}

template <int Byte>
inline void byte32(const std::uint8_t *src, std::uint8_t *dst) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), Group256(src).gather(kByte[Byte], 0, 2));
}
template <int Byte>
inline void byte16(const std::uint8_t *src, std::uint8_t *dst) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), Group128(src).gather(kByte[Byte], 0, 2));
}

inline void twoByte32(const std::uint8_t *src, std::uint8_t *dst) {
    const __m256i low = _mm256_set1_epi16(0x00ff);
    const __m256i packed = _mm256_packus_epi16(_mm256_and_si256(load256(src), low),
                                               _mm256_and_si256(load256(src + 32), low));
    // The pack works per lane: pixels 0-7, 16-23 | 8-15, 24-31.
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst),
                        _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0)));
}
inline void twoByte16(const std::uint8_t *src, std::uint8_t *dst) {
    const __m128i low = _mm_set1_epi16(0x00ff);
    _mm_storeu_si128(
        reinterpret_cast<__m128i *>(dst),
        _mm_packus_epi16(_mm_and_si128(load128(src), low), _mm_and_si128(load128(src + 16), low)));
}

// Whole steps of 32 pixels, then the last 32 once more; 16 to 31 pixels as
// two overlapping steps of 16.
template <int Bpp, void (*Step32)(const std::uint8_t *, std::uint8_t *),
          void (*Step16)(const std::uint8_t *, std::uint8_t *)>
void run(const std::uint8_t *src, std::uint8_t *dst, std::size_t count, ConvertPixelsFn plain) {
    if (count < 16) {
        plain(src, dst, count);
        return;
    }
    if (count < 32) {
        Step16(src, dst);
        Step16(src + (count - 16) * Bpp, dst + count - 16);
        return;
    }
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) Step32(src + i * Bpp, dst + i);
    if (i < count) Step32(src + (count - 32) * Bpp, dst + count - 32);
}

void convertLuma_avx2(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<3, luma32, luma16>(src, dst, count, convertLuma_c);
}
void convertRed_avx2(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<3, byte32<2>, byte16<2>>(src, dst, count, convertRed_c);
}
void convertGreen_avx2(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<3, byte32<1>, byte16<1>>(src, dst, count, convertGreen_c);
}
void convertBlue_avx2(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<3, byte32<0>, byte16<0>>(src, dst, count, convertBlue_c);
}
void convertTwoByte_avx2(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<2, twoByte32, twoByte16>(src, dst, count, convertTwoByte_c);
}

}  // namespace

void initConvertKernels_avx2(ConvertKernels &k) {
    k.luma = convertLuma_avx2;
    k.red = convertRed_avx2;
    k.green = convertGreen_avx2;
    k.blue = convertBlue_avx2;
    k.twoByte = convertTwoByte_avx2;
}

}  // namespace placidor::motion
