// Displacement search semantics: scan order and tie rules of the exhaustive
// search, the square step's centre preference and order, and the iterative
// driver's stop tests, centre bound and reach.
#include <gtest/gtest.h>

#include <random>

#include "motion/motion_test_util.h"
#include "support/synthetic_clip.h"

namespace placidor::motion {
namespace {

using test::Plane;

using ExhaustiveFn = Match (*)(const std::uint8_t *, const std::uint8_t *, SearchContext &);

// Both the plain scan and the engine's search must follow every rule here.
class ExhaustiveRules : public ::testing::TestWithParam<ExhaustiveFn> {};

// Samples depending on x - 2y only, current moved one column: every
// candidate with dx + 1 + 2 dy = 0 is a perfect match.
std::pair<Plane, Plane> diagonalTies(std::int32_t W, std::int32_t H) {
    std::mt19937 rng(21);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<std::uint8_t> f(W + 2 * H + 4);
    for (auto &v : f) v = std::uint8_t(byte(rng));
    Plane ref(std::size_t(W) * H), cur(std::size_t(W) * H);
    for (std::int32_t y = 0; y < H; ++y)
        for (std::int32_t x = 0; x < W; ++x) {
            ref[y * W + x] = f[x - 2 * y + 2 * H];
            cur[y * W + x] = f[x + 1 - 2 * y + 2 * H];
        }
    return {ref, cur};
}

TEST_P(ExhaustiveRules, EqualScoresGoToTheEarlierRowOfTheScan) {
    // (3, -2) and (-1, 0) both match perfectly (so do (1, -1) and (-3, 1));
    // dy -2 comes first in the scan.
    const auto [ref, cur] = diagonalTies(64, 48);
    for (Displacement guess : {Displacement{-1, 0}, Displacement{-3, 1}, Displacement{}}) {
        test::SearchSetup s(test::defaultWindow(64, 48, 3), 3, CpuLevel::AVX2);
        s.ctx.guess = guess;
        Match r = GetParam()(ref.data(), cur.data(), s.ctx);
        EXPECT_EQ(r.score, 0.0);
        EXPECT_EQ(r.dx, 3);
        EXPECT_EQ(r.dy, -2);
    }
}

TEST_P(ExhaustiveRules, FirstCandidateIsTakenWhateverItsScore) {
    // Every candidate scores -7 per compared sample over the same window.
    const Plane ref = test::flatPlane(40, 30, 100), cur = test::flatPlane(40, 30, 107);
    const ScoreGeometry g = test::defaultWindow(40, 30, 4);
    test::SearchSetup s(g, 4, CpuLevel::AVX2);
    Match r = GetParam()(ref.data(), cur.data(), s.ctx);
    const double samples =
        double(g.measureRight - g.measureLeft + 1) * (g.measureBottom - g.measureTop + 1);
    EXPECT_EQ(r.score, -7.0 * samples);
    EXPECT_EQ(r.dx, -4);
    EXPECT_EQ(r.dy, -4);
}

TEST_P(ExhaustiveRules, WithinARowTheSmallerDxWins) {
    // Samples constant down each column, period 3 along the row: dx = 1, 4,
    // -2, -5 all match; with dy free the first row of the scan (dy = -5)
    // wins, and in it dx = -5.
    const std::int32_t W = 60, H = 40;
    Plane ref(W * H), cur(W * H);
    const std::uint8_t period[3] = {10, 200, 90};
    for (std::int32_t y = 0; y < H; ++y)
        for (std::int32_t x = 0; x < W; ++x) {
            ref[y * W + x] = period[x % 3];
            cur[y * W + x] = period[(x + 2) % 3];
        }
    test::SearchSetup s(test::defaultWindow(W, H, 5), 5, CpuLevel::SSE2);
    s.ctx.guess = {1, 0};
    Match r = GetParam()(ref.data(), cur.data(), s.ctx);
    EXPECT_EQ(r.score, 0.0);
    EXPECT_EQ(r.dx, -5);
    EXPECT_EQ(r.dy, -5);
}

TEST_P(ExhaustiveRules, RangeZeroScoresOnlyTheCentreAndNegativeRangeNothing) {
    const Plane ref = test::flatPlane(20, 20, 50), cur = test::flatPlane(20, 20, 53);
    const ScoreGeometry g = test::defaultWindow(20, 20, 0);
    test::SearchSetup zero(g, 0);
    Match r = GetParam()(ref.data(), cur.data(), zero.ctx);
    EXPECT_EQ(r.score, -3.0 * 11 * 11);
    EXPECT_EQ(r.dx, 0);
    EXPECT_EQ(r.dy, 0);
    EXPECT_EQ(zero.cache.entry(0, 0), r.score);

    test::SearchSetup negative(g, -1);
    negative.cache.entry(0, 0) = -42.0;
    r = test::garbageMatch();
    r = GetParam()(ref.data(), cur.data(), negative.ctx);
    EXPECT_EQ(r.score, 0.0);
    EXPECT_EQ(r.dx, 0);
    EXPECT_EQ(r.dy, 0);
    EXPECT_EQ(negative.cache.entry(0, 0), -42.0);  // nothing scored
}

TEST_P(ExhaustiveRules, FindsAKnownShiftWithDySignCountingTowardsRowZero) {
    // What the reference shows at (y, x) the current shows at (y - dy, x + dx).
    std::mt19937 rng(22);
    const Plane ref = test::randomPlane(64, 48, rng);
    Plane cur = test::randomPlane(64, 48, rng);
    const std::int32_t dx = 3, dy = -2;
    for (std::int32_t y = 0; y < 48; ++y)
        for (std::int32_t x = 0; x < 64; ++x)
            if (y - dy < 48 && x + dx < 64) cur[(y - dy) * 64 + x + dx] = ref[y * 64 + x];
    test::SearchSetup s(test::defaultWindow(64, 48, 6), 6, CpuLevel::AVX2);
    Match r = GetParam()(ref.data(), cur.data(), s.ctx);
    EXPECT_EQ(r.score, 0.0);
    EXPECT_EQ(r.dx, dx);
    EXPECT_EQ(r.dy, dy);
}

INSTANTIATE_TEST_SUITE_P(Searches, ExhaustiveRules,
                         ::testing::Values(&exhaustiveSearchReference, &exhaustiveSearch),
                         [](const auto &info) {
                             return info.param == &exhaustiveSearch ? std::string("engine")
                                                                    : std::string("reference");
                         });

// The plain iterative search and the engine's (pruned square step).
struct IterativeVariant {
    const char *name;
    Match (*search)(const std::uint8_t *, const std::uint8_t *, SearchContext &);
    SquareStepFn step;
};
const IterativeVariant kIterativeVariants[] = {
    {"reference", &iterativeSearchReference, &squareStep},
    {"engine", &iterativeSearch, &squareStepPruned},
};

// Square steps and the driver over a cache filled by hand: an entry that is
// not 0.0 is never scored again, so the scores are whatever the test says.
class IterativeRules : public ::testing::TestWithParam<IterativeVariant> {
protected:
    Displacement step(Match &r, Displacement centre, std::int32_t radius, test::SearchSetup &s) {
        return GetParam().step(r, centre, radius, ref_.data(), cur_.data(), s.ctx);
    }
    Match search(const Plane &ref, const Plane &cur, test::SearchSetup &s) {
        return GetParam().search(ref.data(), cur.data(), s.ctx);
    }

    static constexpr std::int32_t W = 64, H = 48;
    IterativeRules() : ref_(test::flatPlane(W, H, 100)), cur_(test::flatPlane(W, H, 110)) {}

    void fill(test::SearchSetup &s, double value) {
        for (std::int32_t dy = s.cache.reachLow(); dy <= s.cache.reachHigh(); ++dy)
            for (std::int32_t dx = s.cache.reachLow(); dx <= s.cache.reachHigh(); ++dx)
                if (s.cache.contains(dx, dy)) s.cache.entry(dx, dy) = value;
    }
    Plane ref_, cur_;
};

TEST_P(IterativeRules, SquareStepKeepsTheCentreOnEqualScores) {
    test::SearchSetup s(test::defaultWindow(W, H, 8), 8);
    fill(s, -5.0);
    Match r = test::garbageMatch();
    const Displacement best = step(r, {2, -1}, 2, s);
    EXPECT_EQ(best, (Displacement{2, -1}));
    EXPECT_EQ(r.score, -5.0);
    EXPECT_EQ(r.dx, 2);
    EXPECT_EQ(r.dy, -1);
}

TEST_P(IterativeRules, SquareStepVisitsColumnsOuterRowsInner) {
    test::SearchSetup s(test::defaultWindow(W, H, 8), 8);
    fill(s, -5.0);
    // Equal best scores: the smaller column wins, even with a larger row.
    s.cache.entry(-1, 1) = -1.0;
    s.cache.entry(1, -1) = -1.0;
    Match r = test::garbageMatch();
    EXPECT_EQ(step(r, {0, 0}, 1, s), (Displacement{-1, 1}));
    EXPECT_EQ(r.dx, 777);  // not written when the centre is left
    // Same column: the smaller row wins.
    s.cache.entry(-1, 1) = -5.0;
    s.cache.entry(1, 1) = -1.0;
    EXPECT_EQ(step(r, {0, 0}, 1, s), (Displacement{1, -1}));
}

TEST_P(IterativeRules, SquareStepScoresOnlyEntriesStillZero) {
    test::SearchSetup s(test::defaultWindow(W, H, 8), 8);
    s.cache.entry(0, 1) = -1.0;  // pretend-scored: better than anything real
    Match r = test::garbageMatch();
    EXPECT_EQ(step(r, {0, 0}, 1, s), (Displacement{0, 1}));
    EXPECT_EQ(s.cache.entry(0, 1), -1.0);
    const double real = matchScore(1, 1, ref_.data(), cur_.data(), s.ctx.geometry, s.kernels);
    if (GetParam().step == &squareStep) {
        EXPECT_EQ(s.cache.entry(1, -1), real);
    } else {
        // Worse than (0, 1) after its first row: marked, never given a
        // partial sum as its score.
        EXPECT_GT(s.cache.entry(1, -1), 0.0);
    }
    EXPECT_EQ(s.cache.entry(2, 0), 0.0);  // outside the square
}

// R = 8: around (6, 0) radius 2 is the last (6 + 3 > 8); around (-6, 0)
// the corner test takes -6 + r, so radii up to R / 2 = 4 run, reaching -10.
TEST_P(IterativeRules, CornerTestsTakeThePositiveCorner) {
    for (std::int32_t a : {6, -6}) {
        test::SearchSetup s(test::defaultWindow(W, H, 8), 8);
        s.cache.entry(a, 0) = -1.0;  // the centre stays best: the radius only grows
        Match r = test::garbageMatch();
        iterativeSearchFrom(r, {a, 0}, ref_.data(), cur_.data(), s.ctx, GetParam().step);
        EXPECT_EQ(r.dx, a);
        EXPECT_EQ(r.dy, 0);
        EXPECT_EQ(r.score, -1.0);
        const std::int32_t lastRadius = a > 0 ? 2 : 4;
        for (std::int32_t dx = s.cache.reachLow(); dx <= s.cache.reachHigh(); ++dx) {
            const bool covered = std::abs(dx - a) <= lastRadius;
            EXPECT_EQ(s.cache.entry(dx, lastRadius) != 0.0, covered) << "a " << a << " dx " << dx;
            EXPECT_EQ(s.cache.entry(dx, lastRadius + 1), 0.0);
        }
    }
}

TEST_P(IterativeRules, ACentreOnTheRangeIsNeverStepped) {
    test::SearchSetup s(test::defaultWindow(W, H, 8), 8);
    Match r = test::garbageMatch();
    iterativeSearchFrom(r, {8, 0}, ref_.data(), cur_.data(), s.ctx, GetParam().step);
    EXPECT_EQ(r.dx, 777);
    EXPECT_EQ(s.cache.entry(8, 0), 0.0);
}

// In a 32 x 20 frame with R = 8 the centre may move only to dy = 0 and
// |dx| <= 6 (|dy| + 8 < 9, |dx| + 8 < 15).
TEST_P(IterativeRules, BetterPointOutsideTheCentreBoundDoesNotMove) {
    const Plane ref = test::flatPlane(32, 20, 100), cur = test::flatPlane(32, 20, 110);
    test::SearchSetup s(test::fullWindow(32, 20), 8);
    fill(s, -100.0);
    s.cache.entry(0, 0) = -5.0;
    s.cache.entry(0, 1) = -1.0;  // best of every square, never a centre
    Match r = search(ref, cur, s);
    EXPECT_EQ(r.score, 0.0);
    EXPECT_EQ(r.dx, 0);
    EXPECT_EQ(r.dy, 0);

    s.cache.entry(0, 1) = -100.0;
    s.cache.entry(1, 0) = -1.0;  // inside the bound: the centre moves and stays
    r = search(ref, cur, s);
    EXPECT_EQ(r.score, -1.0);
    EXPECT_EQ(r.dx, 1);
    EXPECT_EQ(r.dy, 0);
}

TEST_P(IterativeRules, StopRightAfterAMoveKeepsTheLastKeptCentre) {
    // R = 4: (0, 0) is kept at radius 1, radius 2 finds (2, 2), which leads
    // to (3, 3) and (4, 4); around (4, 4) radius 1 already fails 4 + 1 > 4.
    test::SearchSetup s(test::defaultWindow(W, H, 4), 4);
    fill(s, -100.0);
    s.cache.entry(0, 0) = -5.0;
    s.cache.entry(2, 2) = -4.0;
    s.cache.entry(3, 3) = -3.0;
    s.cache.entry(4, 4) = -2.0;
    Match r = search(ref_, cur_, s);
    EXPECT_EQ(r.score, -5.0);
    EXPECT_EQ(r.dx, 0);
    EXPECT_EQ(r.dy, 0);
    // Without the kept start, nothing reaches the record.
    s.cache.entry(0, 0) = -100.0;
    s.cache.entry(1, 1) = -4.5;
    r = search(ref_, cur_, s);
    EXPECT_EQ(r.score, 0.0);
    EXPECT_EQ(r.dx, 0);
    EXPECT_EQ(r.dy, 0);
}

TEST_P(IterativeRules, RangeOneOrLessScoresNothing) {
    for (std::int32_t range : {1, 0, -3}) {
        test::SearchSetup s(test::defaultWindow(W, H, std::max(range, 0)), range);
        Match r = search(ref_, cur_, s);
        EXPECT_EQ(r.score, 0.0);
        EXPECT_EQ(r.dx, 0);
        EXPECT_EQ(r.dy, 0);
        if (range >= 0) {
            EXPECT_EQ(s.cache.entry(0, 0), 0.0);
        }
    }
}

TEST_P(IterativeRules, ClimbsToAKnownShiftAndScoresEachPointOnce) {
    // The textured scene is smooth at a scale of 8 pixels: a slope to climb.
    const testing::SyntheticClip clip(W, H, 8, 23);
    Plane ref(W * H), cur(W * H);
    for (std::int32_t y = 0; y < H; ++y)
        for (std::int32_t x = 0; x < W; ++x) {
            ref[y * W + x] = clip.sample({0, 0}, y, x);
            cur[y * W + x] = clip.sample({-2, 1}, y, x);  // dx 2, dy 1
        }
    test::SearchSetup s(test::defaultWindow(W, H, 8), 8);
    Match r = search(ref, cur, s);
    EXPECT_EQ(r.dx, 2);
    EXPECT_EQ(r.dy, 1);
    EXPECT_EQ(r.score, 0.0);
    // Every stored score is the candidate's true score; only the engine
    // marks candidates it ruled out.
    for (std::int32_t dy = s.cache.reachLow(); dy <= s.cache.reachHigh(); ++dy)
        for (std::int32_t dx = s.cache.reachLow(); dx <= s.cache.reachHigh(); ++dx) {
            const double e = s.cache.entry(dx, dy);
            if (e > 0.0) {
                ASSERT_NE(GetParam().step, &squareStep) << dx << "," << dy;
            } else if (e != 0.0) {
                ASSERT_EQ(e,
                          matchScore(dx, -dy, ref.data(), cur.data(), s.ctx.geometry, s.kernels));
            }
        }
}

INSTANTIATE_TEST_SUITE_P(Searches, IterativeRules, ::testing::ValuesIn(kIterativeVariants),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(FindDisplacement, MethodOneIsIterativeEveryOtherValueExhaustive) {
    // Range 1: the iterative search scores nothing and keeps the zeros, the
    // exhaustive search records (-1, -1) of a uniform -3 per sample.
    const Plane ref = test::flatPlane(30, 30, 60), cur = test::flatPlane(30, 30, 63);
    for (std::int32_t method : {1, 0, 2, -1}) {
        test::SearchSetup s(test::defaultWindow(30, 30, 1), 1);
        s.ctx.searchMethod = method;
        Match r = findDisplacement(ref.data(), cur.data(), s.ctx);
        EXPECT_EQ(r.dx, method == 1 ? 0 : -1) << "method " << method;
        EXPECT_EQ(r.dy, method == 1 ? 0 : -1);
        EXPECT_EQ(r.score == 0.0, method == 1);
    }
}

}  // namespace
}  // namespace placidor::motion
