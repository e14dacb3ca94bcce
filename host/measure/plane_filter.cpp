#include "plane_filter.h"

#include <algorithm>
#include <cstring>

namespace placidor::host {

namespace {

std::uint8_t level(int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

}  // namespace

HighPass::HighPass(int radius) : radius_(std::clamp(radius, 1, 7)) {}

void HighPass::apply(const std::uint8_t *in, std::ptrdiff_t inStride, int width, int height, PlaneRect region,
                     std::uint8_t *out) {
    std::memset(out, 128, std::size_t(width) * std::size_t(height));
    const int left = std::max(region.left, 0), right = std::min(region.right, width);
    const int top = std::max(region.top, 0), bottom = std::min(region.bottom, height);
    if (left >= right || top >= bottom) return;
    const int kRadius = radius_, kReach = 2 * radius_, kTaps = 2 * radius_ + 1;
    const float kInverseWeight = 1.0f / float(kTaps * kTaps * kTaps * kTaps);
    const int w = right - left, rows = bottom - top + 2 * kReach;
    const std::size_t sw = std::size_t(w);

    // Horizontal: two boxes per row, for every row the vertical boxes need.
    padded_.resize(sw + 2 * kReach);
    rows_.resize(sw * std::size_t(rows));
    std::vector<std::uint16_t> once(sw + 2 * kRadius);
    for (int i = 0; i < rows; ++i) {
        const int y = std::clamp(top - kReach + i, 0, height - 1);
        const std::uint8_t *src = in + std::ptrdiff_t(y) * inStride;
        for (int j = 0; j < w + 2 * kReach; ++j) padded_[std::size_t(j)] = src[std::clamp(left - kReach + j, 0, width - 1)];
        std::uint16_t *const first = once.data();
        const std::uint16_t *const p = padded_.data();
        for (std::size_t j = 0; j < sw + 2 * kRadius; ++j) {
            std::uint16_t s = 0;
            for (int t = 0; t < kTaps; ++t) s = std::uint16_t(s + p[j + std::size_t(t)]);
            first[j] = s;
        }
        std::uint16_t *const second = rows_.data() + sw * std::size_t(i);
        for (std::size_t j = 0; j < sw; ++j) {
            std::uint16_t s = 0;  // at most 49 * 255
            for (int t = 0; t < kTaps; ++t) s = std::uint16_t(s + first[j + std::size_t(t)]);
            second[j] = s;
        }
    }

    // Vertical: running sums down the rows, every column at once.
    const int firstRows = rows - 2 * kRadius;  // rows of the first vertical box
    column1_.assign(sw * std::size_t(firstRows), 0);
    std::uint32_t *c1 = column1_.data();
    for (int t = 0; t < kTaps; ++t) {
        const std::uint16_t *r = rows_.data() + sw * std::size_t(t);
        for (std::size_t j = 0; j < sw; ++j) c1[j] += r[j];
    }
    for (int i = 1; i < firstRows; ++i) {
        std::uint32_t *cur = c1 + sw * std::size_t(i);
        const std::uint32_t *prev = cur - sw;
        const std::uint16_t *add = rows_.data() + sw * std::size_t(i + kTaps - 1);
        const std::uint16_t *sub = rows_.data() + sw * std::size_t(i - 1);
        for (std::size_t j = 0; j < sw; ++j) cur[j] = prev[j] + add[j] - sub[j];
    }
    column2_.assign(sw, 0);
    std::uint32_t *c2 = column2_.data();
    for (int t = 0; t < kTaps; ++t)
        for (std::size_t j = 0; j < sw; ++j) c2[j] += c1[sw * std::size_t(t) + j];
    for (int y = top; y < bottom; ++y) {
        const int i = y - top;  // row of the second box's window start in column1_
        if (i > 0) {
            const std::uint32_t *add = c1 + sw * std::size_t(i + kTaps - 1);
            const std::uint32_t *sub = c1 + sw * std::size_t(i - 1);
            for (std::size_t j = 0; j < sw; ++j) c2[j] = c2[j] + add[j] - sub[j];
        }
        const std::uint8_t *src = in + std::ptrdiff_t(y) * inStride + left;
        std::uint8_t *dst = out + std::size_t(y) * std::size_t(width) + std::size_t(left);
        for (std::size_t j = 0; j < sw; ++j) {
            const int mean = static_cast<int>(float(c2[j]) * kInverseWeight + 0.5f);
            const int v = 128 + int(src[j]) - mean;
            dst[j] = static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
        }
    }
}

std::vector<std::uint8_t> highPassReference(const std::uint8_t *in, int width, int height, int radius) {
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
            out[std::size_t(y) * width + x] = level(128 + in[std::size_t(y) * width + x] - int(mean + 0.5));
        }
    return out;
}

void downscalePlane(const std::uint8_t *in, std::ptrdiff_t inStride, int width, int height, int scale,
                    std::uint8_t *out) {
    const int w = width / scale, h = height / scale;
    const std::uint32_t area = std::uint32_t(scale * scale);
    std::vector<std::uint32_t> sums(static_cast<std::size_t>(w));
    for (int y = 0; y < h; ++y) {
        std::fill(sums.begin(), sums.end(), 0u);
        for (int v = 0; v < scale; ++v) {
            const std::uint8_t *src = in + std::ptrdiff_t(y * scale + v) * inStride;
            for (int x = 0; x < w; ++x)
                for (int u = 0; u < scale; ++u) sums[std::size_t(x)] += src[x * scale + u];
        }
        for (int x = 0; x < w; ++x)
            out[std::size_t(y) * w + x] = std::uint8_t((sums[std::size_t(x)] + area / 2) / area);
    }
}

}  // namespace placidor::host
