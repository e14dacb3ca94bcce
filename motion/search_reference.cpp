// The searches exactly as described, candidate by candidate with
// matchScore: what the engine's searches are checked against.
#include "motion/search.h"

#include <cassert>

namespace placidor::motion {

Match exhaustiveSearchReference(const std::uint8_t *reference, const std::uint8_t *current,
                                SearchContext &ctx) {
    Match match;
    const std::int32_t range = ctx.searchRange;
    bool first = true;
    for (std::int32_t dy = -range; dy <= range; ++dy) {
        for (std::int32_t dx = -range; dx <= range; ++dx) {
            const double score = candidateScore(dx, dy, reference, current, ctx);
            assert(ctx.cache->contains(dx, dy));
            ctx.cache->entry(dx, dy) = score;
            if (first || score > match.score) {
                match.score = score;
                match.dx = dx;
                match.dy = dy;
                first = false;
            }
        }
    }
    return match;
}

Displacement squareStep(Match &match, Displacement centre, std::int32_t radius,
                        const std::uint8_t *reference, const std::uint8_t *current,
                        SearchContext &ctx) {
    assert(radius >= 1 && radius <= 100);
    ScoreCache &cache = *ctx.cache;
    for (std::int32_t dx = centre.dx - radius; dx <= centre.dx + radius; ++dx) {
        for (std::int32_t dy = centre.dy - radius; dy <= centre.dy + radius; ++dy) {
            assert(cache.contains(dx, dy));
            double &entry = cache.entry(dx, dy);
            if (entry == 0.0) entry = candidateScore(dx, dy, reference, current, ctx);
        }
    }
    Displacement best = centre;
    double bestScore = cache.entry(centre.dx, centre.dy);
    for (std::int32_t dx = centre.dx - radius; dx <= centre.dx + radius; ++dx) {
        for (std::int32_t dy = centre.dy - radius; dy <= centre.dy + radius; ++dy) {
            const double score = cache.entry(dx, dy);
            if (score > bestScore) {
                bestScore = score;
                best = {dx, dy};
            }
        }
    }
    if (best == centre) {
        match.score = bestScore;
        match.dx = centre.dx;
        match.dy = centre.dy;
    }
    return best;
}

Match iterativeSearchReference(const std::uint8_t *reference, const std::uint8_t *current,
                               SearchContext &ctx) {
    Match match;
    iterativeSearchFrom(match, {0, 0}, reference, current, ctx, squareStep);
    return match;
}

}  // namespace placidor::motion
