// The eight exported entry points. Each checks the engine state, catches
// everything (nothing may cross the C boundary) and answers with a code.
#include <cstring>
#include <new>

#include "api/engine.h"
#include "api/params.h"

// A 32-bit host may call with a 4-byte aligned stack; realign at the entry.
#if defined(__i386__)
#  define PLACIDOR_ENTRY __attribute__((force_align_arg_pointer))
#else
#  define PLACIDOR_ENTRY
#endif

namespace placidor::api {

namespace {

// Every export runs its body through this: nothing may cross the C
// boundary, so any exception becomes the export's failure answer.
template <typename R, typename F>
R guarded(R onException, F &&body) {
    try {
        return body();
    } catch (...) {
        return onException;
    }
}

bool sizeAccepted(const StabilizerParams &params) { return params.size >= PLACIDOR_PARAMS_SIZE; }

}  // namespace

}  // namespace placidor::api

using placidor::api::Engine;
using placidor::api::engine;
using placidor::api::guarded;
using placidor::api::sizeAccepted;

extern "C" {

PLACIDOR_API PLACIDOR_ENTRY int32_t PLACIDOR_CALL StabilizerInit(StabilizerParams params) {
    return guarded<std::int32_t>(BadArgument, [&]() -> std::int32_t {
        Engine &e = engine();
        if (!sizeAccepted(params) || e.analysing) return BadArgument;
        if (params.width <= 0 || params.height <= 0) return BadArgument;

        StabilizerParams stored = params;
        placidor::api::normalise(stored);

        // Allocate everything before touching the engine, so that a failure
        // leaves it exactly as it was.
        const std::uint64_t samples = std::uint64_t(params.width) * std::uint64_t(params.height);
        if (samples > SIZE_MAX) return BadArgument;
        std::unique_ptr<std::uint8_t[]> reference(new (std::nothrow) std::uint8_t[samples]);
        std::unique_ptr<std::uint8_t[]> current(new (std::nothrow) std::uint8_t[samples]);
        placidor::motion::ScoreCache cache;
        if (!reference || !current ||
            !cache.allocate(stored.width, stored.height, stored.searchRange))
            return BadArgument;

        e.params = stored;
        e.frames.clear();
        e.segments.clear();
        e.halfWindowX = placidor::api::halfWindow(stored.frameRate, stored.smoothTimeX);
        e.halfWindowY = placidor::api::halfWindow(stored.frameRate, stored.smoothTimeY);
        e.referencePlane = std::move(reference);
        e.currentPlane = std::move(current);
        e.scoreCache = std::move(cache);
        e.state = Initialised;
        return NoError;
    });
}

PLACIDOR_API PLACIDOR_ENTRY StabilizerParams *PLACIDOR_CALL
StabilizerGetParameter(StabilizerParams *out) {
    return guarded<StabilizerParams *>(nullptr, [&]() -> StabilizerParams * {
        if (out) std::memcpy(out, &engine().params, sizeof(StabilizerParams));
        return out;
    });
}

PLACIDOR_API PLACIDOR_ENTRY int32_t PLACIDOR_CALL StabilizerFree(void) {
    return guarded<std::int32_t>(AlreadyFreed, [&]() -> std::int32_t {
        Engine &e = engine();
        if (e.state < Loaded || e.analysing) return AlreadyFreed;
        e.frames.clear();
        e.segments.clear();
        e.state = Freed;
        e.scoreCache.release();
        e.referencePlane.reset();
        e.currentPlane.reset();
        return NoError;
    });
}

PLACIDOR_API PLACIDOR_ENTRY int32_t PLACIDOR_CALL StabilizerCalculate(void *userData) {
    return guarded<std::int32_t>(NotInitialised, [&]() -> std::int32_t {
        Engine &e = engine();
        if (e.state < Initialised || e.analysing) return NotInitialised;
        return placidor::api::runAnalysis(e, userData);
    });
}

PLACIDOR_API PLACIDOR_ENTRY int32_t PLACIDOR_CALL StabilizerCorrect(void *userData) {
    return guarded<std::int32_t>(NotCalculated, [&]() -> std::int32_t {
        Engine &e = engine();
        if (e.state < Calculated || e.analysing) return NotCalculated;
        return placidor::api::runCorrection(e, userData);
    });
}

PLACIDOR_API PLACIDOR_ENTRY int32_t PLACIDOR_CALL
StabilizerChangeParameter(StabilizerParams params) {
    return guarded<std::int32_t>(NotCalculated, [&]() -> std::int32_t {
        Engine &e = engine();
        if (!sizeAccepted(params)) return BadArgument;
        if (e.analysing) return NotCalculated;
        e.params.cropLimitLeft = params.cropLimitLeft;
        e.params.cropLimitTop = params.cropLimitTop;
        e.params.cropLimitRight = params.cropLimitRight;
        e.params.cropLimitBottom = params.cropLimitBottom;
        e.params.smoothTimeX = params.smoothTimeX;
        e.params.smoothTimeY = params.smoothTimeY;
        if (e.params.smoothTimeY == 0) e.params.smoothTimeY = e.params.smoothTimeX;
        e.halfWindowX = placidor::api::halfWindow(e.params.frameRate, e.params.smoothTimeX);
        e.halfWindowY = placidor::api::halfWindow(e.params.frameRate, e.params.smoothTimeY);
        if (e.state < Calculated) return NotCalculated;
        return placidor::api::runCorrection(e, e.params.userData);
    });
}

PLACIDOR_API PLACIDOR_ENTRY int32_t PLACIDOR_CALL StabilizerGetClipRect(int32_t frame,
                                                                        ClipRect *rect) {
    return guarded<std::int32_t>(BadArgument, [&]() -> std::int32_t {
        if (!rect) return BadArgument;
        *rect = ClipRect{0.0, 0.0, 0.0, 0.0};
        Engine &e = engine();
        if (e.state < Corrected || e.analysing) return NotCalculated;
        const std::int64_t position = std::int64_t{frame} - e.params.firstFrame;
        if (position < 0 || position >= e.frames.count()) return BadArgument;
        const auto *record = e.frames.at(position);
        *rect = ClipRect{record->clipLeft, record->clipTop, record->clipRight, record->clipBottom};
        e.state = ClipQueried;
        return NoError;
    });
}

PLACIDOR_API PLACIDOR_ENTRY int32_t PLACIDOR_CALL StabilizerGetMaxClipRectErr(void) {
    return guarded<std::int32_t>(0, [&]() -> std::int32_t { return engine().maxClipError; });
}

}  // extern "C"
