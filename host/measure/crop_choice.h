// The framing of an analysed clip: which smoothing time and crop limits
// the render uses. The engine re-corrects an analysed clip in about a
// millisecond, so the host tries a range of smoothing times, each free
// (no crop limit, nothing clamped) and held (the crop limit set at the
// target share of the frame), and keeps the steadiest framing that keeps
// at least the target share; where several are about as steady, the one
// that keeps the most. Steadiness is the high-frequency shake of the
// delivered path (pixels RMS, the path minus its 15-frame moving average).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "placidor.h"

namespace placidor::host {

struct FramingRequest {
    double target = 0.90;                          // share of the frame to keep, 0..1
    std::optional<std::int32_t> smoothX, smoothY;  // fixed by the user, ms
    bool cropFixed = false;                        // the user's crop limits hold
};

struct Framing {
    std::int32_t smoothX = 0, smoothY = 0;  // ms
    bool held = false;                      // crop limits cut the path short somewhere
    std::int32_t limitX = 0, limitY = 0;    // largest correction, pixels, when limited
    double kept = 0;                        // share of the frame's width kept
    double shake = 0;                       // of the delivered path, pixels RMS
    bool metTarget = false;
    int tried = 0;  // framings compared
};

// The smoothing times tried, ms.
const std::vector<std::int32_t> &framingTimes();

// Needs the engine right after an analysis of frames first..first+n-1
// whose summed displacements are measuredX, measuredY. Leaves the engine
// corrected with the chosen framing and returns it.
Framing chooseFraming(std::int32_t first, const std::vector<double> &measuredX,
                      const std::vector<double> &measuredY, const FramingRequest &request);

// The framing the engine holds now (smoothing, limits, kept share, shake).
Framing currentFraming(std::int32_t first, const std::vector<double> &measuredX,
                       const std::vector<double> &measuredY);

}  // namespace placidor::host
