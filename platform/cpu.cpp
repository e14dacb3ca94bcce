#include "platform/cpu.h"

#if defined(__i386__) || defined(__x86_64__)
#  include <cpuid.h>
#endif

namespace placidor::platform {

namespace {

CpuFeatures detect() {
    CpuFeatures f;
#if defined(__i386__) || defined(__x86_64__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return f;
    const unsigned maxLeaf = eax;
    __get_cpuid(1, &eax, &ebx, &ecx, &edx);
    f.sse2 = (edx >> 26) & 1;
    f.ssse3 = (ecx >> 9) & 1;
    const bool osxsave = (ecx >> 27) & 1;
    unsigned long long xcr0 = 0;
    if (osxsave) {
        unsigned lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        xcr0 = (static_cast<unsigned long long>(hi) << 32) | lo;
    }
    const bool ymm = (xcr0 & 0x6) == 0x6;
    if (maxLeaf >= 7) {
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        f.avx2 = ymm && ((ebx >> 5) & 1);
    }
#endif
    return f;
}

}  // namespace

const CpuFeatures &cpuFeatures() {
    static const CpuFeatures features = detect();
    return features;
}

}  // namespace placidor::platform
