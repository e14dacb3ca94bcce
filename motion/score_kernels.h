// The score kernels: positive-difference sums over a block of two planes,
// in three forms, and their table per instruction-set level.
#pragma once

#include <cstddef>
#include <cstdint>

#include "motion/cpu_level.h"

namespace placidor::motion {

// Sum over `rows` rows of `cols` samples of max(cur - ref, 0). Successive
// rows are `stride` bytes apart in both planes. cols >= 1, rows >= 1.
using PositiveDiffSumFn = std::uint64_t (*)(const std::uint8_t *ref, const std::uint8_t *cur,
                                            std::ptrdiff_t stride, std::int32_t cols,
                                            std::int32_t rows);

// The same sum for four neighbouring candidates in one pass over the
// reference rows: sums[k] pairs `ref` with `cur + k`, k = 0..3, over the same
// window. Reads cur up to cur + 3 + cols - 1 of every row.
using PositiveDiffSumX4Fn = void (*)(const std::uint8_t *ref, const std::uint8_t *cur,
                                     std::ptrdiff_t stride, std::int32_t cols, std::int32_t rows,
                                     std::uint64_t sums[4]);

// The sum, abandoned once it exceeds `limit`: the exact sum when that is
// <= limit, otherwise some partial sum > limit (the sum only grows as rows
// are added, so the candidate is already known to lose).
using PositiveDiffSumBoundedFn = std::uint64_t (*)(const std::uint8_t *ref, const std::uint8_t *cur,
                                                   std::ptrdiff_t stride, std::int32_t cols,
                                                   std::int32_t rows, std::uint64_t limit);

// The bounded sum over 16-bit samples (block sums, each below 32768), the
// two planes with their own strides, in samples: rows of `cols` samples of
// max(cur - ref, 0); like the bounded sum above, exact when that is
// <= limit and otherwise some partial sum > limit. cols >= 1, rows >= 1.
using PositiveDiffSum16BoundedFn = std::uint64_t (*)(const std::uint16_t *ref,
                                                     std::ptrdiff_t refStride,
                                                     const std::uint16_t *cur,
                                                     std::ptrdiff_t curStride, std::int32_t cols,
                                                     std::int32_t rows, std::uint64_t limit);

struct ScoreKernels {
    PositiveDiffSumFn positiveDiffSum = nullptr;
    PositiveDiffSumX4Fn positiveDiffSumX4 = nullptr;
    PositiveDiffSumBoundedFn positiveDiffSumBounded = nullptr;
    PositiveDiffSum16BoundedFn positiveDiffSum16Bounded = nullptr;
};

// The reference kernels: the plain loops every other variant is checked
// against.
std::uint64_t positiveDiffSum_c(const std::uint8_t *ref, const std::uint8_t *cur,
                                std::ptrdiff_t stride, std::int32_t cols, std::int32_t rows);
void positiveDiffSumX4_c(const std::uint8_t *ref, const std::uint8_t *cur, std::ptrdiff_t stride,
                         std::int32_t cols, std::int32_t rows, std::uint64_t sums[4]);
std::uint64_t positiveDiffSumBounded_c(const std::uint8_t *ref, const std::uint8_t *cur,
                                       std::ptrdiff_t stride, std::int32_t cols, std::int32_t rows,
                                       std::uint64_t limit);
std::uint64_t positiveDiffSum16Bounded_c(const std::uint16_t *ref, std::ptrdiff_t refStride,
                                         const std::uint16_t *cur, std::ptrdiff_t curStride,
                                         std::int32_t cols, std::int32_t rows, std::uint64_t limit);

// Each level's table entries, applied in ascending order over the
// reference; the x86 ones are defined in motion/x86/ when the build has
// them. SSSE3 adds no score kernels.
void initScoreKernels_c(ScoreKernels &k);
void initScoreKernels_sse2(ScoreKernels &k);
void initScoreKernels_avx2(ScoreKernels &k);

// The levels that add score kernels in this build, ascending from C: the
// levels the kernel tests and benchmarks run.
std::span<const CpuLevel> scoreKernelLevels();
// Writes the entries `level` adds over the levels below it (its init);
// nothing for a level not in scoreKernelLevels().
void addScoreKernels(CpuLevel level, ScoreKernels &k);

// The reference, then every level of scoreKernelLevels() up to
// grantedLevel(limit), in ascending order.
ScoreKernels scoreKernelsUpTo(CpuLevel limit);
// The best kernels this processor runs, chosen once.
const ScoreKernels &scoreKernels();

}  // namespace placidor::motion
