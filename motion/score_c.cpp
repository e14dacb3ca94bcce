// Reference kernels. Contract: for r in [0, rows) and c in [0, cols), add
// cur[r*stride + c] - ref[r*stride + c] where that difference is positive.
// The x4 form does this for cur, cur + 1, cur + 2 and cur + 3; the bounded
// forms stop after the first row at which the sum exceeds the limit.
#include "motion/score_kernels.h"

namespace placidor::motion {

std::uint64_t positiveDiffSum_c(const std::uint8_t *ref, const std::uint8_t *cur,
                                std::ptrdiff_t stride, std::int32_t cols, std::int32_t rows) {
    std::uint64_t sum = 0;
    for (std::int32_t r = 0; r < rows; ++r, ref += stride, cur += stride) {
        for (std::int32_t c = 0; c < cols; ++c) {
            const int d = int(cur[c]) - int(ref[c]);
            if (d > 0) sum += static_cast<std::uint64_t>(d);
        }
    }
    return sum;
}

void positiveDiffSumX4_c(const std::uint8_t *ref, const std::uint8_t *cur, std::ptrdiff_t stride,
                         std::int32_t cols, std::int32_t rows, std::uint64_t sums[4]) {
    for (int k = 0; k < 4; ++k) sums[k] = positiveDiffSum_c(ref, cur + k, stride, cols, rows);
}

std::uint64_t positiveDiffSumBounded_c(const std::uint8_t *ref, const std::uint8_t *cur,
                                       std::ptrdiff_t stride, std::int32_t cols, std::int32_t rows,
                                       std::uint64_t limit) {
    std::uint64_t sum = 0;
    for (std::int32_t r = 0; r < rows; ++r, ref += stride, cur += stride) {
        for (std::int32_t c = 0; c < cols; ++c) {
            const int d = int(cur[c]) - int(ref[c]);
            if (d > 0) sum += static_cast<std::uint64_t>(d);
        }
        if (sum > limit) break;
    }
    return sum;
}

std::uint64_t positiveDiffSum16Bounded_c(const std::uint16_t *ref, std::ptrdiff_t refStride,
                                         const std::uint16_t *cur, std::ptrdiff_t curStride,
                                         std::int32_t cols, std::int32_t rows,
                                         std::uint64_t limit) {
    std::uint64_t sum = 0;
    for (std::int32_t r = 0; r < rows; ++r, ref += refStride, cur += curStride) {
        for (std::int32_t c = 0; c < cols; ++c)
            if (cur[c] > ref[c]) sum += static_cast<std::uint64_t>(cur[c] - ref[c]);
        if (sum > limit) break;
    }
    return sum;
}

}  // namespace placidor::motion
