#include "motion/score_kernels.h"

namespace placidor::motion {

void initScoreKernels_c(ScoreKernels &k) {
    k.positiveDiffSum = positiveDiffSum_c;
    k.positiveDiffSumX4 = positiveDiffSumX4_c;
    k.positiveDiffSumBounded = positiveDiffSumBounded_c;
    k.positiveDiffSum16Bounded = positiveDiffSum16Bounded_c;
}

std::span<const CpuLevel> scoreKernelLevels() {
    static constexpr CpuLevel levels[] = {
        CpuLevel::C,
#if defined(PLACIDOR_X86_KERNELS)
        CpuLevel::SSE2,
#endif
#if defined(PLACIDOR_AVX2_KERNELS)
        CpuLevel::AVX2,
#endif
    };
    return levels;
}

void addScoreKernels(CpuLevel level, ScoreKernels &k) {
    switch (level) {
    case CpuLevel::C: initScoreKernels_c(k); break;
#if defined(PLACIDOR_X86_KERNELS)
    case CpuLevel::SSE2: initScoreKernels_sse2(k); break;
#endif
#if defined(PLACIDOR_AVX2_KERNELS)
    // No AVX-512 kernels: a probe of the kernel on the Zen 4 ran slower
    // than AVX2.
    case CpuLevel::AVX2: initScoreKernels_avx2(k); break;
#endif
    default: break;
    }
}

ScoreKernels scoreKernelsUpTo(CpuLevel limit) {
    const CpuLevel granted = grantedLevel(limit);
    ScoreKernels k;
    for (CpuLevel level : scoreKernelLevels())
        if (level <= granted) addScoreKernels(level, k);
    return k;
}

const ScoreKernels &scoreKernels() {
    static const ScoreKernels kernels = scoreKernelsUpTo(kHighestLevel);
    return kernels;
}

}  // namespace placidor::motion
