// Turning a fetched frame into an 8-bit plane.
#pragma once

#include <cstdint>

#include "motion/frame_convert_kernels.h"
#include "placidor.h"

namespace placidor::motion {

// (28 * blue + 151 * green + 77 * red) >> 8; the weights sum to 256.
inline std::uint8_t pixelLuma(const std::uint8_t *pixel) {
    return static_cast<std::uint8_t>((28u * pixel[0] + 151u * pixel[1] + 77u * pixel[2]) >> 8);
}

// Bytes from the buffer's start past the last pixel, for the buffer's own
// pixelOffset; the caller checks it against the buffer's size first.
std::uint64_t frameExtent(const std::uint8_t *buffer, const StabilizerParams &params);

// Fills width x height samples of `plane` from `buffer` with the channel and
// field treatment of `params`, using `kernels`. Reads only [buffer, buffer +
// frameExtent). Gives the same plane as convertFrame_c with any kernels.
void convertFrame(const std::uint8_t *buffer, std::uint8_t *plane, const StabilizerParams &params,
                  const ConvertKernels &kernels);

// The reference: pixel by pixel, row by row.
void convertFrame_c(const std::uint8_t *buffer, std::uint8_t *plane,
                    const StabilizerParams &params);

}  // namespace placidor::motion
