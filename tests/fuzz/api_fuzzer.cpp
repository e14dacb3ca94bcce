// libFuzzer harness for the public interface: every input is a program of
// host calls (fuzz_ops.h) run against a freshly loaded engine. A shadow
// model of the documented behaviour checks every result, the engine's
// state after every call, every callback the engine makes and the clip
// rectangles it keeps. Any disagreement aborts, and libFuzzer keeps the
// input.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "api/engine.h"
#include "api_fuzzer.h"
#include "fuzz_ops.h"
#include "placidor.h"
#include "placidor_escape.h"
#include "platform/escape.h"
#include "support/synthetic_clip.h"

namespace {

using namespace placidor::fuzz;
using placidor::api::engine;
using placidor::testing::CameraPosition;
using placidor::testing::SyntheticClip;

// PLACIDOR_FUZZ_TRACE=1 prints every call and its result, for reading a
// crashing input.
const bool tracing = std::getenv("PLACIDOR_FUZZ_TRACE") != nullptr;
#define TRACE(...)                                  \
  do {                                              \
    if (tracing) std::fprintf(stderr, __VA_ARGS__); \
  } while (0)

[[noreturn]] void fail(const char *what, int line) {
    std::fprintf(stderr, "api_fuzzer: check failed at line %d: %s\n", line, what);
    std::abort();
}
#define CHECK(cond)                     \
  do {                                  \
    if (!(cond)) fail(#cond, __LINE__); \
  } while (0)

// Kept small so that one input runs in milliseconds: at most this many
// samples a frame (thin frames may still be 4096 wide), this many frames a
// pass, and roughly this many sample comparisons a pass.
constexpr std::int64_t kMaxSamples = 4096;
constexpr std::int32_t kMaxFramesPerPass = 40;
constexpr std::int64_t kWorkPerPass = std::int64_t{1} << 24;
constexpr int kMaxOps = 48;
constexpr std::int32_t kCameraMargin = 8;

// An Escape key with the latch semantics of the native library, owned by
// the harness so that it can also check how often the pass asks.
class ScriptedEscapeKey final : public placidor::platform::EscapeKey {
public:
    bool pressedSinceLastQuery() override {
        ++queries;
        const bool was = pressed;
        pressed = false;
        if (was) ++answeredYes;
        return was;
    }
    bool pressed = false;
    std::int64_t queries = 0;
    std::int64_t answeredYes = 0;
};

struct Fetch {
    std::int32_t frame;
    bool usable;
};

// The documented behaviour, as far as the harness can know it.
struct Model {
    std::int32_t state = Loaded;
    std::int32_t firstFrame = 0;
    std::int32_t analysed = 0;  // records kept by the last pass
    bool systemEscapePending = false;
};

// Everything the host knows during one StabilizerCalculate.
struct Pass {
    bool running = false;
    bool systemEscape = false;
    bool stopByOffset = false;
    bool progressReenters = false;
    void *userData = nullptr;
    std::int32_t budget = 1;
    std::int32_t stateAtStart = Loaded;
    std::int32_t maxClipErrorAtStart = 0;
    StabilizerParams block{};
    std::uint64_t bufferSize = 0;
    std::vector<Fetch> fetches;
    std::vector<std::int32_t> progress;
    bool sawUnusable = false;
    CameraPosition camera{};
    const void *lastBuffer = nullptr;
};

Reader *input = nullptr;
std::int64_t callsChecked = 0;
Model model;
Pass pass;
ScriptedEscapeKey scriptedKey;
std::unique_ptr<SyntheticClip> clip;
std::uint32_t clipSeed = 0;

StabilizerParams storedBlock() {
    StabilizerParams p;
    std::memset(&p, 0xA5, sizeof p);
    CHECK(StabilizerGetParameter(&p) == &p);
    return p;
}

bool sameBlock(const StabilizerParams &a, const StabilizerParams &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void *userDataFrom(std::int32_t v) {
    return reinterpret_cast<void *>(static_cast<std::intptr_t>(v));
}

bool pressEscape(bool system) {
    if (system) {
        PlacidorPressEscape();
        model.systemEscapePending = true;
    } else {
        scriptedKey.pressed = true;
    }
    return true;
}

// Whether the pass's Escape key has told it to stop: the library's latch
// was pressed and not yet read, or the harness's key answered yes.
bool escapeSaidStop() {
    return pass.systemEscape ? model.systemEscapePending : scriptedKey.answeredYes > 0;
}
void escapeConsumed() {
    if (pass.systemEscape) model.systemEscapePending = false;
}

// ---- the engine's own consistency, after every top-level call ----

void checkRect(const ClipRect &r) {
    CHECK(std::isfinite(r.left) && std::isfinite(r.top) && std::isfinite(r.right) &&
          std::isfinite(r.bottom));
}

void checkEngine() {
    placidor::api::Engine &e = engine();
    CHECK(!e.analysing);
    CHECK(e.state == model.state);
    CHECK(e.state != Calculated);
    if (e.state >= Initialised) {
        CHECK(e.referencePlane && e.currentPlane && e.scoreCache.allocated());
    }
    if (e.state == Freed) {
        CHECK(!e.referencePlane && !e.currentPlane && !e.scoreCache.allocated());
    }
    const std::int32_t expected = e.state >= Corrected ? model.analysed : 0;
    CHECK(e.frames.count() == expected);
    if (e.state >= Corrected) {
        // Every rectangle is finite and all share one size and the frame's
        // aspect ratio.
        const double w = e.params.width, h = e.params.height;
        for (std::int32_t i = 0; i < e.frames.count(); ++i) {
            const auto &r = e.frames[static_cast<std::size_t>(i)];
            checkRect({r.clipLeft, r.clipTop, r.clipRight, r.clipBottom});
            const auto &r0 = e.frames[0];
            const double scale = 1.0 + std::fabs(r.clipLeft) + std::fabs(r.clipRight) +
                                 std::fabs(r.clipTop) + std::fabs(r.clipBottom) +
                                 std::fabs(r0.clipLeft) + std::fabs(r0.clipRight) + w + h;
            CHECK(std::fabs((r.clipRight - r.clipLeft) - (r0.clipRight - r0.clipLeft)) <=
                  1e-9 * scale);
            CHECK(std::fabs((r.clipBottom - r.clipTop) - (r0.clipBottom - r0.clipTop)) <=
                  1e-9 * scale);
            CHECK(std::fabs((r.clipRight - r.clipLeft) * h - (r.clipBottom - r.clipTop) * w) <=
                  1e-9 * scale * (w + h));
        }
    }
    CHECK(StabilizerGetMaxClipRectErr() >= 0);
}

// ---- calls made from inside the host's callbacks ----

// Every export that changes state must refuse while the pass runs, and
// change nothing.
void reenter() {
    placidor::api::Engine &e = engine();
    CHECK(e.analysing);
    CHECK(e.state == pass.stateAtStart);
    const StabilizerParams before = storedBlock();
    CHECK(before.userData == pass.userData);
    const int kind = input->u8() % 9;
    TRACE("  re-entrant call %d\n", kind);
    switch (kind) {
    case 0: {
        ParamsSpec spec = decodeParams(*input);
        spec.params.width = 1 + (spec.params.width & 15);
        spec.params.height = 1 + (spec.params.height & 15);
        CHECK(StabilizerInit(spec.params) == BadArgument);
        break;
    }
    case 1: {
        const ParamsSpec spec = decodeParams(*input);
        const std::int32_t r = StabilizerChangeParameter(spec.params);
        CHECK(r == (spec.params.size < PLACIDOR_PARAMS_SIZE ? BadArgument : NotCalculated));
        break;
    }
    case 2: CHECK(StabilizerCalculate(userDataFrom(input->integer())) == NotInitialised); break;
    case 3: CHECK(StabilizerCorrect(userDataFrom(input->integer())) == NotCalculated); break;
    case 4: {
        ClipRect r{1.0, 2.0, 3.0, 4.0};
        CHECK(StabilizerGetClipRect(input->integer(), &r) == NotCalculated);
        CHECK(r.left == 0.0 && r.top == 0.0 && r.right == 0.0 && r.bottom == 0.0);
        break;
    }
    case 5: CHECK(StabilizerGetClipRect(input->integer(), nullptr) == BadArgument); break;
    case 6: CHECK(StabilizerFree() == AlreadyFreed); break;
    case 7: CHECK(StabilizerGetMaxClipRectErr() == pass.maxClipErrorAtStart); break;
    default: CHECK(StabilizerGetParameter(nullptr) == nullptr); break;
    }
    CHECK(sameBlock(before, storedBlock()));
    CHECK(e.state == pass.stateAtStart);
    CHECK(e.analysing);
}

void fillPixels(std::uint8_t *pixels, std::uint64_t count, std::uint8_t action) {
    const StabilizerParams &p = pass.block;
    switch (action & 3) {
    case ContentSynthetic: {
        const std::int32_t x = static_cast<std::int8_t>(input->u8()) % (kCameraMargin + 1);
        const std::int32_t y = static_cast<std::int8_t>(input->u8()) % (kCameraMargin + 1);
        pass.camera = {x, y};
        // render() writes the offset too; write the pixels only, at the
        // place the host chose.
        std::vector<std::uint8_t> frame(2 + count);
        clip->render(pass.camera, p.twoBytePixels != 0, 2, frame.data());
        std::memcpy(pixels, frame.data() + 2, count);
        break;
    }
    case ContentBytes: {
        const std::vector<std::uint8_t> chunk = input->bytes(1 + input->u8());
        if (chunk.empty()) {
            std::memset(pixels, 0, count);
        } else {
            for (std::uint64_t i = 0; i < count; ++i) pixels[i] = chunk[i % chunk.size()];
        }
        break;
    }
    case ContentConstant: std::memset(pixels, input->u8(), count); break;
    default: break;
    }
}

void PLACIDOR_CALL fuzzFetch(std::int32_t frame, void *buffer, void *userData, double prevDx,
                             double prevDy) {
    CHECK(pass.running);
    CHECK(engine().analysing);
    CHECK(!pass.sawUnusable);  // nothing is fetched after an unusable frame
    const std::int64_t index = static_cast<std::int64_t>(pass.fetches.size());
    CHECK(frame == std::int64_t{pass.block.firstFrame} + index);
    CHECK(index == 0 || frame <= pass.block.lastFrame);
    CHECK(userData == pass.userData);
    if (index >= 1) {
        // The pass asked for Escape before this frame and was told no.
        CHECK(!escapeSaidStop());
        if (!pass.systemEscape) CHECK(scriptedKey.queries > 0);
    }
    if (index < 2) {
        CHECK(prevDx == 0.0 && prevDy == 0.0);
    } else {
        CHECK(std::isfinite(prevDx) && std::isfinite(prevDy));
        CHECK(prevDx == std::trunc(prevDx) && prevDy == std::trunc(prevDy));
        CHECK(std::fabs(prevDx) <= pass.block.width && std::fabs(prevDy) <= pass.block.height);
    }
    scriptedKey.queries = 0;
    // Two buffers: the second frame goes into the one the first did not;
    // later frames into the reference frame's old buffer when the previous
    // frame moved (and became the reference), else into the same one again.
    if (index == 1) {
        CHECK(buffer != pass.lastBuffer);
    } else if (index >= 2) {
        CHECK((buffer != pass.lastBuffer) == (prevDx != 0.0 || prevDy != 0.0));
    }
    pass.lastBuffer = buffer;

    auto *bytes = static_cast<std::uint8_t *>(buffer);
    const std::uint8_t action = input->u8();
    TRACE("  fetch %d prev %g %g action %#x\n", frame, prevDx, prevDy, action);
    std::uint16_t offset = 40;
    if (action & kFetchNewOffset) offset = input->u16();
    // Over budget: the host makes the frame unusable to end the pass.
    const bool overBudget = index >= pass.budget;
    if (overBudget) offset = 0xFFFF;
    const std::uint64_t bpp = pass.block.twoBytePixels ? 2 : 3;
    const std::uint64_t pixelBytes =
        std::uint64_t(pass.block.width) * std::uint64_t(pass.block.height) * bpp;
    bytes[0] = static_cast<std::uint8_t>(offset & 0xff);
    bytes[1] = static_cast<std::uint8_t>(offset >> 8);
    if (offset + pixelBytes <= pass.bufferSize) fillPixels(bytes + offset, pixelBytes, action);
    // The pixels may have overwritten the offset: what counts is what the
    // buffer says when the callback returns.
    const std::uint64_t effective = bytes[0] | (bytes[1] << 8);
    const bool usable = effective + pixelBytes <= pass.bufferSize;
    pass.fetches.push_back({frame, usable});
    if (!usable) pass.sawUnusable = true;

    if (action & kFetchReenter) reenter();
    if (action & kFetchPressEscape) pressEscape(pass.systemEscape || (action & 0x20));
    // The budget is spent: ask the pass to stop before the next frame.
    if (!pass.stopByOffset && index + 1 >= pass.budget) pressEscape(pass.systemEscape);
}

void PLACIDOR_CALL fuzzProgress(std::int32_t frame) {
    CHECK(pass.running);
    CHECK(!pass.fetches.empty());
    const Fetch &last = pass.fetches.back();
    CHECK(pass.fetches.size() >= 2);
    CHECK(last.usable && frame == last.frame);
    CHECK(pass.progress.empty() || pass.progress.back() + 1 == frame);
    pass.progress.push_back(frame);
    if (pass.progressReenters && (input->u8() & 1)) reenter();
}

// ---- top-level operations ----

void capDimensions(StabilizerParams &p) {
    if (p.width > 0 && p.height > 0 && std::int64_t{p.width} * p.height > kMaxSamples)
        p.height = static_cast<std::int32_t>(std::max<std::int64_t>(1, kMaxSamples / p.width));
}

void doInit() {
    ParamsSpec spec = decodeParams(*input);
    StabilizerParams &p = spec.params;
    capDimensions(p);
    p.fetchFrame = (spec.callbackFlags & kParamsNoFetch) ? nullptr : fuzzFetch;
    p.progress = (spec.callbackFlags & kParamsNoProgress) ? nullptr : fuzzProgress;
    const StabilizerParams before = storedBlock();
    const std::int32_t r = StabilizerInit(p);
    TRACE("Init size %u frames %d..%d %dx%d rate %g search %d -> %d\n", p.size, p.firstFrame,
          p.lastFrame, p.width, p.height, double(p.frameRate), p.searchRange, r);
    if (p.size < PLACIDOR_PARAMS_SIZE || p.width <= 0 || p.height <= 0) {
        CHECK(r == BadArgument);
        CHECK(sameBlock(before, storedBlock()));
        return;
    }
    CHECK(r == NoError);
    model.state = Initialised;
    model.analysed = 0;
    model.firstFrame = p.firstFrame;

    // Fields taken as given, and the bounds normalisation guarantees.
    const StabilizerParams s = storedBlock();
    CHECK(s.size == p.size && s.firstFrame == p.firstFrame && s.lastFrame == p.lastFrame);
    CHECK(s.width == p.width && s.height == p.height);
    CHECK(std::memcmp(&s.frameRate, &p.frameRate, sizeof(float)) == 0);
    CHECK(s.fieldHandling == p.fieldHandling && s.fieldMode == p.fieldMode);
    CHECK(s.twoBytePixels == p.twoBytePixels && s.smoothTimeX == p.smoothTimeX);
    CHECK(s.fetchFrame == p.fetchFrame && s.progress == p.progress);
    CHECK(s.reserved == p.reserved && s.userData == p.userData);
    CHECK(s.searchMethod == p.searchMethod && s.smoothingMode == p.smoothingMode &&
          s.channel == p.channel);
    CHECK(s.cropLimitLeft >= 0 && s.cropLimitTop >= 0);
    CHECK(s.cropLimitRight <= s.width && s.cropLimitBottom <= s.height);
    CHECK(s.searchRange <= 100);
    CHECK(s.smoothTimeY == (p.smoothTimeY == 0 ? p.smoothTimeX : p.smoothTimeY));
    if (s.searchRange >= 1) {
        CHECK(s.measureLeft >= s.searchRange && s.measureTop >= s.searchRange);
        CHECK(s.measureRight <= s.width - s.searchRange);
        CHECK(s.measureBottom <= s.height - s.searchRange);
    }

    // A new clip: a new scene for the synthetic frames.
    clipSeed = static_cast<std::uint32_t>(p.firstFrame) * 2654435761u + 17u;
    clip = std::make_unique<SyntheticClip>(p.width, p.height, kCameraMargin, clipSeed);
}

// Sample comparisons of one exhaustive search, an upper bound.
std::int64_t searchWork(const StabilizerParams &s) {
    const std::int64_t r = std::max(s.searchRange, 0);
    const std::int64_t cols =
        std::max<std::int64_t>(0, std::int64_t{s.measureRight} - s.measureLeft + 1);
    const std::int64_t rows =
        std::max<std::int64_t>(0, std::int64_t{s.measureBottom} - s.measureTop + 1);
    return (2 * r + 1) * (2 * r + 1) * std::max<std::int64_t>(1, cols * rows) +
           std::int64_t{s.width} * s.height;
}

void doCalculate() {
    const std::uint8_t flags = input->u8();
    const std::int32_t wanted = 1 + input->u8() % kMaxFramesPerPass;
    void *userData = (flags & kCalcOddUserData) ? userDataFrom(input->integer()) : &pass;

    placidor::api::Engine &e = engine();
    const StabilizerParams before = storedBlock();
    if (model.state < Initialised) {
        CHECK(StabilizerCalculate(userData) == NotInitialised);
        CHECK(sameBlock(before, storedBlock()));
        return;
    }
    if (!before.fetchFrame) {
        CHECK(StabilizerCalculate(userData) == BadArgument);
        CHECK(sameBlock(before, storedBlock()));
        return;
    }

    pass = Pass{};
    pass.running = true;
    pass.systemEscape = flags & kCalcSystemEscape;
    pass.stopByOffset = flags & kCalcStopByOffset;
    pass.progressReenters = flags & kCalcProgressReenter;
    pass.userData = userData;
    pass.stateAtStart = e.state;
    pass.maxClipErrorAtStart = StabilizerGetMaxClipRectErr();
    pass.block = before;
    pass.block.userData = userData;
    const std::uint64_t bpp = before.twoBytePixels ? 2 : 3;
    pass.bufferSize = (std::uint64_t(before.width) + 1) * std::uint64_t(before.height) * bpp + 40;
    pass.budget = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(kWorkPerPass / searchWork(before), 1, wanted));
    placidor::api::setEscapeKey(pass.systemEscape ? nullptr : &scriptedKey);
    using placidor::motion::CpuLevel;
    static const CpuLevel limits[] = {placidor::motion::kHighestLevel, CpuLevel::C, CpuLevel::SSE2,
                                      CpuLevel::SSSE3};
    placidor::api::setKernelLimit(limits[(flags >> kCalcKernelShift) & 3]);
    scriptedKey = ScriptedEscapeKey{};

    const std::int32_t result = StabilizerCalculate(userData);
    pass.running = false;
    TRACE("Calculate budget %d escape %s -> %d after %zu fetches\n", pass.budget,
          pass.systemEscape ? "latch" : "scripted", result, pass.fetches.size());
    placidor::api::setEscapeKey(nullptr);

    // The pass fetched consecutive frames, kept every usable one before the
    // first unusable, and stopped for a reason the host gave it.
    CHECK(!pass.fetches.empty());
    std::int32_t usable = 0;
    while (usable < static_cast<std::int32_t>(pass.fetches.size()) && pass.fetches[usable].usable)
        ++usable;
    const bool endedUnusable = usable < static_cast<std::int32_t>(pass.fetches.size());
    CHECK(static_cast<std::int32_t>(pass.fetches.size()) == usable + (endedUnusable ? 1 : 0));
    const std::int64_t lastFetched = pass.fetches.back().frame;
    if (!endedUnusable && lastFetched < before.lastFrame) {
        CHECK(escapeSaidStop());  // stopped early: only Escape may do that
        escapeConsumed();
    }
    const std::int32_t expected =
        usable > 0 ? saturatingAdd(before.firstFrame, usable - 1)
                   : (before.firstFrame == INT32_MIN ? INT32_MIN : before.firstFrame - 1);
    CHECK(result == expected);
    const std::int32_t told = before.progress ? std::max(usable - 1, 0) : 0;
    CHECK(static_cast<std::int32_t>(pass.progress.size()) == told);

    model.state = Corrected;
    model.analysed = usable;
    model.firstFrame = before.firstFrame;
    StabilizerParams after = storedBlock();
    CHECK(after.userData == userData);
    after.userData = before.userData;
    CHECK(sameBlock(before, after));
}

void doCorrect() {
    void *userData = userDataFrom(input->integer());
    const StabilizerParams before = storedBlock();
    const std::int32_t r = StabilizerCorrect(userData);
    TRACE("Correct -> %d\n", r);
    if (model.state < Corrected) {
        CHECK(r == NotCalculated);
        CHECK(sameBlock(before, storedBlock()));
        return;
    }
    CHECK(r >= 0 && r == StabilizerGetMaxClipRectErr());
    model.state = Corrected;
    StabilizerParams after = storedBlock();
    CHECK(after.userData == userData);
    after.userData = before.userData;
    CHECK(sameBlock(before, after));
}

void doChangeParameter() {
    const ParamsSpec spec = decodeParams(*input);
    const StabilizerParams &p = spec.params;
    const StabilizerParams before = storedBlock();
    const std::int32_t r = StabilizerChangeParameter(p);
    TRACE("ChangeParameter crop %d %d %d %d smooth %d %d -> %d\n", p.cropLimitLeft, p.cropLimitTop,
          p.cropLimitRight, p.cropLimitBottom, p.smoothTimeX, p.smoothTimeY, r);
    if (p.size < PLACIDOR_PARAMS_SIZE) {
        CHECK(r == BadArgument);
        CHECK(sameBlock(before, storedBlock()));
        return;
    }
    StabilizerParams expected = before;
    expected.cropLimitLeft = p.cropLimitLeft;
    expected.cropLimitTop = p.cropLimitTop;
    expected.cropLimitRight = p.cropLimitRight;
    expected.cropLimitBottom = p.cropLimitBottom;
    expected.smoothTimeX = p.smoothTimeX;
    expected.smoothTimeY = p.smoothTimeY == 0 ? p.smoothTimeX : p.smoothTimeY;
    CHECK(sameBlock(expected, storedBlock()));
    if (model.state < Corrected) {
        CHECK(r == NotCalculated);
        return;
    }
    CHECK(r >= 0 && r == StabilizerGetMaxClipRectErr());
    model.state = Corrected;
}

bool analysedFrame(std::int32_t frame) {
    const std::int64_t position = std::int64_t{frame} - model.firstFrame;
    return model.state >= Corrected && position >= 0 && position < model.analysed;
}

void getClipRect(std::int32_t frame) {
    ClipRect r{-1.0, -2.0, -3.0, -4.0};
    const std::int32_t result = StabilizerGetClipRect(frame, &r);
    TRACE("GetClipRect %d -> %d (%g %g %g %g)\n", frame, result, r.left, r.top, r.right, r.bottom);
    if (model.state < Corrected) {
        CHECK(result == NotCalculated);
    } else if (!analysedFrame(frame)) {
        CHECK(result == BadArgument);
    } else {
        CHECK(result == NoError);
        checkRect(r);
        model.state = ClipQueried;
        return;
    }
    CHECK(r.left == 0.0 && r.top == 0.0 && r.right == 0.0 && r.bottom == 0.0);
}

void doGetClipRect() {
    const std::uint8_t how = input->u8();
    if (how & 0x80) {
        CHECK(StabilizerGetClipRect(input->integer(), nullptr) == BadArgument);
        return;
    }
    // Near the analysed frames most of the time, anywhere otherwise.
    const std::int32_t frame =
        (how & 1) ? input->integer()
                  : saturatingAdd(model.firstFrame, static_cast<std::int8_t>(input->u8()));
    getClipRect(frame);
}

void doSweep() {
    for (std::int32_t i = -1; i <= model.analysed; ++i)
        getClipRect(saturatingAdd(model.firstFrame, i));
}

void doFree() {
    const std::int32_t r = StabilizerFree();
    TRACE("Free -> %d\n", r);
    if (model.state == Freed) {
        CHECK(r == AlreadyFreed);
        return;
    }
    CHECK(r == NoError);
    model.state = Freed;
    model.analysed = 0;
}

void doGetParameter() {
    StabilizerParams a = storedBlock();
    StabilizerParams b = storedBlock();
    CHECK(sameBlock(a, b));
    CHECK(StabilizerGetParameter(nullptr) == nullptr);
}

void resetEngine() {
    // A freshly loaded library for every input, so that each input means the
    // same thing whenever it runs.
    placidor::api::setEscapeKey(nullptr);
    placidor::api::setKernelLimit(placidor::motion::kHighestLevel);
    engine() = placidor::api::Engine{};
    (void)placidor::platform::systemEscapeKey().pressedSinceLastQuery();
    model = Model{};
    pass = Pass{};
    scriptedKey = ScriptedEscapeKey{};
    clip.reset();
}

}  // namespace

std::int64_t placidor::fuzz::checkedCalls() { return callsChecked; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Reader reader(data, size);
    input = &reader;
    resetEngine();
    for (int ops = 0; ops < kMaxOps && !reader.empty(); ++ops) {
        switch (reader.u8() % OpCount) {
        case OpInit: doInit(); break;
        case OpCalculate: doCalculate(); break;
        case OpCorrect: doCorrect(); break;
        case OpChangeParameter: doChangeParameter(); break;
        case OpGetClipRect: doGetClipRect(); break;
        case OpSweepClipRects: doSweep(); break;
        case OpFree: doFree(); break;
        case OpGetParameter: doGetParameter(); break;
        case OpGetMaxClipRectErr: CHECK(StabilizerGetMaxClipRectErr() >= 0); break;
        default: pressEscape(true); break;
        }
        checkEngine();
        ++callsChecked;
    }
    resetEngine();
    input = nullptr;
    return 0;
}
