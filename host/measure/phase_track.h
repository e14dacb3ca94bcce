// An estimate of the camera's motion that shares nothing with the engine:
// the global translation between consecutive frames by phase correlation
// (the normalised cross-power spectrum of two windowed planes, its peak
// located to a fraction of a sample by a parabola per axis), on the luma
// averaged down to about 320 samples across. It sees the whole picture,
// weighs all frequencies alike, and has no search range.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace placidor::host {

struct PhaseStep {
    double dx = 0, dy = 0;  // pixels of the frame: content moved right, down
    double peak = 0;        // height of the correlation peak, 0..1
};

class PhaseTracker {
public:
    // Frames of width x height; the working plane is the frame averaged
    // down by a whole factor to about `workWidth` samples across, and the
    // transform covers its centre in power-of-two sizes.
    PhaseTracker(int width, int height, int workWidth = 320);

    // The next frame's luma, width * height bytes, top row first, rows
    // `stride` bytes apart (0: packed). From the second frame on, the step
    // from the previous frame is kept.
    void add(const std::uint8_t *plane, std::ptrdiff_t stride = 0);
    // The next add starts a new chain (no step to the frame before).
    void restart() { havePrevious_ = false; }

    const std::vector<PhaseStep> &steps() const { return steps_; }
    int factor() const { return factor_; }

private:
    using Complex = std::complex<float>;
    void transform(std::vector<Complex> &data, bool inverse);

    int width_, height_, factor_;
    int sizeX_, sizeY_;  // transform size, powers of two
    int offsetX_, offsetY_;
    std::vector<float> window_;
    std::vector<std::uint8_t> small_;
    std::vector<Complex> previous_, current_, column_;
    std::vector<Complex> twiddleX_, twiddleY_;
    bool havePrevious_ = false;
    std::vector<PhaseStep> steps_;
};

// Shake of the path traced by `steps`: the RMS distance of the summed path
// from its centred moving average of `span` frames, in pixels, per axis and
// combined; over the frames whose average is complete when the path is
// longer than `span` (so that a steady pan has none).
struct ShakeFigure {
    double x = 0, y = 0, total = 0;
};
ShakeFigure shakeOfSteps(const std::vector<double> &dx, const std::vector<double> &dy,
                         int span = 15);

// The high-frequency part of a path: each value minus the centred moving
// average of `span` values around it, the ends repeated.
std::vector<double> highFrequency(const std::vector<double> &path, int span = 15);
// Its root mean square, over the values whose average needs no repeated
// end when there are more than `span` values, else over all.
double highFrequencyRms(const std::vector<double> &path, int span = 15);

}  // namespace placidor::host
