// The correction behind StabilizerCorrect and StabilizerChangeParameter:
// smooth every segment, then clamp and place the clip rectangles.
#include "api/engine.h"
#include "trajectory/clip_rects.h"
#include "trajectory/smoothing.h"

namespace placidor::api {

std::int32_t runCorrection(Engine &e, void *userData) {
    e.state = Corrected;
    e.params.userData = userData;
    const trajectory::SmoothingSettings smoothing{e.halfWindowX, e.halfWindowY,
                                                  e.params.smoothingMode != 1};
    const std::int64_t firstFrame = e.params.firstFrame;
    for (auto *segment = e.segments.first(); segment; segment = e.segments.next()) {
        trajectory::smoothSegment(e.frames, segment->firstFrame - firstFrame,
                                  segment->lastFrame - firstFrame, smoothing);
    }
    const trajectory::ClampSettings clamp{e.params.width,          e.params.height,
                                          e.params.cropLimitLeft,  e.params.cropLimitTop,
                                          e.params.cropLimitRight, e.params.cropLimitBottom};
    e.maxClipError = trajectory::computeClipRects(e.frames, clamp);
    return e.maxClipError;
}

}  // namespace placidor::api
