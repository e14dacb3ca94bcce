#include "trajectory/clip_rects.h"

#include <cmath>
#include <cstddef>

namespace placidor::trajectory {

namespace {

// Lower bound tested first: with lower > upper a value below lower becomes
// lower and every other one upper.
double clampCorrection(double &value, double lower, double upper) {
    const double before = value;
    if (value < lower) value = lower;
    else if (value > upper) value = upper;
    return std::fabs(before - value);
}

// A 32-bit difference taken as a double, without overflow.
double limitDifference(std::int32_t limit, std::int32_t size) {
    return static_cast<double>(static_cast<std::int64_t>(limit) - size);
}

}  // namespace

std::int32_t computeClipRects(FrameList &frames, const ClampSettings &s) {
    const std::size_t count = static_cast<std::size_t>(frames.count());
    const double lowerX = limitDifference(s.cropLimitRight, s.width);
    const double upperX = s.cropLimitLeft;
    const double lowerY = limitDifference(s.cropLimitBottom, s.height);
    const double upperY = s.cropLimitTop;

    double largestAdjustment = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        FrameRecord &r = frames[i];
        const double ax = clampCorrection(r.correctionX, lowerX, upperX);
        if (ax >= largestAdjustment) largestAdjustment = ax;
        const double ay = clampCorrection(r.correctionY, lowerY, upperY);
        if (ay >= largestAdjustment) largestAdjustment = ay;
    }

    double maxX = 0.0, minX = 0.0, maxY = 0.0, minY = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const FrameRecord &r = frames[i];
        if (r.correctionX >= maxX) maxX = r.correctionX;
        if (r.correctionX <= minX) minX = r.correctionX;
        if (r.correctionY >= maxY) maxY = r.correctionY;
        if (r.correctionY <= minY) minY = r.correctionY;
    }

    const double width = s.width;
    const double height = s.height;
    const double fractionX = (width - maxX + minX) / width;
    const double fractionY = (height - maxY + minY) / height;
    const double commonFraction = fractionX < fractionY ? fractionX : fractionY;
    const double marginX = width * std::fabs(fractionX - commonFraction) * 0.5;
    const double marginY = height * std::fabs(fractionY - commonFraction) * 0.5;

    for (std::size_t i = 0; i < count; ++i) {
        FrameRecord &r = frames[i];
        r.clipLeft = maxX - r.correctionX + marginX;
        r.clipRight = minX - r.correctionX + width - marginX;
        r.clipTop = maxY - r.correctionY + marginY;
        r.clipBottom = minY - r.correctionY + height - marginY;
    }

    // Round up to a whole pixel, saturating: the corrections are finite but
    // may lie far outside the 32-bit range after a host's extreme limits.
    const double truncated = std::trunc(largestAdjustment);
    double rounded = largestAdjustment > truncated ? truncated + 1.0 : truncated;
    if (rounded > 2147483647.0) rounded = 2147483647.0;
    return static_cast<std::int32_t>(rounded);
}

}  // namespace placidor::trajectory
