#include "step_check.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "plane_filter.h"

namespace placidor::host {

StepCheck::StepCheck(int width, int height, bool highPass, std::size_t maxPairs, int workWidth)
    : width_(width), height_(height), highPass_(highPass), maxPairs_(maxPairs) {
    factor_ = std::max(1, static_cast<int>(std::lround(double(width) / std::max(16, workWidth))));
    w_ = std::max(1, width / factor_);
    h_ = std::max(1, height / factor_);
}

void StepCheck::shrink(const std::uint8_t *plane, std::ptrdiff_t stride,
                       std::vector<std::uint8_t> &out) {
    out.resize(std::size_t(w_) * std::size_t(h_));
    if (factor_ > 1) {
        downscalePlane(plane, stride, width_, height_, factor_, out.data());
        return;
    }
    for (int y = 0; y < h_; ++y)
        std::memcpy(out.data() + std::size_t(y) * w_, plane + y * stride, std::size_t(w_));
}

void StepCheck::first(const std::uint8_t *plane, std::ptrdiff_t stride) {
    if (pairs_.size() >= maxPairs_) return;
    shrink(plane, stride, pending_);
    havePending_ = true;
}

bool StepCheck::second(std::size_t pair, const std::uint8_t *plane, std::ptrdiff_t stride) {
    if (!havePending_ || pairs_.size() >= maxPairs_) return false;
    havePending_ = false;
    Pair &p = pairs_[pair];
    p.a = std::move(pending_);
    pending_ = {};
    shrink(plane, stride, p.b);
    return true;
}

namespace {

// Sum of absolute differences of a's columns x0..x1-1, rows y0..y1-1,
// against b's moved by (sx, sy); both planes `width` samples across.
std::uint64_t sad(const std::uint8_t *a, const std::uint8_t *b, long width, long x0, long x1,
                  long y0, long y1, long sx, long sy) {
    std::uint64_t sum = 0;
    for (long y = y0; y < y1; ++y) {
        const std::uint8_t *ra = a + y * width, *rb = b + (y + sy) * width + sx;
        std::uint32_t row = 0;
        for (long x = x0; x < x1; ++x) row += std::uint32_t(std::abs(int(ra[x]) - int(rb[x])));
        sum += row;
    }
    return sum;
}

}  // namespace

double StepCheck::misfit(std::size_t pair, double dx, double dy) const {
    const auto found = pairs_.find(pair);
    if (found == pairs_.end()) return std::numeric_limits<double>::infinity();
    const long sx = std::lround(dx / factor_), sy = std::lround(dy / factor_);
    // Overlap in the first frame's coordinates: sample (x, y) of the first
    // against (x + sx, y + sy) of the second.
    const long left = std::max(0L, -sx), right = std::min<long>(w_, w_ - sx);
    const long top = std::max(0L, -sy), bottom = std::min<long>(h_, h_ - sy);
    if (4 * (right - left) < w_ || 4 * (bottom - top) < h_)
        return std::numeric_limits<double>::infinity();
    const std::uint8_t *a = found->second.a.data(), *b = found->second.b.data();
    const std::uint64_t sum = sad(a, b, w_, left, right, top, bottom, sx, sy);
    return double(sum) / (double(right - left) * double(bottom - top));
}

bool StepCheck::prefers(std::size_t pair, double tdx, double tdy, double edx, double edy) {
    const auto found = pairs_.find(pair);
    if (found == pairs_.end()) return true;
    if (highPass_ && !found->second.filtered) {
        // Large flat areas (a moving shape, the sky) would otherwise
        // outweigh fine texture.
        HighPass filter;
        const PlaneRect all{0, 0, w_, h_};
        std::vector<std::uint8_t> out(found->second.a.size());
        for (std::vector<std::uint8_t> *plane : {&found->second.a, &found->second.b}) {
            filter.apply(plane->data(), w_, w_, h_, all, out.data());
            plane->swap(out);
        }
        found->second.filtered = true;
    }
    return misfit(pair, tdx, tdy) < misfit(pair, edx, edy);
}

}  // namespace placidor::host
