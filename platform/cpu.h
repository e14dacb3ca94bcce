// What the processor offers, detected once.
#pragma once

namespace placidor::platform {

struct CpuFeatures {
    bool sse2 = false;
    bool ssse3 = false;
    bool avx2 = false;  // AVX2 with OS-enabled YMM state
};

const CpuFeatures &cpuFeatures();

}  // namespace placidor::platform
