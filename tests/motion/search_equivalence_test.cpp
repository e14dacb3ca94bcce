// The engine's searches against the plain ones: the exhaustive search
// (pruned, and unpruned four candidates at a time) against the plain scan,
// the iterative search (pruned square steps) against the plain square
// steps. Identical records in every case, tie rules included, bit for bit,
// on every instruction set.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <tuple>
#include <vector>

#include "motion/motion_test_util.h"
#include "support/synthetic_clip.h"

namespace placidor::motion {
namespace {

using test::Plane;

enum class Content { Noise, Textured, Flat, Ties, Brighter, Periodic };

const char *contentName(Content c) {
    switch (c) {
    case Content::Noise: return "noise";
    case Content::Textured: return "textured";
    case Content::Flat: return "flat";
    case Content::Ties: return "ties";
    case Content::Brighter: return "brighter";
    case Content::Periodic: return "periodic";
    }
    return "?";
}

// Reference and current planes of the given kind. `shift` moves the current
// frame's view of the scene where the content has one.
std::pair<Plane, Plane> makePlanes(Content content, std::int32_t W, std::int32_t H,
                                   std::uint32_t seed, std::int32_t shiftX, std::int32_t shiftY) {
    std::mt19937 rng(seed);
    switch (content) {
    case Content::Noise: {
        Plane ref = test::randomPlane(W, H, rng);
        return {ref, test::randomPlane(W, H, rng)};
    }
    case Content::Textured: {
        const testing::SyntheticClip clip(W, H, 16, seed);
        Plane ref(std::size_t(W) * H), cur(std::size_t(W) * H);
        for (std::int32_t y = 0; y < H; ++y) {
            for (std::int32_t x = 0; x < W; ++x) {
                ref[std::size_t(y) * W + x] = clip.sample({0, 0}, y, x);
                cur[std::size_t(y) * W + x] = clip.sample({shiftX, shiftY}, y, x);
            }
        }
        return {ref, cur};
    }
    case Content::Flat: return {test::flatPlane(W, H, 90), test::flatPlane(W, H, 90)};
    case Content::Brighter: return {test::flatPlane(W, H, 90), test::flatPlane(W, H, 97)};
    case Content::Ties: {
        // Samples depend on x - 2y only, and the current frame is the
        // reference moved one column: every (dx, dy) with dx + 1 + 2 dy = 0
        // matches perfectly, a whole diagonal of exact ties. Random values
        // along the diagonal keep every other candidate worse.
        std::vector<std::uint8_t> f(W + 2 * H + 8);
        std::uniform_int_distribution<int> byte(0, 255);
        for (auto &v : f) v = std::uint8_t(byte(rng));
        Plane ref(std::size_t(W) * H), cur(std::size_t(W) * H);
        for (std::int32_t y = 0; y < H; ++y) {
            for (std::int32_t x = 0; x < W; ++x) {
                ref[std::size_t(y) * W + x] = f[x - 2 * y + 2 * H];
                cur[std::size_t(y) * W + x] = f[x + 1 - 2 * y + 2 * H];
            }
        }
        return {ref, cur};
    }
    case Content::Periodic: {
        // A pattern of 3 columns by 2 rows, and the current frame the same
        // pattern moved one column with one phase brightened: the best
        // score is not 0.0 and repeats every 3 columns and 2 rows, so
        // off-centre points tie with each other and with the centre
        // wherever the windows have the same size.
        std::uniform_int_distribution<int> byte(20, 230);
        std::uint8_t pattern[6], moved[6];
        for (auto &v : pattern) v = std::uint8_t(byte(rng));
        for (int k = 0; k < 6; ++k) moved[k] = pattern[(k % 3 + 1) % 3 + 3 * (k / 3)];
        moved[4] = std::uint8_t(moved[4] + 9);
        Plane ref(std::size_t(W) * H), cur(std::size_t(W) * H);
        for (std::int32_t y = 0; y < H; ++y) {
            for (std::int32_t x = 0; x < W; ++x) {
                ref[std::size_t(y) * W + x] = pattern[x % 3 + 3 * (y % 2)];
                cur[std::size_t(y) * W + x] = moved[x % 3 + 3 * (y % 2)];
            }
        }
        return {ref, cur};
    }
    }
    return {};
}

// The bits of a score: +0.0 (an empty window) and -0.0 (a perfect match)
// must not be told apart by ==.
std::uint64_t bits(double score) { return std::bit_cast<std::uint64_t>(score); }

using Param = std::tuple<CpuLevel, Content>;

class ExhaustiveEquivalence : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        level_ = std::get<0>(GetParam());
        if (grantedLevel(level_) != level_)
            GTEST_SKIP() << cpuLevelName(level_) << " not available on this processor";
    }

    // Runs the reference and both fast paths over one case and compares.
    void check(const Plane &ref, const Plane &cur, const ScoreGeometry &g, std::int32_t range,
               Displacement guess) {
        SCOPED_TRACE(::testing::Message()
                     << "R " << range << " guess " << guess.dx << "," << guess.dy << " step "
                     << g.rowStep << " window " << g.measureLeft << ".." << g.measureRight << " x "
                     << g.measureTop << ".." << g.measureBottom);
        test::SearchSetup plain(g, range, CpuLevel::C);
        Match want = exhaustiveSearchReference(ref.data(), cur.data(), plain.ctx);

        for (bool prune : {true, false}) {
            test::SearchSetup fast(g, range, level_);
            fast.ctx.guess = guess;
            fast.ctx.prune = prune;
            Match got = exhaustiveSearch(ref.data(), cur.data(), fast.ctx);
            EXPECT_EQ(bits(got.score), bits(want.score)) << "prune " << prune << " " << got.score;
            EXPECT_EQ(got.dx, want.dx) << "prune " << prune;
            EXPECT_EQ(got.dy, want.dy) << "prune " << prune;
            // Whatever the fast path stores is the true score; unpruned, it
            // stores every score.
            for (std::int32_t dy = -range; dy <= range; ++dy) {
                for (std::int32_t dx = -range; dx <= range; ++dx) {
                    const double e = fast.cache.entry(dx, dy);
                    if (!prune || e != 0.0) {
                        ASSERT_EQ(e, plain.cache.entry(dx, dy)) << dx << "," << dy;
                    }
                }
            }
        }
    }

    CpuLevel level_ = CpuLevel::C;
};

TEST_P(ExhaustiveEquivalence, SameRecordForEveryRangeWindowAndGuess) {
    const Content content = std::get<1>(GetParam());
    const std::uint32_t seed = 0xc0ffee + static_cast<std::uint32_t>(content);
    SCOPED_TRACE(::testing::Message() << "seed " << seed << " content " << contentName(content));
    const std::int32_t W = 72, H = 44;
    const auto [ref, cur] = makePlanes(content, W, H, seed, 3, -2);
    for (std::int32_t range : {-2, 0, 1, 2, 5, 9}) {
        for (std::int32_t step : {1, 2}) {
            const ScoreGeometry windows[] = {test::defaultWindow(W, H, std::max(range, 0), step),
                                             test::fullWindow(W, H, step)};
            for (const ScoreGeometry &g : windows) {
                for (Displacement guess : {Displacement{0, 0}, Displacement{3, 2},
                                           Displacement{-1, 0}, Displacement{range, range},
                                           Displacement{-range, -range}, Displacement{50, -50}})
                    check(ref, cur, g, range, guess);
            }
        }
    }
}

// Frames large enough for the block-sum bounds, with windows whose sides
// are no multiple of the block sides, and the whole frame (the window then
// shrinks with the offset).
TEST_P(ExhaustiveEquivalence, BlockBoundsLeaveTheRecordUnchanged) {
    const Content content = std::get<1>(GetParam());
    const std::int32_t W = 131, H = 90;
    const auto [ref, cur] = makePlanes(content, W, H, 0xb0b + unsigned(content), 5, -4);
    for (std::int32_t range : {4, 11}) {
        for (const ScoreGeometry &g : {test::defaultWindow(W, H, range), test::fullWindow(W, H)}) {
            ASSERT_TRUE(test::SearchSetup(g, range, level_).bounds.usable());
            for (Displacement guess : {Displacement{0, 0}, Displacement{5, 4}})
                check(ref, cur, g, range, guess);
        }
    }
}

// The open case: a search range of exactly half a small frame, with the
// window spanning the frame, so the outermost candidates compare a single
// row or column, or nothing.
TEST_P(ExhaustiveEquivalence, HalfFrameRangeStaysInsideThePlanes) {
    const Content content = std::get<1>(GetParam());
    for (std::int32_t size : {8, 9, 34}) {
        const auto [ref, cur] = makePlanes(content, size, size, 99u + size, 1, 1);
        for (std::int32_t step : {1, 2})
            check(ref, cur, test::fullWindow(size, size, step), size / 2, {1, -1});
    }
}

// Windows left empty or inverted: every candidate scores 0.0, and the first
// one, (-R, -R), is recorded.
TEST_P(ExhaustiveEquivalence, InvertedWindowRecordsTheFirstCandidate) {
    const Content content = std::get<1>(GetParam());
    const std::int32_t W = 40, H = 30;
    const auto [ref, cur] = makePlanes(content, W, H, 5, 0, 0);
    ScoreGeometry g = test::fullWindow(W, H);
    g.measureLeft = 20;
    g.measureRight = 19;
    test::SearchSetup fast(g, 3, level_);
    fast.ctx.guess = {2, 2};
    Match got = exhaustiveSearch(ref.data(), cur.data(), fast.ctx);
    EXPECT_EQ(got.score, 0.0);
    EXPECT_EQ(got.dx, -3);
    EXPECT_EQ(got.dy, -3);
    check(ref, cur, g, 3, {2, 2});
}

std::string paramName(const ::testing::TestParamInfo<Param> &info) {
    return std::string(cpuLevelName(std::get<0>(info.param))) + "_" +
           contentName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(
    Levels, ExhaustiveEquivalence,
    ::testing::Combine(::testing::ValuesIn(scoreKernelLevels()),
                       ::testing::Values(Content::Noise, Content::Textured, Content::Flat,
                                         Content::Ties, Content::Brighter, Content::Periodic)),
    paramName);

// Every square step of one search, in order.
struct Step {
    Displacement centre;
    std::int32_t radius;
    Displacement best;
    bool operator==(const Step &) const = default;
};
std::vector<Step> *stepLog = nullptr;

template <SquareStepFn step>
Displacement loggedStep(Match &record, Displacement centre, std::int32_t radius,
                        const std::uint8_t *reference, const std::uint8_t *current,
                        SearchContext &ctx) {
    const Displacement best = step(record, centre, radius, reference, current, ctx);
    stepLog->push_back({centre, radius, best});
    return best;
}

class IterativeEquivalence : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        level_ = std::get<0>(GetParam());
        if (grantedLevel(level_) != level_)
            GTEST_SKIP() << cpuLevelName(level_) << " not available on this processor";
    }

    // The plain search and the engine's over one case: the same square
    // steps in the same order, the same record, and a cache whose scores
    // are exact.
    void check(const Plane &ref, const Plane &cur, const ScoreGeometry &g, std::int32_t range) {
        SCOPED_TRACE(::testing::Message()
                     << g.width << "x" << g.height << " R " << range << " step " << g.rowStep
                     << " window " << g.measureLeft << ".." << g.measureRight << " x "
                     << g.measureTop << ".." << g.measureBottom);
        std::vector<Step> plainSteps, fastSteps;
        test::SearchSetup plain(g, range, CpuLevel::C);
        Match want = iterativeSearchReference(ref.data(), cur.data(), plain.ctx);
        stepLog = &plainSteps;
        test::SearchSetup plainAgain(g, range, CpuLevel::C);
        Match wantAgain = test::garbageMatch();
        iterativeSearchFrom(wantAgain, {0, 0}, ref.data(), cur.data(), plainAgain.ctx,
                            loggedStep<squareStep>);

        test::SearchSetup fast(g, range, level_);
        Match got = iterativeSearch(ref.data(), cur.data(), fast.ctx);
        stepLog = &fastSteps;
        test::SearchSetup fastAgain(g, range, level_);
        Match gotAgain = test::garbageMatch();
        iterativeSearchFrom(gotAgain, {0, 0}, ref.data(), cur.data(), fastAgain.ctx,
                            loggedStep<squareStepPruned>);
        stepLog = nullptr;

        EXPECT_EQ(bits(got.score), bits(want.score)) << got.score << " " << want.score;
        EXPECT_EQ(got.dx, want.dx);
        EXPECT_EQ(got.dy, want.dy);
        ASSERT_EQ(fastSteps.size(), plainSteps.size());
        for (std::size_t i = 0; i < plainSteps.size(); ++i) {
            ASSERT_EQ(fastSteps[i], plainSteps[i]) << "step " << i;
        }
        // A negative entry is the exact score; 0.0 is what the plain search
        // left 0.0 (unscored or a perfect match); a positive entry is a
        // candidate the plain search scored, ruled out.
        const ScoreCache &p = plain.cache, &f = fast.cache;
        for (std::int32_t dy = p.reachLow(); dy <= p.reachHigh(); ++dy) {
            for (std::int32_t dx = p.reachLow(); dx <= p.reachHigh(); ++dx) {
                if (!p.contains(dx, dy)) continue;
                const double e = f.entry(dx, dy);
                if (e < 0.0) {
                    ASSERT_EQ(bits(e), bits(p.entry(dx, dy))) << dx << "," << dy;
                } else if (e == 0.0) {
                    ASSERT_EQ(p.entry(dx, dy), 0.0) << dx << "," << dy;
                } else {
                    ASSERT_EQ(e, 1.0) << dx << "," << dy;
                }
            }
        }
    }

    CpuLevel level_ = CpuLevel::C;
};

TEST_P(IterativeEquivalence, SameStepsAndRecordForEveryRangeWindowAndShift) {
    const Content content = std::get<1>(GetParam());
    struct Frame {
        std::int32_t width, height;
    };
    // 32 x 20: the centre bound lets the centre move only a little.
    for (const Frame size : {Frame{72, 44}, Frame{97, 61}, Frame{32, 20}}) {
        const std::int32_t W = size.width, H = size.height;
        const std::pair<std::int32_t, std::int32_t> shifts[] = {{3, -2}, {-7, 5}, {0, 0}, {11, -9}};
        for (const auto &[shiftX, shiftY] : shifts) {
            const std::uint32_t seed =
                0xfeed + 97 * static_cast<std::uint32_t>(content) + 13 * W + shiftX;
            SCOPED_TRACE(::testing::Message()
                         << "seed " << seed << " content " << contentName(content) << " shift "
                         << shiftX << "," << shiftY);
            const auto [ref, cur] = makePlanes(content, W, H, seed, -shiftX, shiftY);
            for (std::int32_t range : {-1, 0, 1, 2, 3, 4, 7, 8, 13, 20}) {
                if (range > std::min(W, H) / 2) continue;
                for (std::int32_t step : {1, 2}) {
                    check(ref, cur, test::defaultWindow(W, H, std::max(range, 0), step), range);
                    check(ref, cur, test::fullWindow(W, H, step), range);
                }
            }
        }
    }
}

// Windows left empty: every score is 0.0, so every step scores its centre
// again and keeps it.
TEST_P(IterativeEquivalence, EmptyWindowKeepsTheStartingZeros) {
    const Content content = std::get<1>(GetParam());
    const std::int32_t W = 40, H = 30;
    const auto [ref, cur] = makePlanes(content, W, H, 5, 0, 0);
    ScoreGeometry g = test::fullWindow(W, H);
    g.measureTop = 20;
    g.measureBottom = 19;
    check(ref, cur, g, 6);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, IterativeEquivalence,
    ::testing::Combine(::testing::ValuesIn(scoreKernelLevels()),
                       ::testing::Values(Content::Noise, Content::Textured, Content::Flat,
                                         Content::Ties, Content::Brighter, Content::Periodic)),
    paramName);

}  // namespace
}  // namespace placidor::motion
