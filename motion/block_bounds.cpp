#include "motion/block_bounds.h"

#include <algorithm>
#include <cassert>
#include <new>

namespace placidor::motion {

namespace {

// Windows smaller than this on either side are searched without bounds:
// they are quick anyway, and few 8 x 8 blocks would fit.
constexpr std::int32_t kSmallestWindow = 24;

std::unique_ptr<std::uint16_t[]> samples(std::size_t n) {
    return std::unique_ptr<std::uint16_t[]>(new (std::nothrow) std::uint16_t[n]);
}

// Box sums of side 2s from those of side s at every position:
// out(y, x) = in(y, x) + in(y, x + s) + in(y + s, x) + in(y + s, x + s), for
// the rows and columns where all four exist. Rows are `stride` apart.
void doubleBoxes(const std::uint16_t *in, std::uint16_t *out, std::ptrdiff_t stride,
                 std::int32_t cols, std::int32_t rows, std::int32_t s) {
    for (std::int32_t y = 0; y < rows; ++y) {
        const std::uint16_t *a = in + y * stride, *b = a + s * stride;
        std::uint16_t *o = out + y * stride;
        for (std::int32_t x = 0; x < cols; ++x)
            o[x] = static_cast<std::uint16_t>(a[x] + a[x + s] + b[x] + b[x + s]);
    }
}

// One row of boxes split by column modulo K: box x goes to phase x % K,
// entry x / K; the phases' rows are `phaseSize` apart. Written per group
// of K so that the compiler can vectorise the strided reads.
template <int K>
void splitPhases(const std::uint16_t *row, std::int32_t count, std::uint16_t *phase,
                 std::size_t phaseSize) {
    std::uint16_t *out[K];
    for (int p = 0; p < K; ++p) out[p] = phase + std::size_t(p) * phaseSize;
    const std::int32_t groups = count / K;
    for (std::int32_t j = 0; j < groups; ++j)
        for (int p = 0; p < K; ++p) out[p][j] = row[j * K + p];
    for (std::int32_t x = groups * K; x < count; ++x) out[x % K][groups] = row[x];
}

}  // namespace

bool BlockBounds::allocate(const ScoreGeometry &g, std::int32_t range) {
    usable_ = false;
    skip_ = 0;
    pendingReference_ = pendingCurrent_ = nullptr;
    g_ = g;
    range_ = range;
    left_ = std::max(g.measureLeft, 0);
    top_ = std::max(g.measureTop, 0);
    const std::int32_t right = std::min(g.measureRight, g.width - 1);
    const std::int32_t bottom = std::min(g.measureBottom, g.height - 1);
    if (g.rowStep != 1 || range < 1 || right - left_ + 1 < kSmallestWindow ||
        bottom - top_ + 1 < kSmallestWindow)
        return false;
    regionLeft_ = std::max(left_ - range, 0);
    regionTop_ = std::max(top_ - range, 0);
    regionCols_ = std::min(right + range, g.width - 1) - regionLeft_ + 1;
    regionRows_ = std::min(bottom + range, g.height - 1) - regionTop_ + 1;
    const std::size_t region = std::size_t(regionCols_) * std::size_t(regionRows_);
    boxes_ = samples(region);
    finer_ = samples(region);
    if (!boxes_ || !finer_) return false;
    for (int l = 0; l < kLevels; ++l) {
        Level &L = levels_[l];
        const std::int32_t k = kSides[l];
        L.side = k;
        L.gridCols = (right - left_ + 1) / k;
        L.gridRows = (bottom - top_ + 1) / k;
        L.phaseCols = (regionCols_ + k - 1) / k;
        L.phaseRows = (regionRows_ + k - 1) / k;
        L.reference = samples(std::size_t(L.gridCols) * std::size_t(L.gridRows));
        L.current = samples(std::size_t(k) * k * std::size_t(L.phaseCols) * L.phaseRows);
        if (!L.reference || !L.current) return false;
    }
    usable_ = true;
    return true;
}

void BlockBounds::prepare(const std::uint8_t *reference, const std::uint8_t *current) {
    assert(usable_);
    const std::ptrdiff_t width = g_.width;

    // The reference's 2 x 2 blocks, then each grid from the finer one.
    {
        Level &L = levels_[kLevels - 1];
        for (std::int32_t i = 0; i < L.gridRows; ++i) {
            const std::uint8_t *a = reference + (top_ + 2 * std::ptrdiff_t{i}) * width + left_;
            const std::uint8_t *b = a + width;
            std::uint16_t *o = L.reference.get() + std::ptrdiff_t{i} * L.gridCols;
            for (std::int32_t j = 0; j < L.gridCols; ++j)
                o[j] =
                    static_cast<std::uint16_t>(a[2 * j] + a[2 * j + 1] + b[2 * j] + b[2 * j + 1]);
        }
    }
    for (int l = kLevels - 2; l >= 0; --l) {
        const Level &F = levels_[l + 1];
        Level &L = levels_[l];
        for (std::int32_t i = 0; i < L.gridRows; ++i) {
            const std::uint16_t *a = F.reference.get() + 2 * std::ptrdiff_t{i} * F.gridCols;
            const std::uint16_t *b = a + F.gridCols;
            std::uint16_t *o = L.reference.get() + std::ptrdiff_t{i} * L.gridCols;
            for (std::int32_t j = 0; j < L.gridCols; ++j)
                o[j] =
                    static_cast<std::uint16_t>(a[2 * j] + a[2 * j + 1] + b[2 * j] + b[2 * j + 1]);
        }
    }

    // The current plane's boxes at every position of the region, side 2
    // from the samples, then 4 and 8 from the side before; each split
    // into its phase planes.
    const std::ptrdiff_t stride = regionCols_;
    std::uint16_t *boxes = finer_.get(), *spare = boxes_.get();
    for (std::int32_t y = 0; y + 1 < regionRows_; ++y) {
        const std::uint8_t *a = current + (regionTop_ + std::ptrdiff_t{y}) * width + regionLeft_;
        const std::uint8_t *b = a + width;
        std::uint16_t *o = boxes + y * stride;
        for (std::int32_t x = 0; x + 1 < regionCols_; ++x)
            o[x] = static_cast<std::uint16_t>(a[x] + a[x + 1] + b[x] + b[x + 1]);
    }
    for (int l = kLevels - 1; l >= 0; --l) {
        Level &L = levels_[l];
        const std::int32_t k = L.side;
        if (l != kLevels - 1) {
            doubleBoxes(boxes, spare, stride, regionCols_ - k + 1, regionRows_ - k + 1, k / 2);
            std::swap(boxes, spare);
        }
        const std::size_t phaseSize = std::size_t(L.phaseCols) * std::size_t(L.phaseRows);
        const std::int32_t count = regionCols_ - k + 1;  // boxes in a row
        for (std::int32_t y = 0; y + k <= regionRows_; ++y) {
            std::uint16_t *phase = L.current.get() + std::size_t(y % k) * k * phaseSize +
                                   std::size_t(y / k) * std::size_t(L.phaseCols);
            const std::uint16_t *row = boxes + y * stride;
            switch (k) {
            case 2: splitPhases<2>(row, count, phase, phaseSize); break;
            case 4: splitPhases<4>(row, count, phase, phaseSize); break;
            default: splitPhases<8>(row, count, phase, phaseSize); break;
            }
        }
    }
}

bool BlockBounds::begin(const std::uint8_t *reference, const std::uint8_t *current) {
    pendingReference_ = pendingCurrent_ = nullptr;
    if (!usable_) return false;
    if (skip_ > 0) {
        --skip_;
        return false;
    }
    pendingReference_ = reference;
    pendingCurrent_ = current;
    return true;
}

void BlockBounds::end(std::int64_t asked, std::int64_t ruledOut) {
    pendingReference_ = pendingCurrent_ = nullptr;
    if (asked >= 64 && 2 * ruledOut < asked) skip_ = kSkippedPairs;
}

std::uint64_t BlockBounds::bound(int level, std::int32_t a, std::int32_t b, std::uint64_t limit,
                                 const ScoreKernels &k) {
    assert(usable_ && level >= 0 && level < kLevels);
    if (pendingReference_) {
        prepare(pendingReference_, pendingCurrent_);
        pendingReference_ = pendingCurrent_ = nullptr;
    }
    assert(a >= -range_ && a <= range_ && b >= -range_ && b <= range_);
    const ScoreWindow w = scoreWindow(g_, a, b);
    if (w.empty()) return 0;
    const Level &L = levels_[level];
    const std::int32_t s = L.side;
    // The grid's blocks that lie wholly inside the window.
    const std::int32_t i0 = (w.top - top_ + s - 1) / s;
    const std::int32_t j0 = (w.left - left_ + s - 1) / s;
    const std::int32_t i1 = std::min((w.bottom + 1 - top_) / s, L.gridRows);
    const std::int32_t j1 = std::min((w.right + 1 - left_) / s, L.gridCols);
    if (i0 >= i1 || j0 >= j1) return 0;
    // Where the first block's partner starts in the region.
    const std::int32_t y = top_ + i0 * s + b - regionTop_;
    const std::int32_t x = left_ + j0 * s + a - regionLeft_;
    assert(y >= 0 && x >= 0);
    const std::size_t phaseSize = std::size_t(L.phaseCols) * std::size_t(L.phaseRows);
    const std::uint16_t *cur = L.current.get() + std::size_t((y % s) * s + x % s) * phaseSize +
                               std::size_t(y / s) * std::size_t(L.phaseCols) + std::size_t(x / s);
    const std::uint16_t *ref = L.reference.get() + std::size_t(i0) * std::size_t(L.gridCols) + j0;
    return k.positiveDiffSum16Bounded(ref, L.gridCols, cur, L.phaseCols, j1 - j0, i1 - i0, limit);
}

}  // namespace placidor::motion
