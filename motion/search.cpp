#include "motion/search.h"

#include <cassert>

namespace placidor::motion {

using trajectory::FrameRecord;

std::int32_t findDisplacement(FrameRecord &record, const std::uint8_t *reference,
                              const std::uint8_t *current, SearchContext &ctx) {
    if (ctx.searchMethod == 1) return iterativeSearch(record, reference, current, ctx);
    return exhaustiveSearch(record, reference, current, ctx);
}

std::int32_t exhaustiveSearchReference(FrameRecord &record, const std::uint8_t *reference,
                                       const std::uint8_t *current, SearchContext &ctx) {
    record.score = 0.0;
    record.dx = 0;
    record.dy = 0;
    const std::int32_t range = ctx.searchRange;
    bool first = true;
    for (std::int32_t dy = -range; dy <= range; ++dy) {
        for (std::int32_t dx = -range; dx <= range; ++dx) {
            const double score = candidateScore(dx, dy, reference, current, ctx);
            assert(ctx.cache->contains(dx, dy));
            ctx.cache->entry(dx, dy) = score;
            if (first || score > record.score) {
                record.score = score;
                record.dx = dx;
                record.dy = dy;
                first = false;
            }
        }
    }
    return 0;
}

Displacement squareStep(FrameRecord &record, Displacement centre, std::int32_t radius,
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
        record.score = bestScore;
        record.dx = centre.dx;
        record.dy = centre.dy;
    }
    return best;
}

std::int32_t iterativeSearchReference(FrameRecord &record, const std::uint8_t *reference,
                                      const std::uint8_t *current, SearchContext &ctx) {
    record.score = 0.0;
    record.dx = 0;
    record.dy = 0;
    iterativeSearchFrom(record, {0, 0}, reference, current, ctx, squareStep);
    return 0;
}

}  // namespace placidor::motion
