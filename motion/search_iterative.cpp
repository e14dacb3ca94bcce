// The iterative search: the driver, and the square step as the engine runs
// it, which gives the same result as the plain step of search.h with far
// fewer sample comparisons.
//
// The plain step's result is the best of the square under one total order:
// a higher score wins; on equal scores the centre wins, then the candidate
// earlier in the step's order (column, then row, ascending). That order is
// the same in every square, so the candidates may be visited in any order
// as long as each comparison follows it, and a candidate only has to be
// scored as far as needed to know that it loses to the best so far.
//
// A candidate that loses to a point q of a square can never be chosen later
// in the frame: while the centre stays, the squares only grow and keep q;
// once the centre moves, it moves to a point at least as good as q, and
// from then on a candidate must beat the centre strictly. Such a candidate
// is marked ruled out in the cache instead of being given a score, so that
// no later step scores it again. Every score that the cache holds is exact.
#include <cassert>
#include <cmath>
#include <cstdlib>

#include "motion/candidate_block.h"
#include "motion/search.h"

namespace placidor::motion {

namespace {

// Scores are <= 0, so a positive entry is never a score.
constexpr double kRuledOut = 1.0;

// True when (dx1, dy1) comes before (dx2, dy2) in the square step's order.
bool earlier(std::int32_t dx1, std::int32_t dy1, std::int32_t dx2, std::int32_t dy2) {
    return dx1 < dx2 || (dx1 == dx2 && dy1 < dy2);
}

}  // namespace

void iterativeSearchFrom(Match &match, Displacement centre, const std::uint8_t *reference,
                         const std::uint8_t *current, SearchContext &ctx, SquareStepFn step) {
    const std::int32_t range = ctx.searchRange;
    const std::int32_t halfWidth = ctx.geometry.width / 2;
    const std::int32_t halfHeight = ctx.geometry.height / 2;
    std::int32_t radius = 1;
    for (;;) {
        // The corner tests take a + r and b + r, not |a| + r: a square around
        // a centre left of zero may reach below -R.
        if (radius > range / 2 || std::abs(centre.dx + radius) > range ||
            std::abs(centre.dy + radius) > range)
            return;
        const Displacement best = step(match, centre, radius, reference, current, ctx);
        if (best == centre) {
            ++radius;
        } else if (std::abs(best.dy) + range < halfHeight - 1 &&
                   std::abs(best.dx) + range < halfWidth - 1) {
            centre = best;
            radius = 1;
        } else {
            ++radius;
        }
    }
}

Displacement squareStepPruned(Match &match, Displacement centre, std::int32_t radius,
                              const std::uint8_t *reference, const std::uint8_t *current,
                              SearchContext &ctx) {
    assert(radius >= 1);
    ScoreCache &cache = *ctx.cache;
    const ScoreKernels &k = *ctx.kernels;
    const std::int32_t x0 = centre.dx - radius, x1 = centre.dx + radius;
    const std::int32_t y0 = centre.dy - radius, y1 = centre.dy + radius;
    assert(cache.contains(x0, y0) && cache.contains(x1, y1));

    // The centre is the first square's start or an earlier square's best:
    // never ruled out. A score of 0.0 is scored again, as 0.0 marks "not
    // scored".
    double &centreEntry = cache.entry(centre.dx, centre.dy);
    assert(centreEntry <= 0.0);
    if (centreEntry == 0.0)
        centreEntry = candidateScore(centre.dx, centre.dy, reference, current, ctx);

    Displacement best = centre;
    double bestScore = centreEntry;
    const auto beats = [&](double score, std::int32_t dx, std::int32_t dy) {
        return score > bestScore ||
               (score == bestScore && !(best == centre) && earlier(dx, dy, best.dx, best.dy));
    };

    // Rows outer for the cache's memory order; the order is free (above).
    // First the scores already known, so that the best starts as good as
    // the square allows without scoring anything.
    for (std::int32_t dy = y0; dy <= y1; ++dy) {
        const double *row = &cache.entry(x0, dy);
        for (std::int32_t dx = x0; dx <= x1; ++dx) {
            const double score = row[dx - x0];
            if (score < 0.0 && beats(score, dx, dy)) {
                best = {dx, dy};
                bestScore = score;
            }
        }
    }
    // Then the rest, each scored only until it is known to lose.
    for (std::int32_t dy = y0; dy <= y1; ++dy) {
        double *row = &cache.entry(x0, dy);
        for (std::int32_t dx = x0; dx <= x1; ++dx) {
            double &entry = row[dx - x0];
            if (entry != 0.0 || (dx == centre.dx && dy == centre.dy)) continue;
            // The largest sum with which this candidate still wins: the
            // best's sum, less one unless it takes ties from the best.
            // (Scores are whole numbers; floor and ceil only matter for a
            // cache filled by hand.)
            const double need = -bestScore;
            const bool takesTies = !(best == centre) && earlier(dx, dy, best.dx, best.dy);
            const double bound = takesTies ? std::floor(need) : std::ceil(need) - 1.0;
            if (bound < 0.0) {
                entry = kRuledOut;  // nothing beats a perfect match
                continue;
            }
            const auto limit = static_cast<std::uint64_t>(bound);
            const CandidateBlock b = candidateBlock(dx, dy, reference, current, ctx.geometry);
            const std::uint64_t sum =
                b.empty ? 0
                        : k.positiveDiffSumBounded(b.ref, b.cur, b.stride, b.cols, b.rows, limit);
            if (sum > limit) {
                entry = kRuledOut;
                continue;
            }
            entry = scoreOfSum(b, sum);
            best = {dx, dy};
            bestScore = entry;
        }
    }

    if (best == centre) {
        match.score = centreEntry;
        match.dx = centre.dx;
        match.dy = centre.dy;
    }
    return best;
}

Match iterativeSearch(const std::uint8_t *reference, const std::uint8_t *current,
                      SearchContext &ctx) {
    Match match;
    iterativeSearchFrom(match, {0, 0}, reference, current, ctx, squareStepPruned);
    return match;
}

}  // namespace placidor::motion
