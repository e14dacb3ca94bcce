// Planes, geometry and search set-up shared by the motion tests.
#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "motion/score.h"
#include "motion/score_cache.h"
#include "motion/search.h"

namespace placidor::motion::test {

// A plane of exactly width x height bytes, so that a read past its last
// sample leaves the allocation (and trips the address sanitizer).
using Plane = std::vector<std::uint8_t>;

// A kernel family's levels above the reference: the parameters of its
// kernel suites, so that no suite names a level the build lacks.
inline std::vector<CpuLevel> levelsAboveC(std::span<const CpuLevel> levels) {
    std::vector<CpuLevel> above;
    for (CpuLevel level : levels)
        if (level != CpuLevel::C) above.push_back(level);
    return above;
}

// The level just below `level` in a family's list (C for its first).
inline CpuLevel levelBelow(std::span<const CpuLevel> levels, CpuLevel level) {
    CpuLevel below = CpuLevel::C;
    for (CpuLevel l : levels)
        if (l < level) below = l;
    return below;
}

inline std::string levelName(const ::testing::TestParamInfo<CpuLevel> &info) {
    return cpuLevelName(info.param);
}

inline Plane randomPlane(std::int32_t width, std::int32_t height, std::mt19937 &rng) {
    Plane p(static_cast<std::size_t>(width) * height);
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto &v : p) v = static_cast<std::uint8_t>(byte(rng));
    return p;
}

inline Plane flatPlane(std::int32_t width, std::int32_t height, std::uint8_t value) {
    return Plane(static_cast<std::size_t>(width) * height, value);
}

// Geometry with the measurement window spanning the whole plane: windows
// then touch the edges at every offset.
inline ScoreGeometry fullWindow(std::int32_t width, std::int32_t height, std::int32_t rowStep = 1) {
    ScoreGeometry g;
    g.width = width;
    g.height = height;
    g.measureLeft = 0;
    g.measureTop = 0;
    g.measureRight = width - 1;
    g.measureBottom = height - 1;
    g.rowStep = rowStep;
    return g;
}

// The window the engine's normalisation gives by default: the middle half,
// shrunk by the search range.
inline ScoreGeometry defaultWindow(std::int32_t width, std::int32_t height, std::int32_t range,
                                   std::int32_t rowStep = 1) {
    ScoreGeometry g;
    g.width = width;
    g.height = height;
    g.measureLeft = std::max(width / 4, range);
    g.measureRight = std::min(3 * width / 4, width - range);
    g.measureTop = std::max(height / 4, range);
    g.measureBottom = std::min(3 * height / 4, height - range);
    g.rowStep = rowStep;
    return g;
}

// A search over two planes with its own cache, cleared.
struct SearchSetup {
    ScoreCache cache;
    ScoreKernels kernels;
    BlockBounds bounds;
    SearchContext ctx;

    // With the block-sum bounds where they apply, as the engine runs.
    SearchSetup(const ScoreGeometry &g, std::int32_t range, CpuLevel level = CpuLevel::C) {
        cache.allocate(g.width, g.height, range);
        cache.clear();
        kernels = scoreKernelsUpTo(level);
        ctx.geometry = g;
        ctx.searchRange = range;
        ctx.cache = &cache;
        ctx.kernels = &kernels;
        if (bounds.allocate(g, range)) ctx.bounds = &bounds;
    }
    SearchSetup(const SearchSetup &) = delete;
};

// A match no search gives, to show which fields a step writes.
inline Match garbageMatch() {
    Match r;
    r.score = 12345.0;
    r.dx = 777;
    r.dy = -777;
    return r;
}

}  // namespace placidor::motion::test
