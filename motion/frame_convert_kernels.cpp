#include "motion/frame_convert_kernels.h"

namespace placidor::motion {

// Every compiled-in level has conversion kernels.
std::span<const CpuLevel> convertKernelLevels() { return compiledLevels(); }

void addConvertKernels(CpuLevel level, ConvertKernels &k) {
    switch (level) {
    case CpuLevel::C: initConvertKernels_c(k); break;
#if defined(PLACIDOR_X86_KERNELS)
    case CpuLevel::SSE2: initConvertKernels_sse2(k); break;
    case CpuLevel::SSSE3: initConvertKernels_ssse3(k); break;
#endif
#if defined(PLACIDOR_AVX2_KERNELS)
    case CpuLevel::AVX2: initConvertKernels_avx2(k); break;
#endif
    default: break;
    }
}

ConvertKernels convertKernelsUpTo(CpuLevel limit) {
    const CpuLevel granted = grantedLevel(limit);
    ConvertKernels k;
    for (CpuLevel level : convertKernelLevels())
        if (level <= granted) addConvertKernels(level, k);
    return k;
}

const ConvertKernels &convertKernels() {
    static const ConvertKernels kernels = convertKernelsUpTo(kHighestLevel);
    return kernels;
}

}  // namespace placidor::motion
