// Instruction-set levels of the engine's kernels, and which of them this
// build has and this processor runs.
#pragma once

#include <span>

namespace placidor::motion {

// In ascending order; each level's kernels need every level below it.
enum class CpuLevel : int { C = 0, SSE2 = 1, SSSE3 = 2, AVX2 = 3 };
inline constexpr CpuLevel kHighestLevel = CpuLevel::AVX2;

// "c", "sse2", "ssse3", "avx2": the suffix of the level's kernels.
const char *cpuLevelName(CpuLevel level);

// Every level this build has kernels for, ascending from C (no AVX2 in
// the Windows DLLs, only C on other processors).
std::span<const CpuLevel> compiledLevels();

// The highest level at or below `limit` that this build has and this
// processor runs: levels are granted in ascending order, stopping at the
// first one missing.
CpuLevel grantedLevel(CpuLevel limit);

}  // namespace placidor::motion
