// Clamping the corrections to the crop limits, and the clip rectangles.
#pragma once

#include <cstdint>

#include "trajectory/records.h"

namespace placidor::trajectory {

struct ClampSettings {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t cropLimitLeft = 0;
    std::int32_t cropLimitTop = 0;
    std::int32_t cropLimitRight = 0;
    std::int32_t cropLimitBottom = 0;
};

// Clamps every record's correction into its range, writes every clip
// rectangle and returns maxClipError: the largest clamp adjustment rounded
// up to a whole pixel. width and height must be positive.
std::int32_t computeClipRects(FrameList &frames, const ClampSettings &settings);

}  // namespace placidor::trajectory
