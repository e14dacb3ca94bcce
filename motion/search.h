// The displacement searches: exhaustive and iterative.
#pragma once

#include <cstdint>

#include "motion/block_bounds.h"
#include "motion/score.h"
#include "motion/score_cache.h"

namespace placidor::motion {

struct Displacement {
    std::int32_t dx = 0;
    std::int32_t dy = 0;
    bool operator==(const Displacement &) const = default;
};

// A search's answer: the chosen displacement and its match score.
struct Match {
    double score = 0.0;
    std::int32_t dx = 0;
    std::int32_t dy = 0;
};

// Everything a search reads besides the two planes.
struct SearchContext {
    ScoreGeometry geometry;
    std::int32_t searchRange = 0;
    std::int32_t searchMethod = 0;
    ScoreCache *cache = nullptr;
    const ScoreKernels *kernels = nullptr;
    // Where the exhaustive search looks first, e.g. the previous frame's
    // displacement; (0, 0) is tried next. Only the speed depends on it.
    Displacement guess;
    // false: the exhaustive search scores every candidate in full (for
    // benchmarks; the match is the same either way).
    bool prune = true;
    // Block-sum bounds for the pruned exhaustive search, allocated for this
    // geometry and range; nullptr (or unusable): partial sums alone.
    BlockBounds *bounds = nullptr;
};

// Candidate (dx, dy): what the reference shows at (y, x) the current frame
// shows at (y - dy, x + dx).
inline double candidateScore(std::int32_t dx, std::int32_t dy, const std::uint8_t *reference,
                             const std::uint8_t *current, const SearchContext &ctx) {
    return matchScore(dx, -dy, reference, current, ctx.geometry, *ctx.kernels);
}

Match exhaustiveSearch(const std::uint8_t *reference, const std::uint8_t *current,
                       SearchContext &ctx);
Match iterativeSearch(const std::uint8_t *reference, const std::uint8_t *current,
                      SearchContext &ctx);

// The search that ctx.searchMethod selects: 1 iterative, any other value
// exhaustive.
inline Match findDisplacement(const std::uint8_t *reference, const std::uint8_t *current,
                              SearchContext &ctx) {
    if (ctx.searchMethod == 1) return iterativeSearch(reference, current, ctx);
    return exhaustiveSearch(reference, current, ctx);
}

// exhaustiveSearch: every candidate of the square -R..R, dy outer, dx
// inner; the first candidate or a strictly better one wins, so of equal
// scores the earliest in that order. With ctx.prune, candidates that can no
// longer win are abandoned part-way and their cache entries are not written
// (nothing reads the cache after an exhaustive search; the next frame
// clears it); without, every score is stored. The match is the same either
// way. With R < 0 it is (0.0, 0, 0).

// The exhaustive search exactly as described: matchScore for every
// candidate in scan order, every score stored. What the fast paths are
// checked against.
Match exhaustiveSearchReference(const std::uint8_t *reference, const std::uint8_t *current,
                                SearchContext &ctx);

// iterativeSearch: climbs from (0, 0) through squares of growing radius,
// reusing scores through the cache, with the engine's square step
// (squareStepPruned). (0.0, 0, 0) until a step keeps its centre.

// The iterative search exactly as described, with the plain squareStep:
// what the engine's search is checked against.
Match iterativeSearchReference(const std::uint8_t *reference, const std::uint8_t *current,
                               SearchContext &ctx);

using SquareStepFn = Displacement (*)(Match &match, Displacement centre, std::int32_t radius,
                                      const std::uint8_t *reference, const std::uint8_t *current,
                                      SearchContext &ctx);

// The driver: square steps of growing radius around `centre`, moving the
// centre to a better point inside the centre bound, until a stop test.
void iterativeSearchFrom(Match &match, Displacement centre, const std::uint8_t *reference,
                         const std::uint8_t *current, SearchContext &ctx, SquareStepFn step);

// The square of `radius` around `centre`: scores every candidate whose
// entry is 0.0, returns the best (the centre on equal scores, else the
// first in column-then-row order) and writes `match` when that is the
// centre.
Displacement squareStep(Match &match, Displacement centre, std::int32_t radius,
                        const std::uint8_t *reference, const std::uint8_t *current,
                        SearchContext &ctx);

// The same result and match as squareStep, but a candidate is scored only
// until its partial sum loses to the best point so far, and one that loses
// is marked ruled out (a positive entry) instead of scored: it can never be
// chosen later in the frame. Every negative entry stays an exact score. The
// cache must hold only exact scores, 0.0 and these marks.
Displacement squareStepPruned(Match &match, Displacement centre, std::int32_t radius,
                              const std::uint8_t *reference, const std::uint8_t *current,
                              SearchContext &ctx);

}  // namespace placidor::motion
