#include "phase_track.h"

#include <algorithm>
#include <cmath>

#include "plane_filter.h"

namespace placidor::host {

namespace {

constexpr double kPi = 3.14159265358979323846;

int powerOfTwoBelow(int n) {
    int p = 8;
    while (p * 2 <= n) p *= 2;
    return p;
}

std::vector<std::complex<float>> twiddles(int n) {
    std::vector<std::complex<float>> t(std::size_t(n / 2));
    for (int k = 0; k < n / 2; ++k) t[std::size_t(k)] = std::polar(1.0f, float(-2.0 * kPi * k / n));
    return t;
}

// In-place radix-2 transform of n points spaced `stride` apart.
void fft(std::complex<float> *a, int n, const std::vector<std::complex<float>> &tw, bool inverse) {
    for (int i = 1, j = 0; i < n; ++i) {
        int bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (int len = 2; len <= n; len <<= 1) {
        const int step = n / len;
        for (int i = 0; i < n; i += len)
            for (int k = 0; k < len / 2; ++k) {
                // Written out: std::complex's operator* checks for
                // infinities and is several times slower.
                const float wr = tw[std::size_t(k * step)].real();
                const float wi =
                    inverse ? -tw[std::size_t(k * step)].imag() : tw[std::size_t(k * step)].imag();
                const std::complex<float> u = a[i + k], x = a[i + k + len / 2];
                const float vr = x.real() * wr - x.imag() * wi, vi = x.real() * wi + x.imag() * wr;
                a[i + k] = {u.real() + vr, u.imag() + vi};
                a[i + k + len / 2] = {u.real() - vr, u.imag() - vi};
            }
    }
}

// Offset of a parabola's vertex through three samples around a peak.
double vertex(double before, double at, double after) {
    const double den = before - 2 * at + after;
    return den == 0 ? 0.0 : 0.5 * (before - after) / den;
}

}  // namespace

PhaseTracker::PhaseTracker(int width, int height, int workWidth) : width_(width), height_(height) {
    factor_ = std::max(1, static_cast<int>(std::lround(double(width) / std::max(16, workWidth))));
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
    small_.resize(std::size_t(w) * h);
    previous_.resize(window_.size());
    current_.resize(window_.size());
    column_.resize(std::size_t(sizeY_));
    twiddleX_ = twiddles(sizeX_);
    twiddleY_ = twiddles(sizeY_);
}

void PhaseTracker::transform(std::vector<Complex> &data, bool inverse) {
    for (int y = 0; y < sizeY_; ++y)
        fft(data.data() + std::size_t(y) * sizeX_, sizeX_, twiddleX_, inverse);
    for (int x = 0; x < sizeX_; ++x) {
        for (int y = 0; y < sizeY_; ++y)
            column_[std::size_t(y)] = data[std::size_t(y) * sizeX_ + x];
        fft(column_.data(), sizeY_, twiddleY_, inverse);
        for (int y = 0; y < sizeY_; ++y)
            data[std::size_t(y) * sizeX_ + x] = column_[std::size_t(y)];
    }
}

void PhaseTracker::add(const std::uint8_t *plane, std::ptrdiff_t stride) {
    if (stride == 0) stride = width_;
    std::ptrdiff_t w = stride;
    const std::uint8_t *src = plane;
    if (factor_ > 1) {
        downscalePlane(plane, stride, width_, height_, factor_, small_.data());
        src = small_.data();
        w = width_ / factor_;
    }
    double mean = 0;
    for (int y = 0; y < sizeY_; ++y)
        for (int x = 0; x < sizeX_; ++x) mean += src[std::size_t(y + offsetY_) * w + x + offsetX_];
    mean /= double(sizeX_) * sizeY_;
    for (int y = 0; y < sizeY_; ++y)
        for (int x = 0; x < sizeX_; ++x) {
            const std::size_t i = std::size_t(y) * sizeX_ + x;
            current_[i] = Complex(
                float(src[std::size_t(y + offsetY_) * w + x + offsetX_] - mean) * window_[i], 0.0f);
        }
    transform(current_, false);
    if (havePrevious_) {
        std::vector<Complex> cross(current_.size());
        for (std::size_t i = 0; i < cross.size(); ++i) {
            const float a = current_[i].real(), b = current_[i].imag();
            const float c = previous_[i].real(), d = -previous_[i].imag();
            const float re = a * c - b * d, im = a * d + b * c;
            const float norm = 1.0f / (std::sqrt(re * re + im * im) + 1e-9f);
            cross[i] = {re * norm, im * norm};
        }
        transform(cross, true);
        const float scale = 1.0f / float(cross.size());
        std::size_t best = 0;
        for (std::size_t i = 1; i < cross.size(); ++i)
            if (cross[i].real() > cross[best].real()) best = i;
        const int bx = int(best % std::size_t(sizeX_)), by = int(best / std::size_t(sizeX_));
        const auto at = [&](int x, int y) {
            x = (x + sizeX_) % sizeX_;
            y = (y + sizeY_) % sizeY_;
            return double(cross[std::size_t(y) * sizeX_ + x].real());
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
