// Whole generated clips with known motion through the public API: the
// measured displacements, and the rectangles that hold the scene still.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "api/engine.h"
#include "placidor.h"
#include "support/synthetic_clip.h"

namespace {

using placidor::api::engine;
using placidor::testing::CameraPosition;
using placidor::testing::ClipHost;
using placidor::testing::SyntheticClip;

struct Case {
    bool twoBytePixels;
    std::int32_t searchMethod;
};

class WholeClip : public ::testing::TestWithParam<Case> {
protected:
    static constexpr std::int32_t kFrames = 40;
    SyntheticClip clip{192, 128, 24, 2026};
    ClipHost host;

    void SetUp() override {
        host.clip = &clip;
        host.twoBytePixels = GetParam().twoBytePixels;
        host.firstFrame = 100;
        host.path = placidor::testing::shakyPath(kFrames, 3, 77);
        placidor::testing::progressHost = &host;
    }

    StabilizerParams params() const {
        StabilizerParams p = host.params(host.firstFrame + kFrames - 1);
        p.searchMethod = GetParam().searchMethod;
        p.searchRange = 10;
        // Wide crop limits: nothing is clamped.
        p.cropLimitLeft = 192;
        p.cropLimitRight = 0;
        p.cropLimitTop = 128;
        p.cropLimitBottom = 0;
        return p;
    }
};

TEST_P(WholeClip, RecoversEveryDisplacement) {
    ASSERT_EQ(StabilizerInit(params()), NoError);
    ASSERT_EQ(StabilizerCalculate(&host), host.firstFrame + kFrames - 1);
    ASSERT_EQ(engine().frames.count(), kFrames);
    CameraPosition reference = host.path[0];
    for (std::int32_t i = 1; i < kFrames; ++i) {
        const auto &record = engine().frames[i];
        const CameraPosition current = host.path[i];
        EXPECT_EQ(record.frame, host.firstFrame + i);
        EXPECT_EQ(record.dx, placidor::testing::expectedDx(reference, current)) << "frame " << i;
        EXPECT_EQ(record.dy, placidor::testing::expectedDy(reference, current)) << "frame " << i;
        if (record.dx != 0 || record.dy != 0) reference = current;
    }
}

TEST_P(WholeClip, LockedRectanglesShowTheSameScenePoint) {
    StabilizerParams p = params();
    p.smoothingMode = 1;  // lock onto the first frame
    ASSERT_EQ(StabilizerInit(p), NoError);
    ASSERT_EQ(StabilizerCalculate(&host), host.firstFrame + kFrames - 1);
    EXPECT_EQ(StabilizerGetMaxClipRectErr(), 0);
    ClipRect first;
    ASSERT_EQ(StabilizerGetClipRect(host.firstFrame, &first), NoError);
    const double width = first.right - first.left, height = first.bottom - first.top;
    EXPECT_GT(width, 0.0);
    EXPECT_NEAR(width / height, 192.0 / 128.0, 1e-12);
    for (std::int32_t i = 0; i < kFrames; ++i) {
        ClipRect r;
        ASSERT_EQ(StabilizerGetClipRect(host.firstFrame + i, &r), NoError);
        EXPECT_EQ(r.right - r.left, width);
        EXPECT_EQ(r.bottom - r.top, height);
        // Scene column under the left edge; scene row under the top edge
        // (top counts from the last buffer row toward row 0).
        const CameraPosition cam = host.path[i];
        EXPECT_EQ(r.left + cam.x, first.left + host.path[0].x) << "frame " << i;
        EXPECT_EQ((128 - r.top) + cam.y, (128 - first.top) + host.path[0].y) << "frame " << i;
        EXPECT_GE(r.left, 0.0);
        EXPECT_LE(r.right, 192.0);
        EXPECT_GE(r.top, 0.0);
        EXPECT_LE(r.bottom, 128.0);
    }
}

// With averaging the rectangles follow the slow pan and remove the jitter:
// the scene position under them moves far less from frame to frame than the
// camera does.
TEST_P(WholeClip, SmoothedRectanglesRemoveTheJitter) {
    ASSERT_EQ(StabilizerInit(params()), NoError);
    ASSERT_EQ(StabilizerCalculate(&host), host.firstFrame + kFrames - 1);
    double cameraJitter = 0.0, sceneJitter = 0.0;
    double previousScene = 0.0;
    for (std::int32_t i = 0; i < kFrames; ++i) {
        ClipRect r;
        ASSERT_EQ(StabilizerGetClipRect(host.firstFrame + i, &r), NoError);
        const double scene = r.left + host.path[i].x;
        if (i > 0) {
            cameraJitter += std::fabs(double(host.path[i].x - host.path[i - 1].x));
            sceneJitter += std::fabs(scene - previousScene);
        }
        previousScene = scene;
    }
    EXPECT_LT(sceneJitter, cameraJitter / 3)
        << "camera " << cameraJitter << " scene " << sceneJitter;
}

TEST_P(WholeClip, RetuningAfterTheAnalysis) {
    ASSERT_EQ(StabilizerInit(params()), NoError);
    ASSERT_EQ(StabilizerCalculate(&host), host.firstFrame + kFrames - 1);
    const std::size_t fetches = host.fetches.size();
    StabilizerParams tight = params();
    tight.cropLimitLeft = 2;
    tight.cropLimitRight = 190;
    tight.cropLimitTop = 2;
    tight.cropLimitBottom = 126;
    tight.smoothTimeX = 4000;
    const std::int32_t error = StabilizerChangeParameter(tight);
    EXPECT_GT(error, 0);
    EXPECT_EQ(host.fetches.size(), fetches);  // no new analysis
    for (std::int32_t i = 0; i < kFrames; ++i) {
        const auto &record = engine().frames[i];
        EXPECT_LE(record.correctionX, 2.0);
        EXPECT_GE(record.correctionX, -2.0);
    }
    tight.cropLimitLeft = 192;
    tight.cropLimitRight = 0;
    tight.cropLimitTop = 128;
    tight.cropLimitBottom = 0;
    EXPECT_EQ(StabilizerChangeParameter(tight), 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, WholeClip,
                         ::testing::Values(Case{false, 0}, Case{true, 0}, Case{false, 1},
                                           Case{true, 1}),
                         [](const auto &info) {
                             return std::string(info.param.twoBytePixels ? "TwoByte"
                                                                         : "ThreeByte") +
                                    (info.param.searchMethod == 1 ? "Iterative" : "Exhaustive");
                         });

}  // namespace
