// The engine's exhaustive search (pruned, and unpruned four candidates at a
// time) against the plain scan: identical records in every case, tie rule
// included, on every instruction set.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "motion/motion_test_util.h"
#include "support/synthetic_clip.h"

namespace placidor::motion {
namespace {

using test::Plane;
using trajectory::FrameRecord;

enum class Content { Noise, Textured, Flat, Ties, Brighter };

const char *contentName(Content c) {
    switch (c) {
    case Content::Noise: return "noise";
    case Content::Textured: return "textured";
    case Content::Flat: return "flat";
    case Content::Ties: return "ties";
    case Content::Brighter: return "brighter";
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
    }
    return {};
}

using Param = std::tuple<CpuLevel, Content>;

class ExhaustiveEquivalence : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        level_ = std::get<0>(GetParam());
        if (scoreKernelsUpTo(level_).level != level_)
            GTEST_SKIP() << cpuLevelName(level_) << " not available on this processor/build";
    }

    // Runs the reference and both fast paths over one case and compares.
    void check(const Plane &ref, const Plane &cur, const ScoreGeometry &g, std::int32_t range,
               Displacement guess) {
        SCOPED_TRACE(::testing::Message() << "R " << range << " guess " << guess.dx << ","
                                          << guess.dy << " step " << g.rowStep << " window "
                                          << g.measureLeft << ".." << g.measureRight << " x "
                                          << g.measureTop << ".." << g.measureBottom);
        test::SearchSetup plain(g, range, CpuLevel::C);
        FrameRecord want = test::garbageRecord();
        exhaustiveSearchReference(want, ref.data(), cur.data(), plain.ctx);

        for (bool prune : {true, false}) {
            test::SearchSetup fast(g, range, level_);
            fast.ctx.guess = guess;
            fast.ctx.prune = prune;
            FrameRecord got = test::garbageRecord();
            EXPECT_EQ(exhaustiveSearch(got, ref.data(), cur.data(), fast.ctx), 0);
            EXPECT_EQ(got.score, want.score) << "prune " << prune;
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
    FrameRecord got = test::garbageRecord();
    exhaustiveSearch(got, ref.data(), cur.data(), fast.ctx);
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
    ::testing::Combine(::testing::Values(CpuLevel::C, CpuLevel::SSE2, CpuLevel::AVX2),
                       ::testing::Values(Content::Noise, Content::Textured, Content::Flat,
                                         Content::Ties, Content::Brighter)),
    paramName);

}  // namespace
}  // namespace placidor::motion
