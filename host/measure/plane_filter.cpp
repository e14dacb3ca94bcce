#include "plane_filter.h"

#define PLACIDOR_HIGH_PASS_ISA baseline
#include "high_pass_region.h"

#include <algorithm>

#if defined(__SSE2__)
#  include <emmintrin.h>
#endif

namespace placidor::host {

namespace {

std::uint8_t level(int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

}  // namespace

HighPass::HighPass(int radius, bool wide)
    : radius_(std::clamp(radius, 1, 7)), wide_(wide && wideAvailable()) {}

bool HighPass::wideAvailable() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
#else
    return false;
#endif
}

void HighPass::apply(const std::uint8_t *in, std::ptrdiff_t inStride, int width, int height,
                     PlaneRect region, std::uint8_t *out) {
    const int left = std::max(region.left, 0), right = std::min(region.right, width);
    const int top = std::max(region.top, 0), bottom = std::min(region.bottom, height);
    if (left >= right || top >= bottom) return;
    const std::size_t cols = std::size_t(right - left);
    const std::size_t r = std::size_t(radius_);
    padded_.resize(cols + 4 * r);
    once_.resize(cols + 2 * r);
    rows_.resize(cols * (2 * r + 2));
    column1_.resize(cols * (2 * r + 2));
    column2_.resize(cols);
    const HighPassBuffers buffers{padded_.data(), once_.data(), rows_.data(), column1_.data(),
                                  column2_.data()};
#if defined(__x86_64__) || defined(__i386__)
    if (wide_) {
        avx2::highPassRegion(radius_, in, inStride, width, height, left, top, right, bottom,
                             buffers, out);
        return;
    }
#endif
    baseline::highPassRegion(radius_, in, inStride, width, height, left, top, right, bottom,
                             buffers, out);
}

std::vector<std::uint8_t> highPassReference(const std::uint8_t *in, int width, int height,
                                            int radius) {
    // The tent: the box of kTaps convolved with itself.
    const int kTaps = 2 * radius + 1, reach = 2 * radius, n = 2 * reach + 1;
    std::vector<double> tent(std::size_t(n), 0.0);
    for (int a = 0; a < kTaps; ++a)
        for (int b = 0; b < kTaps; ++b) tent[a + b] += 1.0 / (kTaps * kTaps);
    std::vector<std::uint8_t> out(std::size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double mean = 0;
            for (int v = 0; v < n; ++v)
                for (int u = 0; u < n; ++u) {
                    const int yy = std::clamp(y + v - reach, 0, height - 1);
                    const int xx = std::clamp(x + u - reach, 0, width - 1);
                    mean += tent[v] * tent[u] * in[std::size_t(yy) * width + xx];
                }
            out[std::size_t(y) * width + x] =
                level(128 + in[std::size_t(y) * width + x] - int(mean + 0.5));
        }
    return out;
}

namespace {

// Halving, the usual case (a 1080p frame analysed at 960x540): each
// output sample is (a + b + c + d + 2) / 4 of its 2x2 block, sixteen at a
// time from two rows of 32 bytes.
void halvePlane(const std::uint8_t *in, std::ptrdiff_t inStride, int w, int h, std::uint8_t *out) {
    for (int y = 0; y < h; ++y) {
        const std::uint8_t *r0 = in + std::ptrdiff_t(2 * y) * inStride;
        const std::uint8_t *r1 = r0 + inStride;
        std::uint8_t *dst = out + std::size_t(y) * std::size_t(w);
        int x = 0;
#if defined(__SSE2__)
        const __m128i evenBytes = _mm_set1_epi16(0x00ff), two = _mm_set1_epi16(2);
        const auto pairs = [&](const std::uint8_t *a, const std::uint8_t *b) {
            const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a));
            const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b));
            const __m128i sum =
                _mm_add_epi16(_mm_add_epi16(_mm_and_si128(va, evenBytes), _mm_srli_epi16(va, 8)),
                              _mm_add_epi16(_mm_and_si128(vb, evenBytes), _mm_srli_epi16(vb, 8)));
            return _mm_srli_epi16(_mm_add_epi16(sum, two), 2);
        };
        for (; x + 16 <= w; x += 16) {
            const __m128i low = pairs(r0 + 2 * x, r1 + 2 * x);
            const __m128i high = pairs(r0 + 2 * x + 16, r1 + 2 * x + 16);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + x), _mm_packus_epi16(low, high));
        }
#endif
        for (; x < w; ++x)
            dst[x] = std::uint8_t((r0[2 * x] + r0[2 * x + 1] + r1[2 * x] + r1[2 * x + 1] + 2) / 4);
    }
}

}  // namespace

void downscalePlane(const std::uint8_t *in, std::ptrdiff_t inStride, int width, int height,
                    int scale, std::uint8_t *out) {
    const int w = width / scale, h = height / scale;
    if (scale == 2) {
        halvePlane(in, inStride, w, h, out);
        return;
    }
    const std::uint32_t area = std::uint32_t(scale) * std::uint32_t(scale);
    // (sum + area / 2) / area as a multiplication by the reciprocal
    // rounded up to 40 fraction bits: for n = sum + area / 2 < 256 * area
    // the product overshoots n / area by less than n / 2^40 < 256 * area /
    // 2^40, which is below 1 / area (the least by which n / area can fall
    // short of the next integer) while area < 2^16. Larger blocks divide.
    const bool multiply = area < (1u << 16);
    const std::uint64_t reciprocal = ((std::uint64_t{1} << 40) + area - 1) / area;
    const std::size_t used = std::size_t(w) * std::size_t(scale);
    std::vector<std::uint32_t> columns(used);
    for (int y = 0; y < h; ++y) {
        // Rows first, every column at once; then the blocks along the row.
        std::fill(columns.begin(), columns.end(), 0u);
        for (int v = 0; v < scale; ++v) {
            const std::uint8_t *src = in + std::ptrdiff_t(y * scale + v) * inStride;
            for (std::size_t x = 0; x < used; ++x) columns[x] += src[x];
        }
        for (int x = 0; x < w; ++x) {
            std::uint32_t sum = 0;
            for (int u = 0; u < scale; ++u) sum += columns[std::size_t(x * scale + u)];
            const std::uint32_t n = sum + area / 2;
            out[std::size_t(y) * w + x] =
                std::uint8_t(multiply ? (std::uint64_t{n} * reciprocal) >> 40 : n / area);
        }
    }
}

}  // namespace placidor::host
