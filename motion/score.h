// Match score between two planes: the window it compares and the score.
#pragma once

#include <cstddef>
#include <cstdint>

#include "motion/score_kernels.h"
#include "placidor.h"

namespace placidor::motion {

// What matchScore reads of the parameter block: the plane size, the
// inclusive measurement window and the row step (2 in field mode 3).
struct ScoreGeometry {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t measureLeft = 0;
    std::int32_t measureTop = 0;
    std::int32_t measureRight = -1;
    std::int32_t measureBottom = -1;
    std::int32_t rowStep = 1;

    static ScoreGeometry from(const StabilizerParams &params);
};

// The window of samples compared at offset (a, b): the measurement window
// cut so that x, x + a, y and y + b stay inside the planes. Empty when
// left > right or top > bottom.
struct ScoreWindow {
    std::int32_t left, top, right, bottom;
    bool empty() const { return left > right || top > bottom; }
};
ScoreWindow scoreWindow(const ScoreGeometry &g, std::int32_t a, std::int32_t b);

// The score of pairing reference (y, x) with current (y + b, x + a): minus
// the sum of the positive differences current - reference over the
// window. Always a whole number <= 0; 0.0 for an empty window.
double matchScore(std::int32_t a, std::int32_t b, const std::uint8_t *reference,
                  const std::uint8_t *current, const ScoreGeometry &g, const ScoreKernels &k);

}  // namespace placidor::motion
