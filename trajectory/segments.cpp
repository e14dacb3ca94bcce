#include "trajectory/segments.h"

#include <memory>
#include <new>

namespace placidor::trajectory {

void buildSegments(SegmentList &segments, const FrameList &frames, std::int32_t firstFrame,
                   std::int32_t lastAnalysedFrame) {
    if (frames.count() == 0) return;
    std::unique_ptr<SegmentRecord> segment(new (std::nothrow) SegmentRecord);
    if (!segment) return;
    segment->firstFrame = firstFrame;
    segment->lastFrame = lastAnalysedFrame;
    segments.append(std::move(segment));
}

}  // namespace placidor::trajectory
