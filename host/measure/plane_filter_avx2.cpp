// The high-pass filter's loops compiled for AVX2 (this file only): chosen
// at run time by HighPass where the processor has it.
#define PLACIDOR_HIGH_PASS_ISA avx2
#include "high_pass_region.h"
