#include "analysis.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <exception>

#include "error.h"
#include "input/frame_source.h"
#include "placidor_escape.h"

namespace placidor::host {

std::atomic<int> userInterrupts{0};

namespace {

struct PassHost {
    FrameSource *source = nullptr;
    std::int32_t width = 0, height = 0;
    std::int32_t firstFrame = 0, lastFrame = 0;
    std::vector<std::int32_t> dx, dy;  // of frames firstFrame.. as the fetches learn them
    Progress *progress = nullptr;
    std::exception_ptr failure;
};

// The progress callback carries no user data.
PassHost *activePass = nullptr;

void PLACIDOR_CALL fetchFrame(std::int32_t frame, void *buffer, void *userData, double prevDx, double prevDy) {
    auto &pass = *static_cast<PassHost *>(userData);
    // Each fetch after the first brings the displacement of the frame before.
    if (frame > pass.firstFrame) {
        pass.dx.push_back(static_cast<std::int32_t>(std::lround(prevDx)));
        pass.dy.push_back(static_cast<std::int32_t>(std::lround(prevDy)));
    }
    auto *bytes = static_cast<std::uint8_t *>(buffer);
    std::memset(bytes, 0, 40);
    bytes[0] = 40;  // pixelOffset, little-endian: the 40-byte header's size field
    const std::size_t row = std::size_t(pass.width) * 3;
    std::uint8_t *pixels = bytes + 40;
    try {
        if (pass.failure) throw HostError("");
        auto bgr = pass.source->take(frame);
        // Bottom row first, so that the rectangles come back top-down.
        for (std::int32_t r = 0; r < pass.height; ++r)
            std::memcpy(pixels + std::size_t(r) * row, bgr.data() + std::size_t(pass.height - 1 - r) * row, row);
        pass.source->recycle(std::move(bgr));
        if (frame < pass.lastFrame && !pass.source->has(frame + 1)) PlacidorPressEscape();  // end of the clip
    } catch (...) {
        if (!pass.failure) pass.failure = std::current_exception();
        std::memset(pixels, 0, row * pass.height);
        PlacidorPressEscape();
    }
}

void PLACIDOR_CALL progressed(std::int32_t frame) {
    if (activePass && activePass->progress)
        activePass->progress->update(std::int64_t{frame} - activePass->firstFrame + 1);
}

}  // namespace

Analysis analyse(const std::string &file, const Options &options, Progress &progress) {
    FrameSource source(file, options.firstFrame, options.lastFrame);
    Analysis result;
    result.info = source.info();
    const VideoInfo &info = result.info;
    result.frameRate = static_cast<float>(av_q2d(info.frameRate));
    if (!source.has(options.firstFrame)) {
        if (options.firstFrame > 0)
            throw HostError("--frames: '" + file + "' has no frame " + std::to_string(options.firstFrame), ExitUsage);
        throw HostError("'" + file + "' has no video frames");
    }

    PassHost pass;
    pass.source = &source;
    pass.width = info.width;
    pass.height = info.height;
    pass.firstFrame = options.firstFrame;
    pass.lastFrame = options.lastFrame.value_or(INT32_MAX);
    pass.progress = &progress;

    StabilizerParams params = makeParams(options, info.width, info.height, result.frameRate, pass.lastFrame);
    params.fetchFrame = fetchFrame;
    params.progress = progressed;
    if (StabilizerInit(params) != NoError)
        throw HostError("the engine refused a " + std::to_string(info.width) + "x" + std::to_string(info.height) +
                        " clip (not enough memory?)");

    std::int64_t total = info.frameCountHint;
    if (options.lastFrame) total = std::min<std::int64_t>(total > 0 ? total : INT64_MAX, *options.lastFrame + 1);
    total = total > options.firstFrame ? total - options.firstFrame : 0;
    progress.begin("analyse", total);
    activePass = &pass;
    const int interruptsBefore = userInterrupts;
    const std::int32_t last = StabilizerCalculate(&pass);
    activePass = nullptr;
    result.framesPerSecond = progress.end(std::int64_t{last} - pass.firstFrame + 1);
    if (pass.failure) std::rethrow_exception(pass.failure);

    result.firstFrame = pass.firstFrame;
    result.lastFrame = last;
    result.stoppedEarly = userInterrupts != interruptsBefore;
    // The last frame's displacement is recovered by readCameraPath.
    pass.dx.push_back(0);
    pass.dy.push_back(0);
    const std::size_t n = static_cast<std::size_t>(std::int64_t{last} - pass.firstFrame + 1);
    pass.dx.resize(n);
    pass.dy.resize(n);
    result.path = readCameraPath(pass.firstFrame, pass.dx, pass.dy);
    return result;
}

}  // namespace placidor::host
