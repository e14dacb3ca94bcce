#include "motion/score.h"

#include <algorithm>
#include <cstdlib>

namespace placidor::motion {

ScoreGeometry ScoreGeometry::from(const StabilizerParams &params) {
    ScoreGeometry g;
    g.width = params.width;
    g.height = params.height;
    g.measureLeft = params.measureLeft;
    g.measureTop = params.measureTop;
    g.measureRight = params.measureRight;
    g.measureBottom = params.measureBottom;
    g.rowStep = (params.fieldHandling != 0 && params.fieldMode == 3) ? 2 : 1;
    return g;
}

ScoreWindow scoreWindow(const ScoreGeometry &g, std::int32_t a, std::int32_t b) {
    // 64-bit so that |INT32_MIN| and width - 1 - |a| cannot overflow.
    const std::int64_t absA = std::llabs(std::int64_t{a});
    const std::int64_t absB = std::llabs(std::int64_t{b});
    const auto clamp32 = [](std::int64_t v) {
        return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
    };
    ScoreWindow w;
    w.left = clamp32(std::max<std::int64_t>(g.measureLeft, absA));
    w.right = clamp32(std::min<std::int64_t>(g.measureRight, std::int64_t{g.width} - 1 - absA));
    w.top = clamp32(std::max<std::int64_t>(g.measureTop, absB));
    w.bottom = clamp32(std::min<std::int64_t>(g.measureBottom, std::int64_t{g.height} - 1 - absB));
    return w;
}

double matchScore(std::int32_t a, std::int32_t b, const std::uint8_t *reference,
                  const std::uint8_t *current, const ScoreGeometry &g, const ScoreKernels &k) {
    const ScoreWindow w = scoreWindow(g, a, b);
    if (w.empty()) return 0.0;
    const std::int32_t cols = w.right - w.left + 1;
    const std::int32_t rows = (w.bottom - w.top) / g.rowStep + 1;
    const std::ptrdiff_t width = g.width;
    const std::uint8_t *ref = reference + w.top * width + w.left;
    const std::uint8_t *cur = current + (w.top + b) * width + (w.left + a);
    const std::uint64_t sum = k.positiveDiffSum(ref, cur, width * g.rowStep, cols, rows);
    return -static_cast<double>(sum);
}

}  // namespace placidor::motion
