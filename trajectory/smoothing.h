// Smoothing of the measured camera path into per-frame corrections.
#pragma once

#include <cstdint>

#include "trajectory/records.h"

namespace placidor::trajectory {

struct SmoothingSettings {
    std::int32_t halfWindowX = 0;
    std::int32_t halfWindowY = 0;
    bool averaging = true;  // false: smoothingMode 1, every frame back to the start
};

// Writes correctionX/Y of the records at positions first..last (inclusive)
// of `frames` as one segment. A half-window below 1 acts as 1 (the average
// is the frame's own displacement). Linear in the segment's length.
void smoothSegment(FrameList &frames, std::int64_t first, std::int64_t last,
                   const SmoothingSettings &settings);

// The triangular-window loop written out directly, one weighted sum per
// frame; the reference smoothSegment is tested against.
void smoothSegmentDirect(FrameList &frames, std::int64_t first, std::int64_t last,
                         const SmoothingSettings &settings);

}  // namespace placidor::trajectory
