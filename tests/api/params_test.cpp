// Normalisation of the parameter block, seen through StabilizerGetParameter.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "api/engine.h"
#include "api/params.h"
#include "placidor.h"

namespace {

StabilizerParams block(std::int32_t width, std::int32_t height) {
    StabilizerParams p{};
    p.size = PLACIDOR_PARAMS_SIZE;
    p.width = width;
    p.height = height;
    p.frameRate = 25.0f;
    return p;
}

StabilizerParams initAndRead(const StabilizerParams &p) {
    EXPECT_EQ(StabilizerInit(p), NoError);
    StabilizerParams out;
    std::memset(&out, 0xcd, sizeof out);
    EXPECT_EQ(StabilizerGetParameter(&out), &out);
    return out;
}

TEST(Params, DefaultsOfA720x576Clip) {
    const StabilizerParams out = initAndRead(block(720, 576));
    EXPECT_EQ(out.cropLimitLeft, 360);
    EXPECT_EQ(out.cropLimitRight, 360);
    EXPECT_EQ(out.cropLimitTop, 288);
    EXPECT_EQ(out.cropLimitBottom, 288);
    EXPECT_EQ(out.measureLeft, 180);
    EXPECT_EQ(out.measureRight, 540);
    EXPECT_EQ(out.measureTop, 144);
    EXPECT_EQ(out.measureBottom, 432);
    EXPECT_EQ(out.searchRange, 1);
}

TEST(Params, SearchRangeIsBroughtIntoOneToHundred) {
    StabilizerParams p = block(720, 576);
    p.searchRange = 150;
    EXPECT_EQ(initAndRead(p).searchRange, 100);
    p.searchRange = -5;
    EXPECT_EQ(initAndRead(p).searchRange, 1);
    p.searchRange = std::numeric_limits<std::int32_t>::min();
    EXPECT_EQ(initAndRead(p).searchRange, 1);
}

TEST(Params, ThreeQuartersIsFormedBeforeTheDivision) {
    const StabilizerParams out = initAndRead(block(722, 576));
    EXPECT_EQ(out.measureLeft, 180);
    EXPECT_EQ(out.measureRight, 541);
}

TEST(Params, CropLimitsAreClampedToTheFrame) {
    StabilizerParams p = block(720, 576);
    p.cropLimitLeft = -20;
    p.cropLimitRight = 800;
    p.cropLimitTop = 10;
    p.cropLimitBottom = 10;
    const StabilizerParams out = initAndRead(p);
    EXPECT_EQ(out.cropLimitLeft, 0);
    EXPECT_EQ(out.cropLimitRight, 720);
    EXPECT_EQ(out.cropLimitTop, 288);
    EXPECT_EQ(out.cropLimitBottom, 288);
}

TEST(Params, WindowShrinksBySearchRange) {
    StabilizerParams p = block(160, 120);
    p.measureLeft = 10;
    p.measureRight = 150;
    p.measureTop = 10;
    p.measureBottom = 110;
    p.searchRange = 100;
    const StabilizerParams out = initAndRead(p);
    EXPECT_EQ(out.searchRange, 50);
    EXPECT_EQ(out.measureLeft, 50);
    EXPECT_EQ(out.measureRight, 110);
    EXPECT_EQ(out.measureTop, 50);
    EXPECT_EQ(out.measureBottom, 70);
}

TEST(Params, NarrowOrInvertedWindowsGiveZeroOrNegativeRange) {
    StabilizerParams p = block(160, 120);
    p.measureLeft = 10;
    p.measureRight = 11;
    p.searchRange = 20;
    EXPECT_EQ(initAndRead(p).searchRange, 0);
    p.measureLeft = 100;
    p.measureRight = 20;
    const StabilizerParams out = initAndRead(p);
    EXPECT_EQ(out.searchRange, -40);
    EXPECT_EQ(out.measureLeft, 100);
    EXPECT_EQ(out.measureRight, 20);
}

TEST(Params, ExtremeWindowValuesDoNotOverflow) {
    StabilizerParams p = block(160, 120);
    p.measureLeft = 5;
    p.measureRight = std::numeric_limits<std::int32_t>::min();
    p.measureTop = std::numeric_limits<std::int32_t>::max();
    p.measureBottom = std::numeric_limits<std::int32_t>::min();
    p.searchRange = 100;
    const StabilizerParams out = initAndRead(p);
    // (INT32_MIN - INT32_MAX) / 2 computed without overflow.
    EXPECT_EQ(out.searchRange, -2147483647);
    EXPECT_EQ(out.measureLeft, 5);
    EXPECT_EQ(out.measureRight, INT32_MIN);
}

TEST(Params, SmoothTimeYDefaultsToX) {
    StabilizerParams p = block(320, 240);
    p.smoothTimeX = 1000;
    const StabilizerParams out = initAndRead(p);
    EXPECT_EQ(out.smoothTimeY, 1000);
    EXPECT_EQ(placidor::api::engine().halfWindowX, 12);
    EXPECT_EQ(placidor::api::engine().halfWindowY, 12);
}

TEST(Params, HalfWindowDerivation) {
    using placidor::api::halfWindow;
    EXPECT_EQ(halfWindow(25.0f, 1000), 12);
    EXPECT_EQ(halfWindow(29.97f, 1000), 14);
    EXPECT_EQ(halfWindow(30.0f, 500), 7);
    EXPECT_EQ(halfWindow(25.0f, 79), 0);
    EXPECT_EQ(halfWindow(25.0f, -1000), -12);
    EXPECT_EQ(halfWindow(std::nanf(""), 1000), 0);
    EXPECT_EQ(halfWindow(std::numeric_limits<float>::infinity(), 1000), INT32_MAX);
    EXPECT_EQ(halfWindow(std::numeric_limits<float>::infinity(), -1), INT32_MIN);
    EXPECT_EQ(halfWindow(std::numeric_limits<float>::infinity(), 0), 0);  // inf * 0 is NaN
    EXPECT_EQ(halfWindow(3.0e38f, INT32_MAX), INT32_MAX);
    EXPECT_EQ(halfWindow(1000.0f, INT32_MAX), 1073741823);
}

TEST(Params, OtherFieldsAreStoredUnchanged) {
    StabilizerParams p = block(64, 48);
    p.firstFrame = -7;
    p.lastFrame = 99;
    p.fieldHandling = 3;
    p.fieldMode = 9;
    p.reserved = reinterpret_cast<void *>(0x1234);
    p.userData = reinterpret_cast<void *>(0x5678);
    p.searchMethod = -2;
    p.smoothingMode = 4;
    p.channel = 77;
    p.size = 5000;
    const StabilizerParams out = initAndRead(p);
    EXPECT_EQ(out.size, 5000u);
    EXPECT_EQ(out.firstFrame, -7);
    EXPECT_EQ(out.lastFrame, 99);
    EXPECT_EQ(out.fieldHandling, 3);
    EXPECT_EQ(out.fieldMode, 9);
    EXPECT_EQ(out.reserved, reinterpret_cast<void *>(0x1234));
    EXPECT_EQ(out.userData, reinterpret_cast<void *>(0x5678));
    EXPECT_EQ(out.searchMethod, -2);
    EXPECT_EQ(out.smoothingMode, 4);
    EXPECT_EQ(out.channel, 77);
}

TEST(Params, BlockLayoutMatchesItsPointerWidth) {
    if (sizeof(void *) == 4) {
        EXPECT_EQ(sizeof(StabilizerParams), 108u);
    } else {
        EXPECT_EQ(sizeof(StabilizerParams), 128u);
    }
    EXPECT_EQ(PLACIDOR_PARAMS_SIZE, sizeof(StabilizerParams));
    EXPECT_EQ(sizeof(ClipRect), 32u);
}

}  // namespace
