#include "api/params.h"

#include <algorithm>
#include <cmath>

namespace placidor::api {

namespace {

std::int32_t narrow(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

}  // namespace

void normalise(StabilizerParams &p) {
    const std::int64_t width = p.width;
    const std::int64_t height = p.height;

    if (p.cropLimitLeft == p.cropLimitRight) p.cropLimitLeft = p.cropLimitRight = narrow(width / 2);
    if (p.cropLimitTop == p.cropLimitBottom)
        p.cropLimitTop = p.cropLimitBottom = narrow(height / 2);
    p.cropLimitLeft = std::max(p.cropLimitLeft, 0);
    p.cropLimitTop = std::max(p.cropLimitTop, 0);
    p.cropLimitRight = narrow(std::min<std::int64_t>(p.cropLimitRight, width));
    p.cropLimitBottom = narrow(std::min<std::int64_t>(p.cropLimitBottom, height));

    if (p.measureLeft == p.measureRight) {
        p.measureLeft = narrow(width / 4);
        p.measureRight = narrow(3 * width / 4);
    }
    if (p.measureTop == p.measureBottom) {
        p.measureTop = narrow(height / 4);
        p.measureBottom = narrow(3 * height / 4);
    }
    p.measureLeft = std::max(p.measureLeft, 0);
    p.measureTop = std::max(p.measureTop, 0);
    p.measureRight = narrow(std::min<std::int64_t>(p.measureRight, width));
    p.measureBottom = narrow(std::min<std::int64_t>(p.measureBottom, height));

    std::int64_t range = std::clamp(p.searchRange, 1, 100);
    range = std::min({range, (std::int64_t{p.measureBottom} - p.measureTop) / 2,
                      (std::int64_t{p.measureRight} - p.measureLeft) / 2});
    p.searchRange = narrow(range);

    p.measureLeft = narrow(std::max<std::int64_t>(p.measureLeft, range));
    p.measureRight = narrow(std::min<std::int64_t>(p.measureRight, width - range));
    p.measureTop = narrow(std::max<std::int64_t>(p.measureTop, range));
    p.measureBottom = narrow(std::min<std::int64_t>(p.measureBottom, height - range));

    if (p.smoothTimeY == 0) p.smoothTimeY = p.smoothTimeX;
}

std::int32_t halfWindow(float frameRate, std::int32_t smoothTimeMs) {
    const double frames = static_cast<double>(frameRate) * smoothTimeMs * 0.0005;
    if (std::isnan(frames)) return 0;
    if (frames >= 2147483647.0) return INT32_MAX;
    if (frames <= -2147483648.0) return INT32_MIN;
    return static_cast<std::int32_t>(frames);
}

}  // namespace placidor::api
