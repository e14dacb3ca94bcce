// Every instruction-set kernel against the reference loops, bit for bit.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "motion/motion_test_util.h"
#include "motion/score.h"

namespace placidor::motion {
namespace {

using test::Plane;

class ScoreKernelTest : public ::testing::TestWithParam<CpuLevel> {
protected:
    void SetUp() override {
        kernels_ = scoreKernelsUpTo(GetParam());
        if (grantedLevel(GetParam()) != GetParam())
            GTEST_SKIP() << cpuLevelName(GetParam()) << " not available on this processor";
        // A broken dispatch must not pass by comparing the reference with itself.
        ASSERT_NE(kernels_.positiveDiffSum, &positiveDiffSum_c);
        ASSERT_NE(kernels_.positiveDiffSumX4, &positiveDiffSumX4_c);
        ASSERT_NE(kernels_.positiveDiffSumBounded, &positiveDiffSumBounded_c);
        ASSERT_NE(kernels_.positiveDiffSum16Bounded, &positiveDiffSum16Bounded_c);
    }
    ScoreKernels kernels_;
};

// As checkasm does: every kernel the level's init claims replaces the one
// of the level below, so an init that fills nothing (or the old entry)
// cannot pass by re-testing the level below.
TEST_P(ScoreKernelTest, EveryKernelTheLevelClaimsReplacesTheLevelBelow) {
    ScoreKernels claimed{};
    addScoreKernels(GetParam(), claimed);
    const ScoreKernels below = scoreKernelsUpTo(test::levelBelow(scoreKernelLevels(), GetParam()));
    int count = 0;
    const auto check = [&](auto ScoreKernels::*kernel, const char *name) {
        if (!(claimed.*kernel)) return;
        ++count;
        EXPECT_EQ(kernels_.*kernel, claimed.*kernel) << name;
        EXPECT_NE(kernels_.*kernel, below.*kernel) << name;
    };
    check(&ScoreKernels::positiveDiffSum, "positiveDiffSum");
    check(&ScoreKernels::positiveDiffSumX4, "positiveDiffSumX4");
    check(&ScoreKernels::positiveDiffSumBounded, "positiveDiffSumBounded");
    check(&ScoreKernels::positiveDiffSum16Bounded, "positiveDiffSum16Bounded");
    EXPECT_GT(count, 0) << cpuLevelName(GetParam()) << " claims no score kernel";
}

// Blocks of every width 1..70 and several heights, placed against the
// plane's left edge and against its end, so the last byte read is the last
// byte of the allocation.
TEST_P(ScoreKernelTest, MatchesReferenceForEveryWidthAtThePlaneEdges) {
    const std::uint32_t seed = 0x5eed0001;
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    const std::int32_t W = 77, H = 9;
    const Plane ref = test::randomPlane(W, H, rng), cur = test::randomPlane(W, H, rng);
    for (std::int32_t step : {1, 2}) {
        for (std::int32_t cols = 1; cols <= 70; ++cols) {
            for (std::int32_t rows : {1, 2, 4}) {
                const std::int32_t lastRow = H - 1 - (rows - 1) * step;
                for (std::int32_t x : {0, W - cols}) {
                    for (std::int32_t y : {0, lastRow}) {
                        const std::uint8_t *r = ref.data() + y * W + x;
                        const std::uint8_t *c = cur.data() + y * W + x;
                        const std::ptrdiff_t stride = std::ptrdiff_t{W} * step;
                        SCOPED_TRACE(::testing::Message()
                                     << "cols " << cols << " rows " << rows << " step " << step
                                     << " at " << x << "," << y);
                        const std::uint64_t want = positiveDiffSum_c(r, c, stride, cols, rows);
                        EXPECT_EQ(kernels_.positiveDiffSum(r, c, stride, cols, rows), want);
                        // Reversed roles: the other half of the differences.
                        EXPECT_EQ(kernels_.positiveDiffSum(c, r, stride, cols, rows),
                                  positiveDiffSum_c(c, r, stride, cols, rows));
                    }
                }
            }
        }
    }
}

TEST_P(ScoreKernelTest, FourCandidatesMatchFourSingleSums) {
    const std::uint32_t seed = 0x5eed0002;
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    const std::int32_t W = 80, H = 7;
    const Plane ref = test::randomPlane(W, H, rng), cur = test::randomPlane(W, H, rng);
    for (std::int32_t cols = 1; cols <= 70; ++cols) {
        for (std::int32_t step : {1, 2}) {
            const std::int32_t rows = step == 1 ? 7 : 4;
            // cur + 3 + cols - 1 is the last column of the plane: the fourth
            // candidate's last read ends the allocation.
            const std::int32_t x = W - cols - 3;
            const std::uint8_t *r = ref.data() + x;
            const std::uint8_t *c = cur.data() + x;
            const std::ptrdiff_t stride = std::ptrdiff_t{W} * step;
            std::uint64_t got[4] = {1, 1, 1, 1};
            kernels_.positiveDiffSumX4(r, c, stride, cols, rows, got);
            for (int k = 0; k < 4; ++k)
                EXPECT_EQ(got[k], positiveDiffSum_c(r, c + k, stride, cols, rows))
                    << "cols " << cols << " step " << step << " candidate " << k;
        }
    }
}

TEST_P(ScoreKernelTest, ExtremesDoNotOverflowOrSaturate) {
    const std::int32_t W = 1027, H = 64;  // > 2^16 differences of 255 per call
    const Plane zeros = test::flatPlane(W, H, 0), full = test::flatPlane(W, H, 255);
    Plane alternating(static_cast<std::size_t>(W) * H);
    for (std::size_t i = 0; i < alternating.size(); ++i) alternating[i] = (i & 1) ? 255 : 0;
    const std::uint64_t all = 255ull * W * H;
    EXPECT_EQ(kernels_.positiveDiffSum(zeros.data(), full.data(), W, W, H), all);
    EXPECT_EQ(kernels_.positiveDiffSum(full.data(), zeros.data(), W, W, H), 0u);
    EXPECT_EQ(kernels_.positiveDiffSum(full.data(), full.data(), W, W, H), 0u);
    EXPECT_EQ(kernels_.positiveDiffSum(zeros.data(), alternating.data(), W, W, H),
              positiveDiffSum_c(zeros.data(), alternating.data(), W, W, H));
    EXPECT_EQ(kernels_.positiveDiffSum(alternating.data(), zeros.data(), W, W, H), 0u);
    std::uint64_t sums[4];
    kernels_.positiveDiffSumX4(zeros.data(), full.data(), W, W - 3, H, sums);
    for (std::uint64_t s : sums) EXPECT_EQ(s, 255ull * (W - 3) * H);
    kernels_.positiveDiffSumX4(zeros.data(), alternating.data(), W, W - 3, H, sums);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(sums[k], positiveDiffSum_c(zeros.data(), alternating.data() + k, W, W - 3, H));
    EXPECT_EQ(kernels_.positiveDiffSumBounded(zeros.data(), full.data(), W, W, H, all), all);
}

// Exact when the sum is within the limit; above the limit otherwise.
TEST_P(ScoreKernelTest, BoundedSumIsExactUpToItsLimit) {
    const std::uint32_t seed = 0x5eed0003;
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    const std::int32_t W = 75, H = 12;
    const Plane ref = test::randomPlane(W, H, rng), cur = test::randomPlane(W, H, rng);
    for (std::int32_t cols : {1, 15, 16, 17, 31, 32, 33, 64, 70}) {
        for (std::int32_t step : {1, 2}) {
            const std::int32_t rows = H / step;
            const std::uint8_t *r = ref.data() + (W - cols), *c = cur.data() + (W - cols);
            const std::ptrdiff_t stride = std::ptrdiff_t{W} * step;
            const std::uint64_t sum = positiveDiffSum_c(r, c, stride, cols, rows);
            for (std::uint64_t limit :
                 {std::uint64_t{0}, sum / 3, sum - 1, sum, sum + 1, ~std::uint64_t{0}}) {
                const std::uint64_t got =
                    kernels_.positiveDiffSumBounded(r, c, stride, cols, rows, limit);
                if (sum <= limit) {
                    EXPECT_EQ(got, sum) << "cols " << cols << " limit " << limit;
                } else {
                    EXPECT_GT(got, limit) << "cols " << cols << " sum " << sum;
                }
            }
        }
    }
}

// The 16-bit form over block sums: the reference's value whenever that is
// within the limit (every limit at and around the sum, so also the full
// sum bit for bit), above the limit otherwise. Every width 1..70, row
// counts on either side of the rows added up between two tests of the
// limit, the two planes with different strides, each block ending at the
// end of its allocation, samples from 0 to 32767 with runs of both
// extremes.
TEST_P(ScoreKernelTest, SixteenBitBoundedSumIsExactUpToItsLimit) {
    const std::uint32_t seed = 0x5eed0005;
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(0, 32767), pick(0, 9);
    const auto fill = [&](std::vector<std::uint16_t> &v) {
        for (auto &x : v) {
            const int p = pick(rng);
            x = static_cast<std::uint16_t>(p == 0 ? 0 : p == 1 ? 32767 : value(rng));
        }
    };
    const std::int32_t rows = 9;
    for (std::int32_t cols = 1; cols <= 70; ++cols) {
        const std::ptrdiff_t refStride = cols + 5, curStride = cols + 1;
        std::vector<std::uint16_t> ref(std::size_t(refStride) * (rows - 1) + cols);
        std::vector<std::uint16_t> cur(std::size_t(curStride) * (rows - 1) + cols);
        fill(ref);
        fill(cur);
        for (std::int32_t r : {1, 3, 4, 5, rows}) {
            const std::uint64_t sum = positiveDiffSum16Bounded_c(
                ref.data(), refStride, cur.data(), curStride, cols, r, ~std::uint64_t{0});
            for (std::uint64_t limit :
                 {std::uint64_t{0}, sum / 3, sum / 2, sum - 1, sum, sum + 1, ~std::uint64_t{0}}) {
                const std::uint64_t got = kernels_.positiveDiffSum16Bounded(
                    ref.data(), refStride, cur.data(), curStride, cols, r, limit);
                if (sum <= limit) {
                    EXPECT_EQ(got, sum) << "cols " << cols << " rows " << r << " limit " << limit;
                } else {
                    EXPECT_GT(got, limit) << "cols " << cols << " rows " << r << " sum " << sum;
                }
            }
        }
    }
}

// Through matchScore: every sign of both offsets, the window cut at every
// edge, field-mode row steps, and offsets that empty the window.
TEST_P(ScoreKernelTest, MatchScoreAgreesAtEveryOffset) {
    const std::uint32_t seed = 0x5eed0004;
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    const ScoreKernels reference = scoreKernelsUpTo(CpuLevel::C);
    for (std::int32_t W : {33, 70}) {
        const std::int32_t H = 21;
        const Plane ref = test::randomPlane(W, H, rng), cur = test::randomPlane(W, H, rng);
        for (std::int32_t step : {1, 2}) {
            for (const ScoreGeometry &g :
                 {test::fullWindow(W, H, step), test::defaultWindow(W, H, 3, step)}) {
                for (std::int32_t b = -H / 2 - 1; b <= H / 2 + 1; ++b) {
                    for (std::int32_t a = -W / 2 - 1; a <= W / 2 + 1; ++a) {
                        EXPECT_EQ(matchScore(a, b, ref.data(), cur.data(), g, kernels_),
                                  matchScore(a, b, ref.data(), cur.data(), g, reference))
                            << "a " << a << " b " << b << " W " << W << " step " << step;
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, ScoreKernelTest,
                         ::testing::ValuesIn(test::levelsAboveC(scoreKernelLevels())),
                         test::levelName);

}  // namespace
}  // namespace placidor::motion
