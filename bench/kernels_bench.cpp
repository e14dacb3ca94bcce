// Every kernel alone, per instruction set and width, as checkasm's bench
// mode does: the score kernels (positiveDiffSum, its four-candidate and
// bounded forms) over blocks of 32 rows, and the conversion kernels over
// runs of pixels. Read the ratios between levels of one kernel and width;
// a level appears for the kernels its init claims. The "samples" rate
// counts the samples compared (four per column for the four-candidate form)
// or the pixels converted, per second of CPU time.
//
//   kernels_bench --benchmark_filter=positiveDiffSum/
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "motion/frame_convert_kernels.h"
#include "motion/score_kernels.h"

namespace {

using namespace placidor::motion;

constexpr std::int32_t kRows = 32;
constexpr std::int32_t kWidths[] = {16, 33, 64, 240, 961, 1920};

std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> v(n);
    std::mt19937 rng(seed);
    for (auto &b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

enum class ScoreForm { Single, X4, Bounded, BoundedHalf };
const char *formName(ScoreForm f) {
    switch (f) {
    case ScoreForm::Single: return "positiveDiffSum";
    case ScoreForm::X4: return "positiveDiffSumX4";
    case ScoreForm::Bounded: return "positiveDiffSumBounded";
    case ScoreForm::BoundedHalf: return "positiveDiffSumBounded_half";
    }
    return "?";
}

void runScore(benchmark::State &state, ScoreForm form, CpuLevel level, std::int32_t cols) {
    if (grantedLevel(level) != level) {
        state.SkipWithError("instruction set not available");
        return;
    }
    const ScoreKernels k = scoreKernelsUpTo(level);
    const std::ptrdiff_t stride = cols + 3;
    const auto ref = randomBytes(std::size_t(stride) * kRows, 1);
    const auto cur = randomBytes(std::size_t(stride) * kRows, 2);
    // Bounded: a limit the whole block stays under, and one that half the
    // rows exceed (the kernel stops there).
    const std::uint64_t full = positiveDiffSum_c(ref.data(), cur.data(), stride, cols, kRows);
    const std::uint64_t limit = form == ScoreForm::BoundedHalf ? full / 2 : full;
    std::uint64_t sums[4];
    for (auto _ : state) {
        switch (form) {
        case ScoreForm::Single:
            benchmark::DoNotOptimize(
                k.positiveDiffSum(ref.data(), cur.data(), stride, cols, kRows));
            break;
        case ScoreForm::X4:
            k.positiveDiffSumX4(ref.data(), cur.data(), stride, cols, kRows, sums);
            benchmark::DoNotOptimize(sums);
            break;
        case ScoreForm::Bounded:
        case ScoreForm::BoundedHalf:
            benchmark::DoNotOptimize(
                k.positiveDiffSumBounded(ref.data(), cur.data(), stride, cols, kRows, limit));
            break;
        }
    }
    const double perCall = double(cols) * kRows * (form == ScoreForm::X4 ? 4 : 1);
    state.counters["samples"] =
        benchmark::Counter(perCall * double(state.iterations()), benchmark::Counter::kIsRate);
}

struct ConvertCase {
    const char *name;
    int bpp;
    ConvertPixelsFn ConvertKernels::*kernel;
};
const ConvertCase kConvertCases[] = {
    {"convertLuma", 3, &ConvertKernels::luma},       {"convertRed", 3, &ConvertKernels::red},
    {"convertGreen", 3, &ConvertKernels::green},     {"convertBlue", 3, &ConvertKernels::blue},
    {"convertTwoByte", 2, &ConvertKernels::twoByte},
};

void runConvert(benchmark::State &state, const ConvertCase &c, CpuLevel level, std::int32_t count) {
    if (grantedLevel(level) != level) {
        state.SkipWithError("instruction set not available");
        return;
    }
    const ConvertKernels k = convertKernelsUpTo(level);
    const auto src = randomBytes(std::size_t(count) * c.bpp, 3);
    std::vector<std::uint8_t> dst(count);
    const ConvertPixelsFn fn = k.*c.kernel;
    for (auto _ : state) {
        fn(src.data(), dst.data(), std::size_t(count));
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.counters["samples"] =
        benchmark::Counter(double(count) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void registerAll() {
    for (ScoreForm form :
         {ScoreForm::Single, ScoreForm::X4, ScoreForm::Bounded, ScoreForm::BoundedHalf}) {
        for (std::int32_t cols : kWidths) {
            for (CpuLevel level : scoreKernelLevels()) {
                const std::string name = std::string(formName(form)) + "/w" + std::to_string(cols) +
                                         "/" + cpuLevelName(level);
                benchmark::RegisterBenchmark(
                    name.c_str(), [=](benchmark::State &s) { runScore(s, form, level, cols); });
            }
        }
    }
    for (const ConvertCase &c : kConvertCases) {
        for (std::int32_t count : kWidths) {
            for (CpuLevel level : convertKernelLevels()) {
                // Only the levels whose init claims this kernel.
                ConvertKernels claimed{};
                addConvertKernels(level, claimed);
                if (!(claimed.*c.kernel)) continue;
                const std::string name =
                    std::string(c.name) + "/w" + std::to_string(count) + "/" + cpuLevelName(level);
                benchmark::RegisterBenchmark(
                    name.c_str(), [=, &c](benchmark::State &s) { runConvert(s, c, level, count); });
            }
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
