// Files written beside the video: the per-frame rectangles (CSV or JSON)
// and an SVG plot of the camera path.
#pragma once

#include <ostream>
#include <string>

#include "camera_path.h"

namespace placidor::host {

void writeRectsCsv(std::ostream &out, const CameraPath &path);
void writeRectsJson(std::ostream &out, const CameraPath &path, int width, int height, double frameRate);
void writePlotSvg(std::ostream &out, const CameraPath &path, double frameRate);

// Writes `path` to `file`, choosing CSV or JSON by the extension; throws
// HostError when the file cannot be written.
void saveRects(const std::string &file, const CameraPath &path, int width, int height, double frameRate);
void savePlot(const std::string &file, const CameraPath &path, double frameRate);

}  // namespace placidor::host
