// The kernels behind frame conversion: runs of packed pixels to samples.
#pragma once

#include <cstddef>
#include <cstdint>

#include "motion/cpu_level.h"

namespace placidor::motion {

// Turns `count` packed pixels at `src` into `count` samples at `dst`.
// Reads exactly [src, src + count * bytes per pixel): nothing before or
// after, so a frame may end at the end of its allocation.
using ConvertPixelsFn = void (*)(const std::uint8_t *src, std::uint8_t *dst, std::size_t count);

// One kernel per sample choice. 3-byte pixels are blue, green, red.
struct ConvertKernels {
    ConvertPixelsFn luma = nullptr;     // pixelLuma of 3-byte pixels
    ConvertPixelsFn red = nullptr;      // byte 2 of 3-byte pixels
    ConvertPixelsFn green = nullptr;    // byte 1 of 3-byte pixels
    ConvertPixelsFn blue = nullptr;     // byte 0 of 3-byte pixels
    ConvertPixelsFn twoByte = nullptr;  // byte 0 of 2-byte pixels
};

// The reference kernels: the plain loops every other variant is checked
// against.
void convertLuma_c(const std::uint8_t *src, std::uint8_t *dst, std::size_t count);
void convertRed_c(const std::uint8_t *src, std::uint8_t *dst, std::size_t count);
void convertGreen_c(const std::uint8_t *src, std::uint8_t *dst, std::size_t count);
void convertBlue_c(const std::uint8_t *src, std::uint8_t *dst, std::size_t count);
void convertTwoByte_c(const std::uint8_t *src, std::uint8_t *dst, std::size_t count);

// Each level's table entries, applied in ascending order over the
// reference; the x86 ones are defined in motion/x86/ when the build has
// them. A level leaves the kernels it lacks untouched (SSSE3 has none for
// 2-byte pixels).
void initConvertKernels_c(ConvertKernels &k);
void initConvertKernels_sse2(ConvertKernels &k);
void initConvertKernels_ssse3(ConvertKernels &k);
void initConvertKernels_avx2(ConvertKernels &k);

// The levels that add conversion kernels in this build, ascending from C.
std::span<const CpuLevel> convertKernelLevels();
// Writes the entries `level` adds over the levels below it (its init);
// nothing for a level not in convertKernelLevels().
void addConvertKernels(CpuLevel level, ConvertKernels &k);

// The reference, then every level of convertKernelLevels() up to
// grantedLevel(limit), in ascending order.
ConvertKernels convertKernelsUpTo(CpuLevel limit);
// The best kernels this processor runs, chosen once.
const ConvertKernels &convertKernels();

}  // namespace placidor::motion
