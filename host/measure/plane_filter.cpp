#include "plane_filter.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#  include <emmintrin.h>
#endif

namespace placidor::host {

namespace {

std::uint8_t level(int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

}  // namespace

namespace {

// The filter with its radius known at compile time, so that the box sums
// unroll and vectorise across the row.
template <int R>
void highPassRegion(const std::uint8_t *in, std::ptrdiff_t inStride, int width, int height,
                    int left, int top, int right, int bottom, std::vector<std::uint16_t> &padded,
                    std::vector<std::uint16_t> &rowsBuf, std::vector<std::uint32_t> &column1,
                    std::vector<std::uint32_t> &column2, std::uint8_t *out) {
    constexpr int kReach = 2 * R, kTaps = 2 * R + 1;
    constexpr float kInverseWeight = 1.0f / float(kTaps * kTaps * kTaps * kTaps);
    const int w = right - left, rows = bottom - top + 2 * kReach;
    const std::size_t sw = std::size_t(w);

    // Horizontal: two boxes per row, for every row the vertical boxes need.
    padded.resize(sw + 2 * kReach);
    rowsBuf.resize(sw * std::size_t(rows));
    std::vector<std::uint16_t> once(sw + 2 * R);
    const int inside0 = std::max(left - kReach, 0), inside1 = std::min(right + kReach, width);
    for (int i = 0; i < rows; ++i) {
        const int y = std::clamp(top - kReach + i, 0, height - 1);
        const std::uint8_t *src = in + std::ptrdiff_t(y) * inStride;
        std::uint16_t *p = padded.data();
        // Columns left - kReach .. right + kReach, the frame's edges repeated.
        int j = 0;
        for (; left - kReach + j < inside0; ++j) p[j] = src[0];
        for (int x = inside0; x < inside1; ++x, ++j) p[j] = src[x];
        for (; j < w + 2 * kReach; ++j) p[j] = src[width - 1];
        std::uint16_t *const first = once.data();
        for (std::size_t k = 0; k < sw + 2 * R; ++k) {
            std::uint16_t sum = 0;
            for (int t = 0; t < kTaps; ++t) sum = std::uint16_t(sum + p[k + std::size_t(t)]);
            first[k] = sum;
        }
        std::uint16_t *const second = rowsBuf.data() + sw * std::size_t(i);
        for (std::size_t k = 0; k < sw; ++k) {
            std::uint16_t sum = 0;  // at most kTaps * kTaps * 255
            for (int t = 0; t < kTaps; ++t) sum = std::uint16_t(sum + first[k + std::size_t(t)]);
            second[k] = sum;
        }
    }

    // Vertical: running sums down the rows, every column at once.
    const int firstRows = rows - 2 * R;  // rows of the first vertical box
    column1.assign(sw * std::size_t(firstRows), 0);
    std::uint32_t *c1 = column1.data();
    for (int t = 0; t < kTaps; ++t) {
        const std::uint16_t *r = rowsBuf.data() + sw * std::size_t(t);
        for (std::size_t k = 0; k < sw; ++k) c1[k] += r[k];
    }
    for (int i = 1; i < firstRows; ++i) {
        std::uint32_t *cur = c1 + sw * std::size_t(i);
        const std::uint32_t *prev = cur - sw;
        const std::uint16_t *add = rowsBuf.data() + sw * std::size_t(i + kTaps - 1);
        const std::uint16_t *sub = rowsBuf.data() + sw * std::size_t(i - 1);
        for (std::size_t k = 0; k < sw; ++k) cur[k] = prev[k] + add[k] - sub[k];
    }
    column2.assign(sw, 0);
    std::uint32_t *c2 = column2.data();
    for (int t = 0; t < kTaps; ++t)
        for (std::size_t k = 0; k < sw; ++k) c2[k] += c1[sw * std::size_t(t) + k];
    for (int y = top; y < bottom; ++y) {
        const int i = y - top;  // the second box's first row in column1
        if (i > 0) {
            const std::uint32_t *add = c1 + sw * std::size_t(i + kTaps - 1);
            const std::uint32_t *sub = c1 + sw * std::size_t(i - 1);
            for (std::size_t k = 0; k < sw; ++k) c2[k] = c2[k] + add[k] - sub[k];
        }
        const std::uint8_t *src = in + std::ptrdiff_t(y) * inStride + left;
        std::uint8_t *dst = out + std::size_t(y) * std::size_t(width) + std::size_t(left);
        for (std::size_t k = 0; k < sw; ++k) {
            const int mean = static_cast<int>(float(c2[k]) * kInverseWeight + 0.5f);
            const int v = 128 + int(src[k]) - mean;
            dst[k] = static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
        }
    }
}

}  // namespace

HighPass::HighPass(int radius) : radius_(std::clamp(radius, 1, 7)) {}

void HighPass::apply(const std::uint8_t *in, std::ptrdiff_t inStride, int width, int height,
                     PlaneRect region, std::uint8_t *out) {
    const int left = std::max(region.left, 0), right = std::min(region.right, width);
    const int top = std::max(region.top, 0), bottom = std::min(region.bottom, height);
    if (left >= right || top >= bottom) return;
    const auto run = [&](auto radius) {
        highPassRegion<decltype(radius)::value>(in, inStride, width, height, left, top, right,
                                                bottom, padded_, rows_, column1_, column2_, out);
    };
    switch (radius_) {
    case 1: run(std::integral_constant<int, 1>{}); break;
    case 2: run(std::integral_constant<int, 2>{}); break;
    case 3: run(std::integral_constant<int, 3>{}); break;
    case 4: run(std::integral_constant<int, 4>{}); break;
    case 5: run(std::integral_constant<int, 5>{}); break;
    case 6: run(std::integral_constant<int, 6>{}); break;
    default: run(std::integral_constant<int, 7>{}); break;
    }
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
    const std::uint32_t area = std::uint32_t(scale * scale);
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
            out[std::size_t(y) * w + x] = std::uint8_t((sum + area / 2) / area);
        }
    }
}

}  // namespace placidor::host
