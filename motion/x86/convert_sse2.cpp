// SSE2 conversion kernels, 16 pixels a step. Without a byte shuffle, the
// 3-byte pixels are pulled apart with byte interleaves; the luma is then
// weighed in 16-bit lanes. A run's last partial step is taken as its final
// 16 pixels again, so no load leaves the run; runs under 16 pixels use the
// reference loop. Compiled with -msse2 only.
#include <emmintrin.h>

#include "motion/frame_convert.h"

namespace placidor::motion {

namespace {

inline __m128i load(const std::uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
inline void store(std::uint8_t *p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
}

// The 48 bytes (a, b, c) of 16 pixels, one round of a perfect shuffle: the
// first 24 bytes go to the even places, the last 24 to the odd ones, so
// byte k moves to 2k mod 47 (byte 47 stays). Four rounds move it to 16k
// mod 47; as 3 * 16 = 48 = 1 mod 47, byte j of pixel p (k = 3p + j) ends
// at 16j + p: a holds byte 0 of the 16 pixels, b byte 1, c byte 2.
inline __m128i firstOfRound(__m128i a, __m128i b) {
    return _mm_unpacklo_epi8(a, _mm_unpackhi_epi64(b, b));
}
inline __m128i secondOfRound(__m128i a, __m128i c) {
    return _mm_unpacklo_epi8(_mm_unpackhi_epi64(a, a), c);
}
inline __m128i thirdOfRound(__m128i b, __m128i c) {
    return _mm_unpacklo_epi8(b, _mm_unpackhi_epi64(c, c));
}
inline void round(__m128i &a, __m128i &b, __m128i &c) {
    const __m128i a1 = firstOfRound(a, b);
    const __m128i b1 = secondOfRound(a, c);
    const __m128i c1 = thirdOfRound(b, c);
    a = a1;
    b = b1;
    c = c1;
}

// Byte `Byte` of 16 3-byte pixels: three rounds, and of the fourth only
// the register that receives it.
template <int Byte>
inline __m128i byteOf16(const std::uint8_t *src) {
    __m128i a = load(src), b = load(src + 16), c = load(src + 32);
    round(a, b, c);
    round(a, b, c);
    round(a, b, c);
    if constexpr (Byte == 0) return firstOfRound(a, b);
    else if constexpr (Byte == 1) return secondOfRound(a, c);
    else return thirdOfRound(b, c);
}

// 28 b + 151 g + 77 r for 8 pixels in 16-bit lanes: at most 65,280, so the
// sum fits, and a logical shift by 8 truncates as the reference does.
inline __m128i weigh(__m128i b, __m128i g, __m128i r) {
    return _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(b, _mm_set1_epi16(28)),
                                       _mm_mullo_epi16(g, _mm_set1_epi16(151))),
                         _mm_mullo_epi16(r, _mm_set1_epi16(77)));
}

// The even pixels are weighed in the low bytes of the 16-bit lanes, the odd
// ones in the high bytes: masks and shifts rather than byte unpacks, which
// would compete with the rounds for the shuffle unit.
inline void luma16(const std::uint8_t *src, std::uint8_t *dst) {
    __m128i b = load(src), g = load(src + 16), r = load(src + 32);
    round(b, g, r);
    round(b, g, r);
    round(b, g, r);
    round(b, g, r);
    const __m128i low = _mm_set1_epi16(0x00ff);
    const __m128i even = weigh(_mm_and_si128(b, low), _mm_and_si128(g, low), _mm_and_si128(r, low));
    const __m128i odd = weigh(_mm_srli_epi16(b, 8), _mm_srli_epi16(g, 8), _mm_srli_epi16(r, 8));
    store(dst, _mm_or_si128(_mm_srli_epi16(even, 8), _mm_andnot_si128(low, odd)));
}

template <int Byte>
inline void byte16(const std::uint8_t *src, std::uint8_t *dst) {
    store(dst, byteOf16<Byte>(src));
}

inline void twoByte16(const std::uint8_t *src, std::uint8_t *dst) {
    const __m128i low = _mm_set1_epi16(0x00ff);
    store(dst, _mm_packus_epi16(_mm_and_si128(load(src), low), _mm_and_si128(load(src + 16), low)));
}

// Whole steps of 16 pixels, then the last 16 pixels once more.
template <int Bpp, void (*Step)(const std::uint8_t *, std::uint8_t *)>
void run(const std::uint8_t *src, std::uint8_t *dst, std::size_t count, ConvertPixelsFn plain) {
    if (count < 16) {
        plain(src, dst, count);
        return;
    }
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) Step(src + i * Bpp, dst + i);
    if (i < count) Step(src + (count - 16) * Bpp, dst + count - 16);
}

void convertLuma_sse2(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<3, luma16>(src, dst, count, convertLuma_c);
}
void convertRed_sse2(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<3, byte16<2>>(src, dst, count, convertRed_c);
}
void convertGreen_sse2(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<3, byte16<1>>(src, dst, count, convertGreen_c);
}
void convertBlue_sse2(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<3, byte16<0>>(src, dst, count, convertBlue_c);
}
void convertTwoByte_sse2(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<2, twoByte16>(src, dst, count, convertTwoByte_c);
}

}  // namespace

void initConvertKernels_sse2(ConvertKernels &k) {
    k.luma = convertLuma_sse2;
    k.red = convertRed_sse2;
    k.green = convertGreen_sse2;
    k.blue = convertBlue_sse2;
    k.twoByte = convertTwoByte_sse2;
}

}  // namespace placidor::motion
