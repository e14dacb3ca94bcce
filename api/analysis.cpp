// The analysis pass: pull every frame through the host's callback, measure
// it against the reference frame, then segment and correct.
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "api/engine.h"
#include "motion/frame_convert.h"
#include "motion/search.h"
#include "trajectory/segments.h"

namespace placidor::api {

namespace {

// Clears Engine::analysing however the pass ends.
struct AnalysingFlag {
    explicit AnalysingFlag(Engine &e) : engine(e) { engine.analysing = true; }
    ~AnalysingFlag() { engine.analysing = false; }
    Engine &engine;
};

struct FrameBuffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::uint64_t size = 0;
};

// (width + 1) * height * bpp + 40 bytes: room for a 40-byte header in
// front of the pixels and more. Zero when it cannot be sized.
std::uint64_t frameBufferSize(const StabilizerParams &p) {
    const std::uint64_t bpp = p.twoBytePixels ? 2 : 3;
    const std::uint64_t size = (std::uint64_t(p.width) + 1) * std::uint64_t(p.height) * bpp + 40;
    return size <= SIZE_MAX ? size : 0;
}

bool allocate(FrameBuffer &buffer, std::uint64_t size) {
    buffer.bytes.reset(new (std::nothrow) std::uint8_t[size]);
    buffer.size = buffer.bytes ? size : 0;
    if (buffer.bytes) std::memset(buffer.bytes.get(), 0, size);
    return buffer.bytes != nullptr;
}

// Fetches frame `frame` into `buffer` and converts it into `plane`. False,
// with the plane untouched, when the host's pixelOffset puts the pixels
// beyond the buffer.
bool fetchAndConvert(Engine &e, const motion::ConvertKernels &kernels, std::int32_t frame,
                     FrameBuffer &buffer, std::uint8_t *plane, double prevDx, double prevDy) {
    e.params.fetchFrame(frame, buffer.bytes.get(), e.params.userData, prevDx, prevDy);
    if (motion::frameExtent(buffer.bytes.get(), e.params) > buffer.size) return false;
    motion::convertFrame(buffer.bytes.get(), plane, e.params, kernels);
    return true;
}

std::unique_ptr<trajectory::FrameRecord> newRecord(std::int32_t frame) {
    std::unique_ptr<trajectory::FrameRecord> record(new (std::nothrow) trajectory::FrameRecord);
    if (record) record->frame = frame;
    return record;
}

}  // namespace

std::int32_t runAnalysis(Engine &e, void *userData) {
    if (!e.params.fetchFrame) return BadArgument;
    const std::uint64_t bufferSize = frameBufferSize(e.params);
    FrameBuffer referenceBuffer, currentBuffer;
    if (bufferSize == 0 || !allocate(referenceBuffer, bufferSize) ||
        !allocate(currentBuffer, bufferSize))
        return BadArgument;

    AnalysingFlag flag(e);
    e.params.userData = userData;
    e.frames.clear();
    e.segments.clear();

    platform::EscapeKey &escape = e.escapeKey ? *e.escapeKey : platform::systemEscapeKey();
    motion::SearchContext search;
    search.geometry = motion::ScoreGeometry::from(e.params);
    search.searchRange = e.params.searchRange;
    search.searchMethod = e.params.searchMethod;
    search.cache = &e.scoreCache;
    // Chosen once for the pass.
    const motion::ScoreKernels scoreKernels = motion::scoreKernelsUpTo(e.kernelLimit);
    const motion::ConvertKernels convertKernels = motion::convertKernelsUpTo(e.kernelLimit);
    search.kernels = &scoreKernels;
    // Without the memory for them, the search runs on partial sums alone.
    motion::BlockBounds bounds;
    if (search.searchMethod != 1 && bounds.allocate(search.geometry, search.searchRange))
        search.bounds = &bounds;

    const std::int32_t firstFrame = e.params.firstFrame;
    const std::int32_t lastFrame = e.params.lastFrame;
    std::uint8_t *referencePlane = e.referencePlane.get();
    std::uint8_t *currentPlane = e.currentPlane.get();

    // An unusable first frame leaves nothing analysed: the result is the
    // frame before it.
    e.lastAnalysedFrame = firstFrame == INT32_MIN ? INT32_MIN : firstFrame - 1;
    if (fetchAndConvert(e, convertKernels, firstFrame, referenceBuffer, referencePlane, 0.0, 0.0)) {
        auto first = newRecord(firstFrame);
        e.scoreCache.clear();
        if (first && e.frames.append(std::move(first))) e.lastAnalysedFrame = firstFrame;
    }

    double prevDx = 0.0, prevDy = 0.0;
    if (e.frames.count() == 1) {
        // 64-bit loop counter: lastFrame may be INT32_MAX.
        for (std::int64_t f = std::int64_t{firstFrame} + 1; f <= lastFrame; ++f) {
            // Two queries before every frame, both always made: hosts that
            // script the key (the tests do) count on two per frame.
            const bool first = escape.pressedSinceLastQuery();
            const bool second = escape.pressedSinceLastQuery();
            if (first || second) break;
            const auto frame = static_cast<std::int32_t>(f);
            if (!fetchAndConvert(e, convertKernels, frame, currentBuffer, currentPlane, prevDx,
                                 prevDy))
                break;
            auto record = newRecord(frame);
            if (!record) break;
            e.scoreCache.clear();
            const motion::Match match =
                motion::findDisplacement(referencePlane, currentPlane, search);
            record->score = match.score;
            record->dx = match.dx;
            record->dy = match.dy;
            const std::int32_t dx = match.dx, dy = match.dy;
            if (!e.frames.append(std::move(record))) break;
            if (e.params.progress) e.params.progress(frame);
            if (dx != 0 || dy != 0) {
                std::swap(referencePlane, currentPlane);
                std::swap(referenceBuffer, currentBuffer);
            }
            prevDx = dx;
            prevDy = dy;
            search.guess = {dx, dy};  // where the next exhaustive search looks first
            e.lastAnalysedFrame = frame;
        }
    }

    // The library-wide planes follow the roles they ended in.
    if (referencePlane != e.referencePlane.get()) {
        e.referencePlane.swap(e.currentPlane);
    }
    referenceBuffer = {};
    currentBuffer = {};

    trajectory::buildSegments(e.segments, e.frames, firstFrame, e.lastAnalysedFrame);
    e.state = Calculated;
    runCorrection(e, userData);
    return e.lastAnalysedFrame;
}

}  // namespace placidor::api
