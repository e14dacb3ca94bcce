// The camera path the command line reads back from an analysed clip:
// displacements (the last one recovered from a re-correction), corrections
// consistent with the engine's rectangles, the crop-limit flags, re-tuning
// that leaves the engine as it was, and the shake measure.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "report/camera_path.h"
#include "support/synthetic_clip.h"

namespace placidor::host {
namespace {

using testing::ClipHost;
using testing::SyntheticClip;

constexpr std::int32_t kWidth = 96, kHeight = 72, kFrames = 40;

class AnalysedClip : public ::testing::Test {
protected:
    AnalysedClip() : clip_(kWidth, kHeight, 32, 11) {}

    // Analyses the clip with `adjust` applied to the block, then reads the
    // path with the displacements that the fetches were told.
    CameraPath analyse(std::int32_t first, void (*adjust)(StabilizerParams &) = nullptr) {
        host_.clip = &clip_;
        host_.firstFrame = first;
        host_.path = testing::shakyPath(kFrames, 3, 5);
        testing::progressHost = &host_;
        StabilizerParams p = host_.params(first + kFrames - 1);
        if (adjust) adjust(p);
        EXPECT_EQ(StabilizerInit(p), NoError);
        EXPECT_EQ(StabilizerCalculate(&host_), first + kFrames - 1);
        std::vector<std::int32_t> dx, dy;
        for (std::size_t i = 1; i < host_.fetches.size(); ++i) {
            dx.push_back(static_cast<std::int32_t>(host_.fetches[i].prevDx));
            dy.push_back(static_cast<std::int32_t>(host_.fetches[i].prevDy));
        }
        dx.push_back(0);  // unknown to the host: recovered by readCameraPath
        dy.push_back(0);
        return readCameraPath(first, dx, dy);
    }

    std::int32_t expectedDx(std::size_t i) const {
        return i == 0 ? 0 : testing::expectedDx(host_.path[i - 1], host_.path[i]);
    }
    std::int32_t expectedDy(std::size_t i) const {
        return i == 0 ? 0 : testing::expectedDy(host_.path[i - 1], host_.path[i]);
    }

    std::vector<ClipRect> engineRects(std::int32_t first) const {
        std::vector<ClipRect> rects(kFrames);
        for (std::int32_t i = 0; i < kFrames; ++i)
            EXPECT_EQ(StabilizerGetClipRect(first + i, &rects[i]), NoError);
        return rects;
    }

    SyntheticClip clip_;
    ClipHost host_;
};

TEST_F(AnalysedClip, RecoversEveryDisplacementIncludingTheLastFrames) {
    const CameraPath path = analyse(100);
    ASSERT_EQ(path.dx.size(), std::size_t(kFrames));
    EXPECT_EQ(path.firstFrame, 100);
    for (std::size_t i = 0; i < path.dx.size(); ++i) {
        EXPECT_EQ(path.dx[i], expectedDx(i)) << "frame " << i;
        EXPECT_EQ(path.dy[i], expectedDy(i)) << "frame " << i;
    }
    // The measured path is the camera's travel from the first frame.
    EXPECT_DOUBLE_EQ(path.measuredX.back(), host_.path.front().x - host_.path.back().x);
    EXPECT_DOUBLE_EQ(path.measuredY.back(), host_.path.back().y - host_.path.front().y);
}

TEST_F(AnalysedClip, DeliveredCorrectionsReproduceTheEngineRectangles) {
    const CameraPath path = analyse(0, [](StabilizerParams &p) {
        p.cropLimitLeft = 2;
        p.cropLimitRight = kWidth - 2;
        p.cropLimitTop = 2;
        p.cropLimitBottom = kHeight - 2;
    });
    const auto rects = engineRects(0);
    bool anyClamped = false;
    for (std::size_t i = 0; i < rects.size(); ++i) {
        const double cx = path.deliveredX[i] - path.measuredX[i],
                     cy = path.deliveredY[i] - path.measuredY[i];
        const double c0x = path.deliveredX[0] - path.measuredX[0],
                     c0y = path.deliveredY[0] - path.measuredY[0];
        // Every rectangle sits at a constant minus its frame's correction.
        EXPECT_NEAR(rects[0].left - rects[i].left, cx - c0x, 1e-9) << "frame " << i;
        EXPECT_NEAR(rects[0].top - rects[i].top, cy - c0y, 1e-9) << "frame " << i;
        EXPECT_GE(cx, -2.0);
        EXPECT_LE(cx, 2.0);
        EXPECT_EQ(path.clampedX[i], std::fabs(path.correctionX[i] - cx) > 1e-9);
        anyClamped = anyClamped || path.clampedX[i] || path.clampedY[i];
        EXPECT_EQ(std::memcmp(&rects[i], &path.rects[i], sizeof(ClipRect)), 0);
    }
    EXPECT_TRUE(anyClamped) << "a 2-pixel limit must cut a 3-pixel shake short";
    EXPECT_GT(path.maxClipError, 0);
    EXPECT_EQ(path.maxClipError, StabilizerGetMaxClipRectErr());
}

TEST_F(AnalysedClip, LockedCameraDeliversAStillPath) {
    // Without averaging, every frame is moved back onto the first frame.
    const CameraPath path = analyse(0, [](StabilizerParams &p) { p.smoothingMode = 1; });
    for (std::size_t i = 0; i < path.deliveredX.size(); ++i) {
        EXPECT_NEAR(path.deliveredX[i], 0.0, 1e-9) << "frame " << i;
        EXPECT_NEAR(path.deliveredY[i], 0.0, 1e-9) << "frame " << i;
    }
}

TEST_F(AnalysedClip, SmoothedPathCarriesLittleOfTheShake) {
    const CameraPath path = analyse(0);
    std::vector<double> smoothedX, smoothedY;
    for (std::size_t i = 0; i < path.measuredX.size(); ++i) {
        smoothedX.push_back(path.measuredX[i] + path.correctionX[i]);
        smoothedY.push_back(path.measuredY[i] + path.correctionY[i]);
    }
    const Shake measured = shakeOf(path, 25.0);
    EXPECT_GT(measured.total, 1.5);
    EXPECT_LT(seriesShake(smoothedX, 25.0), measured.x * 0.3);
    EXPECT_LT(seriesShake(smoothedY, 25.0), measured.y * 0.3);
}

TEST_F(AnalysedClip, ReadingAndRetuningLeaveTheEngineAsItWas) {
    analyse(0);
    const auto before = engineRects(0);
    const std::int32_t errorBefore = StabilizerGetMaxClipRectErr();
    readCameraPath(0, std::vector<std::int32_t>(kFrames, 0), std::vector<std::int32_t>(kFrames, 0));
    const auto results = retune(0, {200, 1000, 3000});
    const auto after = engineRects(0);
    for (std::size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(std::memcmp(&before[i], &after[i], sizeof(ClipRect)), 0) << "frame " << i;
    EXPECT_EQ(StabilizerGetMaxClipRectErr(), errorBefore);

    ASSERT_EQ(results.size(), 3u);
    StabilizerParams block{};
    StabilizerGetParameter(&block);
    for (const Retuning &r : results) {
        StabilizerParams changed = block;
        changed.smoothTimeX = changed.smoothTimeY = r.smoothTimeMs;
        EXPECT_EQ(StabilizerChangeParameter(changed), r.maxClipError);
        ClipRect rect{};
        ASSERT_EQ(StabilizerGetClipRect(0, &rect), NoError);
        EXPECT_DOUBLE_EQ(r.keptFraction, (rect.right - rect.left) / kWidth);
        EXPECT_GT(r.keptFraction, 0.0);
        EXPECT_LE(r.keptFraction, 1.0);
    }
    // A longer smoothing time strays further from the shaky path: it never
    // keeps more of the frame than a 200 ms one on this clip.
    EXPECT_LE(results[2].keptFraction, results[0].keptFraction);
}

TEST(HalfWindow, FollowsTheFrameRateAndTime) {
    EXPECT_EQ(halfWindowFrames(25.0f, 1000), 12);
    EXPECT_EQ(halfWindowFrames(29.97f, 1000), 14);
    EXPECT_EQ(halfWindowFrames(30.0f, 500), 7);
    EXPECT_EQ(halfWindowFrames(std::nanf(""), 1000), 0);
}

TEST(Shake, MeasuresOnlyTheFastPartOfAPath) {
    CameraPath still, pan, jitter;
    for (int i = 0; i < 50; ++i) {
        still.measuredX.push_back(3.0);
        still.measuredY.push_back(-2.0);
        pan.measuredX.push_back(0.5 * i);  // a steady pan is no shake
        pan.measuredY.push_back(0.0);
        jitter.measuredX.push_back(i % 2 ? 2.0 : -2.0);
        jitter.measuredY.push_back(0.0);
    }
    EXPECT_DOUBLE_EQ(shakeOf(still, 25).total, 0.0);
    // Only the frames near the ends, where the window is cut, see the pan.
    EXPECT_LT(shakeOf(pan, 25).total, 0.6);
    // +-2 alternating: the 13-frame average is about 0, so about 2 remains.
    EXPECT_NEAR(shakeOf(jitter, 25).x, 2.0, 0.2);
    EXPECT_DOUBLE_EQ(shakeOf(jitter, 25).y, 0.0);
}

}  // namespace
}  // namespace placidor::host
