#include "camera_path.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace placidor::host {

namespace {

// Crop limits no correction reaches: nothing is clamped.
constexpr std::int32_t kUnlimited = 1 << 29;

StabilizerParams currentBlock() {
    StabilizerParams p{};
    StabilizerGetParameter(&p);
    return p;
}

std::vector<ClipRect> readRects(std::int32_t first, std::size_t n) {
    std::vector<ClipRect> rects(n);
    for (std::size_t i = 0; i < n; ++i)
        if (StabilizerGetClipRect(first + static_cast<std::int32_t>(i), &rects[i]) != NoError)
            throw std::runtime_error("the engine has no rectangle for an analysed frame");
    return rects;
}

std::vector<ClipRect> unclampedRects(StabilizerParams block, std::int32_t smoothX,
                                     std::int32_t smoothY, std::int32_t first, std::size_t n) {
    block.cropLimitLeft = kUnlimited;
    block.cropLimitRight = -kUnlimited;
    block.cropLimitTop = kUnlimited;
    block.cropLimitBottom = -kUnlimited;
    block.smoothTimeX = smoothX;
    block.smoothTimeY = smoothY;
    StabilizerChangeParameter(block);
    return readRects(first, n);
}

// The smallest smoothing time whose half-window is exactly `frames`, or 0.
std::int32_t smoothTimeFor(float frameRate, std::int32_t frames) {
    if (!(frameRate > 0)) return 0;
    const double guess = frames / (static_cast<double>(frameRate) * 0.0005);
    for (std::int64_t t = std::max<std::int64_t>(1, std::int64_t(guess) - 2);
         t <= std::int64_t(guess) + 3; ++t)
        if (t <= INT32_MAX && halfWindowFrames(frameRate, static_cast<std::int32_t>(t)) == frames)
            return static_cast<std::int32_t>(t);
    return 0;
}

// The triangular average that the smoothing starts the clip with: the
// first frame's correction, which pins the otherwise free constant of the
// corrections read back from the rectangles.
double firstAverage(const std::vector<std::int32_t> &d, std::int32_t h) {
    h = std::max(h, 1);
    double sum = 0.0, total = 0.0;
    for (std::int32_t j = 0; j < h && j < static_cast<std::int32_t>(d.size()); ++j) {
        sum += static_cast<double>(d[j]) * (h - j);
        total += h - j;
    }
    return sum / total;
}

}  // namespace

std::int32_t halfWindowFrames(float frameRate, std::int32_t smoothTimeMs) {
    const double h = static_cast<double>(frameRate) * smoothTimeMs * 0.0005;
    if (std::isnan(h)) return 0;
    if (h >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (h <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(h);
}

CameraPath readCameraPath(std::int32_t first, std::vector<std::int32_t> dx,
                          std::vector<std::int32_t> dy) {
    const std::size_t n = dx.size();
    CameraPath path;
    path.firstFrame = first;
    if (n == 0) return path;
    const StabilizerParams own = currentBlock();
    path.rects = readRects(first, n);
    path.maxClipError = StabilizerGetMaxClipRectErr();

    // The last frame's displacement reaches the host through no fetch; the
    // step between the last two unclamped corrections gives it away.
    // Without averaging that step is -d[n-1]; with a half-window of 2 it
    // is (d[n-2] - d[n-1]) / 3.
    dx[0] = dy[0] = 0;
    if (n >= 2) {
        const bool averaging = own.smoothingMode != 1;
        const std::int32_t t2 = averaging ? smoothTimeFor(own.frameRate, 2) : own.smoothTimeX;
        if (!averaging || t2 > 0) {
            const auto r = unclampedRects(own, t2, t2, first, n);
            // correction = constant - left (and - top): differences suffice.
            const double stepX = r[n - 2].left - r[n - 1].left;
            const double stepY = r[n - 2].top - r[n - 1].top;
            dx[n - 1] = static_cast<std::int32_t>(
                std::lround(averaging ? dx[n - 2] - 3.0 * stepX : -stepX));
            dy[n - 1] = static_cast<std::int32_t>(
                std::lround(averaging ? dy[n - 2] - 3.0 * stepY : -stepY));
        }
    }

    // The unclamped corrections at the engine's own smoothing, anchored at
    // the first frame's average.
    const auto u = unclampedRects(own, own.smoothTimeX, own.smoothTimeY, first, n);
    const std::int32_t hx = halfWindowFrames(own.frameRate, own.smoothTimeX);
    const std::int32_t hy = halfWindowFrames(own.frameRate, own.smoothTimeY);
    const bool averaging = own.smoothingMode != 1;
    const double anchorX = averaging ? firstAverage(dx, hx) : 0.0;
    const double anchorY = averaging ? firstAverage(dy, hy) : 0.0;

    StabilizerChangeParameter(own);  // back to the user's limits and smoothing

    const double lowX = static_cast<double>(own.cropLimitRight - own.width),
                 highX = own.cropLimitLeft;
    const double lowY = static_cast<double>(own.cropLimitBottom - own.height),
                 highY = own.cropLimitTop;
    const auto clamp = [](double v, double lo, double hi) {
        return v < lo ? lo : (v > hi ? hi : v);
    };
    double mx = 0.0, my = 0.0;
    path.dx = dx;
    path.dy = dy;
    for (std::size_t i = 0; i < n; ++i) {
        mx += dx[i];
        my += dy[i];
        const double cx = anchorX + (u[0].left - u[i].left);
        const double cy = anchorY + (u[0].top - u[i].top);
        const double kx = clamp(cx, lowX, highX), ky = clamp(cy, lowY, highY);
        path.measuredX.push_back(mx);
        path.measuredY.push_back(my);
        path.correctionX.push_back(cx);
        path.correctionY.push_back(cy);
        path.deliveredX.push_back(mx + kx);
        path.deliveredY.push_back(my + ky);
        path.clampedX.push_back(std::fabs(kx - cx) > 1e-9);
        path.clampedY.push_back(std::fabs(ky - cy) > 1e-9);
    }
    return path;
}

std::vector<Retuning> retune(std::int32_t first, const std::vector<std::int32_t> &smoothTimesMs) {
    const StabilizerParams own = currentBlock();
    std::vector<Retuning> results;
    for (std::int32_t t : smoothTimesMs) {
        StabilizerParams block = own;
        block.smoothTimeX = block.smoothTimeY = t;
        Retuning r{t, StabilizerChangeParameter(block), 0.0};
        ClipRect rect{};
        if (StabilizerGetClipRect(first, &rect) == NoError && own.width > 0)
            r.keptFraction = (rect.right - rect.left) / own.width;
        results.push_back(r);
    }
    StabilizerChangeParameter(own);
    return results;
}

double seriesShake(const std::vector<double> &values, double frameRate) {
    const std::size_t n = values.size();
    if (n < 3) return 0.0;
    const std::size_t k =
        std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(frameRate * 0.25)));
    double squares = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t lo = i >= k ? i - k : 0, hi = std::min(n - 1, i + k);
        double mean = 0;
        for (std::size_t j = lo; j <= hi; ++j) mean += values[j];
        mean /= double(hi - lo + 1);
        squares += (values[i] - mean) * (values[i] - mean);
    }
    return std::sqrt(squares / double(n));
}

Shake shakeOf(const CameraPath &path, double frameRate) {
    Shake s;
    s.x = seriesShake(path.measuredX, frameRate);
    s.y = seriesShake(path.measuredY, frameRate);
    s.total = std::hypot(s.x, s.y);
    return s;
}

}  // namespace placidor::host
