// SSSE3 conversion kernels for 3-byte pixels, 16 pixels a step: the 48
// bytes of 16 pixels sit in three registers, and byte shuffles gather any
// byte of every pixel, or the (blue, green) and (green, red) pairs that one
// unsigned-by-signed multiply-add weighs. A run's last partial step is taken
// as its final 16 pixels again, so no load leaves the run; runs under 16
// pixels use the reference loop. 2-byte pixels keep the SSE2 kernel, which
// needs no shuffle. Compiled with -mssse3 only; chosen only when the
// processor reports SSSE3.
#include <tmmintrin.h>

#include "motion/frame_convert.h"
#include "motion/frame_convert_shuffles.h"

namespace placidor::motion {

namespace {

inline __m128i load(const std::uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
inline void store(std::uint8_t *p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
}
inline __m128i control(const Gather &g, int reg) {
    return _mm_load_si128(reinterpret_cast<const __m128i *>(g.control[reg]));
}

struct Group {
    __m128i r[3];
    explicit Group(const std::uint8_t *src) {
        for (int i = 0; i < 3; ++i) r[i] = load(src + 16 * i);
    }
    __m128i gather(const Gather &g, int from, int to) const {
        __m128i v = _mm_shuffle_epi8(r[from], control(g, from));
        for (int i = from + 1; i <= to; ++i)
            v = _mm_or_si128(v, _mm_shuffle_epi8(r[i], control(g, i)));
        return v;
    }
};

inline __m128i luma8(__m128i blueGreen, __m128i greenRed) {
    const __m128i sum =
        _mm_add_epi16(_mm_maddubs_epi16(blueGreen, _mm_set1_epi16(kWeightsBlueGreen)),
                      _mm_maddubs_epi16(greenRed, _mm_set1_epi16(kWeightsGreenRed)));
    return _mm_srli_epi16(sum, 8);
}

inline void luma16(const std::uint8_t *src, std::uint8_t *dst) {
    const Group g(src);
    const __m128i lo = luma8(g.gather(kPairLo[0], 0, 1), g.gather(kPairLo[1], 0, 1));
    const __m128i hi = luma8(g.gather(kPairHi[0], 1, 2), g.gather(kPairHi[1], 1, 2));
    store(dst, _mm_packus_epi16(lo, hi));
}

template <int Byte>
inline void byte16(const std::uint8_t *src, std::uint8_t *dst) {
    store(dst, Group(src).gather(kByte[Byte], 0, 2));
}

template <void (*Step)(const std::uint8_t *, std::uint8_t *)>
void run(const std::uint8_t *src, std::uint8_t *dst, std::size_t count, ConvertPixelsFn plain) {
    if (count < 16) {
        plain(src, dst, count);
        return;
    }
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) Step(src + i * 3, dst + i);
    if (i < count) Step(src + (count - 16) * 3, dst + count - 16);
}

void convertLuma_ssse3(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<luma16>(src, dst, count, convertLuma_c);
}
void convertRed_ssse3(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<byte16<2>>(src, dst, count, convertRed_c);
}
void convertGreen_ssse3(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<byte16<1>>(src, dst, count, convertGreen_c);
}
void convertBlue_ssse3(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    run<byte16<0>>(src, dst, count, convertBlue_c);
}

}  // namespace

void initConvertKernels_ssse3(ConvertKernels &k) {
    k.luma = convertLuma_ssse3;
    k.red = convertRed_ssse3;
    k.green = convertGreen_ssse3;
    k.blue = convertBlue_ssse3;
}

}  // namespace placidor::motion
