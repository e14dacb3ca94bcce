// Match score between two planes, and the table of kernels behind it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "motion/frame_convert_kernels.h"
#include "placidor.h"

namespace placidor::motion {

// What matchScore reads of the parameter block: the plane size, the
// inclusive measurement window and the row step (2 in field mode 3).
struct ScoreGeometry {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t measureLeft = 0;
    std::int32_t measureTop = 0;
    std::int32_t measureRight = -1;
    std::int32_t measureBottom = -1;
    std::int32_t rowStep = 1;

    static ScoreGeometry from(const StabilizerParams &params);
};

// The window of samples compared at offset (a, b): the measurement window
// cut so that x, x + a, y and y + b stay inside the planes. Empty when
// left > right or top > bottom.
struct ScoreWindow {
    std::int32_t left, top, right, bottom;
    bool empty() const { return left > right || top > bottom; }
};
ScoreWindow scoreWindow(const ScoreGeometry &g, std::int32_t a, std::int32_t b);

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
using PositiveDiffSumBoundedFn = std::uint64_t (*)(const std::uint8_t *ref,
                                                   const std::uint8_t *cur, std::ptrdiff_t stride,
                                                   std::int32_t cols, std::int32_t rows,
                                                   std::uint64_t limit);

// Instruction-set levels, in ascending order.
// SSSE3 adds only frame conversion kernels; its score kernels are SSE2's.
enum class CpuLevel : int { C = 0, SSE2 = 1, SSSE3 = 2, AVX2 = 3, AVX512 = 4 };
const char *cpuLevelName(CpuLevel level);

struct ScoreKernels {
    CpuLevel level = CpuLevel::C;
    PositiveDiffSumFn positiveDiffSum = nullptr;
    PositiveDiffSumX4Fn positiveDiffSumX4 = nullptr;
    PositiveDiffSumBoundedFn positiveDiffSumBounded = nullptr;
    // Frame conversion, granted with the same level.
    ConvertKernels convert;
};

// The reference kernels: the plain loops every other variant is checked
// against.
std::uint64_t positiveDiffSum_c(const std::uint8_t *ref, const std::uint8_t *cur,
                                std::ptrdiff_t stride, std::int32_t cols, std::int32_t rows);
void positiveDiffSumX4_c(const std::uint8_t *ref, const std::uint8_t *cur, std::ptrdiff_t stride,
                         std::int32_t cols, std::int32_t rows, std::uint64_t sums[4]);
std::uint64_t positiveDiffSumBounded_c(const std::uint8_t *ref, const std::uint8_t *cur,
                                       std::ptrdiff_t stride, std::int32_t cols,
                                       std::int32_t rows, std::uint64_t limit);

// Each instruction set's table entries, defined in motion/x86/ when the
// build has them; they leave a kernel they lack untouched.
void initScoreKernels_sse2(ScoreKernels &k);
void initScoreKernels_avx2(ScoreKernels &k);

// The best kernels this processor runs, chosen once.
const ScoreKernels &scoreKernels();
// The kernels of `level` and below that this build and processor have;
// for tests and benchmarks. Their `level` says what was granted.
ScoreKernels scoreKernelsUpTo(CpuLevel level);

// The score of pairing reference (y, x) with current (y + b, x + a): minus
// the sum of the positive differences current - reference over the
// window. Always a whole number <= 0; 0.0 for an empty window.
double matchScore(std::int32_t a, std::int32_t b, const std::uint8_t *reference,
                  const std::uint8_t *current, const ScoreGeometry &g, const ScoreKernels &k);

}  // namespace placidor::motion
