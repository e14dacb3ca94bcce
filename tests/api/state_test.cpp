// The state table walked pair by pair: every state, every call, its result
// and the state after it.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>

#include "api/engine.h"
#include "placidor.h"
#include "support/synthetic_clip.h"

namespace {

using placidor::api::engine;
using placidor::testing::ClipHost;
using placidor::testing::SyntheticClip;

struct Fixture {
    SyntheticClip clip{64, 48, 8, 7};
    ClipHost host;
    Fixture() {
        host.clip = &clip;
        host.path = placidor::testing::shakyPath(4, 2, 3);
        placidor::testing::progressHost = &host;
    }
    StabilizerParams params() const { return host.params(3); }
};

void enter(Fixture &f, std::int32_t state) {
    switch (state) {
    case Freed: ASSERT_EQ(StabilizerFree(), NoError); break;
    case Loaded: break;
    case Initialised: ASSERT_EQ(StabilizerInit(f.params()), NoError); break;
    case Corrected:
        ASSERT_EQ(StabilizerInit(f.params()), NoError);
        ASSERT_EQ(StabilizerCalculate(&f.host), 3);
        break;
    case ClipQueried: {
        ASSERT_EQ(StabilizerInit(f.params()), NoError);
        ASSERT_EQ(StabilizerCalculate(&f.host), 3);
        ClipRect r;
        ASSERT_EQ(StabilizerGetClipRect(1, &r), NoError);
        break;
    }
    }
    ASSERT_EQ(engine().state, state);
}

struct Row {
    std::int32_t state;
    // Expected (result, state after) for Init, ChangeParameter, Calculate,
    // Correct, GetClipRect, Free; -1 for "a frame number / maxClipError".
    std::array<std::int32_t, 6> result;
    std::array<std::int32_t, 6> after;
};

constexpr std::int32_t kValue = -1;

const Row kTable[] = {
    {Freed, {0, 258, 257, 258, 258, 256}, {Initialised, Freed, Freed, Freed, Freed, Freed}},
    {Loaded, {0, 258, 257, 258, 258, 0}, {Initialised, Loaded, Loaded, Loaded, Loaded, Freed}},
    {Initialised,
     {0, 258, kValue, 258, 258, 0},
     {Initialised, Initialised, Corrected, Initialised, Initialised, Freed}},
    {Corrected,
     {0, kValue, kValue, kValue, 0, 0},
     {Initialised, Corrected, Corrected, Corrected, ClipQueried, Freed}},
    {ClipQueried,
     {0, kValue, kValue, kValue, 0, 0},
     {Initialised, Corrected, Corrected, Corrected, ClipQueried, Freed}},
};

class StateTable : public ::testing::TestWithParam<std::size_t> {};

TEST_P(StateTable, EveryCallFromEveryState) {
    const std::size_t call = GetParam();
    for (const Row &row : kTable) {
        SCOPED_TRACE(::testing::Message() << "state " << row.state << " call " << call);
        Fixture f;
        // Fresh engine state for every row: Free to the bottom, then enter.
        StabilizerFree();
        engine().state = Loaded;
        enter(f, row.state);
        ClipRect rect;
        std::int32_t result = 0;
        switch (call) {
        case 0: result = StabilizerInit(f.params()); break;
        case 1: result = StabilizerChangeParameter(f.params()); break;
        case 2: result = StabilizerCalculate(&f.host); break;
        case 3: result = StabilizerCorrect(&f.host); break;
        case 4: result = StabilizerGetClipRect(2, &rect); break;
        case 5: result = StabilizerFree(); break;
        }
        const std::int32_t expected = row.result.at(call);
        if (expected == kValue) {
            EXPECT_TRUE(call == 2 ? result == 3 : (result >= 0 && result != 258));
        } else {
            EXPECT_EQ(result, expected);
        }
        EXPECT_EQ(engine().state, row.after.at(call));
    }
}

INSTANTIATE_TEST_SUITE_P(Calls, StateTable, ::testing::Range<std::size_t>(0, 6));

TEST(State, TooSmallBlocksAreRefusedInEveryState) {
    for (std::int32_t state : {Loaded, Initialised, Corrected, ClipQueried, Freed}) {
        Fixture f;
        StabilizerFree();
        engine().state = Loaded;
        enter(f, state);
        StabilizerParams before;
        StabilizerGetParameter(&before);
        StabilizerParams p = f.params();
        p.size = PLACIDOR_PARAMS_SIZE - 1;
        p.cropLimitLeft = 3;
        EXPECT_EQ(StabilizerInit(p), BadArgument);
        EXPECT_EQ(StabilizerChangeParameter(p), BadArgument);
        StabilizerParams after;
        StabilizerGetParameter(&after);
        EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
        EXPECT_EQ(engine().state, state);
    }
}

TEST(State, InitRefusesUnusableDimensionsAndChangesNothing) {
    Fixture f;
    ASSERT_EQ(StabilizerInit(f.params()), NoError);
    ASSERT_EQ(StabilizerCalculate(&f.host), 3);
    const std::int32_t bad[][2] = {
        {0, 48}, {64, 0}, {-1, 48}, {64, INT32_MIN}, {INT32_MAX, INT32_MAX}};
    for (const auto &dims : bad) {
        StabilizerParams p = f.params();
        p.width = dims[0];
        p.height = dims[1];
        EXPECT_EQ(StabilizerInit(p), BadArgument);
        EXPECT_GE(engine().state, Corrected);
        EXPECT_EQ(engine().params.width, 64);
        ClipRect r;
        EXPECT_EQ(StabilizerGetClipRect(3, &r), NoError);
    }
}

TEST(State, GetParameterBeforeInitIsAllZero) {
    StabilizerParams out;
    std::memset(&out, 0xab, sizeof out);
    StabilizerGetParameter(&out);
    const StabilizerParams zero{};
    EXPECT_EQ(std::memcmp(&out, &zero, sizeof out), 0);
    EXPECT_EQ(StabilizerGetParameter(nullptr), nullptr);
}

TEST(State, FreeTwiceAndAfterLoad) {
    EXPECT_EQ(StabilizerFree(), NoError);
    EXPECT_EQ(StabilizerFree(), AlreadyFreed);
    EXPECT_EQ(StabilizerCalculate(nullptr), NotInitialised);
}

TEST(State, InitAllocatesAndFreeReleases) {
    Fixture f;
    ASSERT_EQ(StabilizerInit(f.params()), NoError);
    EXPECT_TRUE(engine().referencePlane && engine().currentPlane &&
                engine().scoreCache.allocated());
    ASSERT_EQ(StabilizerInit(f.params()), NoError);
    EXPECT_EQ(engine().frames.count(), 0);
    ASSERT_EQ(StabilizerFree(), NoError);
    EXPECT_FALSE(engine().referencePlane || engine().currentPlane ||
                 engine().scoreCache.allocated());
    ASSERT_EQ(StabilizerInit(f.params()), NoError);
    EXPECT_TRUE(engine().referencePlane && engine().currentPlane &&
                engine().scoreCache.allocated());
}

TEST(State, ResultsSurviveInitAndFree) {
    Fixture f;
    EXPECT_EQ(StabilizerGetMaxClipRectErr(), 0);
    StabilizerParams p = f.params();
    p.cropLimitLeft = 0;  // no correction allowed to the right
    p.cropLimitRight = 64;
    p.cropLimitTop = 0;
    p.cropLimitBottom = 48;
    ASSERT_EQ(StabilizerInit(p), NoError);
    ASSERT_EQ(StabilizerCalculate(&f.host), 3);
    const std::int32_t error = StabilizerGetMaxClipRectErr();
    EXPECT_GT(error, 0);
    EXPECT_EQ(StabilizerInit(f.params()), NoError);
    EXPECT_EQ(StabilizerGetMaxClipRectErr(), error);
    EXPECT_EQ(StabilizerCorrect(nullptr), NotCalculated);
    EXPECT_EQ(StabilizerGetMaxClipRectErr(), error);
    EXPECT_EQ(StabilizerFree(), NoError);
    EXPECT_EQ(StabilizerGetMaxClipRectErr(), error);
    EXPECT_EQ(engine().lastAnalysedFrame, 3);
    StabilizerParams out;
    StabilizerGetParameter(&out);
    EXPECT_EQ(out.width, 64);
}

TEST(State, ChangeParameterBeforeAnalysisStoresItsValues) {
    Fixture f;
    ASSERT_EQ(StabilizerInit(f.params()), NoError);
    StabilizerParams change = f.params();
    change.cropLimitLeft = 7;
    change.cropLimitRight = 7;  // equal: stored as given, no default
    change.cropLimitTop = -3;
    change.cropLimitBottom = 900;
    change.smoothTimeX = 2000;
    change.smoothTimeY = 0;
    change.frameRate = 100.0f;  // ignored
    change.width = 5;           // ignored
    EXPECT_EQ(StabilizerChangeParameter(change), NotCalculated);
    StabilizerParams out;
    StabilizerGetParameter(&out);
    EXPECT_EQ(out.cropLimitLeft, 7);
    EXPECT_EQ(out.cropLimitRight, 7);
    EXPECT_EQ(out.cropLimitTop, -3);
    EXPECT_EQ(out.cropLimitBottom, 900);
    EXPECT_EQ(out.smoothTimeX, 2000);
    EXPECT_EQ(out.smoothTimeY, 2000);
    EXPECT_EQ(out.frameRate, 25.0f);
    EXPECT_EQ(out.width, 64);
    EXPECT_EQ(engine().halfWindowX, 25);
    EXPECT_EQ(engine().halfWindowY, 25);
    EXPECT_EQ(engine().state, Initialised);
}

TEST(State, GetClipRectZeroesItsOutputAndChecksTheFrame) {
    Fixture f;
    ClipRect r{1, 2, 3, 4};
    EXPECT_EQ(StabilizerGetClipRect(0, &r), NotCalculated);
    EXPECT_EQ(r.left, 0.0);
    EXPECT_EQ(r.bottom, 0.0);
    ASSERT_EQ(StabilizerInit(f.params()), NoError);
    ASSERT_EQ(StabilizerCalculate(&f.host), 3);
    r = {1, 2, 3, 4};
    EXPECT_EQ(StabilizerGetClipRect(4, &r), BadArgument);
    EXPECT_EQ(r.left, 0.0);
    EXPECT_EQ(r.right, 0.0);
    EXPECT_EQ(StabilizerGetClipRect(-1, &r), BadArgument);
    EXPECT_EQ(StabilizerGetClipRect(INT32_MIN, &r), BadArgument);
    EXPECT_EQ(engine().state, Corrected);
    EXPECT_EQ(StabilizerGetClipRect(0, nullptr), BadArgument);
    EXPECT_EQ(StabilizerGetClipRect(0, &r), NoError);
    EXPECT_GT(r.right, r.left);
    EXPECT_EQ(engine().state, ClipQueried);
}

}  // namespace
