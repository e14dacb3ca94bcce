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
    // `radius`: of each of the two box passes per axis, 1..7; together a
    // tent of 4 * radius + 1 taps, close to a Gaussian of sigma
    // sqrt(2 * radius * (radius + 1) / 3): 2.8 for 3, 4.5 for 5.
    // `wide`: with AVX2 where the processor has it (the same samples, in
    // less time); false keeps to the baseline instruction set.
    explicit HighPass(int radius = kDefaultRadius, bool wide = true);
    static bool wideAvailable();
    // Sigma 4.5: on the generated clips of the analysis tests it follows
    // low texture and motion blur better than 2.8, and as well as 6.1.
    static constexpr int kDefaultRadius = 5;
    int radius() const { return radius_; }

    // out (width * height bytes, rows packed, top first) gets, inside
    // `region`, 128 + (in - local mean) clamped to 0..255, the mean taken
    // with the frame's edges repeated; outside `region` it is left alone.
    void apply(const std::uint8_t *in, std::ptrdiff_t inStride, int width, int height,
               PlaneRect region, std::uint8_t *out);

private:
    int radius_;
    bool wide_;
    // One padded input row and its first box; the horizontal sums of the
    // last rows and the first vertical box's running sums (rings); the
    // second vertical box's running sums.
    std::vector<std::uint16_t> padded_, once_, rows_;
    std::vector<std::uint32_t> column1_, column2_;
};

// The same high-pass, computed directly from its definition in double
// precision over the whole plane; a reference for tests.
std::vector<std::uint8_t> highPassReference(const std::uint8_t *in, int width, int height,
                                            int radius = HighPass::kDefaultRadius);

// Box average of every scale x scale block: out holds (width / scale) x
// (height / scale) samples, packed; columns and rows past the last whole
// block are left out.
void downscalePlane(const std::uint8_t *in, std::ptrdiff_t inStride, int width, int height,
                    int scale, std::uint8_t *out);

}  // namespace placidor::host
