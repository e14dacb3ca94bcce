#include "phase_track.h"

#include <algorithm>
#include <cmath>
#include <new>

extern "C" {
#include <libavutil/mem.h>
}

#include "plane_filter.h"

namespace placidor::host {

namespace {

constexpr double kPi = 3.14159265358979323846;

int powerOfTwoBelow(int n) {
    int p = 8;
    while (p * 2 <= n) p *= 2;
    return p;
}

// b (cols x rows, rows `cols` apart) = a (rows x cols) transposed, in
// tiles that stay in the cache.
void transpose(const std::complex<float> *a, std::complex<float> *b, int rows, int cols) {
    constexpr int kTile = 16;
    for (int y0 = 0; y0 < rows; y0 += kTile)
        for (int x0 = 0; x0 < cols; x0 += kTile)
            for (int y = y0; y < std::min(rows, y0 + kTile); ++y)
                for (int x = x0; x < std::min(cols, x0 + kTile); ++x)
                    b[std::size_t(x) * std::size_t(rows) + std::size_t(y)] =
                        a[std::size_t(y) * std::size_t(cols) + std::size_t(x)];
}

// Offset of a parabola's vertex through three samples around a peak.
double vertex(double before, double at, double after) {
    const double den = before - 2 * at + after;
    return den == 0 ? 0.0 : 0.5 * (before - after) / den;
}

}  // namespace

void PhaseTracker::FreeWithAv::operator()(Complex *p) const { av_free(p); }

void PhaseTracker::UninitTx::operator()(AVTXContext *c) const { av_tx_uninit(&c); }

PhaseTracker::Samples PhaseTracker::samples(std::size_t n) {
    auto *p = static_cast<Complex *>(av_malloc(n * sizeof(Complex)));
    if (!p) throw std::bad_alloc();
    return Samples(p);
}

PhaseTracker::Transform1d PhaseTracker::transform1d(int length, bool inverse) {
    Transform1d t;
    AVTXContext *context = nullptr;
    const float scale = 1.0f;
    if (av_tx_init(&context, &t.run, AV_TX_FLOAT_FFT, inverse ? 1 : 0, length, &scale, 0) < 0 ||
        !context)
        throw std::bad_alloc();
    t.context.reset(context);
    return t;
}

PhaseTracker::PhaseTracker(int width, int height, int workWidth) : width_(width), height_(height) {
    // No larger than the frame is high: the working plane keeps a row.
    factor_ = std::clamp(static_cast<int>(std::lround(double(width) / std::max(16, workWidth))), 1,
                         std::max(1, height));
    const int w = std::max(1, width / factor_), h = std::max(1, height / factor_);
    sizeX_ = powerOfTwoBelow(w);
    sizeY_ = powerOfTwoBelow(h);
    offsetX_ = std::max(0, (w - sizeX_) / 2);
    offsetY_ = std::max(0, (h - sizeY_) / 2);
    window_.resize(std::size_t(sizeX_) * sizeY_);
    for (int y = 0; y < sizeY_; ++y)
        for (int x = 0; x < sizeX_; ++x)
            window_[std::size_t(y) * sizeX_ + x] =
                float((0.5 - 0.5 * std::cos(2 * kPi * (y + 0.5) / sizeY_)) *
                      (0.5 - 0.5 * std::cos(2 * kPi * (x + 0.5) / sizeX_)));
    small_.resize(std::size_t(sizeX_) * sizeY_);
    input_ = samples(window_.size());
    previous_ = samples(window_.size());
    current_ = samples(window_.size());
    scratch_ = samples(window_.size());
    forwardX_ = transform1d(sizeX_, false);
    forwardY_ = transform1d(sizeY_, false);
    inverseX_ = transform1d(sizeX_, true);
    inverseY_ = transform1d(sizeY_, true);
}

void PhaseTracker::twoPasses(const Transform1d &first, const Transform1d &second, int rows,
                             int cols, Complex *in, Complex *out) {
    constexpr std::ptrdiff_t step = sizeof(Complex);
    Complex *const pass = scratch_.get();
    for (int y = 0; y < rows; ++y) {
        const std::size_t at = std::size_t(y) * std::size_t(cols);
        first.run(first.context.get(), pass + at, in + at, step);
    }
    transpose(pass, in, rows, cols);
    for (int x = 0; x < cols; ++x) {
        const std::size_t at = std::size_t(x) * std::size_t(rows);
        second.run(second.context.get(), out + at, in + at, step);
    }
}

void PhaseTracker::forward(Complex *spatial, Complex *spectrum) {
    twoPasses(forwardX_, forwardY_, sizeY_, sizeX_, spatial, spectrum);
}

void PhaseTracker::inverse(Complex *spectrum, Complex *spatial) {
    twoPasses(inverseY_, inverseX_, sizeX_, sizeY_, spectrum, spatial);
}

void PhaseTracker::add(const std::uint8_t *plane, std::ptrdiff_t stride) {
    if (stride == 0) stride = width_;
    // The transform's part of the working plane, sizeX_ x sizeY_ from
    // (offsetX_, offsetY_): only that part is averaged down. A plane
    // narrower or lower than the smallest transform fills it partly; the
    // rest is the mean, zero once the mean is taken off.
    const int cols = std::min(sizeX_, width_ / factor_), rows = std::min(sizeY_, height_ / factor_);
    std::ptrdiff_t w = stride;
    const std::uint8_t *src =
        plane + std::ptrdiff_t(offsetY_) * factor_ * stride + std::ptrdiff_t(offsetX_) * factor_;
    if (factor_ > 1) {
        downscalePlane(src, stride, cols * factor_, rows * factor_, factor_, small_.data());
        src = small_.data();
        w = cols;
    }
    double mean = 0;
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) mean += src[std::size_t(y) * w + x];
    mean /= double(cols) * rows;
    Complex *const in = input_.get();
    for (int y = 0; y < sizeY_; ++y)
        for (int x = 0; x < sizeX_; ++x) {
            const std::size_t i = std::size_t(y) * sizeX_ + x;
            const float v = x < cols && y < rows ? float(src[std::size_t(y) * w + x] - mean) : 0.0f;
            in[i] = Complex(v * window_[i], 0.0f);
        }
    forward(in, current_.get());
    if (havePrevious_) {
        // The normalised cross-power spectrum, in place of the input.
        const std::size_t n = window_.size();
        const Complex *now = current_.get(), *before = previous_.get();
        for (std::size_t i = 0; i < n; ++i) {
            const float a = now[i].real(), b = now[i].imag();
            const float c = before[i].real(), d = -before[i].imag();
            const float re = a * c - b * d, im = a * d + b * c;
            const float norm = 1.0f / (std::sqrt(re * re + im * im) + 1e-9f);
            in[i] = {re * norm, im * norm};
        }
        Complex *const correlation = previous_.get();  // no longer needed
        inverse(in, correlation);
        const float scale = 1.0f / float(n);
        std::size_t best = 0;
        for (std::size_t i = 1; i < n; ++i)
            if (correlation[i].real() > correlation[best].real()) best = i;
        const int bx = int(best % std::size_t(sizeX_)), by = int(best / std::size_t(sizeX_));
        const auto at = [&](int x, int y) {
            x = (x + sizeX_) % sizeX_;
            y = (y + sizeY_) % sizeY_;
            return double(correlation[std::size_t(y) * sizeX_ + x].real());
        };
        double dx = bx + vertex(at(bx - 1, by), at(bx, by), at(bx + 1, by));
        double dy = by + vertex(at(bx, by - 1), at(bx, by), at(bx, by + 1));
        if (dx > sizeX_ / 2.0) dx -= sizeX_;
        if (dy > sizeY_ / 2.0) dy -= sizeY_;
        steps_.push_back({dx * factor_, dy * factor_, at(bx, by) * scale});
    }
    std::swap(previous_, current_);
    havePrevious_ = true;
}

std::vector<double> highFrequency(const std::vector<double> &path, int span) {
    const int n = static_cast<int>(path.size()), half = span / 2;
    std::vector<double> out(path.size());
    for (int i = 0; i < n; ++i) {
        double sum = 0;
        for (int k = -half; k <= half; ++k) sum += path[std::size_t(std::clamp(i + k, 0, n - 1))];
        out[std::size_t(i)] = path[std::size_t(i)] - sum / (2 * half + 1);
    }
    return out;
}

double highFrequencyRms(const std::vector<double> &path, int span) {
    const std::vector<double> hf = highFrequency(path, span);
    const std::size_t half = std::size_t(span / 2);
    const std::size_t from = hf.size() > std::size_t(span) ? half : 0, to = hf.size() - from;
    double squares = 0;
    for (std::size_t i = from; i < to; ++i) squares += hf[i] * hf[i];
    return to > from ? std::sqrt(squares / double(to - from)) : 0.0;
}

ShakeFigure shakeOfSteps(const std::vector<double> &dx, const std::vector<double> &dy, int span) {
    ShakeFigure s;
    const auto rms = [&](const std::vector<double> &steps) {
        std::vector<double> path(steps.size() + 1, 0.0);
        for (std::size_t i = 0; i < steps.size(); ++i) path[i + 1] = path[i] + steps[i];
        return highFrequencyRms(path, span);
    };
    s.x = rms(dx);
    s.y = rms(dy);
    s.total = std::hypot(s.x, s.y);
    return s;
}

}  // namespace placidor::host
