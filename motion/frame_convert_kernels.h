// The kernels behind frame conversion: runs of packed pixels to samples.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Fill the table: the reference first, then each instruction set, defined
// in motion/x86/ when the build has it; a set leaves the kernels it lacks
// untouched. Called by scoreKernelsUpTo, which grants the levels.
void initConvertKernels_c(ConvertKernels &k);
void initConvertKernels_sse2(ConvertKernels &k);
void initConvertKernels_ssse3(ConvertKernels &k);
void initConvertKernels_avx2(ConvertKernels &k);

}  // namespace placidor::motion
