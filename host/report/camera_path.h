// The camera path of an analysed clip, read back through the public
// interface: every frame's displacement, the measured path, the smoothed
// path the engine aims for, and the path it delivers once the crop limits
// have cut the corrections short.
#pragma once

#include <cstdint>
#include <vector>

#include "placidor.h"

namespace placidor::host {

struct CameraPath {
    std::int32_t firstFrame = 0;
    std::vector<std::int32_t> dx, dy;              // against the reference frame
    std::vector<double> measuredX, measuredY;      // sum of dx, dy from the first frame
    std::vector<double> correctionX, correctionY;  // unclamped, smoothed - measured
    std::vector<double> deliveredX, deliveredY;    // measured + clamped correction
    std::vector<bool> clampedX, clampedY;          // the crop limit cut the correction
    std::vector<ClipRect> rects;                   // as the engine delivers them
    std::int32_t maxClipError = 0;
};

// Needs the engine right after an analysis of frames first..first+n-1.
// `dx`/`dy` hold the displacements the fetch callback was told (prevDx,
// prevDy) for all frames but the last, whose value is recovered here from
// a re-correction. The engine is left with its own parameters again.
CameraPath readCameraPath(std::int32_t first, std::vector<std::int32_t> dx,
                          std::vector<std::int32_t> dy);

struct Retuning {
    std::int32_t smoothTimeMs;
    std::int32_t maxClipError;
    double keptFraction;  // the crop rectangle's width over the frame's
};

// Corrects the analysed clip again for each smoothing time, without a new
// analysis, and restores the engine's own parameters afterwards.
std::vector<Retuning> retune(std::int32_t first, const std::vector<std::int32_t> &smoothTimesMs);

// High-frequency part of the measured path: its distance from a centred
// moving average a half-second wide, as a root mean square in pixels.
struct Shake {
    double x = 0, y = 0, total = 0;
};
Shake shakeOf(const CameraPath &path, double frameRate);
double seriesShake(const std::vector<double> &values, double frameRate);

// Smoothing half-window in frames, as the engine derives it.
std::int32_t halfWindowFrames(float frameRate, std::int32_t smoothTimeMs);

}  // namespace placidor::host
