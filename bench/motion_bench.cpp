// Whole searches and frame conversion (kernels alone: kernels_bench.cpp).
// Motion estimation speed: the exhaustive search (pruned and in full) and
// the iterative search (the engine's, and "plain": every candidate of its
// squares scored in full) over one frame pair, per instruction set, frame
// size, search range and content; and the frame conversion.
//
// Counters: ns_per_candidate, samples_per_ns (samples a full scoring of
// every candidate compares, per nanosecond: for the pruned search the rate
// it effectively achieves), fps (frame pairs per second).
//
//   motion_bench --benchmark_filter=exhaustive/1920x1080/R32
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "motion/frame_convert.h"
#include "motion/search.h"

namespace {

using namespace placidor;
using motion::CpuLevel;

enum class Content { Noise, Textured, Flat };
const char *contentName(Content c) {
    return c == Content::Noise ? "noise" : c == Content::Textured ? "textured" : "flat";
}

// The true displacement between the two planes of every pair.
constexpr std::int32_t kShiftX = 3, kShiftY = -2;

struct PlanePair {
    std::int32_t width, height;
    std::vector<std::uint8_t> reference, current;
};

// Value noise at a scale of 8 pixels over a wide range, like a natural
// scene seen out of focus; each frame adds its own grain, as a sensor does.
std::vector<std::uint8_t> texturedScene(std::int32_t w, std::int32_t h, std::mt19937 &rng) {
    const int cell = 8, gw = w / cell + 2;
    std::vector<float> grid(std::size_t(gw) * (h / cell + 2));
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (auto &g : grid) g = unit(rng);
    std::vector<std::uint8_t> scene(std::size_t(w) * h);
    for (std::int32_t y = 0; y < h; ++y) {
        for (std::int32_t x = 0; x < w; ++x) {
            const int ix = x / cell, iy = y / cell;
            const float tx = float(x % cell) / cell, ty = float(y % cell) / cell;
            const auto at = [&](int gx, int gy) { return grid[std::size_t(gy) * gw + gx]; };
            const float v = (at(ix, iy) * (1 - tx) + at(ix + 1, iy) * tx) * (1 - ty) +
                            (at(ix, iy + 1) * (1 - tx) + at(ix + 1, iy + 1) * tx) * ty;
            scene[std::size_t(y) * w + x] = std::uint8_t(30 + int(v * 190.0f));
        }
    }
    return scene;
}

PlanePair makePair(std::int32_t width, std::int32_t height, Content content) {
    PlanePair p{width, height, {}, {}};
    const std::int32_t margin = 8;
    const std::int32_t sw = width + 2 * margin, sh = height + 2 * margin;
    std::mt19937 rng(2024);
    std::vector<std::uint8_t> scene;
    if (content == Content::Textured) {
        scene = texturedScene(sw, sh, rng);
    } else {
        scene.resize(std::size_t(sw) * sh);
        std::uniform_int_distribution<int> byte(0, 255);
        for (auto &v : scene) v = content == Content::Flat ? 128 : std::uint8_t(byte(rng));
    }
    std::uniform_int_distribution<int> grain(-3, 3);
    // Candidate (dx, dy): the reference's (y, x) appears at (y - dy, x + dx).
    const auto view = [&](std::int32_t ox, std::int32_t oy) {
        std::vector<std::uint8_t> plane(std::size_t(width) * height);
        for (std::int32_t y = 0; y < height; ++y) {
            for (std::int32_t x = 0; x < width; ++x) {
                int v = scene[std::size_t(y + oy + margin) * sw + x + ox + margin];
                if (content == Content::Textured) v = std::clamp(v + grain(rng), 0, 255);
                plane[std::size_t(y) * width + x] = std::uint8_t(v);
            }
        }
        return plane;
    };
    p.reference = view(0, 0);
    p.current = view(-kShiftX, kShiftY);
    return p;
}

// The measurement window the engine's normalisation makes of an all-zero
// block: the middle half of the frame, shrunk by the search range.
motion::ScoreGeometry defaultGeometry(std::int32_t width, std::int32_t height, std::int32_t range) {
    motion::ScoreGeometry g;
    g.width = width;
    g.height = height;
    g.measureLeft = std::max(width / 4, range);
    g.measureRight = std::min(3 * width / 4, width - range);
    g.measureTop = std::max(height / 4, range);
    g.measureBottom = std::min(3 * height / 4, height - range);
    return g;
}

struct SearchCase {
    std::int32_t width, height, range;
    Content content;
    CpuLevel level;
    // 0 exhaustive in full, 1 exhaustive pruned, 2 iterative, 3 iterative
    // plain, 4 exhaustive pruned on partial sums alone (no block bounds)
    int mode;
    motion::Displacement guess;
};

const PlanePair &pairFor(std::int32_t width, std::int32_t height, Content content) {
    static std::vector<std::pair<std::tuple<int, int, int>, PlanePair>> made;
    const auto key = std::make_tuple(width, height, int(content));
    for (auto &[k, p] : made)
        if (k == key) return p;
    made.emplace_back(key, makePair(width, height, content));
    return made.back().second;
}

void runSearch(benchmark::State &state, SearchCase c) {
    const motion::ScoreKernels kernels = motion::scoreKernelsUpTo(c.level);
    if (motion::grantedLevel(c.level) != c.level) {
        state.SkipWithError("instruction set not available");
        return;
    }
    const PlanePair &pair = pairFor(c.width, c.height, c.content);
    motion::ScoreCache cache;
    cache.allocate(c.width, c.height, c.range);
    motion::SearchContext ctx;
    ctx.geometry = defaultGeometry(c.width, c.height, c.range);
    ctx.searchRange = c.range;
    const bool iterative = c.mode == 2 || c.mode == 3;
    ctx.searchMethod = iterative ? 1 : 0;
    ctx.cache = &cache;
    ctx.kernels = &kernels;
    ctx.prune = c.mode == 1 || c.mode == 4;
    ctx.guess = c.guess;
    motion::BlockBounds bounds;
    if (c.mode == 1 && bounds.allocate(ctx.geometry, c.range)) ctx.bounds = &bounds;
    motion::Match record;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        cache.clear();
        if (c.mode == 3)
            record =
                motion::iterativeSearchReference(pair.reference.data(), pair.current.data(), ctx);
        else record = motion::findDisplacement(pair.reference.data(), pair.current.data(), ctx);
        benchmark::DoNotOptimize(record);
    }
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    // Work the frame pair stands for: every candidate scored in full (the
    // iterative search: the candidates its squares covered).
    double candidates = 0, samples = 0;
    for (std::int32_t dy = -c.range; dy <= c.range; ++dy) {
        for (std::int32_t dx = -c.range; dx <= c.range; ++dx) {
            if (iterative && cache.entry(dx, dy) == 0.0) continue;
            const motion::ScoreWindow w = motion::scoreWindow(ctx.geometry, dx, -dy);
            if (w.empty()) continue;
            candidates += 1;
            samples += double(w.right - w.left + 1) * (w.bottom - w.top + 1);
        }
    }
    const double n = double(state.iterations());
    state.counters["ns_per_candidate"] = ns / (n * candidates);
    state.counters["samples_per_ns"] = n * samples / ns;
    state.counters["fps"] = n * 1e9 / ns;
    state.SetLabel(std::to_string(record.dx) + "," + std::to_string(record.dy));
}

// Conversion of one frame with the kernels of `level`; bytes_per_ns counts
// the pixel bytes read. Level C runs the kernel-table path with the
// reference kernels; "rowwise" is the reference convertFrame_c, row by row;
// "memcpy" copies the pixel bytes, the memory speed the kernels approach.
enum class ConvertPath { Kernels, Rowwise, Memcpy };

void runConvert(benchmark::State &state, std::int32_t width, std::int32_t height, bool twoByte,
                std::int32_t channel, CpuLevel level, ConvertPath path) {
    const motion::ConvertKernels kernels = motion::convertKernelsUpTo(level);
    if (motion::grantedLevel(level) != level) {
        state.SkipWithError("instruction set not available");
        return;
    }
    const int bpp = twoByte ? 2 : 3;
    std::vector<std::uint8_t> buffer(40 + std::size_t(width) * height * bpp);
    std::mt19937 rng(7);
    for (auto &v : buffer) v = std::uint8_t(rng());
    buffer[0] = 40;
    buffer[1] = 0;
    std::vector<std::uint8_t> plane(std::size_t(width) * height);
    std::vector<std::uint8_t> copy(path == ConvertPath::Memcpy ? buffer.size() - 40 : 0);
    StabilizerParams p{};
    p.width = width;
    p.height = height;
    p.twoBytePixels = twoByte;
    p.channel = channel;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        switch (path) {
        case ConvertPath::Kernels:
            motion::convertFrame(buffer.data(), plane.data(), p, kernels);
            break;
        case ConvertPath::Rowwise: motion::convertFrame_c(buffer.data(), plane.data(), p); break;
        case ConvertPath::Memcpy: std::memcpy(copy.data(), buffer.data() + 40, copy.size()); break;
        }
        benchmark::DoNotOptimize(plane.data());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    state.counters["bytes_per_ns"] = double(state.iterations()) * (buffer.size() - 40) / ns;
}

void registerAll() {
    const std::pair<int, int> sizes[] = {{720, 576}, {1920, 1080}};
    const CpuLevel levels[] = {CpuLevel::C, CpuLevel::SSE2, CpuLevel::AVX2};
    const char *modes[] = {"full", "pruned", "", "plain", "partial"};
    for (auto [w, h] : sizes) {
        for (int range : {16, 32, 100}) {
            for (Content content : {Content::Textured, Content::Noise, Content::Flat}) {
                for (CpuLevel level : levels) {
                    for (int mode : {0, 1, 4, 2, 3}) {
                        // The plain loop in full at large ranges takes
                        // minutes a frame; it is measured at the small ones.
                        if (level == CpuLevel::C && mode == 0 && (range > 16 || w > 720)) continue;
                        const bool iterative = mode == 2 || mode == 3;
                        if (content == Content::Flat && iterative) continue;
                        if (level == CpuLevel::C && mode == 3 && w > 720) continue;
                        const SearchCase c{w, h, range, content, level, mode, {0, 0}};
                        const std::string name =
                            std::string(iterative ? "iterative/" : "exhaustive/") +
                            std::to_string(w) + "x" + std::to_string(h) + "/R" +
                            std::to_string(range) + "/" + contentName(content) + "/" +
                            motion::cpuLevelName(level) +
                            (mode == 2 ? "" : std::string("/") + modes[mode]);
                        auto *b = benchmark::RegisterBenchmark(
                            name.c_str(), [c](benchmark::State &s) { runSearch(s, c); });
                        b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.3);
                        // A steady pan: the previous displacement is the answer.
                        if ((mode == 1 || mode == 4) && content == Content::Textured) {
                            SearchCase g = c;
                            g.guess = {kShiftX, kShiftY};
                            benchmark::RegisterBenchmark(
                                (name + "/guessed").c_str(),
                                [g](benchmark::State &s) { runSearch(s, g); })
                                ->Unit(benchmark::kMillisecond)
                                ->UseRealTime()
                                ->MinTime(0.3);
                        }
                    }
                }
            }
        }
    }
    for (auto [w, h] : sizes) {
        for (auto [twoByte, channel, label] :
             {std::tuple{false, 0, "luma"}, {false, 2, "green"}, {true, 0, "twobyte"}}) {
            const std::string prefix =
                "convert/" + std::to_string(w) + "x" + std::to_string(h) + "/" + label + "/";
            const auto add = [&](const std::string &variant, CpuLevel level, ConvertPath path) {
                benchmark::RegisterBenchmark((prefix + variant).c_str(), [=](benchmark::State &s) {
                    runConvert(s, w, h, twoByte, channel, level, path);
                })->Unit(benchmark::kMicrosecond);
            };
            add("rowwise", CpuLevel::C, ConvertPath::Rowwise);
            for (CpuLevel level : {CpuLevel::C, CpuLevel::SSE2, CpuLevel::SSSE3, CpuLevel::AVX2})
                add(motion::cpuLevelName(level), level, ConvertPath::Kernels);
            add("memcpy", CpuLevel::C, ConvertPath::Memcpy);
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
