#include "motion/block_bounds.h"

#include <algorithm>
#include <cassert>
#include <new>

#if defined(__SSE2__)
#  include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
// The even and the odd samples of a and b (16 in all), each in order.
// Signed packing keeps them because they are below 32768.
inline void deinterleave(__m128i a, __m128i b, __m128i &even, __m128i &odd) {
    even = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(a, 16), 16),
                           _mm_srai_epi32(_mm_slli_epi32(b, 16), 16));
    odd = _mm_packs_epi32(_mm_srai_epi32(a, 16), _mm_srai_epi32(b, 16));
}

inline __m128i load(const std::uint16_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

inline void store(std::uint16_t *p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
}

// Eight entries of every phase at a time: the groups j .. j + 7 of K
// boxes each. Returns the first group left for the plain loop.
template <int K>
std::int32_t splitPhasesVector(const std::uint16_t *row, std::int32_t groups, std::uint16_t *phase,
                               std::size_t phaseSize) {
    std::int32_t j = 0;
    for (; j + 8 <= groups; j += 8) {
        const std::uint16_t *in = row + std::size_t(j) * K;
        std::uint16_t *out = phase + j;
        if constexpr (K == 2) {
            __m128i even, odd;
            deinterleave(load(in), load(in + 8), even, odd);
            store(out, even);
            store(out + phaseSize, odd);
        } else if constexpr (K == 4) {
            __m128i e0, o0, e1, o1, p0, p2, p1, p3;
            deinterleave(load(in), load(in + 8), e0, o0);        // phases 0, 2 and 1, 3
            deinterleave(load(in + 16), load(in + 24), e1, o1);  // of groups 4 .. 7
            deinterleave(e0, e1, p0, p2);
            deinterleave(o0, o1, p1, p3);
            store(out, p0);
            store(out + phaseSize, p1);
            store(out + 2 * phaseSize, p2);
            store(out + 3 * phaseSize, p3);
        } else {
            // An 8 x 8 transpose: vector i holds group j + i.
            __m128i v[8], a[8], b[8];
            for (int i = 0; i < 8; ++i) v[i] = load(in + 8 * i);
            for (int i = 0; i < 4; ++i) {
                a[2 * i] = _mm_unpacklo_epi16(v[2 * i], v[2 * i + 1]);
                a[2 * i + 1] = _mm_unpackhi_epi16(v[2 * i], v[2 * i + 1]);
            }
            for (int h = 0; h < 2; ++h)
                for (int i = 0; i < 2; ++i) {
                    b[4 * h + 2 * i] = _mm_unpacklo_epi32(a[4 * h + i], a[4 * h + i + 2]);
                    b[4 * h + 2 * i + 1] = _mm_unpackhi_epi32(a[4 * h + i], a[4 * h + i + 2]);
                }
            // b[0..3] hold phases 0-1, 2-3, 4-5, 6-7 of groups 0 .. 3;
            // b[4..7] the same of groups 4 .. 7.
            for (int q = 0; q < 4; ++q) {
                store(out + std::size_t(2 * q) * phaseSize, _mm_unpacklo_epi64(b[q], b[q + 4]));
                store(out + std::size_t(2 * q + 1) * phaseSize, _mm_unpackhi_epi64(b[q], b[q + 4]));
            }
        }
    }
    return j;
}
#endif

template <int K>
void splitPhasesOf(const std::uint16_t *row, std::int32_t count, std::uint16_t *phase,
                   std::size_t phaseSize, bool vector) {
    const std::int32_t groups = count / K;
    std::int32_t j = 0;
#if defined(__SSE2__)
    if (vector) j = splitPhasesVector<K>(row, groups, phase, phaseSize);
#else
    (void)vector;
#endif
    for (; j < groups; ++j)
        for (int p = 0; p < K; ++p) phase[std::size_t(p) * phaseSize + j] = row[j * K + p];
    for (std::int32_t x = groups * K; x < count; ++x)
        phase[std::size_t(x % K) * phaseSize + groups] = row[x];
}

void split(const std::uint16_t *row, std::int32_t count, std::int32_t k, std::uint16_t *phase,
           std::size_t phaseSize, bool vector) {
    switch (k) {
    case 2: splitPhasesOf<2>(row, count, phase, phaseSize, vector); break;
    case 4: splitPhasesOf<4>(row, count, phase, phaseSize, vector); break;
    default: splitPhasesOf<8>(row, count, phase, phaseSize, vector); break;
    }
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
            splitPhases(row, count, k, phase, phaseSize);
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

void splitPhases(const std::uint16_t *row, std::int32_t count, std::int32_t k, std::uint16_t *phase,
                 std::size_t phaseSize) {
    split(row, count, k, phase, phaseSize, true);
}

void splitPhasesReference(const std::uint16_t *row, std::int32_t count, std::int32_t k,
                          std::uint16_t *phase, std::size_t phaseSize) {
    split(row, count, k, phase, phaseSize, false);
}

}  // namespace placidor::motion
