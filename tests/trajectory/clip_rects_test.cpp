// Clamping and clip rectangles fed with corrections directly.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "trajectory/clip_rects.h"

namespace {

using namespace placidor::trajectory;

FrameList withCorrections(const std::vector<std::pair<double, double>> &c) {
    FrameList list;
    for (auto [x, y] : c) {
        auto r = std::make_unique<FrameRecord>();
        r->correctionX = x;
        r->correctionY = y;
        list.append(std::move(r));
    }
    return list;
}

ClampSettings wide(int width, int height) {
    // Limits that never clamp anything in these tests.
    return {width, height, width, height, 0, 0};
}

TEST(ClipRects, NoCorrectionKeepsTheWholeFrame) {
    FrameList list = withCorrections({{0, 0}, {0, 0}});
    EXPECT_EQ(computeClipRects(list, wide(640, 480)), 0);
    EXPECT_EQ(list[1].clipLeft, 0.0);
    EXPECT_EQ(list[1].clipTop, 0.0);
    EXPECT_EQ(list[1].clipRight, 640.0);
    EXPECT_EQ(list[1].clipBottom, 480.0);
}

TEST(ClipRects, CommonFrameOf640x480) {
    FrameList list = withCorrections({{0, 0}, {50, -20}, {-30, 10}});
    EXPECT_EQ(computeClipRects(list, wide(640, 480)), 0);
    EXPECT_EQ(list[0].clipLeft, 50.0);
    EXPECT_EQ(list[0].clipTop, 25.0);
    EXPECT_EQ(list[0].clipRight, 610.0);
    EXPECT_EQ(list[0].clipBottom, 445.0);
    EXPECT_EQ(list[1].clipLeft, 0.0);
    EXPECT_EQ(list[1].clipTop, 45.0);
    EXPECT_EQ(list[1].clipRight, 560.0);
    EXPECT_EQ(list[1].clipBottom, 465.0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list[i].clipRight - list[i].clipLeft, 560.0);
        EXPECT_EQ(list[i].clipBottom - list[i].clipTop, 420.0);
        // Moved by its correction, every rectangle covers the same region.
        EXPECT_EQ(list[i].clipLeft + list[i].correctionX, 50.0);
        EXPECT_EQ(list[i].clipTop + list[i].correctionY, 25.0);
    }
}

TEST(ClipRects, ClampAndRoundUp) {
    FrameList list = withCorrections({{20.4, 0}, {-17, 0}});
    EXPECT_EQ(computeClipRects(list, {640, 480, 16, 480, 624, 0}), 5);
    EXPECT_EQ(list[0].correctionX, 16.0);
    EXPECT_EQ(list[1].correctionX, -16.0);
    const std::pair<double, int> rounding[] = {{2.25, 3}, {3.0, 3}, {0.0001, 1}, {0.0, 0}};
    for (auto [adjustment, expected] : rounding) {
        FrameList one = withCorrections({{10.0 + adjustment, 0}});
        EXPECT_EQ(computeClipRects(one, {640, 480, 10, 480, 640, 0}), expected) << adjustment;
    }
}

TEST(ClipRects, LowerBoundAboveUpperBound) {
    // lower = cropLimitRight - width = 10, upper = cropLimitLeft = 5.
    FrameList list = withCorrections({{3, 0}, {7, 0}, {10, 0}, {12, 0}});
    computeClipRects(list, {640, 480, 5, 480, 650, 0});
    EXPECT_EQ(list[0].correctionX, 10.0);
    EXPECT_EQ(list[1].correctionX, 10.0);
    EXPECT_EQ(list[2].correctionX, 5.0);
    EXPECT_EQ(list[3].correctionX, 5.0);
}

TEST(ClipRects, SpreadWiderThanTheFrameGivesInvertedRectangles) {
    FrameList list = withCorrections({{-400, 0}, {400, 0}});
    computeClipRects(list, wide(640, 480));
    for (int i = 0; i < 2; ++i) {
        EXPECT_GT(list[i].clipLeft, list[i].clipRight);
        EXPECT_GT(list[i].clipTop, list[i].clipBottom);
        EXPECT_TRUE(std::isfinite(list[i].clipLeft));
    }
}

TEST(ClipRects, ExtremeLimitsSaturateTheError) {
    FrameList list = withCorrections({{0, 0}});
    EXPECT_EQ(computeClipRects(list, {640, 480, INT32_MIN, 0, INT32_MIN, 480}), INT32_MAX);
    EXPECT_TRUE(std::isfinite(list[0].clipLeft));
    FrameList empty;
    EXPECT_EQ(computeClipRects(empty, wide(640, 480)), 0);
}

}  // namespace
