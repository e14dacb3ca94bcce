// A failed allocation anywhere in a host's call sequence: every call still
// answers with an ordinary value or a documented code, the engine stays
// usable, and nothing leaks. The sequence is run again and again with the
// n-th allocation failing, for n = 1, 2, ... until a run needs no more
// allocations than it makes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "api/engine.h"
#include "faults/failing_allocator.h"
#include "placidor.h"
#include "support/synthetic_clip.h"

namespace {

namespace alloc = placidor::testing::allocator;
using placidor::testing::ClipHost;
using placidor::testing::SyntheticClip;

constexpr std::int32_t kFrames = 24;
constexpr std::int32_t kFirst = 100;

struct Clip {
    SyntheticClip clip{48, 32, 8, 5};
    ClipHost host;
    Clip() {
        host.clip = &clip;
        host.firstFrame = kFirst;
        host.path = placidor::testing::shakyPath(kFrames, 3, 9);
        // Room for every call, so that the host itself never allocates
        // inside a callback.
        host.fetches.reserve(4 * kFrames);
        host.progress.reserve(4 * kFrames);
        placidor::testing::progressHost = &host;
    }
    StabilizerParams params() const { return host.params(kFirst + kFrames - 1); }
    void forget() {
        host.fetches.clear();
        host.progress.clear();
    }
};

StabilizerParams tuned(const StabilizerParams &p) {
    StabilizerParams q = p;
    q.cropLimitLeft = 3;
    q.cropLimitRight = p.width - 3;
    q.cropLimitTop = 2;
    q.cropLimitBottom = p.height - 2;
    q.smoothTimeX = 600;
    q.smoothTimeY = 400;
    return q;
}

// What one run of the sequence answered. Filled without allocating, checked
// after the allocator is disarmed.
struct SequenceResults {
    std::int32_t init = -1;
    std::int32_t calculate = -1;
    std::int32_t fetches = 0;
    std::int32_t rectResults[kFrames + 2] = {};
    ClipRect rects[kFrames + 2] = {};
    std::int32_t changeParameter = -1;
    std::int32_t maxClipError = -1;
    std::int32_t free = -1;
};

// Init, Calculate, every rectangle (and one frame either side),
// ChangeParameter, Free.
void runSequence(Clip &c, SequenceResults &run) {
    run.init = StabilizerInit(c.params());
    run.calculate = StabilizerCalculate(&c.host);
    run.fetches = static_cast<std::int32_t>(c.host.fetches.size());
    for (std::int32_t i = 0; i < kFrames + 2; ++i)
        run.rectResults[i] = StabilizerGetClipRect(kFirst - 1 + i, &run.rects[i]);
    run.changeParameter = StabilizerChangeParameter(tuned(c.params()));
    run.maxClipError = StabilizerGetMaxClipRectErr();
    run.free = StabilizerFree();
}

bool finite(const ClipRect &r) {
    return std::isfinite(r.left) && std::isfinite(r.top) && std::isfinite(r.right) &&
           std::isfinite(r.bottom);
}

// The rectangles of a clean run of Init, Calculate and ChangeParameter.
std::vector<ClipRect> cleanRects(Clip &c) {
    c.forget();
    EXPECT_EQ(StabilizerInit(c.params()), NoError);
    EXPECT_EQ(StabilizerCalculate(&c.host), kFirst + kFrames - 1);
    std::vector<ClipRect> rects(kFrames);
    for (std::int32_t i = 0; i < kFrames; ++i)
        EXPECT_EQ(StabilizerGetClipRect(kFirst + i, &rects[i]), NoError);
    EXPECT_GE(StabilizerChangeParameter(tuned(c.params())), 0);
    for (std::int32_t i = 0; i < kFrames; ++i)
        EXPECT_EQ(StabilizerGetClipRect(kFirst + i, &rects[i]), NoError);
    EXPECT_EQ(StabilizerFree(), NoError);
    return rects;
}

void expectSameRects(const std::vector<ClipRect> &a, const std::vector<ClipRect> &b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(std::memcmp(&a[i], &b[i], sizeof(ClipRect)), 0) << "frame " << kFirst + i;
    }
}

TEST(AllocationFailure, EveryFailurePointIsReportedSoundlyAndLeaksNothing) {
    Clip c;
    // The clean run also makes every lazily built static of the engine, so
    // that later runs start from the same live count.
    const std::vector<ClipRect> reference = cleanRects(c);
    ASSERT_FALSE(HasFailure());

    std::int64_t n = 1;
    for (;; ++n) {
        SCOPED_TRACE(::testing::Message() << "allocation " << n << " fails");
        c.forget();
        const StabilizerParams blockBefore = [] {
            StabilizerParams p;
            return *StabilizerGetParameter(&p);
        }();
        const std::int64_t liveBefore = alloc::liveBlocks();
        SequenceResults run;
        {
            alloc::failNth(n);
            runSequence(c, run);
            alloc::failNth(0);
        }
        const bool failedThisRun = alloc::injected();
        ASSERT_EQ(alloc::liveBlocks(), liveBefore) << "blocks leaked";

        // Init: success, or refused with nothing changed.
        ASSERT_TRUE(run.init == NoError || run.init == BadArgument) << run.init;
        if (run.init == BadArgument) {
            StabilizerParams after;
            StabilizerGetParameter(&after);
            EXPECT_EQ(std::memcmp(&blockBefore, &after, sizeof after), 0);
            EXPECT_EQ(run.calculate, NotInitialised);
            EXPECT_EQ(run.fetches, 0);
            for (std::int32_t result : run.rectResults) EXPECT_EQ(result, NotCalculated);
            EXPECT_EQ(run.changeParameter, NotCalculated);
            EXPECT_EQ(run.free, AlreadyFreed);
        } else if (run.calculate == BadArgument) {
            // The frame buffers could not be had: nothing fetched, nothing
            // analysed, the engine still initialised.
            EXPECT_EQ(run.fetches, 0);
            for (std::int32_t result : run.rectResults) EXPECT_EQ(result, NotCalculated);
            EXPECT_EQ(run.changeParameter, NotCalculated);
            EXPECT_EQ(run.free, NoError);
        } else {
            // The pass kept a prefix of the clip and says which: every
            // frame up to its result has a finite rectangle, none after.
            ASSERT_GE(run.calculate, kFirst - 1);
            ASSERT_LE(run.calculate, kFirst + kFrames - 1);
            EXPECT_GE(run.fetches, run.calculate - kFirst + 1);
            for (std::int32_t i = 0; i < kFrames + 2; ++i) {
                const std::int32_t frame = kFirst - 1 + i;
                if (frame >= kFirst && frame <= run.calculate) {
                    EXPECT_EQ(run.rectResults[i], NoError) << "frame " << frame;
                    EXPECT_TRUE(finite(run.rects[i])) << "frame " << frame;
                } else {
                    EXPECT_EQ(run.rectResults[i], BadArgument) << "frame " << frame;
                }
            }
            EXPECT_GE(run.changeParameter, 0);
            EXPECT_EQ(run.maxClipError, run.changeParameter);
            EXPECT_EQ(run.free, NoError);
            if (!failedThisRun) {
                EXPECT_EQ(run.calculate, kFirst + kFrames - 1);
            }
        }
        EXPECT_EQ(placidor::api::engine().state, Freed);
        EXPECT_FALSE(placidor::api::engine().analysing);

        // Whatever failed, the next clip is analysed as if nothing had.
        expectSameRects(cleanRects(c), reference);
        if (HasFailure() || !failedThisRun) break;
    }
    RecordProperty("failure_points", static_cast<int>(n - 1));
    // The sequence allocates: Init's planes and cache, the pass's buffers,
    // a record a frame.
    EXPECT_GT(n, 3 + 2 + kFrames);
}

TEST(AllocationFailure, UnallocatableSizesAreRefusedWithNothingChanged) {
    Clip c;
    ASSERT_EQ(StabilizerInit(c.params()), NoError);
    ASSERT_EQ(StabilizerCalculate(&c.host), kFirst + kFrames - 1);
    StabilizerParams before;
    StabilizerGetParameter(&before);
    const std::int64_t liveBefore = alloc::liveBlocks();

    // 64 MiB is all the memory this process may have at once: the planes of
    // 4096 x 4096 fit, its score cache does not.
    alloc::setSizeLimit(std::size_t{64} << 20);
    StabilizerParams huge = c.params();
    huge.width = 4096;
    huge.height = 4096;
    EXPECT_EQ(StabilizerInit(huge), BadArgument);
    huge.width = INT32_MAX;
    huge.height = INT32_MAX;
    EXPECT_EQ(StabilizerInit(huge), BadArgument);
    alloc::setSizeLimit(SIZE_MAX);

    EXPECT_EQ(alloc::liveBlocks(), liveBefore);
    StabilizerParams after;
    StabilizerGetParameter(&after);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof after), 0);
    EXPECT_EQ(placidor::api::engine().state, Corrected);
    ClipRect r;
    EXPECT_EQ(StabilizerGetClipRect(kFirst + kFrames - 1, &r), NoError);
    EXPECT_EQ(StabilizerFree(), NoError);
}

}  // namespace
