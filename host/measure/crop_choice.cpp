#include "crop_choice.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "phase_track.h"

namespace placidor::host {

namespace {

// Crop limits no correction reaches.
constexpr std::int32_t kUnlimited = 1 << 29;
// Framings within this of the steadiest count as as steady.
constexpr double kSteadyRelative = 0.05, kSteadyAbsolute = 0.02;

StabilizerParams currentBlock() {
    StabilizerParams p{};
    StabilizerGetParameter(&p);
    return p;
}

// Evaluates the framing the engine was just corrected with.
Framing evaluate(const StabilizerParams &block, std::int32_t first, const std::vector<double> &mx,
                 const std::vector<double> &my) {
    const std::size_t n = mx.size();
    Framing f;
    f.smoothX = block.smoothTimeX;
    f.smoothY = block.smoothTimeY != 0 ? block.smoothTimeY : block.smoothTimeX;
    f.limitX = block.cropLimitLeft;
    f.limitY = block.cropLimitTop;
    f.held = StabilizerGetMaxClipRectErr() > 0;
    std::vector<double> dx(n), dy(n);
    for (std::size_t i = 0; i < n; ++i) {
        ClipRect r{};
        if (StabilizerGetClipRect(first + static_cast<std::int32_t>(i), &r) != NoError)
            throw std::runtime_error("the engine has no rectangle for an analysed frame");
        if (i == 0) f.kept = (r.right - r.left) / block.width;
        // The delivered path is the measured one plus the correction,
        // which is a constant minus the rectangle's left (top) edge.
        dx[i] = mx[i] - r.left;
        dy[i] = my[i] - r.top;
    }
    f.shake = std::hypot(highFrequencyRms(dx), highFrequencyRms(dy));
    return f;
}

}  // namespace

const std::vector<std::int32_t> &framingTimes() {
    static const std::vector<std::int32_t> times = {250,  400,  600,  800,  1000, 1300,
                                                    1600, 2000, 2500, 3000, 4000};
    return times;
}

Framing currentFraming(std::int32_t first, const std::vector<double> &mx,
                       const std::vector<double> &my) {
    const StabilizerParams own = currentBlock();
    StabilizerChangeParameter(own);
    return evaluate(own, first, mx, my);
}

Framing chooseFraming(std::int32_t first, const std::vector<double> &mx,
                      const std::vector<double> &my, const FramingRequest &request) {
    const StabilizerParams own = currentBlock();
    const std::int32_t heldX =
        static_cast<std::int32_t>(std::floor((1.0 - request.target) * 0.5 * own.width));
    const std::int32_t heldY =
        static_cast<std::int32_t>(std::floor((1.0 - request.target) * 0.5 * own.height));

    std::vector<std::pair<std::int32_t, std::int32_t>> times;
    if (request.smoothX)
        times.push_back({*request.smoothX, request.smoothY.value_or(*request.smoothX)});
    else
        for (std::int32_t t : framingTimes()) times.push_back({t, t});
    std::vector<bool> holds =
        request.cropFixed ? std::vector<bool>{false} : std::vector<bool>{false, true};

    std::vector<std::pair<Framing, StabilizerParams>> tried;
    for (const auto &[tx, ty] : times)
        for (bool hold : holds) {
            StabilizerParams block = own;
            block.smoothTimeX = tx;
            block.smoothTimeY = ty;
            if (!request.cropFixed) {
                const std::int32_t lx = hold ? heldX : kUnlimited, ly = hold ? heldY : kUnlimited;
                block.cropLimitLeft = lx;
                block.cropLimitRight = own.width - lx;
                block.cropLimitTop = ly;
                block.cropLimitBottom = own.height - ly;
            }
            StabilizerChangeParameter(block);
            Framing f = evaluate(block, first, mx, my);
            f.metTarget = f.kept >= request.target - 1e-9;
            if (!hold && !request.cropFixed) f.limitX = f.limitY = 0;
            tried.push_back({f, block});
        }

    // The steadiest of those that keep enough; of the about as steady, the
    // one keeping the most. Without any that keeps enough, the one keeping
    // the most.
    const auto feasible = [](const auto &t) { return t.first.metTarget; };
    std::size_t chosen = 0;
    if (std::any_of(tried.begin(), tried.end(), feasible)) {
        double steadiest = INFINITY;
        for (const auto &t : tried)
            if (feasible(t)) steadiest = std::min(steadiest, t.first.shake);
        const double bound = steadiest * (1 + kSteadyRelative) + kSteadyAbsolute;
        double most = -INFINITY;
        for (std::size_t i = 0; i < tried.size(); ++i)
            if (feasible(tried[i]) && tried[i].first.shake <= bound &&
                tried[i].first.kept > most + 1e-12) {
                most = tried[i].first.kept;
                chosen = i;
            }
    } else {
        for (std::size_t i = 1; i < tried.size(); ++i)
            if (tried[i].first.kept > tried[chosen].first.kept) chosen = i;
    }
    StabilizerChangeParameter(tried[chosen].second);
    Framing f = tried[chosen].first;
    f.tried = static_cast<int>(tried.size());
    return f;
}

}  // namespace placidor::host
