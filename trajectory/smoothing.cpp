#include "trajectory/smoothing.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

namespace placidor::trajectory {

namespace {

// Weighted sum and weight total of one axis at position i, window of
// half-width h (>= 1), cut to the segment [a, b]. Weights h - |j| for
// |j| < h; offsets at distance h weigh 0 and are skipped, as are offsets
// outside the segment, so the loop never leaves [a, b].
template <typename Get>
void directAverage(std::int64_t i, std::int64_t a, std::int64_t b, std::int64_t h, Get value,
                   double &sum, double &total) {
    sum = 0.0;
    total = 0.0;
    const std::int64_t lo = std::max(a, i - (h - 1));
    const std::int64_t hi = std::min(b, i + (h - 1));
    for (std::int64_t k = lo; k <= hi; ++k) {
        const std::int64_t weight = h - std::llabs(k - i);
        sum += static_cast<double>(std::int64_t{value(k)} * weight);
        total += static_cast<double>(weight);
    }
}

std::int64_t effectiveHalfWindow(std::int32_t h) { return h < 1 ? 1 : h; }

// Running sums of one axis over a segment: s0[k] = sum of v before k,
// s1[k] = sum of (k' * v) before k, positions relative to the segment start.
struct PrefixSums {
    std::vector<std::int64_t> s0, s1;
};

// Exact when every partial sum stays below 2^53: then the direct loop's
// double additions are exact too, and both give the same bits. The bound
// keeps the 64-bit sums from overflowing as well; beyond it (absurd windows
// over absurd displacements) the direct loop runs instead.
bool integerSumsSafe(std::int64_t maxAbs, std::int64_t length, std::int64_t h) {
    const double bound = static_cast<double>(maxAbs + 1) * static_cast<double>(length + 1) *
                         (static_cast<double>(h) + static_cast<double>(length) + 1.0) * 4.0;
    return bound < 9007199254740992.0;  // 2^53
}

void runningAverages(std::int64_t a, std::int64_t b, std::int64_t h, const PrefixSums &p,
                     std::vector<double> &avg) {
    const std::int64_t n = b - a + 1;
    for (std::int64_t r = 0; r < n; ++r) {
        const std::int64_t lo = std::max<std::int64_t>(0, r - (h - 1));
        const std::int64_t hi = std::min<std::int64_t>(n - 1, r + (h - 1));
        // Left part k in [lo, r]: weight h - r + k. Right part k in (r, hi]:
        // weight h + r - k.
        const std::int64_t l0 = p.s0[r + 1] - p.s0[lo], l1 = p.s1[r + 1] - p.s1[lo];
        const std::int64_t r0 = p.s0[hi + 1] - p.s0[r + 1], r1 = p.s1[hi + 1] - p.s1[r + 1];
        const std::int64_t sum = (h - r) * l0 + l1 + (h + r) * r0 - r1;
        // Sum of weights: arithmetic series on each side.
        const std::int64_t leftCount = r - lo + 1, rightCount = hi - r;
        const std::int64_t leftTotal = leftCount * (2 * h - leftCount + 1) / 2;
        const std::int64_t rightTotal = rightCount * (2 * h - rightCount - 1) / 2;
        avg[r] = static_cast<double>(sum) / static_cast<double>(leftTotal + rightTotal);
    }
}

}  // namespace

void smoothSegmentDirect(FrameList &frames, std::int64_t first, std::int64_t last,
                         const SmoothingSettings &settings) {
    if (first > last) return;
    const std::int64_t hx = effectiveHalfWindow(settings.halfWindowX);
    const std::int64_t hy = effectiveHalfWindow(settings.halfWindowY);
    const auto dxAt = [&](std::int64_t k) { return frames[k].dx; };
    const auto dyAt = [&](std::int64_t k) { return frames[k].dy; };
    double previousX = 0.0, previousY = 0.0;
    for (std::int64_t i = first; i <= last; ++i) {
        FrameRecord &record = frames[i];
        if (settings.averaging) {
            double sumX, totalX, sumY, totalY;
            directAverage(i, first, last, hx, dxAt, sumX, totalX);
            directAverage(i, first, last, hy, dyAt, sumY, totalY);
            record.correctionX = sumX / totalX + previousX - record.dx;
            record.correctionY = sumY / totalY + previousY - record.dy;
        } else {
            record.correctionX = previousX - record.dx;
            record.correctionY = previousY - record.dy;
        }
        previousX = record.correctionX;
        previousY = record.correctionY;
    }
}

void smoothSegment(FrameList &frames, std::int64_t first, std::int64_t last,
                   const SmoothingSettings &settings) {
    if (first > last) return;
    if (!settings.averaging) {
        smoothSegmentDirect(frames, first, last, settings);
        return;
    }
    const std::int64_t n = last - first + 1;
    const std::int64_t hx = effectiveHalfWindow(settings.halfWindowX);
    const std::int64_t hy = effectiveHalfWindow(settings.halfWindowY);
    std::int64_t maxAbs = 0;
    for (std::int64_t k = first; k <= last; ++k)
        maxAbs =
            std::max<std::int64_t>({maxAbs, std::llabs(frames[k].dx), std::llabs(frames[k].dy)});
    if (!integerSumsSafe(maxAbs, n, std::max(hx, hy))) {
        smoothSegmentDirect(frames, first, last, settings);
        return;
    }
    PrefixSums px, py;
    std::vector<double> avgX, avgY;
    try {
        px.s0.resize(n + 1);
        px.s1.resize(n + 1);
        py.s0.resize(n + 1);
        py.s1.resize(n + 1);
        avgX.resize(n);
        avgY.resize(n);
    } catch (const std::bad_alloc &) {
        smoothSegmentDirect(frames, first, last, settings);
        return;
    }
    for (std::int64_t r = 0; r < n; ++r) {
        const FrameRecord &record = frames[first + r];
        px.s0[r + 1] = px.s0[r] + record.dx;
        px.s1[r + 1] = px.s1[r] + r * record.dx;
        py.s0[r + 1] = py.s0[r] + record.dy;
        py.s1[r + 1] = py.s1[r] + r * record.dy;
    }
    runningAverages(first, last, hx, px, avgX);
    runningAverages(first, last, hy, py, avgY);
    double previousX = 0.0, previousY = 0.0;
    for (std::int64_t r = 0; r < n; ++r) {
        FrameRecord &record = frames[first + r];
        record.correctionX = avgX[r] + previousX - record.dx;
        record.correctionY = avgY[r] + previousY - record.dy;
        previousX = record.correctionX;
        previousY = record.correctionY;
    }
}

}  // namespace placidor::trajectory
