// The analysis pass as this host runs it: frames decoded ahead in a
// thread, served to StabilizerCalculate in the engine's buffer layout
// (bottom row first), progress reported, Ctrl-C mapped to Escape.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "input/input.h"
#include "options.h"
#include "progress.h"
#include "report/camera_path.h"

namespace placidor::host {

struct Analysis {
    VideoInfo info;
    float frameRate = 0;
    std::int32_t firstFrame = 0, lastFrame = 0;  // analysed frames, both included
    bool stoppedEarly = false;                   // by the user (Ctrl-C)
    double framesPerSecond = 0;
    CameraPath path;                             // rectangles, displacements, paths
};

// Runs the pass over `file`. The engine keeps the analysis afterwards
// (retune works on it) until StabilizerFree. Throws HostError.
Analysis analyse(const std::string &file, const Options &options, Progress &progress);


// Set from the SIGINT handler; the analysis treats the first press as
// Escape.
extern std::atomic<int> userInterrupts;

}  // namespace placidor::host
