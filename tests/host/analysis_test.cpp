// The analysis pass on generated clips with a known camera path: scenes
// that mislead a plain match score (a dark noisy foreground under a bright
// flat sky, exposure drifting between frames, little texture, motion blur)
// and a 10 fps clip whose steps reach a fifth of the width. The clips are
// written losslessly (YUV4MPEG2) and read back through FFmpeg, so the whole
// host path runs: decoding, the measurement plane and its prefilter, the
// reach, the engine.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "analysis.h"
#include "input/frame_source.h"
#include "measure/phase_track.h"
#include "memory.h"
#include "placidor.h"

namespace {

namespace fs = std::filesystem;
using namespace placidor::host;

struct Point {
    int x, y;  // scene column and row at the picture's top-left
};

// A smooth random texture in 0..1: value noise at a few scales.
std::vector<float> texture(int w, int h, std::uint32_t seed,
                           std::vector<int> spacings = {24, 9, 4}) {
    std::vector<float> t(std::size_t(w) * h, 0.0f);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    float total = 0;
    for (std::size_t level = 0; level < spacings.size(); ++level) {
        const int s = spacings[level];
        const int gw = w / s + 2, gh = h / s + 2;
        std::vector<float> grid(std::size_t(gw) * gh);
        for (float &g : grid) g = u(rng);
        const float weight = 1.0f / float(level + 1);
        total += weight;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const float fx = float(x) / s, fy = float(y) / s;
                const int ix = int(fx), iy = int(fy);
                const float ax = fx - ix, ay = fy - iy;
                const auto g = [&](int i, int j) { return grid[std::size_t(j) * gw + i]; };
                const float v = (g(ix, iy) * (1 - ax) + g(ix + 1, iy) * ax) * (1 - ay) +
                                (g(ix, iy + 1) * (1 - ax) + g(ix + 1, iy + 1) * ax) * ay;
                t[std::size_t(y) * w + x] += weight * v;
            }
    }
    for (float &v : t) v /= total;
    return t;
}

struct Clip {
    int width = 320, height = 240, fps = 25;
    std::vector<Point> path;
    // Frame n's luma from the scene at the path's point: fills width*height.
    std::function<void(int n, Point at, std::vector<std::uint8_t> &luma)> frame;
};

// A handheld camera: slow sway plus jitter, steps of a few pixels.
std::vector<Point> handheld(int frames, std::uint32_t seed, int jitter = 4) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> j(-jitter, jitter);
    std::vector<Point> p;
    for (int n = 0; n < frames; ++n)
        p.push_back({int(std::lround(12 * std::sin(n / 17.0))) + j(rng),
                     int(std::lround(8 * std::sin(n / 23.0))) + j(rng)});
    return p;
}

void writeY4m(const fs::path &file, const Clip &c) {
    std::ofstream out(file, std::ios::binary);
    out << "YUV4MPEG2 W" << c.width << " H" << c.height << " F" << c.fps << ":1 Ip A1:1 C420jpeg\n";
    std::vector<std::uint8_t> luma(std::size_t(c.width) * c.height);
    const std::vector<std::uint8_t> chroma(std::size_t(c.width / 2) * (c.height / 2) * 2, 128);
    for (std::size_t n = 0; n < c.path.size(); ++n) {
        c.frame(int(n), c.path[n], luma);
        out << "FRAME\n";
        out.write(reinterpret_cast<const char *>(luma.data()), std::streamsize(luma.size()));
        out.write(reinterpret_cast<const char *>(chroma.data()), std::streamsize(chroma.size()));
    }
    ASSERT_TRUE(out.good());
}

std::uint8_t level(double v) { return std::uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

struct PathError {
    double highFrequencyRms = 0;  // of measured minus true path, pixels
    double worstStep = 0;         // largest step error, pixels
};

// The engine's path against the truth: the picture moves opposite to the
// camera, so the measured path is minus the camera's.
PathError compare(const Analysis &a, const std::vector<Point> &truth) {
    const auto &mx = a.path.measuredX, &my = a.path.measuredY;
    EXPECT_EQ(mx.size(), truth.size());
    const std::size_t n = std::min(mx.size(), truth.size());
    std::vector<double> ex(n), ey(n);
    PathError e;
    for (std::size_t i = 0; i < n; ++i) {
        ex[i] = mx[i] + (truth[i].x - truth[0].x);
        ey[i] = my[i] + (truth[i].y - truth[0].y);
        if (i > 0)
            e.worstStep =
                std::max({e.worstStep, std::fabs(ex[i] - ex[i - 1]), std::fabs(ey[i] - ey[i - 1])});
    }
    double squares = 0;
    const auto hx = highFrequency(ex), hy = highFrequency(ey);
    for (std::size_t i = 0; i < n; ++i) squares += hx[i] * hx[i] + hy[i] * hy[i];
    e.highFrequencyRms = n ? std::sqrt(squares / double(n)) : 0.0;
    return e;
}

class GeneratedClips : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) /
               ("placidor_analysis_" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
                std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir_);
    }

    // Writes the clip and analyses it as the command line does; `framed`
    // gets the shake left in the picture and the share kept, before and
    // after the framing choice.
    struct Framed {
        double shakeBefore = 0, keptBefore = 0, shakeAfter = 0, keptAfter = 0;
        Framing chosen;
    };
    Analysis analyseClip(const Clip &clip, const Options &options, const std::string &name,
                         Framed *framed = nullptr, const AnalysisShortcuts &shortcuts = {}) {
        const fs::path file = dir_ / (name + ".y4m");
        if (!fs::exists(file)) writeY4m(file, clip);
        Progress quiet(false, "");
        Analysis a = analyse(file.string(), options, quiet, shortcuts);
        if (framed) {
            framed->shakeBefore = residualShake(a, clip.path, framed->keptBefore);
            framed->chosen = frameClip(a, options);
            framed->shakeAfter = residualShake(a, clip.path, framed->keptAfter);
        }
        StabilizerFree();
        return a;
    }

    // The shake the stabilised picture keeps: the picture's true motion
    // plus the correction (a constant minus the rectangle's left, top).
    static double residualShake(const Analysis &a, const std::vector<Point> &truth, double &kept) {
        const std::size_t n = std::min(truth.size(), a.path.rects.size());
        std::vector<double> x(n), y(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = -(truth[i].x - truth[0].x) - a.path.rects[i].left;
            y[i] = -(truth[i].y - truth[0].y) - a.path.rects[i].top;
        }
        kept = n ? (a.path.rects[0].right - a.path.rects[0].left) / a.info.width : 0.0;
        double squares = 0;
        const auto hx = highFrequency(x), hy = highFrequency(y);
        for (std::size_t i = 0; i < n; ++i) squares += hx[i] * hx[i] + hy[i] * hy[i];
        return n ? std::sqrt(squares / double(n)) : 0.0;
    }

    // Measures with the prefilter on or off, prints the figures, and
    // checks that the framing keeps the target share.
    PathError measure(const Clip &clip, bool prefilter, const std::string &name) {
        Options o;
        o.prefilter = prefilter;
        Framed f;
        const Analysis a = analyseClip(clip, o, name, &f);
        const PathError e = compare(a, clip.path);
        std::printf(
            "%-9s prefilter %-3s: path error %.3f px RMS, worst step %.0f px; shake left %.3f px "
            "keeping %.1f%%"
            " at 1000 ms; chosen %d ms%s: %.3f px keeping %.1f%%\n",
            name.c_str(), prefilter ? "on" : "off", e.highFrequencyRms, e.worstStep, f.shakeBefore,
            100 * f.keptBefore, f.chosen.smoothX, f.chosen.limitX > 0 ? " held" : "", f.shakeAfter,
            100 * f.keptAfter);
        EXPECT_GE(f.keptAfter, o.keepTarget - 1e-9);
        EXPECT_TRUE(f.chosen.metTarget);
        return e;
    }

    fs::path dir_;
};

// A scene as large as the frame plus the path's reach.
struct Scene {
    int width, height, margin;
    std::vector<float> detail;
    float at(Point p, int x, int y) const {
        return detail[std::size_t(y + p.y + margin) * width + (x + p.x + margin)];
    }
};

Scene sceneFor(const Clip &c, int margin, std::uint32_t seed,
               std::vector<int> spacings = {24, 9, 4}) {
    Scene s{c.width + 2 * margin, c.height + 2 * margin, margin, {}};
    s.detail = texture(s.width, s.height, seed, spacings);
    return s;
}

constexpr double kPathBound = 0.5, kStepBound = 2.0;

bool withinBounds(const PathError &e) {
    return e.highFrequencyRms < kPathBound && e.worstStep <= kStepBound;
}

std::string describe(const PathError &e) {
    return std::to_string(e.highFrequencyRms) + " px RMS, worst step " +
           std::to_string(e.worstStep) + " px";
}

// Grey levels of a textured scene, as a camera with sensor noise films it.
Clip texturedClip(int frames, std::uint32_t seed, double contrast, double noiseLevel,
                  int jitter = 4) {
    Clip c;
    c.path = handheld(frames, seed, jitter);
    auto s = std::make_shared<Scene>(sceneFor(c, 40, seed + 1));
    auto noise = std::make_shared<std::mt19937>(seed + 2);
    c.frame = [s, c = std::make_shared<Clip>(c), noise, contrast, noiseLevel](
                  int, Point at, std::vector<std::uint8_t> &luma) {
        std::normal_distribution<double> grain(0.0, noiseLevel);
        for (int y = 0; y < c->height; ++y)
            for (int x = 0; x < c->width; ++x)
                luma[std::size_t(y) * c->width + x] =
                    level(128 + contrast * (s->at(at, x, y) - 0.5) + grain(*noise));
    };
    return c;
}

TEST_F(GeneratedClips, DarkNoisyForegroundUnderABrightFlatSky) {
    Clip c;
    c.path = handheld(90, 11);
    const Scene s = sceneFor(c, 40, 12, {16, 6, 3});
    auto noise = std::make_shared<std::mt19937>(13);
    c.frame = [&s, &c, noise](int n, Point at, std::vector<std::uint8_t> &luma) {
        // The exposure flickers a little, as it does at low sun.
        const double flicker = 3 * std::sin(n * 1.3);
        std::normal_distribution<double> grain(0.0, 3.0), faint(0.0, 1.0);
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x) {
                // The horizon is part of the scene: it moves with the picture.
                const bool sky = y + at.y < c.height * 2 / 5;
                const double v =
                    sky ? 228 + faint(*noise) : 12 + 35 * s.at(at, x, y) + grain(*noise);
                luma[std::size_t(y) * c.width + x] = level(v + flicker);
            }
    };
    const PathError on = measure(c, true, "sky");
    EXPECT_TRUE(withinBounds(on)) << describe(on);
    // The plain luma lets the engine lay dark ground over bright sky.
    const PathError off = measure(c, false, "sky");
    EXPECT_FALSE(withinBounds(off)) << "without the prefilter: " << describe(off);
}

TEST_F(GeneratedClips, ExposureDriftingAcrossFrames) {
    Clip c = texturedClip(90, 21, 110, 2.0);
    const auto plain = c.frame;
    c.frame = [plain, w = c.width, h = c.height](int n, Point at, std::vector<std::uint8_t> &luma) {
        plain(n, at, luma);
        // Gain and offset wander as an automatic exposure hunts, and the
        // light changes more on one side than the other (a passing cloud).
        const double gain = 1 + 0.3 * std::sin(n / 6.0), offset = 18 * std::sin(n / 4.0 + 1);
        const double side = 30 * std::sin(n / 3.0);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                std::uint8_t &v = luma[std::size_t(y) * w + x];
                v = level((v - 128) * gain + 128 + offset +
                          side * (double(x) / w + double(y) / h - 1));
            }
    };
    const PathError on = measure(c, true, "exposure");
    EXPECT_TRUE(withinBounds(on)) << describe(on);
    const PathError off = measure(c, false, "exposure");
    EXPECT_FALSE(withinBounds(off)) << "without the prefilter: " << describe(off);
}

TEST_F(GeneratedClips, LowTexture) {
    const Clip c = texturedClip(90, 31, 14, 1.2);
    const PathError on = measure(c, true, "low");
    EXPECT_TRUE(withinBounds(on)) << describe(on);
}

TEST_F(GeneratedClips, MotionBlur) {
    Clip c;
    c.path = handheld(90, 41, 7);
    auto s = std::make_shared<Scene>(sceneFor(c, 50, 42));
    auto path = std::make_shared<std::vector<Point>>(c.path);
    auto noise = std::make_shared<std::mt19937>(43);
    c.frame = [s, path, noise, w = c.width, h = c.height](int n, Point at,
                                                          std::vector<std::uint8_t> &luma) {
        // The shutter is open while the camera travels half a step either
        // side of the frame's point: the scene averaged along that stretch.
        const Point from = n > 0 ? (*path)[std::size_t(n - 1)] : at;
        const int taps = std::max({1, std::abs(at.x - from.x), std::abs(at.y - from.y)}) | 1;
        std::normal_distribution<double> grain(0.0, 1.5);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                double sum = 0;
                for (int t = 0; t < taps; ++t) {
                    const double u = taps > 1 ? double(t) / (taps - 1) - 0.5 : 0.0;
                    const Point p{at.x + int(std::lround((at.x - from.x) * u)),
                                  at.y + int(std::lround((at.y - from.y) * u))};
                    sum += s->at(p, x, y);
                }
                luma[std::size_t(y) * w + x] =
                    level(128 + 120 * (sum / taps - 0.5) + grain(*noise));
            }
    };
    const PathError on = measure(c, true, "blur");
    EXPECT_TRUE(withinBounds(on)) << describe(on);
}

// 10 frames a second, fast pans to and fro: steps up to 70 px.
Clip fastPans() {
    Clip c;
    c.width = 352;
    c.height = 288;
    c.fps = 10;
    std::mt19937 rng(51);
    std::uniform_int_distribution<int> wobble(-12, 12);
    int x = 0, y = 0;
    for (int n = 0; n < 60; ++n) {
        c.path.push_back({x, y});
        // A walk with fast pans to and fro: steps up to 70 px (a fifth of 352).
        x += static_cast<int>(std::lround(70 * std::sin(n / 4.0)));
        y += wobble(rng);
    }
    int lo = 0, hi = 0;
    for (const Point &p : c.path) lo = std::min({lo, p.x, p.y}), hi = std::max({hi, p.x, p.y});
    auto s = std::make_shared<Scene>(sceneFor(c, std::max(-lo, hi) + 2, 52));
    auto noise = std::make_shared<std::mt19937>(53);
    c.frame = [s, noise, w = c.width, h = c.height](int, Point at,
                                                    std::vector<std::uint8_t> &luma) {
        std::normal_distribution<double> grain(0.0, 2.0);
        for (int yy = 0; yy < h; ++yy)
            for (int xx = 0; xx < w; ++xx)
                luma[std::size_t(yy) * w + xx] =
                    level(128 + 50 * (s->at(at, xx, yy) - 0.5) + grain(*noise));
    };
    return c;
}

TEST_F(GeneratedClips, TenFramesASecondWithStepsOfAFifthOfTheWidth) {
    const Clip c = fastPans();
    double largest = 0;
    for (std::size_t i = 1; i < c.path.size(); ++i)
        largest = std::max(largest, double(std::abs(c.path[i].x - c.path[i - 1].x)));
    ASSERT_GE(largest, 65);
    Options o;
    const Analysis a = analyseClip(c, o, "tenfps");
    EXPECT_TRUE(a.widened);
    const PathError on = compare(a, c.path);
    EXPECT_TRUE(withinBounds(on)) << describe(on);
    // The default range alone cannot follow.
    o.searchRangeGiven = true;
    const PathError fixed = compare(analyseClip(c, o, "tenfps"), c.path);
    EXPECT_FALSE(withinBounds(fixed)) << "with the default range only: " << describe(fixed);
}

// Bars and fine texture under a small shake, and beside the measured
// window (the right third) a bright block jumping 30 px up and down from
// frame to frame. At the coarse
// tracker's size the texture is averaged away and the block's jumps
// stand out as confident steps beyond the range; the frames themselves
// agree with the engine, which measures the texture in its window, and
// no wider pass is run (it would measure on a halved plane, coarser).
TEST_F(GeneratedClips, AJumpingObjectBesideTheWindowWidensNothing) {
    Clip c;
    c.width = 1280;
    c.height = 720;
    c.path = handheld(48, 61, 3);
    auto s = std::make_shared<Scene>(sceneFor(c, 40, 62, {1}));
    auto noise = std::make_shared<std::mt19937>(63);
    c.frame = [s, noise, w = c.width, h = c.height](int n, Point at,
                                                    std::vector<std::uint8_t> &luma) {
        std::normal_distribution<double> grain(0.0, 2.0);
        const int top = n % 2 ? 330 : 300;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const bool block = x >= 300 && x < 660 && y >= top && y < top + 200;
                // Bars across (no detail down at the tracker's size) and
                // fine texture.
                const double bars = std::sin((x + at.x) * 2 * 3.14159265358979 / 80);
                luma[std::size_t(y) * w + x] =
                    block ? level(240 + grain(*noise))
                          : level(110 + 30 * bars + 70 * (s->at(at, x, y) - 0.5) + grain(*noise));
            }
    };
    Options o;
    o.window = std::vector<Length>{{60, true}, {25, true}, {95, true}, {75, true}};
    const Analysis a = analyseClip(c, o, "jumping");
    EXPECT_GE(a.stepsRefuted, 1u) << "the tracker was not misled: nothing is tested";
    EXPECT_LE(a.largestCoarseStep, 0.75 * 32);
    EXPECT_FALSE(a.widened);
    EXPECT_FALSE(a.wholeFrameAgain);
    EXPECT_EQ(a.scale, 1);
    const PathError e = compare(a, c.path);
    EXPECT_TRUE(withinBounds(e)) << describe(e);
}

// A large object that fills the middle window and glides across the
// picture on its own (a passing lorry, say) while the camera shakes: the
// engine, looking only at the window, follows the object. The coarse
// tracker sees the whole picture, where on some pairs the high-contrast
// scenery around the object outweighs the object's faint texture; the
// frames bear the tracker out, and the clip is measured again over the
// whole frame at the same reach. Without that pass the path follows the
// object (5 px RMS off).
TEST_F(GeneratedClips, MovingContentFillingTheWindowIsMeasuredOverTheWholeFrame) {
    Clip c;
    c.width = 960;
    c.height = 540;
    c.path = handheld(40, 71, 3);
    constexpr int kGlide = 7;  // the object's pixels a frame, rightwards
    auto scenery = std::make_shared<Scene>(sceneFor(c, 40, 72));
    auto object = std::make_shared<Scene>(sceneFor(c, 300, 73));
    auto noise = std::make_shared<std::mt19937>(74);
    c.frame = [scenery, object, noise, w = c.width, h = c.height](int n, Point at,
                                                                  std::vector<std::uint8_t> &luma) {
        std::normal_distribution<double> grain(0.0, 1.5);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const bool inside = x >= 240 && x < 720 && y >= 135 && y < 405;
                const double v = inside ? 128 + 20 * (object->at({-kGlide * n, 0}, x, y) - 0.5)
                                        : 128 + 160 * (scenery->at(at, x, y) - 0.5);
                luma[std::size_t(y) * w + x] = level(v + grain(*noise));
            }
    };
    const Analysis a = analyseClip(c, Options{}, "gliding");
    EXPECT_TRUE(a.wholeFrameAgain);
    EXPECT_GE(a.framesOutvoted, 2u);
    EXPECT_FALSE(a.widened);
    EXPECT_EQ(a.scale, 1);
    const PathError e = compare(a, c.path);
    EXPECT_TRUE(withinBounds(e)) << describe(e);
}

// The analysis's shortcuts (the first pass's engine stopped once a wider
// pass is certain, the first pass's planes kept for the wider one) change
// nothing it measures: every combination, and a plane budget too small
// for the clip, gives the displacements of the plain two decodes.
void expectSameAnalysis(const Analysis &a, const Analysis &b, const std::string &what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(a.widened, b.widened);
    EXPECT_EQ(a.scale, b.scale);
    EXPECT_EQ(a.searchRange, b.searchRange);
    EXPECT_EQ(a.firstFrame, b.firstFrame);
    EXPECT_EQ(a.lastFrame, b.lastFrame);
    EXPECT_EQ(a.stoppedEarly, b.stoppedEarly);
    EXPECT_EQ(a.largestCoarseStep, b.largestCoarseStep);
    EXPECT_EQ(a.planeDx, b.planeDx);
    EXPECT_EQ(a.planeDy, b.planeDy);
    ASSERT_EQ(a.path.rects.size(), b.path.rects.size());
    for (std::size_t i = 0; i < a.path.rects.size(); ++i) {
        EXPECT_EQ(a.path.rects[i].left, b.path.rects[i].left) << "frame " << i;
        EXPECT_EQ(a.path.rects[i].top, b.path.rects[i].top) << "frame " << i;
    }
}

TEST_F(GeneratedClips, ShortcutsGiveTheAnalysisOfTwoFullDecodes) {
    const Clip pans = fastPans();
    const Clip steady = texturedClip(60, 21, 110, 2.0);
    const std::size_t plane = std::size_t(pans.width) * pans.height;
    const std::vector<std::pair<std::string, AnalysisShortcuts>> variants = {
        {"all", AnalysisShortcuts{}},
        {"no wide pass while decoding", AnalysisShortcuts{true, defaultPlaneStoreBudget(), false}},
        {"engine stopped early only", AnalysisShortcuts{true, 0}},
        {"planes kept only", AnalysisShortcuts{false, defaultPlaneStoreBudget()}},
        {"planes beyond the budget", AnalysisShortcuts{true, 10 * plane}},
        // The frames before the first step in doubt decoded again.
        {"kept from a doubt", AnalysisShortcuts{true, defaultPlaneStoreBudget(), true, 0}},
        {"kept past a short trial",
         AnalysisShortcuts{true, defaultPlaneStoreBudget(), true, 3 * plane}},
    };
    for (const auto &[clip, name] : {std::pair{&pans, "pans"}, std::pair{&steady, "steady"}}) {
        Options o;
        const Analysis plain =
            analyseClip(*clip, o, name, nullptr, AnalysisShortcuts{false, 0, false});
        EXPECT_EQ(plain.widened, clip == &pans) << name;
        EXPECT_FALSE(plain.wideWhileDecoding) << name;
        for (const auto &[what, shortcuts] : variants) {
            const Analysis a = analyseClip(*clip, o, name, nullptr, shortcuts);
            expectSameAnalysis(a, plain, std::string(name) + ", " + what);
            // The fast pans make the wide pass certain a few frames in.
            const bool ahead = what == "all" || what.rfind("kept ", 0) == 0;
            EXPECT_EQ(a.wideWhileDecoding, clip == &pans && ahead) << name << ", " << what;
        }
        // A range the user chose is never widened: nothing is kept or cut.
        o.searchRangeGiven = true;
        expectSameAnalysis(analyseClip(*clip, o, name, nullptr),
                           analyseClip(*clip, o, name, nullptr, AnalysisShortcuts{false, 0}),
                           std::string(name) + ", range given");
    }
}

// The wide pass follows the first pass's store while it fills: planes come
// out in order and whole, and the follower ends when the store ends, whole
// or let go over its budget, instead of waiting for planes that never come.
TEST(PlaneStoreFollowed, PlanesInOrderUntilTheStoreEnds) {
    constexpr int w = 37, h = 11, frames = 12;
    const auto fill = [](int k) {
        std::vector<std::uint8_t> p(std::size_t(w) * h);
        for (std::size_t i = 0; i < p.size(); ++i) p[i] = std::uint8_t(k * 31 + i * 7);
        return p;
    };
    VideoInfo info;
    info.width = w;
    info.height = h;
    for (const int keep : {frames, 5}) {
        auto store = std::make_shared<PlaneStore>(w, h, std::size_t(keep) * w * h);
        FrameSource source(info, 3, store);
        PlaneSettings settings;
        settings.highPass = false;
        source.start(settings);
        std::thread filler([&] {
            for (int k = 0; k < frames; ++k) {
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
                const std::vector<std::uint8_t> p = fill(k);
                store->add(p.data(), w);
            }
            store->end(true);
        });
        int seen = 0;
        for (std::int32_t i = 3; source.has(i); ++i, ++seen) {
            const std::vector<std::uint8_t> p = source.take(i);
            EXPECT_EQ(p, fill(seen)) << "frame " << i << ", keeping " << keep;
        }
        filler.join();
        EXPECT_EQ(store->usable(), keep == frames);
        // Over the budget, the planes are let go at the sixth: what came
        // before it may have been read.
        if (keep == frames) EXPECT_EQ(seen, frames);
        else EXPECT_LE(seen, keep);
    }
}

// The store cuts its planes from large blocks: planes of a size that does
// not divide a block fill several blocks without overlapping, and a plane
// held stays whole after the store let its planes go over the budget.
TEST(PlaneStoreBlocks, PlanesSpanningBlocksStayApartAndOutliveTheStore) {
    constexpr int w = 2101, h = 997;  // 2 MiB and a bit: 15 to a block
    constexpr int kept = 40;
    const auto fill = [](int k, std::vector<std::uint8_t> &p) {
        for (std::size_t i = 0; i < p.size(); ++i) p[i] = std::uint8_t(k * 53 + i * 13 + (i >> 11));
    };
    std::vector<std::uint8_t> p(std::size_t(w) * h), wide(std::size_t(w + 5) * h);
    PlaneStore store(w, h, std::size_t(kept) * w * h);
    for (int k = 0; k < kept; ++k) {
        fill(k, p);
        // Rows `stride` apart in the source: only the width is kept.
        for (int r = 0; r < h; ++r)
            std::copy_n(p.data() + std::size_t(r) * w, w, wide.data() + std::size_t(r) * (w + 5));
        store.add(wide.data(), w + 5);
    }
    ASSERT_EQ(store.frames(), std::size_t(kept));
    std::shared_ptr<const std::uint8_t[]> held = store.plane(3);
    for (int k = 0; k < kept; ++k) {
        fill(k, p);
        const std::shared_ptr<const std::uint8_t[]> q = store.plane(std::size_t(k));
        ASSERT_TRUE(q);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(q.get()) % kBufferAlign, 0u) << "plane " << k;
        EXPECT_TRUE(std::equal(p.begin(), p.end(), q.get())) << "plane " << k;
    }
    store.add(p.data(), w);  // over the budget: every plane let go
    EXPECT_EQ(store.frames(), 0u);
    EXPECT_FALSE(store.plane(3));
    fill(3, p);
    EXPECT_TRUE(std::equal(p.begin(), p.end(), held.get()));
}

// Past its trial a store lets its planes go and only counts what comes,
// until it is asked to keep; asked during the trial, it keeps everything.
TEST(PlaneStoreBlocks, TrialPlanesGoUnlessAskedFor) {
    constexpr int w = 9, h = 4;
    const auto plane = [](int k) { return std::vector<std::uint8_t>(w * h, std::uint8_t(k + 1)); };
    for (const int askAt : {1, 4}) {
        PlaneStore store(w, h, 100 * w * h, 2 * w * h);
        for (int k = 0; k < 6; ++k) {
            if (k == askAt) store.keepFromNow();
            store.add(plane(k).data(), w);
        }
        store.end(true);
        EXPECT_TRUE(store.usable()) << askAt;
        EXPECT_EQ(store.frames(), 6u) << askAt;
        // Asked at 1, within the trial of two planes: nothing let go.
        const std::size_t head = askAt == 1 ? 0 : 4;
        ASSERT_EQ(store.head(), head) << askAt;
        for (std::size_t k = 0; k + head < 6; ++k) {
            ASSERT_TRUE(store.plane(k)) << askAt;
            EXPECT_EQ(store.plane(k)[0], std::uint8_t(head + k + 1)) << askAt << ", plane " << k;
        }
        EXPECT_FALSE(store.plane(6 - head));
    }
    // Never asked: nothing to replay.
    PlaneStore idle(w, h, 100 * w * h, 2 * w * h);
    for (int k = 0; k < 6; ++k) idle.add(plane(k).data(), w);
    idle.end(true);
    EXPECT_FALSE(idle.usable());
    EXPECT_EQ(idle.head(), 6u);
}

}  // namespace
