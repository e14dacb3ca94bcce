// The analysis pass as this host runs it: frames decoded ahead in a
// thread and turned into the measurement plane (decoded luma or the chosen
// channel, high-passed unless asked not to), served to StabilizerCalculate
// in the engine's 2-byte layout, bottom row first; progress reported,
// Ctrl-C mapped to Escape.
//
// Reach: while the engine measures, an independent coarse tracker (phase
// correlation on a small plane, measure/phase_track.h) follows the motion
// on a sample of frame pairs. When it saw steps that the search range
// cannot reach, the engine measured those frames otherwise, and the user
// did not choose the range, the clip is
// analysed again with a range sized from those steps over the whole frame,
// on a plane averaged down by the smallest whole factor that keeps the
// search affordable.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "input/frame_source.h"
#include "input/input.h"
#include "measure/crop_choice.h"
#include "measure/reach.h"
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
    CameraPath path;                 // rectangles, displacements, paths (pixels of the frame)
    int scale = 1;                   // the plane the engine measured was frame / scale
    std::int32_t searchRange = 0;    // as the engine used it, pixels of its plane
    bool widened = false;            // analysed again with a wider reach
    bool wideWhileDecoding = false;  // ... while the first pass still decoded
    // Analysed again over the whole frame at the same reach: on
    // framesOutvoted of the tracker's pairs the frames agreed with its
    // step over the whole picture rather than with the engine's in the
    // default window (moving content filled it).
    bool wholeFrameAgain = false;
    std::size_t framesOutvoted = 0;
    // Steps of the tracker beyond the reach that the frames refuted.
    std::size_t stepsRefuted = 0;
    double largestCoarseStep = 0;                // the coarse tracker's, pixels of the frame
    std::vector<std::int32_t> planeDx, planeDy;  // the engine's displacements, pixels of its plane
    double scaleX = 1, scaleY = 1;               // frame pixels per plane pixel
};

// Ways the analysis saves work without changing its outcome; all on by
// default (the tests turn them off to compare).
struct AnalysisShortcuts {
    // The first pass's engine stops once the tracker has made a wider pass
    // certain; the decoding goes on for the tracker alone.
    bool cutFirstPass = true;
    // The first pass keeps the decoded planes, up to this many bytes, so
    // that the wider pass need not decode the file again (0: never).
    std::size_t planeStoreBudget = defaultPlaneStoreBudget();
    // With both: once the first pass's engine stopped, the wider pass runs
    // over the kept planes while the decoding goes on.
    bool widePassAhead = true;
    // The first planes, up to this many bytes, are kept whatever the steps
    // say; past it, only from the first step in doubt on, and the wider
    // pass decodes the frames before it again. A wider pass is most often
    // called for early on; most clips need none, and fresh memory is dear.
    std::size_t planeStoreTrial = std::size_t(64) << 20;
};

// Runs the pass over `file`. The engine keeps the analysis afterwards
// (retune works on it) until StabilizerFree. Throws HostError.
Analysis analyse(const std::string &file, const Options &options, Progress &progress,
                 const AnalysisShortcuts &shortcuts = {});

// Chooses the framing (smoothing time, crop limits) by the options: the
// automatic choice for what the user left open (measure/crop_choice.h),
// then reads the path again. Returns what was chosen.
Framing frameClip(Analysis &analysis, const Options &options);

// The shake of `file` by the independent estimator alone (phase
// correlation on the luma at about 320 samples across, sub-pixel peak):
// the path's distance from its 15-frame moving average, RMS.
struct IndependentShake {
    std::int64_t frames = 0;
    int width = 0, height = 0;
    ShakeFigure shake;
    std::vector<PhaseStep> steps;
};
IndependentShake measureIndependently(const std::string &file, const Options &options,
                                      Progress &progress);

// Set from the SIGINT handler; the analysis treats the first press as
// Escape.
extern std::atomic<int> userInterrupts;

}  // namespace placidor::host
