// Match score and score cache: the window, the row step, the sign of the
// differences, and the cache's layout and clearing.
#include <gtest/gtest.h>

#include <random>

#include "motion/motion_test_util.h"

namespace placidor::motion {
namespace {

using test::Plane;

const ScoreKernels &plainKernels() {
    static const ScoreKernels k = scoreKernelsUpTo(CpuLevel::C);
    return k;
}

ScoreGeometry window320(std::int32_t rowStep = 1) {
    ScoreGeometry g;
    g.width = 320;
    g.height = 240;
    g.measureLeft = 80;
    g.measureRight = 240;
    g.measureTop = 60;
    g.measureBottom = 180;
    g.rowStep = rowStep;
    return g;
}

TEST(MatchScore, CountsOnlyPositiveDifferences) {
    std::mt19937 rng(11);
    Plane ref(320 * 240);
    std::uniform_int_distribution<int> mid(10, 245);
    for (auto &v : ref) v = std::uint8_t(mid(rng));
    Plane up = ref, down = ref;
    for (auto &v : up) v += 10;
    for (auto &v : down) v -= 10;
    const ScoreGeometry g = window320();
    EXPECT_EQ(matchScore(0, 0, ref.data(), ref.data(), g, plainKernels()), 0.0);
    EXPECT_EQ(matchScore(0, 0, ref.data(), up.data(), g, plainKernels()), -10.0 * 19481);
    EXPECT_EQ(matchScore(0, 0, ref.data(), down.data(), g, plainKernels()), 0.0);
}

// Marker samples: current is 0 everywhere, reference 0 too, except for
// chosen current samples set to 1; the score then counts the marked
// samples the window compares.
TEST(MatchScore, WindowAndRowStep) {
    const Plane ref = test::flatPlane(320, 240, 0);
    const Plane ones = test::flatPlane(320, 240, 1);
    EXPECT_EQ(matchScore(0, 0, ref.data(), ones.data(), window320(1), plainKernels()), -19481.0);
    EXPECT_EQ(matchScore(0, 0, ref.data(), ones.data(), window320(2), plainKernels()), -9821.0);

    // Field mode 3 starts at the window's first row whatever its parity:
    // odd top 61 compares rows 61, 63, ... 179.
    ScoreGeometry odd = window320(2);
    odd.measureTop = 61;
    EXPECT_EQ(matchScore(0, 0, ref.data(), ones.data(), odd, plainKernels()), -161.0 * 60);
    Plane evenRows = ref;
    for (std::int32_t y = 0; y < 240; y += 2)
        for (std::int32_t x = 0; x < 320; ++x) evenRows[y * 320 + x] = 1;
    EXPECT_EQ(matchScore(0, 0, ref.data(), evenRows.data(), odd, plainKernels()), 0.0);
    EXPECT_EQ(matchScore(0, 1, ref.data(), evenRows.data(), odd, plainKernels()), -161.0 * 60);
}

TEST(MatchScore, WindowIsCutAtTheFrameEdges) {
    const Plane ref = test::flatPlane(320, 240, 0);
    ScoreGeometry g = window320();
    g.measureRight = 310;
    g.measureBottom = 230;
    const auto column = [&](std::int32_t x) {
        Plane p = ref;
        for (std::int32_t y = 0; y < 240; ++y) p[y * 320 + x] = 1;
        return p;
    };
    const auto row = [&](std::int32_t y) {
        Plane p = ref;
        for (std::int32_t x = 0; x < 320; ++x) p[y * 320 + x] = 1;
        return p;
    };
    // a = 10: right is 309, the last current column 319.
    EXPECT_EQ(matchScore(10, 0, ref.data(), column(319).data(), g, plainKernels()), -171.0);
    // a = -10: the last current column is 299, not 300.
    EXPECT_EQ(matchScore(-10, 0, ref.data(), column(299).data(), g, plainKernels()), -171.0);
    EXPECT_EQ(matchScore(-10, 0, ref.data(), column(300).data(), g, plainKernels()), 0.0);
    // b = 10: bottom is 229, the last current row 239.
    EXPECT_EQ(matchScore(0, 10, ref.data(), row(239).data(), g, plainKernels()), -231.0);
    // The first compared column is max(measureLeft, |a|).
    g.measureLeft = 0;
    EXPECT_EQ(matchScore(-10, 0, ref.data(), column(0).data(), g, plainKernels()), -171.0);
    EXPECT_EQ(matchScore(10, 0, ref.data(), column(10).data(), g, plainKernels()), 0.0);
}

TEST(MatchScore, ShiftedPlaneMatchesAtItsOffset) {
    std::mt19937 rng(12);
    const Plane ref = test::randomPlane(64, 48, rng);
    Plane cur = test::randomPlane(64, 48, rng);
    for (std::int32_t y = 0; y + 2 < 48; ++y)
        for (std::int32_t x = 0; x + 3 < 64; ++x) cur[(y + 2) * 64 + x + 3] = ref[y * 64 + x];
    const ScoreGeometry g = test::defaultWindow(64, 48, 4);
    EXPECT_EQ(matchScore(3, 2, ref.data(), cur.data(), g, plainKernels()), 0.0);
    EXPECT_LT(matchScore(2, 2, ref.data(), cur.data(), g, plainKernels()), 0.0);
    EXPECT_LT(matchScore(-3, -2, ref.data(), cur.data(), g, plainKernels()), 0.0);
}

TEST(MatchScore, EmptyWindowScoresZero) {
    const Plane ref = test::flatPlane(40, 20, 0), cur = test::flatPlane(40, 20, 200);
    const ScoreGeometry g = test::fullWindow(40, 20);
    EXPECT_EQ(matchScore(20, 0, ref.data(), cur.data(), g, plainKernels()), 0.0);  // |a| = width/2
    EXPECT_EQ(matchScore(-21, 0, ref.data(), cur.data(), g, plainKernels()), 0.0);
    EXPECT_EQ(matchScore(0, 10, ref.data(), cur.data(), g, plainKernels()), 0.0);
    EXPECT_EQ(matchScore(19, 9, ref.data(), cur.data(), g, plainKernels()), -200.0 * 2 * 2);
    EXPECT_EQ(matchScore(INT32_MIN, 0, ref.data(), cur.data(), g, plainKernels()), 0.0);
}

TEST(ScoreCache, EntriesAreDistinctAndCoverHalfTheFrameEachWay) {
    ScoreCache cache;
    ASSERT_TRUE(cache.allocate(321, 240, 100));
    EXPECT_TRUE(cache.contains(-160, -120));
    EXPECT_TRUE(cache.contains(160, 119));
    EXPECT_FALSE(cache.contains(-161, 0));
    EXPECT_FALSE(cache.contains(0, -121));
    // dx picks the column, dy the row.
    EXPECT_EQ(&cache.entry(1, 0) - &cache.entry(0, 0), 1);
    EXPECT_GT(&cache.entry(-160, 1) - &cache.entry(160, 0), 0);
    EXPECT_FALSE(ScoreCache().allocate(0, 10, 1));
}

TEST(ScoreCache, ClearZeroesEveryEntryASearchCanReach) {
    ScoreCache cache;
    const std::int32_t range = 8;
    ASSERT_TRUE(cache.allocate(64, 48, range));
    for (std::int32_t dy = -24; dy <= 24; ++dy)
        for (std::int32_t dx = -32; dx <= 32; ++dx) cache.entry(dx, dy) = -1.0;
    cache.clear();
    // The iterative search reaches R + 1 + R/2 below zero, both searches R above.
    EXPECT_EQ(cache.reachLow(), -(range + 1 + range / 2));
    EXPECT_EQ(cache.reachHigh(), range);
    for (std::int32_t dy = cache.reachLow(); dy <= cache.reachHigh(); ++dy)
        for (std::int32_t dx = cache.reachLow(); dx <= cache.reachHigh(); ++dx)
            ASSERT_EQ(cache.entry(dx, dy), 0.0) << dx << "," << dy;
}

}  // namespace
}  // namespace placidor::motion
