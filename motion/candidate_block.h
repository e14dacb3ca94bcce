// The kernel arguments of one candidate displacement: the searches call the
// score kernels directly with these, so that they can prune and batch.
#pragma once

#include <cstddef>
#include <cstdint>

#include "motion/score.h"

namespace placidor::motion {

// Candidate (dx, dy) is matchScore(dx, -dy): the same window and rows.
struct CandidateBlock {
    const std::uint8_t *ref = nullptr;
    const std::uint8_t *cur = nullptr;
    std::ptrdiff_t stride = 0;
    std::int32_t cols = 0, rows = 0;
    std::int32_t left = 0, right = -1;
    bool empty = true;
};

inline CandidateBlock candidateBlock(std::int32_t dx, std::int32_t dy,
                                     const std::uint8_t *reference, const std::uint8_t *current,
                                     const ScoreGeometry &g) {
    const std::int32_t a = dx, b = -dy;
    const ScoreWindow w = scoreWindow(g, a, b);
    CandidateBlock k;
    k.left = w.left;
    k.right = w.right;
    if (w.empty()) return k;
    k.empty = false;
    const std::ptrdiff_t width = g.width;
    k.cols = w.right - w.left + 1;
    k.rows = (w.bottom - w.top) / g.rowStep + 1;
    k.stride = width * g.rowStep;
    k.ref = reference + w.top * width + w.left;
    k.cur = current + (std::ptrdiff_t{w.top} + b) * width + (std::ptrdiff_t{w.left} + a);
    return k;
}

// The score matchScore gives a candidate whose positive-difference sum is
// `sum`, bit for bit: +0.0 for an empty window, -sum otherwise (so -0.0 for
// a perfect match).
inline double scoreOfSum(const CandidateBlock &b, std::uint64_t sum) {
    return b.empty ? 0.0 : -static_cast<double>(sum);
}

}  // namespace placidor::motion
