// The library-wide engine: state, stored block, records and working memory.
#pragma once

#include <cstdint>
#include <memory>

#include "motion/cpu_level.h"
#include "motion/score_cache.h"
#include "placidor.h"
#include "platform/escape.h"
#include "trajectory/records.h"

namespace placidor::api {

struct Engine {
    std::int32_t state = Loaded;
    StabilizerParams params{};
    std::int32_t halfWindowX = 0;
    std::int32_t halfWindowY = 0;
    trajectory::FrameList frames;
    trajectory::SegmentList segments;
    std::unique_ptr<std::uint8_t[]> referencePlane;
    std::unique_ptr<std::uint8_t[]> currentPlane;
    motion::ScoreCache scoreCache;
    std::int32_t lastAnalysedFrame = 0;
    std::int32_t maxClipError = 0;

    // Set while StabilizerCalculate runs: re-entrant state changes from the
    // host's callbacks are refused.
    bool analysing = false;
    // Injection points for tests and benchmarks; the engine reads no
    // environment.
    platform::EscapeKey *escapeKey = nullptr;
    // The highest kernel level an analysis may use (the processor may
    // grant less).
    motion::CpuLevel kernelLimit = motion::kHighestLevel;
};

// The one engine of the loaded library.
Engine &engine();

// Test hooks: replace the Escape key (nullptr: the platform's) and cap the
// kernels' instruction-set level (kHighestLevel: the best detected).
void setEscapeKey(platform::EscapeKey *key);
void setKernelLimit(motion::CpuLevel limit);

// The analysis pass behind StabilizerCalculate; the state test is done.
std::int32_t runAnalysis(Engine &e, void *userData);
// The correction behind StabilizerCorrect; the state test is done.
std::int32_t runCorrection(Engine &e, void *userData);

}  // namespace placidor::api
