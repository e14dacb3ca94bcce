// Path smoothing fed with records directly, and the running sums against
// the direct weighted loop.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "trajectory/smoothing.h"

namespace {

using namespace placidor::trajectory;

FrameList framesWith(const std::vector<int> &dx, const std::vector<int> &dy = {}) {
    FrameList list;
    for (std::size_t i = 0; i < dx.size(); ++i) {
        auto r = std::make_unique<FrameRecord>();
        r->frame = static_cast<int>(i);
        r->dx = dx[i];
        r->dy = dy.empty() ? 0 : dy[i];
        list.append(std::move(r));
    }
    return list;
}

std::vector<double> correctionsX(FrameList &list) {
    std::vector<double> out;
    for (auto *r = list.first(); r; r = list.next()) out.push_back(r->correctionX);
    return out;
}

TEST(Smoothing, FiveFrameSegmentWithHalfWindowTwo) {
    FrameList list = framesWith({0, 4, 0, 0, 0});
    smoothSegment(list, 0, 4, {2, 2, true});
    const std::vector<double> c = correctionsX(list);
    const double expected[] = {4.0 / 3, -2.0 / 3, 1.0 / 3, 1.0 / 3, 1.0 / 3};
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(c[i], expected[i], 1e-12) << i;
    // Left to right in double precision: average + previous - dx.
    EXPECT_EQ(c[0], 4.0 / 3);
    EXPECT_EQ(c[1], 2.0 + 4.0 / 3 - 4);
    EXPECT_EQ(c[2], 1.0 + c[1] - 0);
}

TEST(Smoothing, NoAveragingMovesBackToTheStart) {
    FrameList list = framesWith({0, 4, 0, 0, 0}, {1, 2, 3, 0, -1});
    smoothSegment(list, 0, 4, {2, 2, false});
    EXPECT_EQ(correctionsX(list), (std::vector<double>{0, -4, -4, -4, -4}));
    EXPECT_EQ(list[4].correctionY, -5.0);
}

TEST(Smoothing, HalfWindowOfOneOrLessLeavesNoCorrection) {
    for (int h : {1, 0, -3, INT32_MIN}) {
        FrameList list = framesWith({3, -7, 2, 9, 0});
        smoothSegment(list, 0, 4, {h, h, true});
        for (double c : correctionsX(list)) EXPECT_EQ(c, 0.0) << "half-window " << h;
    }
}

TEST(Smoothing, WindowWiderThanTheSegmentAndHugeWindowsStayFinite) {
    FrameList list = framesWith({0, 10, 0});
    // h = 100: weights 100, 99, 98 by distance, cut to the segment.
    smoothSegment(list, 0, 2, {100, 100, true});
    const double avg0 = (99.0 * 10) / (100 + 99 + 98);
    EXPECT_DOUBLE_EQ(list[0].correctionX, avg0);
    FrameList huge = framesWith({151, -151, 151, -151, 0, 7});
    smoothSegment(huge, 0, 5, {INT32_MAX, INT32_MAX, true});
    FrameList reference = framesWith({151, -151, 151, -151, 0, 7});
    smoothSegmentDirect(reference, 0, 5, {INT32_MAX, INT32_MAX, true});
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(std::isfinite(huge[i].correctionX));
        EXPECT_EQ(huge[i].correctionX, reference[i].correctionX);
    }
}

TEST(Smoothing, OnlyTheGivenPositionsAreWritten) {
    FrameList list = framesWith({1, 2, 3, 4, 5, 6});
    for (int i = 0; i < 6; ++i) list[i].correctionX = 99.0;
    smoothSegment(list, 2, 4, {3, 3, true});
    EXPECT_EQ(list[1].correctionX, 99.0);
    EXPECT_EQ(list[5].correctionX, 99.0);
    EXPECT_NE(list[2].correctionX, 99.0);
    smoothSegment(list, 4, 3, {3, 3, true});  // empty segment: nothing
}

// The running sums give the same bits as the direct loop.
TEST(Smoothing, RunningSumsMatchTheDirectLoopBitForBit) {
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int> value(-151, 151);
    for (int trial = 0; trial < 40; ++trial) {
        const int n = 1 + static_cast<int>(rng() % 300);
        std::vector<int> dx(n), dy(n);
        for (int i = 0; i < n; ++i) {
            dx[i] = value(rng);
            dy[i] = (rng() % 4 == 0) ? value(rng) : 0;
        }
        const int hx = static_cast<int>(rng() % 400) - 5;
        const int hy = static_cast<int>(rng() % 40);
        const int a = static_cast<int>(rng() % n);
        const int b = a + static_cast<int>(rng() % (n - a));
        FrameList fast = framesWith(dx, dy), direct = framesWith(dx, dy);
        smoothSegment(fast, a, b, {hx, hy, true});
        smoothSegmentDirect(direct, a, b, {hx, hy, true});
        for (int i = a; i <= b; ++i) {
            ASSERT_EQ(std::memcmp(&fast[i].correctionX, &direct[i].correctionX, sizeof(double)), 0)
                << "trial " << trial << " position " << i;
            ASSERT_EQ(std::memcmp(&fast[i].correctionY, &direct[i].correctionY, sizeof(double)), 0);
        }
    }
}

}  // namespace
