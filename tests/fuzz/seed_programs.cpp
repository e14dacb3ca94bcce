// The seed corpus of the API fuzzer: host programs in the encoding of
// fuzz_ops.h, built on the tests' generated clips (a textured scene seen
// along a shaky camera path), covering each documented path once so that
// the fuzzer starts from inputs that reach deep into the engine.
#include "seed_programs.h"

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_ops.h"
#include "placidor.h"
#include "support/synthetic_clip.h"

namespace {

using namespace placidor::fuzz;
using placidor::testing::CameraPosition;

StabilizerParams clipBlock(std::int32_t width, std::int32_t height, std::int32_t frames) {
    StabilizerParams p{};
    p.size = PLACIDOR_PARAMS_SIZE;
    p.firstFrame = 0;
    p.lastFrame = frames - 1;
    p.width = width;
    p.height = height;
    p.frameRate = 25.0f;
    p.searchRange = 6;
    p.smoothTimeX = 1000;
    return p;
}

// One fetched frame, as the host in the harness reads it.
struct FrameScript {
    std::uint8_t content = ContentSynthetic;
    bool newOffset = false;
    std::uint16_t offset = 40;
    bool offsetUsable = true;  // when false no content bytes follow
    CameraPosition camera{};
    std::vector<std::uint8_t> raw;  // ContentBytes, 1..256 bytes
    std::uint8_t constant = 0;
    int reenter = -1;  // a re-entrant call kind, 0..8
    bool pressEscape = false;
    bool pressSystemLatch = false;
};

class Program {
public:
    Writer w;

    void init(const StabilizerParams &p, std::uint8_t callbackFlags = 0) {
        w.u8(OpInit);
        encodeParams(w, p, callbackFlags);
    }

    // A pass; `progressReenter` holds one byte per progress call when the
    // flag is set.
    void calculate(std::uint8_t flags, std::int32_t wanted, const std::vector<FrameScript> &frames,
                   const std::vector<int> &progressReenter = {}) {
        w.u8(OpCalculate);
        w.u8(flags);
        w.u8(static_cast<std::uint8_t>(wanted - 1));
        if (flags & kCalcOddUserData) w.integer(0x5eed);
        std::size_t progressCall = 0;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            fetch(frames[i]);
            if (i > 0 && frames[i].offsetUsable && (flags & kCalcProgressReenter)) {
                const int kind =
                    progressCall < progressReenter.size() ? progressReenter[progressCall] : -1;
                ++progressCall;
                if (kind < 0) {
                    w.u8(0);
                } else {
                    w.u8(1);
                    reenterCall(kind);
                }
            }
        }
    }

    void correct(std::int32_t userData) {
        w.u8(OpCorrect);
        w.integer(userData);
    }
    void changeParameter(const StabilizerParams &p) {
        w.u8(OpChangeParameter);
        encodeParams(w, p, 0);
    }
    void clipRect(std::int8_t relative) {
        w.u8(OpGetClipRect);
        w.u8(0);
        w.u8(static_cast<std::uint8_t>(relative));
    }
    void clipRectAbsolute(std::int32_t frame) {
        w.u8(OpGetClipRect);
        w.u8(1);
        w.integer(frame);
    }
    void sweep() { w.u8(OpSweepClipRects); }
    void free() { w.u8(OpFree); }
    void getParameter() { w.u8(OpGetParameter); }
    void maxClipError() { w.u8(OpGetMaxClipRectErr); }
    void pressEscape() { w.u8(OpPressEscape); }

private:
    void fetch(const FrameScript &f) {
        std::uint8_t action = f.content;
        if (f.newOffset) action |= kFetchNewOffset;
        if (f.reenter >= 0) action |= kFetchReenter;
        if (f.pressEscape) action |= kFetchPressEscape;
        if (f.pressSystemLatch) action |= 0x20;
        w.u8(action);
        if (f.newOffset) w.u16(f.offset);
        if (f.offsetUsable) {
            switch (f.content) {
            case ContentSynthetic:
                w.u8(static_cast<std::uint8_t>(f.camera.x));
                w.u8(static_cast<std::uint8_t>(f.camera.y));
                break;
            case ContentBytes:
                w.u8(static_cast<std::uint8_t>(f.raw.size() - 1));
                for (std::uint8_t b : f.raw) w.u8(b);
                break;
            case ContentConstant: w.u8(f.constant); break;
            default: break;
            }
        }
        if (f.reenter >= 0) reenterCall(f.reenter);
    }

    void reenterCall(int kind) {
        w.u8(static_cast<std::uint8_t>(kind));
        switch (kind) {
        case 0:
        case 1: encodeParams(w, clipBlock(16, 16, 4), 0); break;
        case 2:
        case 3:
        case 4:
        case 5: w.integer(kind); break;
        default: break;
        }
    }
};

std::vector<FrameScript> shakyFrames(std::int32_t count, std::uint32_t seed) {
    std::vector<FrameScript> frames;
    for (const CameraPosition &pos : placidor::testing::shakyPath(count, 3, seed)) {
        FrameScript f;
        // The harness keeps the camera within 8 pixels of the start.
        f.camera = {pos.x % 9, pos.y % 9};
        frames.push_back(f);
    }
    return frames;
}

}  // namespace

namespace placidor::fuzz {

std::vector<SeedProgram> seedPrograms() {
    std::vector<SeedProgram> seeds;
    const auto add = [&](const std::string &name, const Program &p) {
        seeds.push_back({name, p.w.bytes});
    };

    {  // The whole road of one clip.
        Program p;
        const StabilizerParams block = clipBlock(48, 32, 12);
        p.init(block);
        p.calculate(0, 12, shakyFrames(12, 1));
        p.sweep();
        StabilizerParams tuned = block;
        tuned.cropLimitLeft = 4;
        tuned.cropLimitRight = 44;
        tuned.cropLimitTop = 3;
        tuned.cropLimitBottom = 29;
        tuned.smoothTimeX = 500;
        p.changeParameter(tuned);
        p.sweep();
        p.correct(7);
        p.maxClipError();
        p.getParameter();
        p.free();
        p.clipRect(0);
        p.free();
        p.init(block);
        p.calculate(0, 12, shakyFrames(12, 2));
        p.clipRect(3);
        add("road", p);
    }
    {  // Two-byte pixels, the iterative search, no averaging, the reference
       // score kernels.
        Program p;
        StabilizerParams block = clipBlock(40, 40, 10);
        block.twoBytePixels = 1;
        block.searchMethod = 1;
        block.smoothingMode = 1;
        block.searchRange = 12;
        p.init(block);
        p.calculate(1 << kCalcKernelShift, 10, shakyFrames(10, 3));
        p.sweep();
        add("two-byte-iterative", p);
    }
    for (int mode = 1; mode <= 3; ++mode) {  // Interlaced frames, each field mode.
        Program p;
        StabilizerParams block = clipBlock(32, 32, 8);
        block.fieldHandling = 1;
        block.fieldMode = mode;
        block.channel = mode;
        p.init(block);
        // Each field mode with another set of score kernels.
        p.calculate(static_cast<std::uint8_t>(mode << kCalcKernelShift), 8,
                    shakyFrames(8, 10 + mode));
        p.sweep();
        add("fields-" + std::to_string(mode), p);
    }
    {  // Escape during a pass, and a press before the next one.
        Program p;
        p.init(clipBlock(32, 24, 20));
        auto frames = shakyFrames(5, 4);
        frames[4].pressEscape = true;
        p.calculate(kCalcSystemEscape, 20, frames);
        p.sweep();
        p.pressEscape();
        p.calculate(kCalcSystemEscape, 20, shakyFrames(1, 5));
        p.sweep();
        add("escape", p);
    }
    {  // The budget ends the pass by an unusable offset; then an unusable
       // first frame, and offsets that the pixels overwrite.
        Program p;
        p.init(clipBlock(24, 24, 30));
        auto frames = shakyFrames(7, 6);
        frames[6].offsetUsable = false;
        p.calculate(kCalcStopByOffset, 6, frames);
        p.sweep();
        FrameScript bad;
        bad.newOffset = true;
        bad.offset = 40 + 24 * 3 + 1;
        bad.offsetUsable = false;
        p.calculate(kCalcStopByOffset, 6, {bad});
        p.clipRect(0);
        p.clipRect(-1);
        auto low = shakyFrames(3, 7);
        low[1].newOffset = true;
        low[1].offset = 0;
        low[1].content = ContentConstant;
        low[1].constant = 0;  // the pixels overwrite the offset with 0
        p.calculate(0, 3, low);
        p.sweep();
        add("offsets", p);
    }
    {  // Every re-entrant call, from the fetch and from progress.
        Program p;
        p.init(clipBlock(32, 32, 12));
        auto frames = shakyFrames(10, 8);
        for (int kind = 0; kind < 9; ++kind) frames[kind].reenter = kind;
        p.calculate(kCalcProgressReenter | kCalcOddUserData, 10, frames,
                    {0, 1, 2, 3, 4, 5, 6, 7, 8});
        p.sweep();
        add("reenter", p);
    }
    {  // Frame numbers at the ends of the range.
        Program p;
        StabilizerParams block = clipBlock(24, 16, 1);
        block.firstFrame = INT32_MAX - 3;
        block.lastFrame = INT32_MAX;
        p.init(block);
        p.calculate(0, 8, shakyFrames(4, 9));
        p.sweep();
        p.clipRectAbsolute(INT32_MAX);
        p.clipRectAbsolute(INT32_MIN);
        block.firstFrame = INT32_MIN;
        block.lastFrame = INT32_MIN + 2;
        p.init(block);
        FrameScript bad;
        bad.newOffset = true;
        bad.offset = 0xFFFF;
        bad.offsetUsable = false;
        p.calculate(0, 4, {bad});
        p.clipRectAbsolute(INT32_MIN);
        add("frame-numbers", p);
    }
    {  // Unusual blocks: NaN and infinite rates, thin frames, refused blocks.
        Program p;
        StabilizerParams block = clipBlock(4000, 1, 4);
        block.frameRate = __builtin_nanf("");
        p.init(block);
        p.calculate(0, 4, shakyFrames(4, 11));
        p.sweep();
        block = clipBlock(1, 3000, 4);
        block.frameRate = __builtin_inff();
        block.smoothTimeX = -1000;
        p.init(block);
        p.calculate(0, 4, shakyFrames(4, 12));
        p.sweep();
        block = clipBlock(0, 16, 4);
        p.init(block);
        block = clipBlock(16, -3, 4);
        p.init(block);
        block = clipBlock(16, 16, 4);
        block.size = PLACIDOR_PARAMS_SIZE - 1;
        p.init(block);
        p.changeParameter(block);
        block.size = PLACIDOR_PARAMS_SIZE;
        p.init(block, kParamsNoFetch | kParamsNoProgress);
        p.calculate(0, 4, {});
        add("blocks", p);
    }
    {  // Extreme limits and smoothing times after an analysis.
        Program p;
        StabilizerParams block = clipBlock(32, 24, 16);
        p.init(block);
        p.calculate(0, 16, shakyFrames(16, 13));
        block.cropLimitLeft = INT32_MAX;
        block.cropLimitRight = INT32_MIN;
        block.cropLimitTop = INT32_MIN;
        block.cropLimitBottom = INT32_MAX;
        block.smoothTimeX = INT32_MAX;
        block.smoothTimeY = INT32_MIN;
        p.changeParameter(block);
        p.sweep();
        block.cropLimitLeft = -5;
        block.cropLimitRight = 5;
        block.smoothTimeX = 0;
        block.smoothTimeY = 0;
        p.changeParameter(block);
        p.sweep();
        add("limits", p);
    }
    {  // Frames from raw bytes of a generated clip, and constant frames.
        Program p;
        const placidor::testing::SyntheticClip clip(32, 16, 8, 21);
        std::vector<std::uint8_t> frame(2 + 32 * 16 * 3);
        p.init(clipBlock(32, 16, 6));
        std::vector<FrameScript> frames;
        for (int i = 0; i < 6; ++i) {
            FrameScript f;
            if (i % 3 == 2) {
                f.content = ContentConstant;
                f.constant = static_cast<std::uint8_t>(40 * i);
            } else {
                f.content = ContentBytes;
                clip.render({i, -i}, false, 2, frame.data());
                f.raw.assign(frame.begin() + 2, frame.begin() + 2 + 96);
            }
            frames.push_back(f);
        }
        frames[5].content = ContentKeep;
        p.calculate(0, 6, frames);
        p.sweep();
        add("raw-bytes", p);
    }
    return seeds;
}

}  // namespace placidor::fuzz
