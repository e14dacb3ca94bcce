// The displacement searches: exhaustive and iterative.
#pragma once

#include <cstdint>

#include "motion/score.h"
#include "motion/score_cache.h"
#include "trajectory/records.h"

namespace placidor::motion {

struct Displacement {
    std::int32_t dx = 0;
    std::int32_t dy = 0;
    bool operator==(const Displacement &) const = default;
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
    // benchmarks; the record is the same either way).
    bool prune = true;
};

// Candidate (dx, dy): what the reference shows at (y, x) the current frame
// shows at (y - dy, x + dx).
inline double candidateScore(std::int32_t dx, std::int32_t dy, const std::uint8_t *reference,
                             const std::uint8_t *current, const SearchContext &ctx) {
    return matchScore(dx, -dy, reference, current, ctx.geometry, *ctx.kernels);
}

// Fills record.score, dx and dy; always returns 0.
std::int32_t findDisplacement(trajectory::FrameRecord &record, const std::uint8_t *reference,
                              const std::uint8_t *current, SearchContext &ctx);

// Every candidate of the square -R..R, dy outer, dx inner; the first
// candidate or a strictly better one wins, so of equal scores the earliest
// in that order. With ctx.prune, candidates that can no longer win are
// abandoned part-way and their cache entries are not written (nothing
// reads the cache after an exhaustive search; the next frame clears it);
// without, every score is stored. The record is the same either way.
std::int32_t exhaustiveSearch(trajectory::FrameRecord &record, const std::uint8_t *reference,
                              const std::uint8_t *current, SearchContext &ctx);

// The exhaustive search exactly as described: matchScore for every
// candidate in scan order, every score stored. What the fast paths are
// checked against.
std::int32_t exhaustiveSearchReference(trajectory::FrameRecord &record,
                                       const std::uint8_t *reference,
                                       const std::uint8_t *current, SearchContext &ctx);

// Climbs from (0, 0) through squares of growing radius, reusing scores
// through the cache; the engine's square step (squareStepPruned).
std::int32_t iterativeSearch(trajectory::FrameRecord &record, const std::uint8_t *reference,
                             const std::uint8_t *current, SearchContext &ctx);

// The iterative search exactly as described, with the plain squareStep:
// what the engine's search is checked against.
std::int32_t iterativeSearchReference(trajectory::FrameRecord &record,
                                      const std::uint8_t *reference,
                                      const std::uint8_t *current, SearchContext &ctx);

using SquareStepFn = Displacement (*)(trajectory::FrameRecord &record, Displacement centre,
                                      std::int32_t radius, const std::uint8_t *reference,
                                      const std::uint8_t *current, SearchContext &ctx);

// The driver: square steps of growing radius around `centre`, moving the
// centre to a better point inside the centre bound, until a stop test.
void iterativeSearchFrom(trajectory::FrameRecord &record, Displacement centre,
                         const std::uint8_t *reference, const std::uint8_t *current,
                         SearchContext &ctx, SquareStepFn step);

// The square of `radius` around `centre`: scores every candidate whose
// entry is 0.0, returns the best (the centre on equal scores, else the
// first in column-then-row order) and writes the record when that is the
// centre.
Displacement squareStep(trajectory::FrameRecord &record, Displacement centre, std::int32_t radius,
                        const std::uint8_t *reference, const std::uint8_t *current,
                        SearchContext &ctx);

// The same result and record as squareStep, but a candidate is scored only
// until its partial sum loses to the best point so far, and one that loses
// is marked ruled out (a positive entry) instead of scored: it can never be
// chosen later in the frame. Every negative entry stays an exact score. The
// cache must hold only exact scores, 0.0 and these marks.
Displacement squareStepPruned(trajectory::FrameRecord &record, Displacement centre,
                              std::int32_t radius, const std::uint8_t *reference,
                              const std::uint8_t *current, SearchContext &ctx);

}  // namespace placidor::motion
