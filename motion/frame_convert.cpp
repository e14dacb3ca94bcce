#include "motion/frame_convert.h"

#include <cstring>

namespace placidor::motion {

namespace {

int bytesPerPixel(const StabilizerParams &params) { return params.twoBytePixels ? 2 : 3; }

// One run of samples; specialised per layout and channel so the inner loop
// has no branch.
template <int Channel>
void convertRow3(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    for (std::size_t c = 0; c < count; ++c, src += 3) {
        if constexpr (Channel == 1) dst[c] = src[2];
        else if constexpr (Channel == 2) dst[c] = src[1];
        else if constexpr (Channel == 3) dst[c] = src[0];
        else dst[c] = pixelLuma(src);
    }
}

void convertRow2(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    for (std::size_t c = 0; c < count; ++c) dst[c] = src[2 * c];
}

ConvertPixelsFn kernelFor(const StabilizerParams &params, const ConvertKernels &k) {
    if (params.twoBytePixels) return k.twoByte;
    switch (params.channel) {
    case 1: return k.red;
    case 2: return k.green;
    case 3: return k.blue;
    default: return k.luma;
    }
}

}  // namespace

void convertLuma_c(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    convertRow3<0>(src, dst, count);
}
void convertRed_c(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    convertRow3<1>(src, dst, count);
}
void convertGreen_c(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    convertRow3<2>(src, dst, count);
}
void convertBlue_c(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    convertRow3<3>(src, dst, count);
}
void convertTwoByte_c(const std::uint8_t *src, std::uint8_t *dst, std::size_t count) {
    convertRow2(src, dst, count);
}

void initConvertKernels_c(ConvertKernels &k) {
    k.luma = convertLuma_c;
    k.red = convertRed_c;
    k.green = convertGreen_c;
    k.blue = convertBlue_c;
    k.twoByte = convertTwoByte_c;
}

std::uint64_t frameExtent(const std::uint8_t *buffer, const StabilizerParams &params) {
    const std::uint64_t pixelOffset = buffer[0] | (buffer[1] << 8);
    if (params.width <= 0 || params.height <= 0) return pixelOffset;
    return pixelOffset + static_cast<std::uint64_t>(params.width) *
                             static_cast<std::uint64_t>(params.height) *
                             static_cast<std::uint64_t>(bytesPerPixel(params));
}

void convertFrame_c(const std::uint8_t *buffer, std::uint8_t *plane,
                    const StabilizerParams &params) {
    const std::int32_t width = params.width;
    const std::int32_t height = params.height;
    if (width <= 0 || height <= 0) return;
    const std::size_t pixelOffset = buffer[0] | (buffer[1] << 8);
    const int bpp = bytesPerPixel(params);
    const std::size_t srcStride = static_cast<std::size_t>(width) * bpp;
    const std::size_t dstStride = static_cast<std::size_t>(width);

    void (*convertRow)(const std::uint8_t *, std::uint8_t *, std::size_t) = convertRow2;
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

void convertFrame(const std::uint8_t *buffer, std::uint8_t *plane, const StabilizerParams &params,
                  const ConvertKernels &kernels) {
    const std::int32_t width = params.width;
    const std::int32_t height = params.height;
    if (width <= 0 || height <= 0) return;
    const std::size_t pixelOffset = buffer[0] | (buffer[1] << 8);
    const std::size_t dstStride = static_cast<std::size_t>(width);
    const std::size_t srcStride = dstStride * bytesPerPixel(params);
    const ConvertPixelsFn convert = kernelFor(params, kernels);
    const std::uint8_t *src = buffer + pixelOffset;

    const bool fields =
        params.fieldHandling != 0 && (params.fieldMode == 1 || params.fieldMode == 2);
    if (!fields || height == 1) {
        // Rows are packed in both the buffer and the plane: the frame is one
        // run, and the kernels see row tails only at its end.
        convert(src, plane, dstStride * static_cast<std::size_t>(height));
        return;
    }
    std::uint8_t *dst = plane;
    for (std::int32_t r = 0; r < height; ++r, src += srcStride, dst += dstStride) {
        if ((r & 1) == 0) convert(src, dst, dstStride);
        else if (params.fieldMode == 1) std::memset(dst, 0, dstStride);
        else std::memcpy(dst, dst - dstStride, dstStride);
    }
}

}  // namespace placidor::motion
