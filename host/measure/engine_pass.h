// The engine's analysis pass driven with 8-bit planes: each frame handed
// over in the 2-byte pixel layout (the sample in the first byte), the
// picture's bottom row first so that the rectangles come back in ordinary
// top-down picture coordinates.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "placidor.h"
#include "plane_filter.h"

namespace placidor::host {

// Where the planes come from. Frames are asked for in increasing order.
struct PlaneFeed {
    // Whether frame `index` exists (waits for it); may throw.
    std::function<bool(std::int32_t index)> has;
    // Frame `index`'s plane, width * height bytes, top row first; may throw.
    std::function<std::vector<std::uint8_t>(std::int32_t index)> take;
    // Gives a taken plane's memory back (optional).
    std::function<void(std::vector<std::uint8_t> &&)> recycle;
    // Asked after each frame is handed over, with the displacements
    // measured so far (one per frame before it); true ends the pass there,
    // as the end of the clip would (optional).
    std::function<bool(const std::vector<std::int32_t> &dx, const std::vector<std::int32_t> &dy)>
        enough;
};

struct EnginePass {
    std::int32_t lastFrame = 0;  // the last analysed frame
    std::vector<std::int32_t> dx,
        dy;  // per analysed frame; the last one's is 0 (see readCameraPath)
};

// StabilizerInit for planes: sets the 2-byte layout and this module's
// callbacks, and returns the block as the engine normalised it. Throws
// std::runtime_error when the engine refuses the clip.
StabilizerParams initPlaneEngine(StabilizerParams params);

// The rectangle of the plane (top row first, right and bottom excluded)
// that the engine's searches can read with the normalised block; samples
// outside it never change a result.
PlaneRect engineReadRegion(const StabilizerParams &normalised);

// Runs StabilizerCalculate after initPlaneEngine; `progress` is told the
// number of every analysed frame after the first. A failure of the feed
// stops the pass and is rethrown. When every plane holds the same samples
// outside `changing` (empty: the whole plane), only that part is copied
// into a frame buffer that was filled before.
EnginePass runEnginePass(PlaneFeed &feed, std::function<void(std::int32_t)> progress,
                         PlaneRect changing = {});

}  // namespace placidor::host
