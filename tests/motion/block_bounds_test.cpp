// The block-sum bounds: never above a candidate's true sum, tighter with
// smaller blocks, and equal to the tiling they describe at every offset.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "motion/block_bounds.h"
#include "motion/motion_test_util.h"
#include "support/synthetic_clip.h"

namespace placidor::motion {
namespace {

using test::Plane;

constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

// The bound worked out directly: the window of offset (a, b) tiled with
// side x side blocks from its grid anchor (the measurement window's first
// column and row), each block wholly inside counted as the positive part
// of its current sum minus its reference sum.
std::uint64_t tiledBound(const Plane &ref, const Plane &cur, const ScoreGeometry &g,
                         std::int32_t side, std::int32_t a, std::int32_t b) {
    const ScoreWindow w = scoreWindow(g, a, b);
    if (w.empty()) return 0;
    std::uint64_t bound = 0;
    for (std::int32_t y = g.measureTop; y + side - 1 <= w.bottom; y += side) {
        if (y < w.top) continue;
        for (std::int32_t x = g.measureLeft; x + side - 1 <= w.right; x += side) {
            if (x < w.left) continue;
            std::int64_t r = 0, c = 0;
            for (std::int32_t u = 0; u < side; ++u) {
                for (std::int32_t v = 0; v < side; ++v) {
                    r += ref[std::size_t(y + u) * g.width + (x + v)];
                    c += cur[std::size_t(y + u + b) * g.width + (x + v + a)];
                }
            }
            if (c > r) bound += std::uint64_t(c - r);
        }
    }
    return bound;
}

std::pair<Plane, Plane> texturedPair(std::int32_t W, std::int32_t H, std::uint32_t seed) {
    const testing::SyntheticClip clip(W, H, 16, seed);
    Plane ref(std::size_t(W) * H), cur(std::size_t(W) * H);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> grain(-3, 3);
    for (std::int32_t y = 0; y < H; ++y) {
        for (std::int32_t x = 0; x < W; ++x) {
            ref[std::size_t(y) * W + x] = clip.sample({0, 0}, y, x);
            const int v = clip.sample({3, -2}, y, x) + grain(rng);
            cur[std::size_t(y) * W + x] = std::uint8_t(std::clamp(v, 0, 255));
        }
    }
    return {ref, cur};
}

// Odd sizes, windows whose sides are no multiple of any block side, the
// whole frame (so that the window shrinks with the offset) and the middle
// half; random and textured planes.
TEST(BlockBounds, EqualTheirTilingAndNeverExceedTheTrueSum) {
    const ScoreKernels k = scoreKernelsUpTo(CpuLevel::C);
    std::mt19937 rng(0xb10c);
    for (auto [W, H] : {std::pair{61, 47}, std::pair{96, 64}}) {
        for (bool textured : {false, true}) {
            const auto [ref, cur] =
                textured ? texturedPair(W, H, 7u + W)
                         : std::pair{test::randomPlane(W, H, rng), test::randomPlane(W, H, rng)};
            for (std::int32_t range : {3, 8, 13}) {
                for (const ScoreGeometry &g :
                     {test::fullWindow(W, H), test::defaultWindow(W, H, range)}) {
                    ScoreGeometry cut = g;  // a window whose sides are odd
                    cut.measureRight = std::min(g.measureRight, W - 1) - 1;
                    for (const ScoreGeometry &geometry : {g, cut}) {
                        BlockBounds bounds;
                        if (!bounds.allocate(geometry, range)) {
                            // Only the middle half of the small frame is too small.
                            EXPECT_EQ(W, 61);
                            continue;
                        }
                        bounds.prepare(ref.data(), cur.data());
                        for (std::int32_t b = -range; b <= range; ++b) {
                            for (std::int32_t a = -range; a <= range; ++a) {
                                const std::uint64_t truth = static_cast<std::uint64_t>(
                                    -matchScore(a, b, ref.data(), cur.data(), geometry, k));
                                std::uint64_t finer = truth;
                                for (int level = BlockBounds::kLevels - 1; level >= 0; --level) {
                                    const std::int32_t side = BlockBounds::kSides[level];
                                    const std::uint64_t got =
                                        bounds.bound(level, a, b, kNoLimit, k);
                                    ASSERT_EQ(got, tiledBound(ref, cur, geometry, side, a, b))
                                        << "side " << side << " a " << a << " b " << b << " R "
                                        << range << " " << W << "x" << H;
                                    EXPECT_LE(got, finer) << "side " << side;
                                    finer = got;
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

// The bound on a moved copy: zero at the true offset, and the full sum of
// the blocks wherever the current plane is brighter by a constant.
// The vector split against the plain loop, bit for bit: every count up to
// 20 groups of each side and a few past (the vector loop's tail and the
// partial last group), sums at both ends of their range, and nothing
// written outside the entries a row owns.
TEST(BlockBounds, ThePhaseSplitMatchesThePlainLoop) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> sum(0, 32767), extreme(0, 3);
    for (const std::int32_t k : {2, 4, 8})
        for (std::int32_t count = 0; count <= 20 * k + k + 1; ++count) {
            SCOPED_TRACE("side " + std::to_string(k) + ", " + std::to_string(count) + " boxes");
            std::vector<std::uint16_t> row(std::size_t(count) + 1);
            for (std::uint16_t &v : row) {
                const int e = extreme(rng);
                v = std::uint16_t(e == 0 ? 0 : e == 1 ? 32767 : sum(rng));
            }
            // Phase rows longer than needed, the rest a marker.
            const std::size_t phaseSize = std::size_t(count / k) + 5;
            std::vector<std::uint16_t> fast(phaseSize * std::size_t(k), 0xfeed), plain(fast);
            splitPhases(row.data(), count, k, fast.data(), phaseSize);
            splitPhasesReference(row.data(), count, k, plain.data(), phaseSize);
            ASSERT_EQ(fast, plain);
            // The reference is the definition.
            for (std::int32_t x = 0; x < count; ++x)
                ASSERT_EQ(plain[std::size_t(x % k) * phaseSize + std::size_t(x / k)],
                          row[std::size_t(x)]);
        }
}

TEST(BlockBounds, ZeroAtAPerfectMatchAndExactForAnEvenBrightening) {
    const ScoreKernels k = scoreKernelsUpTo(CpuLevel::C);
    const std::int32_t W = 80, H = 56, range = 6;
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> byte(0, 240);
    Plane scene(std::size_t(W + 20) * (H + 20));
    for (auto &v : scene) v = std::uint8_t(byte(rng));
    Plane ref(std::size_t(W) * H), moved(ref.size()), brighter(ref.size());
    for (std::int32_t y = 0; y < H; ++y) {
        for (std::int32_t x = 0; x < W; ++x) {
            ref[std::size_t(y) * W + x] = scene[std::size_t(y + 10) * (W + 20) + x + 10];
            // (a, b) = (2, -3): the current frame shows reference (y, x) at (y - 3, x + 2).
            moved[std::size_t(y) * W + x] = scene[std::size_t(y + 13) * (W + 20) + x + 8];
            brighter[std::size_t(y) * W + x] = std::uint8_t(ref[std::size_t(y) * W + x] + 10);
        }
    }
    const ScoreGeometry g = test::defaultWindow(W, H, range);  // 41 x 29 samples
    BlockBounds bounds;
    ASSERT_TRUE(bounds.allocate(g, range));
    bounds.prepare(ref.data(), moved.data());
    for (int level = 0; level < BlockBounds::kLevels; ++level)
        EXPECT_EQ(bounds.bound(level, 2, -3, kNoLimit, k), 0u);
    bounds.prepare(ref.data(), brighter.data());
    for (int level = 0; level < BlockBounds::kLevels; ++level) {
        const std::int32_t side = BlockBounds::kSides[level];
        const std::uint64_t blocks = std::uint64_t(41 / side) * (29 / side);
        EXPECT_EQ(bounds.bound(level, 0, 0, kNoLimit, k), blocks * side * side * 10);
    }
}

// Bounds that ruled out fewer than half of the candidates they were asked
// about sit out the next pairs, then are tried again; sums are worked out
// only when a bound is asked for.
TEST(BlockBounds, SitOutPairsWhereTheyDidNotPay) {
    const ScoreKernels k = scoreKernelsUpTo(CpuLevel::C);
    const ScoreGeometry g = test::fullWindow(64, 48);
    std::mt19937 rng(3);
    const Plane ref = test::randomPlane(64, 48, rng), cur = test::randomPlane(64, 48, rng);
    BlockBounds bounds;
    ASSERT_TRUE(bounds.allocate(g, 4));
    ASSERT_TRUE(bounds.begin(ref.data(), cur.data()));
    EXPECT_EQ(bounds.bound(2, 1, 1, kNoLimit, k), tiledBound(ref, cur, g, 2, 1, 1));
    bounds.end(64, 40);  // paid: used for the next pair
    ASSERT_TRUE(bounds.begin(cur.data(), ref.data()));
    EXPECT_EQ(bounds.bound(2, 1, 1, kNoLimit, k), tiledBound(cur, ref, g, 2, 1, 1));
    bounds.end(63, 0);  // too few asked to judge
    ASSERT_TRUE(bounds.begin(ref.data(), cur.data()));
    bounds.end(64, 31);
    for (int i = 0; i < BlockBounds::kSkippedPairs; ++i)
        EXPECT_FALSE(bounds.begin(ref.data(), cur.data()));
    EXPECT_TRUE(bounds.begin(ref.data(), cur.data()));
    EXPECT_EQ(bounds.bound(1, -2, 3, kNoLimit, k), tiledBound(ref, cur, g, 4, -2, 3));
}

TEST(BlockBounds, NotUsedInFieldModeOrForSmallWindowsOrRanges) {
    BlockBounds bounds;
    EXPECT_FALSE(bounds.allocate(test::fullWindow(64, 48, 2), 4));
    EXPECT_FALSE(bounds.allocate(test::fullWindow(23, 48), 4));
    EXPECT_FALSE(bounds.allocate(test::fullWindow(64, 48), 0));
    EXPECT_FALSE(bounds.usable());
    EXPECT_TRUE(bounds.allocate(test::fullWindow(24, 24), 1));
    EXPECT_TRUE(bounds.usable());
}

}  // namespace
}  // namespace placidor::motion
