// Lower bounds on a candidate's positive-difference sum from block sums,
// with which the exhaustive search rules out most candidates after reading
// a small fraction of the samples.
//
// For any set of samples, the sum of max(d, 0) over the set is at least
// max(sum of d, 0) over the set. Tiling the window with k x k blocks, the
// candidate's sum is therefore at least the sum over the blocks of
// max(current block sum - reference block sum, 0): the same positive-
// difference sum, over planes of block sums with k * k times fewer samples.
// Samples the tiling leaves out only add to the true sum. Coarser tilings
// give weaker bounds (a k x k block is four k/2 x k/2 ones), so the search
// tries the 8 x 8 tiling first, then 4 x 4, then 2 x 2, and scores in full
// only the candidates that none of them rules out.
//
// The reference's blocks lie on a grid anchored at the window's top-left
// sample. The current plane's blocks sit at every offset, so its sums are
// kept for every position, split by position modulo k into k * k planes of
// their own: the blocks of one candidate are then one rectangle of
// consecutive samples in one of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "motion/score.h"

namespace placidor::motion {

class BlockBounds {
public:
    static constexpr int kLevels = 3;
    // Block sides, coarsest first. Sums of 8 x 8 samples stay below 32768,
    // as the 16-bit kernel needs.
    static constexpr std::int32_t kSides[kLevels] = {8, 4, 2};

    // Sizes the work space for searches over `g` with `range`. False when
    // the bounds do not apply (a row step other than 1, a window too small
    // to be worth it) or memory is short: the search then goes without.
    bool allocate(const ScoreGeometry &g, std::int32_t range);
    bool usable() const { return usable_; }

    // The block sums of one pair of planes; before bound().
    void prepare(const std::uint8_t *reference, const std::uint8_t *current);

    // For a search over a sequence of frame pairs. begin() names the pair
    // and says whether to use the bounds for it; their sums are worked out
    // at the first bound() (a search that needs none pays nothing). end()
    // reports how many candidates the bounds were asked about and how many
    // they ruled out: when fewer than half of at least 64, the next
    // kSkippedPairs pairs go without them (their sums cost more than they
    // save there), then they are tried again.
    static constexpr int kSkippedPairs = 7;
    bool begin(const std::uint8_t *reference, const std::uint8_t *current);
    void end(std::int64_t asked, std::int64_t ruledOut);

    // A lower bound on the positive-difference sum of offset (a, b) at
    // `level`; like the bounded kernel, possibly a partial one once it
    // exceeds `limit`.
    std::uint64_t bound(int level, std::int32_t a, std::int32_t b, std::uint64_t limit,
                        const ScoreKernels &k);

private:
    struct Level {
        std::int32_t side = 0;
        // The reference's block sums: gridRows x gridCols.
        std::int32_t gridCols = 0, gridRows = 0;
        std::unique_ptr<std::uint16_t[]> reference;
        // The current plane's box sums, phase plane (py, px) at
        // (py * side + px) * phaseRows * phaseCols: entry (i, j) is the box
        // whose top-left sample is region (py + i * side, px + j * side).
        std::int32_t phaseCols = 0, phaseRows = 0;
        std::unique_ptr<std::uint16_t[]> current;
    };

    ScoreGeometry g_;
    std::int32_t range_ = 0;
    bool usable_ = false;
    const std::uint8_t *pendingReference_ = nullptr, *pendingCurrent_ = nullptr;
    int skip_ = 0;
    // The window's first column and row (the reference grid's anchor) and
    // the part of the current plane any candidate reads.
    std::int32_t left_ = 0, top_ = 0;
    std::int32_t regionLeft_ = 0, regionTop_ = 0, regionCols_ = 0, regionRows_ = 0;
    Level levels_[kLevels];
    // Box sums at every position of the region, for one side at a time.
    std::unique_ptr<std::uint16_t[]> boxes_, finer_;
};

// One row of `count` box sums split by column modulo k (2, 4 or 8): box x
// goes to phase x % k, entry x / k, the phases' rows `phaseSize` apart.
// Sums below 32768, as every block plane holds. With SSE2 where the
// target has it; the reference is the plain loop, and both write the
// same entries.
void splitPhases(const std::uint16_t *row, std::int32_t count, std::int32_t k, std::uint16_t *phase,
                 std::size_t phaseSize);
void splitPhasesReference(const std::uint16_t *row, std::int32_t count, std::int32_t k,
                          std::uint16_t *phase, std::size_t phaseSize);

}  // namespace placidor::motion
