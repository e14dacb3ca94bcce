// What the analysis hands the engine and what it makes of the result: the
// high-pass against its definition (and restricted to a region), the
// planes in the engine's 2-byte layout with the picture's bottom row first
// (displacements and rectangles in picture coordinates), the independent
// phase-correlation estimate on known shifts, the reach for large steps,
// and the framing choice on a 20-minute handheld path.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <new>
#include <random>
#include <vector>

#include "measure/crop_choice.h"
#include "measure/engine_pass.h"
#include "measure/phase_track.h"
#include "measure/plane_filter.h"
#include "measure/reach.h"
#include "measure/step_check.h"
#include "options.h"
#include "report/camera_path.h"

namespace placidor::host {
namespace {

std::vector<std::uint8_t> randomPlane(int w, int h, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> v(0, 255), extreme(0, 3);
    std::vector<std::uint8_t> p(std::size_t(w) * h);
    for (auto &s : p) {
        const int e = extreme(rng);
        s = std::uint8_t(e == 0 ? 0 : e == 1 ? 255 : v(rng));  // half the samples at the extremes
    }
    return p;
}

TEST(HighPass, MatchesItsDefinitionForEveryRadiusAndOddSizes) {
    for (int radius = 1; radius <= 7; ++radius)
        for (auto [w, h] : {std::pair{37, 23}, std::pair{5, 3}, std::pair{64, 1}}) {
            const std::uint32_t seed = 100u + radius;
            SCOPED_TRACE("radius " + std::to_string(radius) + ", " + std::to_string(w) + "x" +
                         std::to_string(h) + ", seed " + std::to_string(seed));
            const auto in = randomPlane(w, h, seed);
            std::vector<std::uint8_t> out(in.size());
            HighPass(radius).apply(in.data(), w, w, h, {0, 0, w, h}, out.data());
            const auto want = highPassReference(in.data(), w, h, radius);
            int worst = 0;
            for (std::size_t i = 0; i < in.size(); ++i)
                worst = std::max(worst, std::abs(int(out[i]) - int(want[i])));
            EXPECT_LE(worst, 1);  // float against double rounding of the mean
        }
}

// The filter's mean is an integer sum of the samples under the tent
// (two boxes per axis: weights 1, 2, .., 2 r + 1, .., 2, 1 each way) taken
// to a float once; any order of summing gives that same integer, so the
// filter must match this sample for sample, not just within rounding.
std::vector<std::uint8_t> integerTentHighPass(const std::vector<std::uint8_t> &in,
                                              std::ptrdiff_t stride, int w, int h, int radius) {
    const int taps = 2 * radius + 1, reach = 2 * radius;
    std::vector<std::uint32_t> weight(std::size_t(2 * reach + 1), 0);
    for (int a = 0; a < taps; ++a)
        for (int b = 0; b < taps; ++b) ++weight[std::size_t(a + b)];
    const float inverse = 1.0f / float(taps * taps * taps * taps);
    std::vector<std::uint8_t> out(std::size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint32_t sum = 0;
            for (int v = -reach; v <= reach; ++v)
                for (int u = -reach; u <= reach; ++u) {
                    const int yy = std::clamp(y + v, 0, h - 1), xx = std::clamp(x + u, 0, w - 1);
                    sum += weight[std::size_t(v + reach)] * weight[std::size_t(u + reach)] *
                           in[std::size_t(yy) * std::size_t(stride) + std::size_t(xx)];
                }
            const int mean = static_cast<int>(float(sum) * inverse + 0.5f);
            const int level =
                128 + in[std::size_t(y) * std::size_t(stride) + std::size_t(x)] - mean;
            out[std::size_t(y) * w + x] = std::uint8_t(std::clamp(level, 0, 255));
        }
    return out;
}

TEST(HighPass, EqualsTheIntegerTentSampleForSampleInEveryRegion) {
    std::uint32_t seed = 500;
    for (int radius = 1; radius <= 7; ++radius)
        for (auto [w, h] : {std::pair{1, 1}, std::pair{9, 2}, std::pair{41, 37}, std::pair{70, 5}})
            for (const PlaneRect region : {PlaneRect{0, 0, w, h}, PlaneRect{w / 3, h / 4, w, h},
                                           PlaneRect{0, h - 1, w / 2 + 1, h}}) {
                ++seed;
                SCOPED_TRACE("radius " + std::to_string(radius) + ", " + std::to_string(w) + "x" +
                             std::to_string(h) + ", region from " + std::to_string(region.left) +
                             "," + std::to_string(region.top) + ", seed " + std::to_string(seed));
                const int stride = w + 3;
                const auto in = randomPlane(stride, h, seed);
                const auto want = integerTentHighPass(in, stride, w, h, radius);
                for (const bool wide : {false, true}) {
                    std::vector<std::uint8_t> out(std::size_t(w) * h, 7);
                    HighPass(radius, wide).apply(in.data(), stride, w, h, region, out.data());
                    for (int y = 0; y < h; ++y)
                        for (int x = 0; x < w; ++x) {
                            const bool inside = x >= region.left && x < region.right &&
                                                y >= region.top && y < region.bottom;
                            const std::size_t i = std::size_t(y) * w + x;
                            ASSERT_EQ(out[i], inside ? want[i] : 7)
                                << "at " << x << "," << y << (wide ? ", AVX2" : ", baseline");
                        }
                }
            }
}

TEST(HighPass, ARegionGivesTheSameSamplesInsideAndLeavesTheRestAlone) {
    const int w = 80, h = 61;
    auto frame = randomPlane(w + 9, h, 7);  // rows with a stride wider than the plane
    std::vector<std::uint8_t> whole(std::size_t(w) * h), part(whole.size(), 3);
    HighPass filter;
    filter.apply(frame.data(), w + 9, w, h, {0, 0, w, h}, whole.data());
    const PlaneRect r{13, 2, 71, 40};
    filter.apply(frame.data(), w + 9, w, h, r, part.data());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool inside = x >= r.left && x < r.right && y >= r.top && y < r.bottom;
            ASSERT_EQ(part[std::size_t(y) * w + x], inside ? whole[std::size_t(y) * w + x] : 3)
                << x << "," << y;
        }
}

TEST(HighPass, TheAvx2LoopsGiveTheBaselineSamplesBitForBit) {
    if (!HighPass::wideAvailable()) GTEST_SKIP() << "this processor has no AVX2";
    struct Case {
        int w, h;
        PlaneRect region;
    };
    // Odd widths on either side of the vector lengths, regions at every
    // edge and away from them, one column and one row.
    std::vector<Case> cases;
    for (int w : {1, 2, 7, 15, 16, 17, 31, 33, 63, 97, 250})
        for (int h : {1, 3, 29}) {
            cases.push_back({w, h, {0, 0, w, h}});
            cases.push_back({w, h, {w / 3, h / 4, w - w / 5, h}});
            cases.push_back({w, h, {w - 1, 0, w, h}});
            cases.push_back({w, h, {0, h - 1, w, h}});
        }
    std::uint32_t seed = 1;
    for (int radius = 1; radius <= 7; ++radius)
        for (const Case &c : cases) {
            ++seed;
            SCOPED_TRACE("radius " + std::to_string(radius) + ", " + std::to_string(c.w) + "x" +
                         std::to_string(c.h) + ", region from " + std::to_string(c.region.left) +
                         "," + std::to_string(c.region.top) + ", seed " + std::to_string(seed));
            const int stride = c.w + 5;
            const auto in = randomPlane(stride, c.h, seed);
            std::vector<std::uint8_t> wide(std::size_t(c.w) * c.h, 7), base(wide);
            HighPass(radius, true).apply(in.data(), stride, c.w, c.h, c.region, wide.data());
            HighPass(radius, false).apply(in.data(), stride, c.w, c.h, c.region, base.data());
            ASSERT_EQ(wide, base);
        }
}

TEST(HighPass, RemovesBrightnessDifferencesBetweenFlatRegions) {
    const int w = 60, h = 40;
    std::vector<std::uint8_t> in(std::size_t(w) * h), out(in.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) in[std::size_t(y) * w + x] = y < 20 ? 230 : 25;
    HighPass().apply(in.data(), w, w, h, {0, 0, w, h}, out.data());
    // Away from the edge both regions come out mid-grey.
    EXPECT_EQ(out[std::size_t(3) * w + 30], 128);
    EXPECT_EQ(out[std::size_t(36) * w + 30], 128);
}

TEST(DownscalePlane, AveragesWholeBlocks) {
    const std::uint8_t in[] = {0, 2, 4, 9, 99, 4, 6, 8, 9, 99, 1, 1, 1, 1, 1};
    std::uint8_t out[2] = {};
    downscalePlane(in, 5, 5, 3, 2, out);
    EXPECT_EQ(out[0], 3);  // (0 + 2 + 4 + 6) / 4
    EXPECT_EQ(out[1], 8);  // (4 + 9 + 8 + 9) / 4 = 7.5, rounded
}

// Every output sample against the definition, for halving (which has a
// vector path) and other factors: odd sizes, rows longer than the width,
// the vector loop's tail, a plane too small for any block.
TEST(DownscalePlane, MatchesTheBlockAverageEverywhere) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255);
    struct Size {
        int scale, width, height;
    };
    std::vector<Size> sizes;
    for (const int scale : {2, 3, 4})
        for (const int width : {1, 2, 3, 31, 32, 33, 63, 64, 65, 97, 130})
            for (const int height : {1, 2, 5, 8}) sizes.push_back({scale, width, height});
    // The tracker's factors (6 for 1080p, 12 for 4K), and the largest
    // blocks the division by multiplication covers (255) and beyond (256).
    for (const int scale : {5, 6, 7, 12, 13, 255, 256})
        sizes.push_back({scale, 2 * scale + 3, scale + 1});
    for (const auto &[scale, width, height] : sizes) {
        const std::ptrdiff_t stride = width + 5;
        std::vector<std::uint8_t> in(std::size_t(stride) * height);
        for (std::uint8_t &v : in) v = std::uint8_t(byte(rng));
        // A block of 255 and one of 0, where the rounding is at its limits.
        if (scale > 4)
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < scale; ++x) {
                    in[std::size_t(y * stride + x)] = 255;
                    in[std::size_t(y * stride + x + scale)] = 0;
                }
        const int w = width / scale, h = height / scale;
        // One sentinel past the packed output.
        std::vector<std::uint8_t> out(std::size_t(w) * h + 1, 0xa5);
        downscalePlane(in.data(), stride, width, height, scale, out.data());
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                int sum = 0;
                for (int v = 0; v < scale; ++v)
                    for (int u = 0; u < scale; ++u)
                        sum += in[std::size_t((y * scale + v) * stride + x * scale + u)];
                const int area = scale * scale;
                ASSERT_EQ(out[std::size_t(y) * w + x], (sum + area / 2) / area)
                    << "scale " << scale << ", " << width << "x" << height << " at " << x << ","
                    << y;
            }
        EXPECT_EQ(out.back(), 0xa5) << "scale " << scale << ", " << width << "x" << height;
    }
}

// A scene of random texture; frame n shows it from point (x, y).
struct Scene {
    int width, height;
    std::vector<std::uint8_t> samples;
    std::vector<std::uint8_t> view(int x, int y, int w, int h) const {
        std::vector<std::uint8_t> p(std::size_t(w) * h);
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c)
                p[std::size_t(r) * w + c] = samples[std::size_t(r + y) * width + c + x];
        return p;
    }
};

Scene smoothScene(int w, int h, std::uint32_t seed) {
    Scene s{w, h, randomPlane(w, h, seed)};
    // Blur a little so that shifts by fractions of a sample are defined.
    std::vector<std::uint8_t> out(s.samples.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int sum = 0;
            for (int v = -1; v <= 1; ++v)
                for (int u = -1; u <= 1; ++u)
                    sum += s.samples[std::size_t(std::clamp(y + v, 0, h - 1)) * w +
                                     std::clamp(x + u, 0, w - 1)];
            out[std::size_t(y) * w + x] = std::uint8_t(sum / 9);
        }
    s.samples = out;
    return s;
}

TEST(PhaseTracker, FindsWholeAndFractionalShiftsInFramePixels) {
    const int w = 640, h = 360;
    const Scene s = smoothScene(w + 80, h + 80, 3);
    PhaseTracker t(w, h);
    EXPECT_EQ(t.factor(), 2);
    t.add(s.view(40, 40, w, h).data());
    t.add(s.view(40 - 14, 40 + 6, w, h).data());  // camera left and down: content right, up
    // Half a sample of the working plane: the mean of two views a frame pixel apart.
    auto a = s.view(40 - 14 + 1, 40 + 6, w, h), b = s.view(40 - 14 + 2, 40 + 6, w, h);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = std::uint8_t((a[i] + b[i] + 1) / 2);
    t.add(a.data());
    ASSERT_EQ(t.steps().size(), 2u);
    EXPECT_NEAR(t.steps()[0].dx, 14, 0.25);
    EXPECT_NEAR(t.steps()[0].dy, -6, 0.25);
    EXPECT_GT(t.steps()[0].peak, 0.3);
    EXPECT_NEAR(t.steps()[1].dx, -1.5, 0.35);
    EXPECT_NEAR(t.steps()[1].dy, 0, 0.25);
}

// Bytes that end where an inaccessible page begins: a read one byte too
// far faults.
class GuardedBytes {
public:
    explicit GuardedBytes(std::size_t n) : n_(n) {
        const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
        length_ = (n + page - 1) / page * page + page;
        void *m =
            mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<std::uint8_t *>(m);
        if (mprotect(base_ + length_ - page, page, PROT_NONE) != 0) throw std::bad_alloc();
    }
    ~GuardedBytes() { munmap(base_, length_); }
    std::uint8_t *data() { return base_ + length_ - sysconf(_SC_PAGESIZE) - n_; }

private:
    std::size_t n_, length_;
    std::uint8_t *base_;
};

// Frames smaller than the smallest transform (8 x 8), and a wide one that
// is averaged down by no more than its height, each ending at a guard page: a step comes out and no
// sample past the frame is read.
TEST(PhaseTracker, SmallFramesAreReadWithinTheirBounds) {
    for (auto [w, h] : {std::pair{1, 1}, std::pair{2, 2}, std::pair{40, 1}, std::pair{1, 40},
                        std::pair{7, 5}, std::pair{1000, 2}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        PhaseTracker t(w, h);
        for (int k = 0; k < 2; ++k) {
            GuardedBytes frame(std::size_t(w) * h);
            const auto samples = randomPlane(w, h, 5u + k);
            std::copy(samples.begin(), samples.end(), frame.data());
            t.add(frame.data());
        }
        ASSERT_EQ(t.steps().size(), 1u);
        EXPECT_TRUE(std::isfinite(t.steps()[0].dx) && std::isfinite(t.steps()[0].dy));
    }
}

TEST(PhaseTracker, ShakeOfStepsIsTheHighFrequencyPartOfThePath) {
    // A path of 3, 0, 3, 0, ...: 15 values around a 3 hold seven 3s, a
    // mean of 1.4, and around a 0 eight: every value is 1.6 off.
    std::vector<double> dx, dy(99, 0.0);
    for (int i = 0; i < 99; ++i) dx.push_back(i % 2 == 0 ? 3.0 : -3.0);
    const ShakeFigure s = shakeOfSteps(dx, dy);
    EXPECT_NEAR(s.x, 1.6, 1e-9);
    EXPECT_EQ(s.y, 0.0);
    // A steady pan has no shake: the ends, where the average would lean
    // on repeated values, are left out.
    const ShakeFigure pan = shakeOfSteps(std::vector<double>(99, 2.0), dy);
    EXPECT_NEAR(pan.x, 0.0, 1e-9);
}

// Frames for the engine from a scene along a path, through the plane feed.
struct PathFeed {
    const Scene *scene;
    std::vector<std::pair<int, int>> path;  // scene point at the picture's top-left
    int w, h, margin;
    PlaneFeed feed() {
        PlaneFeed f;
        f.has = [this](std::int32_t i) { return i < static_cast<std::int32_t>(path.size()); };
        f.take = [this](std::int32_t i) {
            return scene->view(margin + path[std::size_t(i)].first,
                               margin + path[std::size_t(i)].second, w, h);
        };
        return f;
    }
};

TEST(EnginePass, PlanesGoBottomRowFirstSoThatRectanglesArePictureCoordinates) {
    const int w = 96, h = 72, margin = 10;
    const Scene s = smoothScene(w + 2 * margin, h + 2 * margin, 5);
    // The camera moves left by 2 and up by 3: the content moves right and down.
    PathFeed frames{&s, {{0, 0}, {-2, -3}, {-2, -3}}, w, h, margin};
    Options o;
    o.smoothing = false;  // the correction undoes all motion
    o.searchRange = 6;
    StabilizerParams p = makeParams(o, w, h, 25.0f, 2);
    ASSERT_EQ(initPlaneEngine(p).twoBytePixels, 1);
    PlaneFeed feed = frames.feed();
    std::vector<std::int32_t> told;
    const EnginePass pass = runEnginePass(feed, [&](std::int32_t f) { told.push_back(f); });
    EXPECT_EQ(pass.lastFrame, 2);
    EXPECT_EQ(told, (std::vector<std::int32_t>{1, 2}));
    ASSERT_EQ(pass.dx.size(), 3u);
    EXPECT_EQ(pass.dx[1], 2);
    EXPECT_EQ(pass.dy[1], 3);  // downwards in the picture
    const CameraPath path = readCameraPath(0, pass.dx, pass.dy);
    // The crop follows the content: right by 2, down by 3.
    EXPECT_DOUBLE_EQ(path.rects[1].left - path.rects[0].left, 2.0);
    EXPECT_DOUBLE_EQ(path.rects[1].top - path.rects[0].top, 3.0);
    StabilizerFree();
}

TEST(EnginePass, AFailingFeedStopsThePassAndIsRethrown) {
    const int w = 64, h = 48;
    Options o;
    o.searchRange = 4;
    initPlaneEngine(makeParams(o, w, h, 25.0f, 9));
    PlaneFeed feed;
    feed.has = [](std::int32_t) { return true; };
    int calls = 0;
    feed.take = [&](std::int32_t i) -> std::vector<std::uint8_t> {
        ++calls;
        if (i == 3) throw std::runtime_error("decoding failed");
        return std::vector<std::uint8_t>(std::size_t(w) * h, std::uint8_t(i));
    };
    EXPECT_THROW(runEnginePass(feed, nullptr), std::runtime_error);
    EXPECT_EQ(calls, 4);
    StabilizerFree();
}

TEST(EnginePass, ReadRegionCoversTheWindowWidenedByTheSearch) {
    StabilizerParams p{};
    p.width = 320;
    p.height = 240;
    p.searchRange = 10;
    p.measureLeft = 90;
    p.measureRight = 229;
    p.measureTop = 70;  // buffer rows, bottom-up
    p.measureBottom = 159;
    const PlaneRect r = engineReadRegion(p);
    EXPECT_EQ(r.left, 90 - 17);
    EXPECT_EQ(r.right, 230 + 17);
    // Buffer rows 53..176 are picture rows 240-1-176 .. 240-1-53.
    EXPECT_EQ(r.top, 240 - 177);
    EXPECT_EQ(r.bottom, 240 - 53);
    p.searchRange = 100;
    const PlaneRect wide = engineReadRegion(p);
    EXPECT_EQ(wide.left, 0);
    EXPECT_EQ(wide.right, 320);
    EXPECT_EQ(wide.top, 0);
    EXPECT_EQ(wide.bottom, 240);
}

TEST(Reach, ARangeBeyondTheStepsOverTheWholeFrame) {
    const Reach sd = reachFor(70, 352, 288);
    EXPECT_EQ(sd.scale, 1);
    EXPECT_GE(sd.searchRange, 79);
    // A fifth of a 1080p frame's width cannot be searched at full size.
    const Reach hd = reachFor(384, 1920, 1080);
    EXPECT_GT(hd.scale, 1);
    EXPECT_LE(hd.searchRange, 100);
    EXPECT_GE(hd.searchRange * hd.scale, 384);
    EXPECT_LE(2 * hd.searchRange, 0.8 * (1080 / hd.scale));
}

TEST(Reach, OnlyConfidentStepsBeyondTheRangeThatTheEngineMissedCount) {
    std::vector<PhaseStep> steps(300, PhaseStep{3, -2, 0.5});
    std::vector<PhaseStep> engine(300, PhaseStep{3, -2, 1});
    EXPECT_EQ(stepBeyondReach(steps, engine, 24), 0.0);
    steps[10] = {40, 0, 0.5};
    EXPECT_EQ(stepBeyondReach(steps, engine, 24), 0.0);  // one in 300: a glitch
    steps[20] = {0, -55, 0.3};
    EXPECT_EQ(stepBeyondReach(steps, engine, 24), 55.0);
    // Where the engine measured the large steps too, it reached them.
    engine[10] = {38, 1, 1};
    engine[20] = {0, -53, 1};
    EXPECT_EQ(stepBeyondReach(steps, engine, 24), 0.0);
    engine[20] = {0, -20, 1};
    steps[30] = {30, 0, 0.5};
    engine[30] = {29, 0, 1};
    EXPECT_EQ(stepBeyondReach(steps, engine, 24), 0.0);  // again only one missed
    engine[10] = {12, 1, 1};
    EXPECT_EQ(stepBeyondReach(steps, engine, 24), 55.0);
    steps[20].peak = 0.01;  // noise
    EXPECT_EQ(stepBeyondReach(steps, engine, 24), 0.0);
}

TEST(Reach, AMissTheFramesDoNotBearOutCountsOnlyAtTheEdgeOfTheSearch) {
    std::vector<PhaseStep> steps(300, PhaseStep{3, -2, 0.5});
    std::vector<PhaseStep> engine(300, PhaseStep{3, -2, 1});
    steps[10] = {0, 34, 0.5};
    steps[20] = {0, -30, 0.5};
    engine[10] = {1, 9, 1};
    engine[20] = {1, -8, 1};
    // The verdicts of frames that side with the tracker, or with the engine.
    const auto judged = [&](bool preferTracker) {
        std::vector<StepVerdict> v;
        for (std::size_t i = 0; i < steps.size(); ++i)
            v.push_back(judgeStep(steps[i], engine[i], 24, [&] { return preferTracker; }));
        return v;
    };
    EXPECT_EQ(stepBeyondReach(withoutRefuted(steps, judged(true)), engine, 24), 34.0);
    EXPECT_EQ(stepBeyondReach(withoutRefuted(steps, judged(false)), engine, 24), 0.0);
    // An engine step beyond the reachable part of its range proves nothing.
    engine[20] = {1, 25, 1};
    EXPECT_EQ(stepBeyondReach(withoutRefuted(steps, judged(false)), engine, 24),
              0.0);  // one left
    engine[10] = {1, 26, 1};
    steps[10] = {0, 40, 0.5};
    EXPECT_EQ(stepBeyondReach(withoutRefuted(steps, judged(false)), engine, 24), 40.0);
}

TEST(Reach, TheFramesJudgeWhereTrackerAndEngineDisagree) {
    int asked = 0;
    const auto frames = [&asked](bool preferTracker) {
        return std::function<bool()>([&asked, preferTracker] {
            ++asked;
            return preferTracker;
        });
    };
    const PhaseStep engine{3, 9, 1};
    // Agreeing steps, and faint ones, are not put to the frames.
    EXPECT_EQ(judgeStep({5, 12, 0.5}, engine, 24, frames(true)), StepVerdict::agree);
    EXPECT_EQ(judgeStep({3, 30, 0.01}, engine, 24, frames(true)), StepVerdict::agree);
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(judgeStep({3, 30, 0.5}, engine, 24, {}), StepVerdict::unknown);
    EXPECT_EQ(judgeStep({3, 30, 0.5}, engine, 24, frames(true)), StepVerdict::missed);
    EXPECT_EQ(judgeStep({3, 30, 0.5}, engine, 24, frames(false)), StepVerdict::notMissed);
    // An engine step beyond the reachable part of its range is no answer.
    EXPECT_EQ(judgeStep({3, 40, 0.5}, {3, 25, 1}, 24, frames(false)), StepVerdict::missed);
    // Within reach: the frames side with the tracker against the window.
    EXPECT_EQ(judgeStep({3, -4, 0.5}, engine, 24, frames(true)), StepVerdict::outvoted);
    EXPECT_EQ(judgeStep({3, -4, 0.5}, engine, 24, frames(false)), StepVerdict::agree);
    EXPECT_EQ(asked, 5);
}

// A random texture, and the same moved by (mx, my): sample (x, y) of the
// first is sample (x + mx, y + my) of the second.
std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>> movedPair(int w, int h, int mx,
                                                                          int my) {
    std::mt19937 rng(71);
    const int big = w + 80;
    std::vector<std::uint8_t> scene(std::size_t(big) * (h + 80));
    for (auto &v : scene) v = std::uint8_t(rng() & 0xff);
    std::vector<std::uint8_t> a(std::size_t(w) * h), b(a.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            a[std::size_t(y) * w + x] = scene[std::size_t(y + 40) * big + x + 40];
            b[std::size_t(y) * w + x] = scene[std::size_t(y + 40 - my) * big + x + 40 - mx];
        }
    return {a, b};
}

TEST(StepCheck, PrefersTheStepThatLaysTheFramesOverEachOther) {
    for (const int w : {640, 1921}) {  // at the frame's size, and halved
        const int h = 301;
        const auto [a, b] = movedPair(w, h, 12, -6);
        StepCheck check(w, h, false, 2);
        EXPECT_EQ(check.factor(), w > 1000 ? 2 : 1);
        // A second frame without a first keeps nothing.
        EXPECT_FALSE(check.second(0, b.data(), w));
        check.first(a.data(), w);
        ASSERT_TRUE(check.second(3, b.data(), w));
        EXPECT_TRUE(check.has(3));
        EXPECT_FALSE(check.has(0));
        EXPECT_NEAR(check.misfit(3, 12, -6), 0.0, 1e-9);
        EXPECT_GT(check.misfit(3, 12, 30), 40.0);
        EXPECT_GT(check.misfit(3, 0, 0), 40.0);
        EXPECT_TRUE(check.prefers(3, 12.4, -5.6, 2, -1));
        EXPECT_FALSE(check.prefers(3, 2, -31, 12, -6));
        // Frames laid over each other by less than a quarter: no figure.
        EXPECT_TRUE(std::isinf(check.misfit(3, 0.8 * w, 0)));
        EXPECT_TRUE(std::isinf(check.misfit(3, 0, -0.8 * h)));
        // A pair not kept leaves any step unchallenged.
        EXPECT_TRUE(check.prefers(5, 2, -31, 12, -6));
        // Room for two pairs only.
        check.first(b.data(), w);
        EXPECT_TRUE(check.second(4, a.data(), w));
        EXPECT_NEAR(check.misfit(4, -12, 6), 0.0, 1e-9);
        check.first(a.data(), w);
        EXPECT_FALSE(check.second(5, b.data(), w));
        EXPECT_EQ(check.kept(), 2u);
    }
}

// A 20-minute handheld clip at 25 fps on a small plane: the aim wanders
// slowly, the hand shakes, now and then the camera is jolted or turned.
std::vector<std::pair<int, int>> twentyMinutesHandheld(std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> jitter(0.0, 0.8);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<std::pair<int, int>> path;
    double x = 0, y = 0, jx = 0, jy = 0, turn = 0;
    int px = 0, py = 0;
    for (int n = 0; n < 30000; ++n) {
        const double t = n / 25.0;
        double tx = 9 * std::sin(t / 7.0) + 5 * std::sin(t / 2.3 + 1) + 3 * std::sin(t * 1.7);
        double ty = 6 * std::sin(t / 9.0 + 2) + 4 * std::sin(t / 3.1) + 2 * std::sin(t * 2.1 + 0.5);
        if (u(rng) < 1.0 / 750)
            jx += 20 * (u(rng) < 0.5 ? -1 : 1), jy += 12 * (u(rng) < 0.5 ? -1 : 1);
        // Now and then the operator turns to something else, quickly.
        if (u(rng) < 1.0 / 1000) turn = turn > 0 ? -30 : 30;
        jx *= 0.9;
        jy *= 0.9;
        x = tx + turn + jx + jitter(rng);
        y = ty + jy + jitter(rng);
        // Steps of at most 3 pixels, within the small search range.
        px += std::clamp(int(std::lround(x)) - px, -3, 3);
        py += std::clamp(int(std::lround(y)) - py, -3, 3);
        path.push_back({px, py});
    }
    for (const auto &[a, b] : path)
        if (std::abs(a) > 85 || std::abs(b) > 85) ADD_FAILURE() << "the path leaves the scene";
    return path;
}

TEST(Framing, ATwentyMinuteHandheldClipKeepsTheTargetShare) {
    const int w = 128, h = 96, margin = 90;
    const Scene s = smoothScene(w + 2 * margin, h + 2 * margin, 9);
    PathFeed frames{&s, twentyMinutesHandheld(21), w, h, margin};
    Options o;
    o.searchRange = 4;
    initPlaneEngine(makeParams(o, w, h, 25.0f, 29999));
    PlaneFeed feed = frames.feed();
    const EnginePass pass = runEnginePass(feed, nullptr);
    ASSERT_EQ(pass.lastFrame, 29999);
    const CameraPath path = readCameraPath(0, pass.dx, pass.dy);
    for (std::size_t i = 0; i < 30000; i += 997)
        ASSERT_EQ(path.measuredX[i], -(frames.path[i].first - frames.path[0].first))
            << "frame " << i;

    // The old default, a second of smoothing without a crop limit, loses
    // far more than the target on such a clip.
    const Framing plain = currentFraming(0, path.measuredX, path.measuredY);
    EXPECT_EQ(plain.smoothX, 1000);
    EXPECT_LT(plain.kept, 0.85);

    const Framing chosen = chooseFraming(0, path.measuredX, path.measuredY, FramingRequest{});
    EXPECT_TRUE(chosen.metTarget);
    EXPECT_GE(chosen.kept, 0.90);
    EXPECT_GT(chosen.tried, 10);
    // The engine is left with the chosen framing.
    ClipRect r{};
    ASSERT_EQ(StabilizerGetClipRect(0, &r), NoError);
    EXPECT_NEAR((r.right - r.left) / w, chosen.kept, 1e-12);
    std::printf(
        "20-minute clip: 1000 ms keeps %.1f%% (shake %.3f px); chosen %d ms%s keeps %.1f%% "
        "(shake "
        "%.3f px)\n",
        100 * plain.kept, plain.shake, chosen.smoothX, chosen.limitX > 0 ? " held" : "",
        100 * chosen.kept, chosen.shake);

    // What the user fixes holds: with their smoothing and crop limit the
    // framing is theirs, and it says whether it meets the target.
    FramingRequest fixed;
    fixed.smoothX = fixed.smoothY = 3000;
    fixed.cropFixed = true;
    const Framing theirs = chooseFraming(0, path.measuredX, path.measuredY, fixed);
    EXPECT_EQ(theirs.smoothX, 3000);
    EXPECT_EQ(theirs.tried, 1);
    EXPECT_EQ(theirs.metTarget, theirs.kept >= 0.9);
    StabilizerFree();
}

}  // namespace
}  // namespace placidor::host
