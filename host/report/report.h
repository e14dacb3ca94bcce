// Files written beside the video: the per-frame rectangles (CSV or JSON)
// and an SVG plot of the camera path.
#pragma once

#include <ostream>
#include <string>

#include "camera_path.h"

namespace placidor::host {

void writeRectsCsv(std::ostream &out, const CameraPath &path);
void writeRectsJson(std::ostream &out, const CameraPath &path, int width, int height,
                    double frameRate);
void writePlotSvg(std::ostream &out, const CameraPath &path, double frameRate);

// Writes `path` to `file`, choosing CSV or JSON by the extension; throws
// HostError when the file cannot be written.
// `file` names the format (.csv or .json); the bytes go to `writePath`
// when given (a temporary file), else to `file`.
void saveRects(const std::string &file, const CameraPath &path, int width, int height,
               double frameRate, const std::string &writePath = "");
void savePlot(const std::string &file, const CameraPath &path, double frameRate,
              const std::string &writePath = "");

}  // namespace placidor::host
