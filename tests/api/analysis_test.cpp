// The analysis pass through the public API: callback contract, Escape,
// buffers, early ends and re-entrant hosts.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api/engine.h"
#include "placidor.h"
#include "platform/escape.h"
#include "support/synthetic_clip.h"

namespace {

using placidor::api::engine;
using placidor::testing::CameraPosition;
using placidor::testing::ClipHost;
using placidor::testing::SyntheticClip;

// Answers a scripted sequence of queries, then "not pressed".
class ScriptedEscape final : public placidor::platform::EscapeKey {
public:
    explicit ScriptedEscape(std::vector<bool> answers) : answers_(std::move(answers)) {}
    bool pressedSinceLastQuery() override {
        const std::size_t i = queries++;
        return i < answers_.size() && answers_[i];
    }
    std::size_t queries = 0;

private:
    std::vector<bool> answers_;
};

class Analysis : public ::testing::Test {
protected:
    SyntheticClip clip{96, 64, 12, 11};
    ClipHost host;
    ScriptedEscape noEscape{{}};

    void SetUp() override {
        host.clip = &clip;
        placidor::testing::progressHost = &host;
        placidor::api::setEscapeKey(&noEscape);
    }
    void TearDown() override { placidor::api::setEscapeKey(nullptr); }

    // A path whose frames move by the given steps (dx per frame on x).
    void pathOf(std::vector<CameraPosition> path) { host.path = std::move(path); }
    std::int32_t run(std::int32_t lastFrame, StabilizerParams *custom = nullptr) {
        const StabilizerParams p = custom ? *custom : host.params(lastFrame);
        EXPECT_EQ(StabilizerInit(p), NoError);
        return StabilizerCalculate(&host);
    }
};

TEST_F(Analysis, CompletePassFetchesEveryFrameOnceInOrder) {
    host.firstFrame = 10;
    pathOf(placidor::testing::shakyPath(6, 2, 5));
    EXPECT_EQ(run(15), 15);
    ASSERT_EQ(host.fetches.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(host.fetches[i].frame, 10 + i);
        EXPECT_EQ(host.fetches[i].userData, &host);
    }
    EXPECT_EQ(host.progress, (std::vector<std::int32_t>{11, 12, 13, 14, 15}));
    EXPECT_EQ(engine().frames.count(), 6);
    EXPECT_EQ(engine().segments.count(), 1);
    EXPECT_EQ(engine().state, Corrected);
    EXPECT_EQ(noEscape.queries, 10u);  // twice before every frame after the first
    StabilizerParams out;
    StabilizerGetParameter(&out);
    EXPECT_EQ(out.userData, &host);
}

TEST_F(Analysis, EmptyOrInvertedRangeAnalysesTheFirstFrameOnly) {
    host.firstFrame = 5;
    pathOf({{0, 0}});
    for (std::int32_t last : {5, 4, INT32_MIN}) {
        host.fetches.clear();
        host.progress.clear();
        noEscape.queries = 0;
        EXPECT_EQ(run(last), 5);
        EXPECT_EQ(host.fetches.size(), 1u);
        EXPECT_TRUE(host.progress.empty());
        EXPECT_EQ(noEscape.queries, 0u);
        EXPECT_EQ(engine().frames.count(), 1);
        ClipRect r;
        EXPECT_EQ(StabilizerGetClipRect(5, &r), NoError);
        EXPECT_EQ(r.left, 0.0);
        EXPECT_EQ(r.right, 96.0);
    }
}

TEST_F(Analysis, EscapeEndsThePassInOrder) {
    pathOf(placidor::testing::shakyPath(10, 2, 9));
    // Queries 1-2 before frame 1, 3-4 before frame 2, ...; the second query
    // of frame 4's pair reports the key.
    ScriptedEscape escape({false, false, false, false, false, false, false, true});
    placidor::api::setEscapeKey(&escape);
    EXPECT_EQ(run(9), 3);
    EXPECT_EQ(host.fetches.size(), 4u);
    EXPECT_EQ(host.progress, (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_EQ(engine().segments.first()->lastFrame, 3);
    EXPECT_EQ(engine().state, Corrected);
    ClipRect r;
    EXPECT_EQ(StabilizerGetClipRect(3, &r), NoError);
    EXPECT_EQ(StabilizerGetClipRect(4, &r), BadArgument);
}

TEST_F(Analysis, EscapeBeforeTheSecondFrame) {
    pathOf(placidor::testing::shakyPath(10, 2, 9));
    ScriptedEscape escape({true});
    placidor::api::setEscapeKey(&escape);
    EXPECT_EQ(run(9), 0);
    EXPECT_EQ(host.fetches.size(), 1u);
    EXPECT_EQ(engine().frames.count(), 1);
    EXPECT_EQ(engine().segments.first()->firstFrame, 0);
    EXPECT_EQ(engine().segments.first()->lastFrame, 0);
}

TEST_F(Analysis, PreviousDisplacementAndBufferRoles) {
    // Frame 1 moves, frame 2 stays on frame 1, frame 3 moves again.
    pathOf({{0, 0}, {3, -2}, {3, -2}, {1, 1}, {1, 1}});
    EXPECT_EQ(run(4), 4);
    const auto &f = host.fetches;
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[0].prevDx, 0.0);
    EXPECT_EQ(f[1].prevDx, 0.0);
    EXPECT_EQ(f[2].prevDx, -3.0);  // dx of frame 1: 0 - 3
    EXPECT_EQ(f[2].prevDy, -2.0);  // dy of frame 1: -2 - 0
    EXPECT_EQ(f[3].prevDx, 0.0);   // frame 2 measured (0, 0)
    EXPECT_EQ(f[4].prevDx, 2.0);   // frame 3 against frame 1: 3 - 1
    EXPECT_EQ(f[4].prevDy, 3.0);
    // Frame 1 moved: frame 2 goes to the buffer that held frame 0. Frame 2
    // measured (0, 0): frame 3 reuses frame 2's buffer. Frame 3 moved:
    // frame 4 goes to frame 1's buffer.
    EXPECT_NE(f[0].buffer, f[1].buffer);
    EXPECT_EQ(f[2].buffer, f[0].buffer);
    EXPECT_EQ(f[3].buffer, f[2].buffer);
    EXPECT_EQ(f[4].buffer, f[1].buffer);
}

TEST_F(Analysis, StillClipKeepsTheFirstFrameAsReference) {
    pathOf(std::vector<CameraPosition>(6));
    EXPECT_EQ(run(5), 5);
    for (std::size_t i = 2; i < host.fetches.size(); ++i)
        EXPECT_EQ(host.fetches[i].buffer, host.fetches[1].buffer);
    EXPECT_NE(host.fetches[0].buffer, host.fetches[1].buffer);
    for (auto *r = engine().frames.first(); r; r = engine().frames.next()) {
        EXPECT_EQ(r->dx, 0);
        EXPECT_EQ(r->dy, 0);
    }
}

TEST_F(Analysis, PixelOffsetUpToTheBufferEndIsAccepted) {
    for (bool two : {false, true}) {
        const int bpp = two ? 2 : 3;
        host.twoBytePixels = two;
        pathOf(placidor::testing::shakyPath(4, 1, 2));
        host.pixelOffset = static_cast<std::uint16_t>(40 + 64 * bpp);
        host.fetches.clear();
        EXPECT_EQ(run(3), 3) << "bpp " << bpp;
        // One byte further and the pixels would end beyond the buffer.
        host.pixelOffset = static_cast<std::uint16_t>(41 + 64 * bpp);
        host.fetches.clear();
        EXPECT_EQ(run(3), -1) << "bpp " << bpp;
        EXPECT_EQ(engine().frames.count(), 0);
        ClipRect r;
        EXPECT_EQ(StabilizerGetClipRect(0, &r), BadArgument);
        EXPECT_EQ(StabilizerCorrect(&host), 0);
    }
}

TEST_F(Analysis, BadPixelOffsetMidwayEndsThePassBeforeThatFrame) {
    pathOf(placidor::testing::shakyPath(8, 2, 4));
    host.beforeFetch = [](ClipHost &h, std::int32_t frame) {
        h.pixelOffset = frame == 5 ? 65535 : 40;
    };
    EXPECT_EQ(run(7), 4);
    EXPECT_EQ(host.fetches.size(), 6u);
    EXPECT_EQ(engine().frames.count(), 5);
    EXPECT_EQ(host.progress.back(), 4);
}

TEST_F(Analysis, MissingCallbacks) {
    pathOf(placidor::testing::shakyPath(4, 2, 4));
    StabilizerParams p = host.params(3);
    p.fetchFrame = nullptr;
    ASSERT_EQ(StabilizerInit(p), NoError);
    EXPECT_EQ(StabilizerCalculate(&host), BadArgument);
    EXPECT_EQ(engine().state, Initialised);
    p = host.params(3);
    p.progress = nullptr;
    EXPECT_EQ(run(3, &p), 3);
    EXPECT_TRUE(host.progress.empty());
}

TEST_F(Analysis, ExtremeFrameNumbers) {
    pathOf(placidor::testing::shakyPath(3, 2, 4));
    host.firstFrame = INT32_MAX - 2;
    EXPECT_EQ(run(INT32_MAX), INT32_MAX);
    EXPECT_EQ(host.fetches.back().frame, INT32_MAX);
    ClipRect r;
    EXPECT_EQ(StabilizerGetClipRect(INT32_MAX, &r), NoError);
    host.fetches.clear();
    host.firstFrame = INT32_MIN;
    EXPECT_EQ(run(INT32_MIN + 2), INT32_MIN + 2);
    EXPECT_EQ(StabilizerGetClipRect(INT32_MIN, &r), NoError);
    EXPECT_EQ(StabilizerGetClipRect(INT32_MIN + 3, &r), BadArgument);
    // Nothing usable at INT32_MIN: the result saturates.
    host.fetches.clear();
    host.pixelOffset = 65535;
    EXPECT_EQ(run(INT32_MIN + 2), INT32_MIN);
}

// A host that calls the library from inside its callbacks.
struct ReentrantResults {
    std::vector<std::int32_t> results;
    bool getParameterWorked = false;
};
ReentrantResults reentrant;

void PLACIDOR_CALL reentrantProgress(std::int32_t) {
    if (!reentrant.results.empty()) return;
    ClipRect r{1, 1, 1, 1};
    StabilizerParams p;
    reentrant.getParameterWorked = StabilizerGetParameter(&p) == &p && p.width == 96;
    StabilizerGetMaxClipRectErr();
    StabilizerParams again = p;
    again.size = PLACIDOR_PARAMS_SIZE;
    reentrant.results = {StabilizerInit(again),        StabilizerChangeParameter(again),
                         StabilizerCalculate(nullptr), StabilizerCorrect(nullptr),
                         StabilizerGetClipRect(0, &r), StabilizerFree()};
    if (r.left != 0.0) reentrant.results.push_back(-1);
}

TEST_F(Analysis, ReentrantCallsAreRefused) {
    pathOf(placidor::testing::shakyPath(5, 2, 4));
    StabilizerParams p = host.params(4);
    p.progress = reentrantProgress;
    // A previous analysis, so that the state during the pass is Corrected.
    EXPECT_EQ(run(4, &p), 4);
    reentrant = {};
    host.fetches.clear();
    EXPECT_EQ(StabilizerCalculate(&host), 4);
    EXPECT_TRUE(reentrant.getParameterWorked);
    EXPECT_EQ(reentrant.results, (std::vector<std::int32_t>{512, 258, 257, 258, 258, 256}));
    EXPECT_EQ(engine().frames.count(), 5);
    EXPECT_EQ(engine().state, Corrected);
}

TEST_F(Analysis, SecondPassGivesIdenticalResults) {
    pathOf(placidor::testing::shakyPath(12, 3, 8));
    ASSERT_EQ(run(11), 11);
    std::vector<ClipRect> first(12), second(12);
    for (int f = 0; f < 12; ++f) ASSERT_EQ(StabilizerGetClipRect(f, &first[f]), NoError);
    const std::int32_t error = StabilizerGetMaxClipRectErr();
    ASSERT_EQ(StabilizerCalculate(&host), 11);
    for (int f = 0; f < 12; ++f) ASSERT_EQ(StabilizerGetClipRect(f, &second[f]), NoError);
    EXPECT_EQ(std::memcmp(first.data(), second.data(), sizeof(ClipRect) * 12), 0);
    EXPECT_EQ(StabilizerGetMaxClipRectErr(), error);
    // Correcting again changes nothing either.
    EXPECT_EQ(StabilizerCorrect(&host), error);
    for (int f = 0; f < 12; ++f) ASSERT_EQ(StabilizerGetClipRect(f, &second[f]), NoError);
    EXPECT_EQ(std::memcmp(first.data(), second.data(), sizeof(ClipRect) * 12), 0);
}

}  // namespace
