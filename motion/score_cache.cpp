#include "motion/score_cache.h"

#include <algorithm>
#include <limits>
#include <new>

namespace placidor::motion {

bool ScoreCache::allocate(std::int32_t width, std::int32_t height, std::int32_t searchRange) {
    release();
    if (width <= 0 || height <= 0) return false;
    const std::uint64_t columns = std::uint64_t(width) + 1;
    const std::uint64_t rows = std::uint64_t(height) + 1;
    const std::uint64_t limit = std::numeric_limits<std::size_t>::max() / sizeof(double);
    if (columns > limit / rows) return false;
    entries_.reset(new (std::nothrow) double[static_cast<std::size_t>(columns * rows)]);
    if (!entries_) return false;
    width_ = width;
    height_ = height;
    halfWidth_ = width / 2;
    halfHeight_ = height / 2;
    stride_ = static_cast<std::size_t>(columns);
    if (searchRange >= 0) {
        reachLow_ = -(searchRange + 1 + searchRange / 2);
        reachHigh_ = searchRange;
    } else {
        reachLow_ = 0;
        reachHigh_ = -1;
    }
    return true;
}

void ScoreCache::release() {
    entries_.reset();
    width_ = height_ = halfWidth_ = halfHeight_ = 0;
    stride_ = 0;
    reachLow_ = 0;
    reachHigh_ = -1;
}

void ScoreCache::clear() {
    if (!entries_ || reachLow_ > reachHigh_) return;
    const std::int32_t x0 = std::max(reachLow_, -halfWidth_);
    const std::int32_t x1 = std::min(reachHigh_, width_ - halfWidth_);
    const std::int32_t y0 = std::max(reachLow_, -halfHeight_);
    const std::int32_t y1 = std::min(reachHigh_, height_ - halfHeight_);
    if (x0 > x1 || y0 > y1) return;
    for (std::int32_t dy = y0; dy <= y1; ++dy) std::fill_n(&entry(x0, dy), x1 - x0 + 1, 0.0);
}

}  // namespace placidor::motion
