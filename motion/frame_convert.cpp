#include "motion/frame_convert.h"

#include <cstring>

namespace placidor::motion {

namespace {

int bytesPerPixel(const StabilizerParams &params) { return params.twoBytePixels ? 2 : 3; }

// One row of samples; specialised per layout and channel so the inner loop
// has no branch.
template <int Channel>
void convertRow3(const std::uint8_t *src, std::uint8_t *dst, std::int32_t width) {
    for (std::int32_t c = 0; c < width; ++c, src += 3) {
        if constexpr (Channel == 1) dst[c] = src[2];
        else if constexpr (Channel == 2) dst[c] = src[1];
        else if constexpr (Channel == 3) dst[c] = src[0];
        else dst[c] = pixelLuma(src);
    }
}

void convertRow2(const std::uint8_t *src, std::uint8_t *dst, std::int32_t width) {
    for (std::int32_t c = 0; c < width; ++c) dst[c] = src[2 * c];
}

}  // namespace

std::uint64_t frameExtent(const std::uint8_t *buffer, const StabilizerParams &params) {
    const std::uint64_t pixelOffset = buffer[0] | (buffer[1] << 8);
    if (params.width <= 0 || params.height <= 0) return pixelOffset;
    return pixelOffset + static_cast<std::uint64_t>(params.width) *
                             static_cast<std::uint64_t>(params.height) *
                             static_cast<std::uint64_t>(bytesPerPixel(params));
}

void convertFrame(const std::uint8_t *buffer, std::uint8_t *plane, const StabilizerParams &params) {
    const std::int32_t width = params.width;
    const std::int32_t height = params.height;
    if (width <= 0 || height <= 0) return;
    const std::size_t pixelOffset = buffer[0] | (buffer[1] << 8);
    const int bpp = bytesPerPixel(params);
    const std::size_t srcStride = static_cast<std::size_t>(width) * bpp;
    const std::size_t dstStride = static_cast<std::size_t>(width);

    void (*convertRow)(const std::uint8_t *, std::uint8_t *, std::int32_t) = convertRow2;
    if (!params.twoBytePixels) {
        switch (params.channel) {
        case 1: convertRow = convertRow3<1>; break;
        case 2: convertRow = convertRow3<2>; break;
        case 3: convertRow = convertRow3<3>; break;
        default: convertRow = convertRow3<0>; break;
        }
    }
    const bool fields = params.fieldHandling != 0;
    const std::uint8_t *src = buffer + pixelOffset;
    std::uint8_t *dst = plane;
    for (std::int32_t r = 0; r < height; ++r, src += srcStride, dst += dstStride) {
        if (fields && (r & 1)) {
            if (params.fieldMode == 1) {
                std::memset(dst, 0, dstStride);
                continue;
            }
            if (params.fieldMode == 2) {
                std::memcpy(dst, dst - dstStride, dstStride);
                continue;
            }
        }
        convertRow(src, dst, width);
    }
}

}  // namespace placidor::motion
