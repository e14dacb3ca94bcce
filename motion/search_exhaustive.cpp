// The exhaustive search as it runs in the engine: the same match as the
// scan described in search.h, found with fewer sample comparisons.
//
// The winner is the minimum of (sum, scan index) over all candidates,
// where sum is the positive-difference sum (the score negated): the scan
// keeps the first candidate and replaces it only by a strictly lower sum.
// That order is total, so the candidates may be visited in any order as
// long as each comparison follows it: a candidate earlier in the scan than
// the best so far wins on an equal sum, a later one needs a lower sum.
// Since a sum only grows as rows are added, a candidate whose partial sum
// already fails that test is abandoned; with block-sum bounds
// (block_bounds.h), most fail it on a bound before any sample is compared.
#include <algorithm>
#include <cassert>

#include "motion/candidate_block.h"
#include "motion/search.h"

namespace placidor::motion {

namespace {

void storeScore(ScoreCache &cache, std::int32_t dx, std::int32_t dy, double score) {
    // A search range of half the frame (possible for small frames) may
    // reach a displacement without an entry; nothing reads these back.
    if (cache.contains(dx, dy)) cache.entry(dx, dy) = score;
}

void writeMatch(Match &match, double score, std::int32_t dx, std::int32_t dy) {
    match.score = score;
    match.dx = dx;
    match.dy = dy;
}

// Every candidate scored in full, four neighbours at a time where they
// share a window (everywhere but near |dx| = R when the measurement window
// touches the frame's edge).
void exhaustiveFull(Match &match, const std::uint8_t *reference, const std::uint8_t *current,
                    SearchContext &ctx) {
    const std::int32_t range = ctx.searchRange;
    const ScoreKernels &k = *ctx.kernels;
    ScoreCache &cache = *ctx.cache;
    bool first = true;
    std::uint64_t bestSum = 0;
    const auto consider = [&](std::int32_t dx, std::int32_t dy, std::uint64_t sum, double score) {
        storeScore(cache, dx, dy, score);
        if (first || sum < bestSum) {
            first = false;
            bestSum = sum;
            writeMatch(match, score, dx, dy);
        }
    };
    for (std::int32_t dy = -range; dy <= range; ++dy) {
        std::int32_t dx = -range;
        while (dx <= range) {
            const CandidateBlock b0 = candidateBlock(dx, dy, reference, current, ctx.geometry);
            if (dx + 3 <= range && !b0.empty) {
                const CandidateBlock b3 =
                    candidateBlock(dx + 3, dy, reference, current, ctx.geometry);
                const CandidateBlock b1 =
                    candidateBlock(dx + 1, dy, reference, current, ctx.geometry);
                const CandidateBlock b2 =
                    candidateBlock(dx + 2, dy, reference, current, ctx.geometry);
                const auto same = [&](const CandidateBlock &o) {
                    return !o.empty && o.left == b0.left && o.right == b0.right;
                };
                if (same(b1) && same(b2) && same(b3)) {
                    std::uint64_t sums[4];
                    k.positiveDiffSumX4(b0.ref, b0.cur, b0.stride, b0.cols, b0.rows, sums);
                    for (int i = 0; i < 4; ++i)
                        consider(dx + i, dy, sums[i], scoreOfSum(b0, sums[i]));
                    dx += 4;
                    continue;
                }
            }
            const std::uint64_t sum =
                b0.empty ? 0 : k.positiveDiffSum(b0.ref, b0.cur, b0.stride, b0.cols, b0.rows);
            consider(dx, dy, sum, scoreOfSum(b0, sum));
            ++dx;
        }
    }
}

// The candidate with the lowest sum over a handful of rows spread down the
// window: a cheap estimate of the winner, used only to choose what to score
// first.
Displacement probeBest(const std::uint8_t *reference, const std::uint8_t *current,
                       const SearchContext &ctx) {
    constexpr std::int32_t probeRows = 8;
    const std::int32_t range = ctx.searchRange;
    const PositiveDiffSumFn sumFn = ctx.kernels->positiveDiffSum;
    Displacement best;
    bool first = true;
    std::uint64_t bestSum = 0;
    const auto probe = [&](std::int32_t dx, std::int32_t dy) {
        const CandidateBlock b = candidateBlock(dx, dy, reference, current, ctx.geometry);
        std::uint64_t sum = 0;
        if (!b.empty) {
            const std::int32_t spacing = std::max(1, b.rows / probeRows);
            const std::int32_t rows = (b.rows - 1) / spacing + 1;
            sum = sumFn(b.ref, b.cur, b.stride * spacing, b.cols, rows);
        }
        if (first || sum < bestSum) {
            first = false;
            bestSum = sum;
            best = {dx, dy};
        }
    };
    // Every second candidate each way, then the neighbours of the best of
    // those: a match is a few samples wide, so the coarse grid lands on
    // its slope.
    for (std::int32_t dy = -range; dy <= range; dy += 2)
        for (std::int32_t dx = -range; dx <= range; dx += 2) probe(dx, dy);
    const Displacement coarse = best;
    for (std::int32_t dy = std::max(-range, coarse.dy - 1); dy <= std::min(range, coarse.dy + 1);
         ++dy)
        for (std::int32_t dx = std::max(-range, coarse.dx - 1);
             dx <= std::min(range, coarse.dx + 1); ++dx)
            if (dx != coarse.dx || dy != coarse.dy) probe(dx, dy);
    return best;
}

void exhaustivePruned(Match &match, const std::uint8_t *reference, const std::uint8_t *current,
                      SearchContext &ctx) {
    const std::int32_t range = ctx.searchRange;
    const std::int64_t side = 2 * std::int64_t{range} + 1;
    const ScoreKernels &k = *ctx.kernels;
    ScoreCache &cache = *ctx.cache;
    bool haveBest = false;
    std::uint64_t bestSum = 0;
    std::int64_t bestIndex = 0;
    BlockBounds *bounds =
        ctx.bounds && ctx.bounds->begin(reference, current) ? ctx.bounds : nullptr;
    // The bounds pay only where they rule out most of the candidates they
    // are asked about; where block sums cancel out (frames of plain noise,
    // say) the partial sums alone are quicker. They are asked until they
    // have ruled out fewer than half of at least 64 candidates.
    std::int64_t asked = 0, ruledOut = 0;

    const auto consider = [&](std::int32_t dx, std::int32_t dy) {
        const std::int64_t index = (std::int64_t{dy} + range) * side + (std::int64_t{dx} + range);
        const CandidateBlock b = candidateBlock(dx, dy, reference, current, ctx.geometry);
        std::uint64_t sum = 0;
        if (!haveBest) {
            if (!b.empty) sum = k.positiveDiffSum(b.ref, b.cur, b.stride, b.cols, b.rows);
        } else {
            // The largest sum with which this candidate still wins.
            std::uint64_t limit = bestSum;
            if (index > bestIndex) {
                if (bestSum == 0) return;  // nothing later beats a perfect match
                limit = bestSum - 1;
            }
            // The coarsest bound first: it is the cheapest.
            // Past a perfect match, the first differing sample rules a
            // candidate out: the partial sum is as quick as any bound.
            if (!b.empty && bounds && limit > 0 && (asked < 64 || 2 * ruledOut >= asked)) {
                ++asked;
                for (int level = 0; level < BlockBounds::kLevels; ++level) {
                    if (bounds->bound(level, dx, -dy, limit, k) > limit) {
                        ++ruledOut;
                        return;
                    }
                }
            }
            if (!b.empty)
                sum = k.positiveDiffSumBounded(b.ref, b.cur, b.stride, b.cols, b.rows, limit);
            if (sum > limit) return;
        }
        storeScore(cache, dx, dy, scoreOfSum(b, sum));
        haveBest = true;
        bestSum = sum;
        bestIndex = index;
        writeMatch(match, scoreOfSum(b, sum), dx, dy);
    };

    // A good early best makes most later candidates fail within a few rows:
    // the guess first; unless it matches perfectly, the candidate that a
    // probe of a few rows rates best; then (0, 0) and the scan.
    Displacement early[3];
    int earlyCount = 0;
    const Displacement guess = ctx.guess;
    if (guess.dx >= -range && guess.dx <= range && guess.dy >= -range && guess.dy <= range) {
        early[earlyCount++] = guess;
        consider(guess.dx, guess.dy);
    }
    if (!(haveBest && bestSum == 0)) {
        const Displacement probed = probeBest(reference, current, ctx);
        bool seen = false;
        for (int i = 0; i < earlyCount; ++i) seen = seen || early[i] == probed;
        if (!seen) {
            early[earlyCount++] = probed;
            consider(probed.dx, probed.dy);
        }
    }
    bool zeroSeen = false;
    for (int i = 0; i < earlyCount; ++i) zeroSeen = zeroSeen || early[i] == Displacement{};
    if (!zeroSeen) {
        early[earlyCount++] = Displacement{};
        consider(0, 0);
    }
    for (std::int32_t dy = -range; dy <= range; ++dy) {
        for (std::int32_t dx = -range; dx <= range; ++dx) {
            bool seen = false;
            for (int i = 0; i < earlyCount; ++i)
                seen = seen || (early[i].dx == dx && early[i].dy == dy);
            if (!seen) consider(dx, dy);
        }
    }
    if (bounds) bounds->end(asked, ruledOut);
}

}  // namespace

Match exhaustiveSearch(const std::uint8_t *reference, const std::uint8_t *current,
                       SearchContext &ctx) {
    Match match;
    if (ctx.searchRange < 0) return match;
    assert(ctx.cache && ctx.kernels);
    if (ctx.prune) exhaustivePruned(match, reference, current, ctx);
    else exhaustiveFull(match, reference, current, ctx);
    return match;
}

}  // namespace placidor::motion
