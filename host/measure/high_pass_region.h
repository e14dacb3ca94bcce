// The high-pass filter's loops over one region, compiled once for the
// baseline instruction set (plane_filter.cpp) and once for AVX2
// (plane_filter_avx2.cpp): the same source, and the same float operations
// in the same order, give the same samples either way, only with wider
// vectors. A file that defines PLACIDOR_HIGH_PASS_ISA (baseline or avx2)
// before including this gets that entry point's definition. The loops
// have internal linkage and call no library template, so that no code
// compiled for AVX2 can stand in for a baseline function at link time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace placidor::host {

// Work space for one region of `cols` columns at radius r (the caller
// sizes it, see HighPass::apply): padded: cols + 4 r, once: cols + 2 r,
// rows and column1: cols * (2 r + 2) each (rings of rows), column2: cols.
struct HighPassBuffers {
    std::uint16_t *padded, *once, *rows;
    std::uint32_t *column1, *column2;
};

// Columns left..right-1 and rows top..bottom-1 of `out` (width bytes a
// row) get the filter of `in` at `radius` (1..7); see HighPass::apply.
namespace baseline {
void highPassRegion(int radius, const std::uint8_t *in, std::ptrdiff_t inStride, int width,
                    int height, int left, int top, int right, int bottom,
                    const HighPassBuffers &buffers, std::uint8_t *out);
}
namespace avx2 {
void highPassRegion(int radius, const std::uint8_t *in, std::ptrdiff_t inStride, int width,
                    int height, int left, int top, int right, int bottom,
                    const HighPassBuffers &buffers, std::uint8_t *out);
}

}  // namespace placidor::host

#ifdef PLACIDOR_HIGH_PASS_ISA
namespace placidor::host {
namespace {

inline int clampRow(int y, int height) { return y < 0 ? 0 : (y > height - 1 ? height - 1 : y); }

// sum[k] = rowOf(0)[k] + .. + rowOf(taps - 1)[k] for the sw columns: the
// first row of a vertical box.
template <typename Rows>
void firstBoxRow(int taps, Rows rowOf, std::size_t sw, std::uint32_t *sum) {
    for (std::size_t k = 0; k < sw; ++k) sum[k] = 0;
    for (int t = 0; t < taps; ++t) {
        const auto *r = rowOf(t);
        for (std::size_t k = 0; k < sw; ++k) sum[k] += r[k];
    }
}

// The filter with its radius known at compile time, so that the box sums
// unroll and vectorise across the row.
template <int R>
void region(const std::uint8_t *in, std::ptrdiff_t inStride, int width, int height, int left,
            int top, int right, int bottom, const HighPassBuffers &buf, std::uint8_t *out) {
    constexpr int kReach = 2 * R, kTaps = 2 * R + 1;
    constexpr float kInverseWeight = 1.0f / float(kTaps * kTaps * kTaps * kTaps);
    const int w = right - left, rows = bottom - top + 2 * kReach;
    const std::size_t sw = std::size_t(w);

    // One pass down the rows the vertical boxes need (the region's rows
    // and kReach more on each side): each input row's two horizontal
    // boxes, then the first vertical box's running sum, then the
    // second's, then the output row. Only the last kRing rows of each
    // stage are kept, in rings, so that the working set stays in the
    // cache; every sum is an exact integer, so the order does not matter.
    constexpr int kRing = kTaps + 1;  // a sum and the row leaving it
    const auto boxes = [&](int i) { return buf.rows + sw * std::size_t(i % kRing); };
    const auto firstBox = [&](int j) { return buf.column1 + sw * std::size_t(j % kRing); };
    std::uint32_t *const c2 = buf.column2;
    const int inside0 = left - kReach > 0 ? left - kReach : 0;
    const int inside1 = right + kReach < width ? right + kReach : width;
    for (int i = 0; i < rows; ++i) {
        // Horizontal: two boxes along input row i.
        const int y = clampRow(top - kReach + i, height);
        const std::uint8_t *src = in + std::ptrdiff_t(y) * inStride;
        std::uint16_t *p = buf.padded;
        // Columns left - kReach .. right + kReach, the frame's edges repeated.
        int j = 0;
        for (; left - kReach + j < inside0; ++j) p[j] = src[0];
        for (int x = inside0; x < inside1; ++x, ++j) p[j] = src[x];
        for (; j < w + 2 * kReach; ++j) p[j] = src[width - 1];
        std::uint16_t *const first = buf.once;
        for (std::size_t k = 0; k < sw + 2 * R; ++k) {
            std::uint16_t sum = 0;
            for (int t = 0; t < kTaps; ++t) sum = std::uint16_t(sum + p[k + std::size_t(t)]);
            first[k] = sum;
        }
        std::uint16_t *const second = boxes(i);
        for (std::size_t k = 0; k < sw; ++k) {
            std::uint16_t sum = 0;  // at most kTaps * kTaps * 255
            for (int t = 0; t < kTaps; ++t) sum = std::uint16_t(sum + first[k + std::size_t(t)]);
            second[k] = sum;
        }

        // First vertical box: row b sums horizontal rows b .. b + 2 R.
        const int b = i - 2 * R;
        if (b < 0) continue;
        std::uint32_t *const c1 = firstBox(b);
        if (b == 0) {
            firstBoxRow(kTaps, boxes, sw, c1);
        } else {
            const std::uint32_t *prev = firstBox(b - 1);
            const std::uint16_t *sub = boxes(b - 1);
            for (std::size_t k = 0; k < sw; ++k) c1[k] = prev[k] + second[k] - sub[k];
        }

        // Second vertical box: output row o sums first-box rows o .. o + 2 R.
        const int o = b - 2 * R;
        if (o < 0) continue;
        if (o == 0) {
            firstBoxRow(kTaps, firstBox, sw, c2);
        } else {
            const std::uint32_t *sub = firstBox(o - 1);
            for (std::size_t k = 0; k < sw; ++k) c2[k] = c2[k] + c1[k] - sub[k];
        }
        const std::uint8_t *at = in + std::ptrdiff_t(top + o) * inStride + left;
        std::uint8_t *dst = out + std::size_t(top + o) * std::size_t(width) + std::size_t(left);
        for (std::size_t k = 0; k < sw; ++k) {
            const int mean = static_cast<int>(float(c2[k]) * kInverseWeight + 0.5f);
            const int v = 128 + int(at[k]) - mean;
            dst[k] = static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
        }
    }
}

}  // namespace

namespace PLACIDOR_HIGH_PASS_ISA {

void highPassRegion(int radius, const std::uint8_t *in, std::ptrdiff_t inStride, int width,
                    int height, int left, int top, int right, int bottom,
                    const HighPassBuffers &buffers, std::uint8_t *out) {
    switch (radius) {
    case 1: region<1>(in, inStride, width, height, left, top, right, bottom, buffers, out); break;
    case 2: region<2>(in, inStride, width, height, left, top, right, bottom, buffers, out); break;
    case 3: region<3>(in, inStride, width, height, left, top, right, bottom, buffers, out); break;
    case 4: region<4>(in, inStride, width, height, left, top, right, bottom, buffers, out); break;
    case 5: region<5>(in, inStride, width, height, left, top, right, bottom, buffers, out); break;
    case 6: region<6>(in, inStride, width, height, left, top, right, bottom, buffers, out); break;
    default: region<7>(in, inStride, width, height, left, top, right, bottom, buffers, out); break;
    }
}

}  // namespace PLACIDOR_HIGH_PASS_ISA

}  // namespace placidor::host
#endif  // PLACIDOR_HIGH_PASS_ISA
