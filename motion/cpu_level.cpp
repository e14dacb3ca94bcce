#include "motion/cpu_level.h"

#include "platform/cpu.h"

namespace placidor::motion {

const char *cpuLevelName(CpuLevel level) {
    switch (level) {
    case CpuLevel::C: return "c";
    case CpuLevel::SSE2: return "sse2";
    case CpuLevel::SSSE3: return "ssse3";
    case CpuLevel::AVX2: return "avx2";
    }
    return "?";
}

std::span<const CpuLevel> compiledLevels() {
    static constexpr CpuLevel levels[] = {
        CpuLevel::C,
#if defined(PLACIDOR_X86_KERNELS)
        CpuLevel::SSE2,
        CpuLevel::SSSE3,
#endif
#if defined(PLACIDOR_AVX2_KERNELS)
        CpuLevel::AVX2,
#endif
    };
    return levels;
}

CpuLevel grantedLevel(CpuLevel limit) {
    CpuLevel granted = CpuLevel::C;
    const platform::CpuFeatures &cpu = platform::cpuFeatures();
    for (CpuLevel level : compiledLevels()) {
        if (level > limit) break;
        const bool runs = level == CpuLevel::C || (level == CpuLevel::SSE2 && cpu.sse2) ||
                          (level == CpuLevel::SSSE3 && cpu.ssse3) ||
                          (level == CpuLevel::AVX2 && cpu.avx2);
        if (!runs) break;
        granted = level;
    }
    return granted;
}

}  // namespace placidor::motion
