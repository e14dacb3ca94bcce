// An estimate of the camera's motion that shares nothing with the engine:
// the global translation between consecutive frames by phase correlation
// (the normalised cross-power spectrum of two windowed planes, its peak
// located to a fraction of a sample by a parabola per axis), on the luma
// averaged down to about 320 samples across. It sees the whole picture,
// weighs all frequencies alike, and has no search range. The transforms
// are libavutil's (av_tx), which has SIMD code for every x86 level.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/tx.h>
}

namespace placidor::host {

struct PhaseStep {
    double dx = 0, dy = 0;  // pixels of the frame: content moved right, down
    double peak = 0;        // height of the correlation peak, 0..1
};

class PhaseTracker {
public:
    // Frames of width x height; the working plane is the frame averaged
    // down by a whole factor to about `workWidth` samples across, and the
    // transform covers its centre in power-of-two sizes (at least 8 each
    // way: a smaller plane fills part of it, and nothing past the plane is
    // read).
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
    struct FreeWithAv {
        void operator()(Complex *p) const;
    };
    struct UninitTx {
        void operator()(AVTXContext *c) const;
    };
    // Aligned as av_tx wants its arrays.
    using Samples = std::unique_ptr<Complex[], FreeWithAv>;
    // One length and direction of the transform.
    struct Transform1d {
        std::unique_ptr<AVTXContext, UninitTx> context;
        av_tx_fn run = nullptr;
    };
    static Samples samples(std::size_t n);
    static Transform1d transform1d(int length, bool inverse);
    // The 2-D transform of sizeY_ rows of sizeX_ samples, out of place.
    // The spectrum is kept transposed (sizeX_ rows of sizeY_: row u holds
    // the frequencies (u, v) for every v), which the cross-power spectrum
    // does not mind; the inverse takes that layout and gives rows again.
    // `spatial` is overwritten by the forward transform.
    void forward(Complex *spatial, Complex *spectrum);
    void inverse(Complex *spectrum, Complex *spatial);
    // `rows` rows of `cols` samples of `in` along `first`, transposed back
    // into `in`, then its `cols` rows of `rows` samples along `second` into
    // `out`.
    void twoPasses(const Transform1d &first, const Transform1d &second, int rows, int cols,
                   Complex *in, Complex *out);

    int width_, height_, factor_;
    int sizeX_, sizeY_;  // transform size, powers of two
    int offsetX_, offsetY_;
    std::vector<float> window_;
    std::vector<std::uint8_t> small_;
    Samples input_, previous_, current_, scratch_;
    Transform1d forwardX_, forwardY_, inverseX_, inverseY_;
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
