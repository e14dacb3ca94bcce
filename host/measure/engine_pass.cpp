#include "engine_pass.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "placidor_escape.h"
#include "plane_filter.h"

namespace placidor::host {

namespace {

struct PassState {
    PlaneFeed *feed = nullptr;
    std::int32_t width = 0, height = 0;
    std::int32_t firstFrame = 0, lastFrame = 0;
    std::vector<std::int32_t> dx, dy;
    std::function<void(std::int32_t)> progress;
    std::exception_ptr failure;
    PlaneRect changing;
    std::vector<void *> filled;  // frame buffers written whole once
};

// The progress callback carries no user data.
PassState *activePass = nullptr;

void PLACIDOR_CALL fetchPlane(std::int32_t frame, void *buffer, void *userData, double prevDx,
                              double prevDy) {
    auto &pass = *static_cast<PassState *>(userData);
    // Each fetch after the first brings the displacement of the frame before.
    if (frame > pass.firstFrame) {
        pass.dx.push_back(static_cast<std::int32_t>(std::lround(prevDx)));
        pass.dy.push_back(static_cast<std::int32_t>(std::lround(prevDy)));
    }
    auto *bytes = static_cast<std::uint8_t *>(buffer);
    std::memset(bytes, 0, 40);
    bytes[0] = 40;  // pixelOffset, little-endian: the 40-byte header's size field
    const std::size_t w = std::size_t(pass.width);
    std::uint8_t *pixels = bytes + 40;
    try {
        if (pass.failure) throw std::runtime_error("");
        std::vector<std::uint8_t> plane = pass.feed->take(frame);
        PlaneRect part = pass.changing;
        if (std::find(pass.filled.begin(), pass.filled.end(), buffer) == pass.filled.end()) {
            pass.filled.push_back(buffer);
            part = {0, 0, pass.width, pass.height};
        }
        // Bottom row first; the second byte of a pixel is never read.
        for (std::int32_t y = part.top; y < part.bottom; ++y) {
            const std::uint8_t *src = plane.data() + std::size_t(y) * w;
            std::uint8_t *dst = pixels + std::size_t(pass.height - 1 - y) * w * 2;
            for (std::size_t c = std::size_t(part.left); c < std::size_t(part.right); ++c) {
                dst[2 * c] = src[c];
                dst[2 * c + 1] = 0;
            }
        }
        if (pass.feed->recycle) pass.feed->recycle(std::move(plane));
        if (frame < pass.lastFrame && !pass.feed->has(frame + 1))
            PlacidorPressEscape();  // end of the clip
        else if (pass.feed->enough && pass.feed->enough(pass.dx, pass.dy)) PlacidorPressEscape();
    } catch (...) {
        if (!pass.failure) pass.failure = std::current_exception();
        std::memset(pixels, 0, w * 2 * std::size_t(pass.height));
        PlacidorPressEscape();
    }
}

void PLACIDOR_CALL progressed(std::int32_t frame) {
    if (activePass && activePass->progress) activePass->progress(frame);
}

}  // namespace

PlaneRect engineReadRegion(const StabilizerParams &p) {
    // The iterative search may score up to 1.5 ranges below the centre.
    const int reach = std::max(0, p.searchRange) * 3 / 2 + 2;
    const int left = p.measureLeft - reach, right = p.measureRight + reach + 1;
    const int low = p.measureTop - reach,
              high = p.measureBottom + reach + 1;  // buffer rows, bottom-up
    PlaneRect r;
    r.left = std::max(0, left);
    r.right = std::min(p.width, right);
    r.top = std::max(0, p.height - high);
    r.bottom = std::min(p.height, p.height - low);
    return r;
}

StabilizerParams initPlaneEngine(StabilizerParams params) {
    params.twoBytePixels = 1;
    params.fetchFrame = fetchPlane;
    params.progress = progressed;
    if (StabilizerInit(params) != NoError)
        throw std::runtime_error("the engine refused a " + std::to_string(params.width) + "x" +
                                 std::to_string(params.height) +
                                 " clip: it could not allocate its working memory");
    StabilizerParams normalised{};
    StabilizerGetParameter(&normalised);
    return normalised;
}

EnginePass runEnginePass(PlaneFeed &feed, std::function<void(std::int32_t)> progress,
                         PlaneRect changing) {
    StabilizerParams params{};
    StabilizerGetParameter(&params);
    PassState pass;
    changing.left = std::max(0, changing.left);
    changing.top = std::max(0, changing.top);
    changing.right = std::min(params.width, changing.right);
    changing.bottom = std::min(params.height, changing.bottom);
    pass.changing = changing.left < changing.right && changing.top < changing.bottom
                        ? changing
                        : PlaneRect{0, 0, params.width, params.height};
    pass.feed = &feed;
    pass.width = params.width;
    pass.height = params.height;
    pass.firstFrame = params.firstFrame;
    pass.lastFrame = params.lastFrame;
    pass.progress = std::move(progress);
    activePass = &pass;
    const std::int32_t last = StabilizerCalculate(&pass);
    activePass = nullptr;
    if (pass.failure) std::rethrow_exception(pass.failure);

    EnginePass result;
    result.lastFrame = last;
    pass.dx.push_back(0);
    pass.dy.push_back(0);
    const std::size_t n = last >= pass.firstFrame
                              ? static_cast<std::size_t>(std::int64_t{last} - pass.firstFrame + 1)
                              : 0;
    pass.dx.resize(n);
    pass.dy.resize(n);
    result.dx = std::move(pass.dx);
    result.dy = std::move(pass.dy);
    return result;
}

}  // namespace placidor::host
