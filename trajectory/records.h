// The per-frame and per-segment records kept by the engine.
#pragma once

#include <cstdint>

#include "trajectory/record_list.h"

namespace placidor::trajectory {

struct FrameRecord {
    std::int32_t frame = 0;
    double score = 0.0;
    std::int32_t dx = 0;
    std::int32_t dy = 0;
    double correctionX = 0.0;
    double correctionY = 0.0;
    double clipLeft = 0.0;
    double clipTop = 0.0;
    double clipRight = 0.0;
    double clipBottom = 0.0;
};

struct SegmentRecord {
    std::int32_t firstFrame = 0;
    std::int32_t lastFrame = 0;
};

using FrameList = RecordList<FrameRecord>;
using SegmentList = RecordList<SegmentRecord>;

}  // namespace placidor::trajectory
