// How far the analysis reaches: the search range and the scale of the
// plane the engine measures on, for footage whose frame-to-frame steps
// exceed the default range (low frame rates, fast pans).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "phase_track.h"

namespace placidor::host {

struct Reach {
    int scale = 1;                  // the plane is the frame averaged down by this factor
    std::int32_t searchRange = 32;  // pixels of the plane
};

// The reach for steps of up to `largestStep` pixels of a width x height
// frame, measured over the whole frame: the smallest scale at which a
// range of the step plus a tenth and 2 pixels fits the engine's limit of
// 100, leaves a fifth of the plane's height and width to compare, and
// costs at most about 1.5e9 sample comparisons a frame (the engine's
// pruned search does far fewer).
Reach reachFor(double largestStep, int width, int height);

// The largest step the coarse tracker saw with some confidence, when at
// least two of its steps, or one in a hundred, exceed `reachable` pixels
// and the engine measured something else for the same frames (off by more
// than 4 pixels and a quarter of the step); otherwise 0: nothing suggests
// that the search range fell short. `engine` holds the engine's steps of
// the same frames (x, y), one for each of `steps`.
double stepBeyondReach(const std::vector<PhaseStep> &steps, const std::vector<PhaseStep> &engine,
                       double reachable);

// How many of `steps` (confident ones, beyond `reachable`) the engine
// measured otherwise, as stepBeyondReach counts them; with two or more,
// stepBeyondReach is the largest step whatever the steps that follow.
std::size_t stepsMissed(const std::vector<PhaseStep> &steps, const std::vector<PhaseStep> &engine,
                        double reachable);

// What the frames of a pair say of the tracker's step `tracker` and the
// engine's `engine` for them, when they differ (off by more than 4 pixels
// and a quarter of the tracker's step) and the tracker is confident.
enum class StepVerdict {
    agree,      // the same step, a step too faint to count, or not judged
    unknown,    // they differ, and the frames were not kept
    missed,     // beyond `reachable`, and the engine's step is no answer
    notMissed,  // beyond `reachable`, but the frames agree with the engine
    outvoted,   // within reach: the frames agree with the tracker
};
// `framesPreferTracker` tells whether the pair's frames agree better with
// the tracker's step than with the engine's; empty when they were not kept.
StepVerdict judgeStep(const PhaseStep &tracker, const PhaseStep &engine, double reachable,
                      const std::function<bool()> &framesPreferTracker);

// `steps` with those that `verdicts` (one for each of the first steps)
// call notMissed made faint: the frames refuted them.
std::vector<PhaseStep> withoutRefuted(std::vector<PhaseStep> steps,
                                      const std::vector<StepVerdict> &verdicts);

// The largest confident step among the first `count` of `steps`.
double largestConfidentStep(const std::vector<PhaseStep> &steps, std::size_t count);

}  // namespace placidor::host
