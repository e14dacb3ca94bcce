// What the analysis hands the engine: one 8-bit plane per frame, and the
// measurement prefilter that takes the local brightness out of it.
//
// The engine's match score counts only the samples of the current frame
// that are brighter than their reference: a candidate that lays dark ground
// over bright sky scores almost perfectly. On the high-passed plane no
// region is systematically brighter than another, and a drift of the
// exposure between frames cancels out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace placidor::host {

// Columns left..right-1, rows top..bottom-1, of a plane, top row first.
struct PlaneRect {
    int left = 0, top = 0, right = 0, bottom = 0;
};

class HighPass {
public:
    // Radius of each of the two box passes per axis: together a tent of
    // 13 taps, close to a Gaussian of sigma 2.8.
    static constexpr int kRadius = 3;
    // The widest a sample's neighbourhood reaches: 2 * kRadius.
    static constexpr int kReach = 2 * kRadius;

    // out (width * height bytes, rows packed, top first) gets, inside
    // `region`, 128 + (in - local mean) clamped to 0..255, the mean taken
    // with the frame's edges repeated; outside `region` it gets 128.
    void apply(const std::uint8_t *in, std::ptrdiff_t inStride, int width, int height, PlaneRect region,
               std::uint8_t *out);

private:
    std::vector<std::uint16_t> padded_, rows_;  // one padded input row; horizontal sums per row
    std::vector<std::uint32_t> column1_, column2_;
    std::vector<float> mean_;
};

// The same high-pass, computed directly from its definition in double
// precision over the whole plane; a reference for tests.
std::vector<std::uint8_t> highPassReference(const std::uint8_t *in, int width, int height);

// Box average of every scale x scale block: out holds (width / scale) x
// (height / scale) samples, packed; columns and rows past the last whole
// block are left out.
void downscalePlane(const std::uint8_t *in, std::ptrdiff_t inStride, int width, int height, int scale,
                    std::uint8_t *out);

}  // namespace placidor::host
