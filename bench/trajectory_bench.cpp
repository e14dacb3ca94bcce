// Re-tuning an analysed hour of video: StabilizerChangeParameter on 90,000
// frames at several smoothing times, and reading every rectangle back.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>

#include "api/engine.h"
#include "api/params.h"
#include "placidor.h"
#include "trajectory/smoothing.h"

namespace {

constexpr std::int32_t kFrames = 90000;  // an hour at 25 frames per second

// Puts an analysed clip with a random shaky path straight into the engine,
// as an analysis pass would leave it.
void analysedHour() {
    StabilizerParams p{};
    p.size = PLACIDOR_PARAMS_SIZE;
    p.width = 1920;
    p.height = 1080;
    p.lastFrame = kFrames - 1;
    p.frameRate = 25.0f;
    p.smoothTimeX = 1000;
    StabilizerInit(p);
    auto &e = placidor::api::engine();
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> shake(-6, 6);
    for (std::int32_t f = 0; f < kFrames; ++f) {
        auto record = std::make_unique<placidor::trajectory::FrameRecord>();
        record->frame = f;
        record->dx = f ? shake(rng) : 0;
        record->dy = f ? shake(rng) : 0;
        e.frames.append(std::move(record));
    }
    auto segment = std::make_unique<placidor::trajectory::SegmentRecord>();
    segment->firstFrame = 0;
    segment->lastFrame = kFrames - 1;
    e.segments.append(std::move(segment));
    e.lastAnalysedFrame = kFrames - 1;
    e.state = Calculated;
    StabilizerCorrect(nullptr);
}

void BM_ChangeParameter(benchmark::State &state) {
    analysedHour();
    StabilizerParams change{};
    change.size = PLACIDOR_PARAMS_SIZE;
    change.cropLimitLeft = 96;
    change.cropLimitRight = 1920 - 96;
    change.cropLimitTop = 54;
    change.cropLimitBottom = 1080 - 54;
    change.smoothTimeX = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(StabilizerChangeParameter(change));
    state.counters["frames/s"] =
        benchmark::Counter(double(kFrames) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ChangeParameter)->Arg(1000)->Arg(10000)->Arg(60000)->Unit(benchmark::kMillisecond);

void BM_GetEveryClipRect(benchmark::State &state) {
    analysedHour();
    for (auto _ : state) {
        ClipRect r;
        for (std::int32_t f = 0; f < kFrames; ++f) {
            StabilizerGetClipRect(f, &r);
            benchmark::DoNotOptimize(r);
        }
    }
    state.counters["rects/s"] =
        benchmark::Counter(double(kFrames) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GetEveryClipRect)->Unit(benchmark::kMillisecond);

// The direct weighted loop, for scale: quadratic in the half-window.
void BM_SmoothDirect(benchmark::State &state) {
    analysedHour();
    auto &e = placidor::api::engine();
    const std::int32_t h =
        placidor::api::halfWindow(25.0f, static_cast<std::int32_t>(state.range(0)));
    for (auto _ : state)
        placidor::trajectory::smoothSegmentDirect(e.frames, 0, kFrames - 1, {h, h, true});
}
BENCHMARK(BM_SmoothDirect)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
