#include "reach.h"

#include <algorithm>
#include <cmath>

namespace placidor::host {

namespace {

// Peaks below this are noise rather than a match.
constexpr double kConfidentPeak = 0.04;

}  // namespace

Reach reachFor(double largestStep, int width, int height) {
    const double need = largestStep * 1.1 + 2.0;
    Reach r;
    for (int scale = 1;; ++scale) {
        const int w = width / scale, h = height / scale;
        const auto range = static_cast<std::int32_t>(std::ceil(need / scale));
        const double compared = double(w - 2 * range) * double(h - 2 * range);
        const double cost = double(2 * range + 1) * double(2 * range + 1) * compared;
        const bool fits =
            range <= 100 && 2 * range <= 0.8 * h && 2 * range <= 0.8 * w && cost <= 1.5e9;
        if (fits || w < 32 || h < 32) {
            r.scale = scale;
            r.searchRange = std::clamp<std::int32_t>(range, 1, 100);
            return r;
        }
    }
}

std::size_t stepsMissed(const std::vector<PhaseStep> &steps, const std::vector<PhaseStep> &engine,
                        double reachable) {
    std::size_t missed = 0;
    for (std::size_t i = 0; i < steps.size() && i < engine.size(); ++i) {
        const PhaseStep &s = steps[i];
        if (s.peak < kConfidentPeak) continue;
        const double step = std::max(std::fabs(s.dx), std::fabs(s.dy));
        const double off = std::max(std::fabs(s.dx - engine[i].dx), std::fabs(s.dy - engine[i].dy));
        if (step > reachable && off > std::max(4.0, 0.25 * step)) ++missed;
    }
    return missed;
}

StepVerdict judgeStep(const PhaseStep &t, const PhaseStep &e, double reachable,
                      const std::function<bool()> &framesPreferTracker) {
    if (t.peak < kConfidentPeak) return StepVerdict::agree;
    const double step = std::max(std::fabs(t.dx), std::fabs(t.dy));
    const double off = std::max(std::fabs(t.dx - e.dx), std::fabs(t.dy - e.dy));
    if (off <= std::max(4.0, 0.25 * step)) return StepVerdict::agree;
    if (!framesPreferTracker) return StepVerdict::unknown;
    const bool prefer = framesPreferTracker();
    if (step <= reachable) return prefer ? StepVerdict::outvoted : StepVerdict::agree;
    // An engine step beyond the reachable part of its range may be cut
    // short at the edge: no answer to a larger one.
    const bool engineWithin = std::max(std::fabs(e.dx), std::fabs(e.dy)) <= reachable;
    return prefer || !engineWithin ? StepVerdict::missed : StepVerdict::notMissed;
}

std::vector<PhaseStep> withoutRefuted(std::vector<PhaseStep> steps,
                                      const std::vector<StepVerdict> &verdicts) {
    for (std::size_t i = 0; i < verdicts.size() && i < steps.size(); ++i)
        if (verdicts[i] == StepVerdict::notMissed) steps[i].peak = 0;
    return steps;
}

double largestConfidentStep(const std::vector<PhaseStep> &steps, std::size_t count) {
    double largest = 0;
    for (std::size_t i = 0; i < steps.size() && i < count; ++i)
        if (steps[i].peak >= kConfidentPeak)
            largest = std::max({largest, std::fabs(steps[i].dx), std::fabs(steps[i].dy)});
    return largest;
}

double stepBeyondReach(const std::vector<PhaseStep> &steps, const std::vector<PhaseStep> &engine,
                       double reachable) {
    const std::size_t missed = stepsMissed(steps, engine, reachable);
    const double largest = largestConfidentStep(steps, engine.size());
    return missed >= 2 || (missed >= 1 && missed * 100 >= steps.size()) ? largest : 0.0;
}

}  // namespace placidor::host
