// Segmentation of the analysed clip into independently smoothed runs.
#pragma once

#include <cstdint>

#include "trajectory/records.h"

namespace placidor::trajectory {

// Appends the single segment firstFrame..lastAnalysedFrame to `segments`
// when `frames` holds any record; an empty analysis has no segment.
void buildSegments(SegmentList &segments, const FrameList &frames, std::int32_t firstFrame,
                   std::int32_t lastAnalysedFrame);

}  // namespace placidor::trajectory
