// The native Escape latch: pressed since the previous query, and what a
// press does to a running analysis.
#include <gtest/gtest.h>

#include <csignal>

#include "api/engine.h"
#include "placidor.h"
#include "placidor_escape.h"
#include "platform/escape.h"
#include "support/synthetic_clip.h"

namespace {

using placidor::platform::systemEscapeKey;

TEST(EscapeLatch, AQueryConsumesThePress) {
    EXPECT_FALSE(systemEscapeKey().pressedSinceLastQuery());
    PlacidorPressEscape();
    PlacidorPressEscape();  // presses do not accumulate
    EXPECT_TRUE(systemEscapeKey().pressedSinceLastQuery());
    EXPECT_FALSE(systemEscapeKey().pressedSinceLastQuery());
}

void onSignal(int) { PlacidorPressEscape(); }

void PLACIDOR_CALL raiseOnProgress(std::int32_t frame) {
    if (frame == 3) std::raise(SIGUSR1);
}

TEST(EscapeLatch, ASignalHandlerPressStopsTheRunningPass) {
    placidor::testing::SyntheticClip clip(64, 48, 8, 3);
    placidor::testing::ClipHost host;
    host.clip = &clip;
    host.path = placidor::testing::shakyPath(10, 2, 1);
    std::signal(SIGUSR1, onSignal);
    StabilizerParams p = host.params(9);
    p.progress = raiseOnProgress;
    ASSERT_EQ(StabilizerInit(p), NoError);
    EXPECT_EQ(StabilizerCalculate(&host), 3);
    EXPECT_EQ(host.fetches.size(), 4u);
    EXPECT_EQ(placidor::api::engine().state, Corrected);
    // The latch was consumed by the pass: the next one runs to the end.
    host.fetches.clear();
    p.progress = nullptr;
    ASSERT_EQ(StabilizerInit(p), NoError);
    EXPECT_EQ(StabilizerCalculate(&host), 9);
    std::signal(SIGUSR1, SIG_DFL);
}

}  // namespace
