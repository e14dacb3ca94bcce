// The byte encoding of a fuzzing input: a sequence of host operations on the
// public interface. Shared by the harness (which decodes) and the seed
// generator (which encodes), so that seeds always mean what they say.
//
// Every read past the end of the input yields zeros, so any byte string is a
// valid program; the decoder never fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "placidor.h"

namespace placidor::fuzz {

// Top-level operations, the low bits of one byte.
enum Op : std::uint8_t {
    OpInit = 0,
    OpCalculate = 1,
    OpCorrect = 2,
    OpChangeParameter = 3,
    OpGetClipRect = 4,
    OpSweepClipRects = 5,
    OpFree = 6,
    OpGetParameter = 7,
    OpGetMaxClipRectErr = 8,
    OpPressEscape = 9,
    OpCount = 10
};

// Integer tags: the first byte of every integer field selects how the rest
// is read, so that small, boundary and arbitrary values are all one
// mutation away.
enum IntTag : std::uint8_t {
    IntZero = 0,
    IntSmall = 1,    // one signed byte
    IntMedium = 2,   // two bytes, signed
    IntRaw = 3,      // four bytes
    IntNearMin = 4,  // INT32_MIN + one unsigned byte
    IntNearMax = 5,  // INT32_MAX - one unsigned byte
    IntMinusOne = 6,
    IntTagCount = 7
};

// Dimension tags: mostly small sizes, sometimes up to a few thousand, and
// sometimes not positive at all.
enum DimTag : std::uint8_t {
    DimSmall = 0,  // 1 + byte % 64
    DimLarge = 1,  // two bytes % 4097
    DimZero = 2,
    DimNegative = 3,  // -(1 + byte)
    DimMin = 4,       // INT32_MIN
    DimTagCount = 5
};

// Frame-rate tags.
enum RateTag : std::uint8_t {
    RateCommon = 0,  // 25, 29.97, 30, 50, 60 by one byte
    RateRaw = 1,     // four bytes as a float, NaN and infinities included
    RateNaN = 2,
    RateInfinite = 3,
    RateNegInfinite = 4,
    RateZero = 5,
    RateTagCount = 6
};

// What a host does with one fetched frame: the low two bits pick the content.
enum Content : std::uint8_t {
    ContentSynthetic = 0,  // the generated scene at a camera position
    ContentBytes = 1,      // bytes taken from the input, repeated
    ContentConstant = 2,   // one value everywhere
    ContentKeep = 3        // only the offset: the buffer keeps what it had
};
constexpr std::uint8_t kFetchNewOffset = 1u << 2;    // a pixelOffset follows
constexpr std::uint8_t kFetchReenter = 1u << 3;      // a re-entrant call follows
constexpr std::uint8_t kFetchPressEscape = 1u << 4;  // press the Escape latch

// How a pass is stopped once its frame budget is spent.
enum StopMode : std::uint8_t { StopByEscape = 0, StopByOffset = 1 };

// Calculate flags (one byte).
constexpr std::uint8_t kCalcSystemEscape = 1u << 0;  // the library's own latch
constexpr std::uint8_t kCalcStopByOffset = 1u << 1;
constexpr std::uint8_t kCalcProgressReenter = 1u << 2;  // progress makes calls
constexpr std::uint8_t kCalcOddUserData = 1u << 3;      // a userData that is no pointer
// Bits 4-5: the score kernels: 0 the detected ones (the best level), 1 the
// reference, 2 up to SSE2, 3 up to SSSE3 (each as far as the processor goes).
constexpr int kCalcKernelShift = 4;

class Reader {
public:
    Reader(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::size_t remaining() const { return pos_ < size_ ? size_ - pos_ : 0; }

    std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() {
        const std::uint16_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    std::uint32_t u32() {
        const std::uint32_t lo = u16();
        return lo | (std::uint32_t{u16()} << 16);
    }

    std::int32_t integer() {
        switch (u8() % IntTagCount) {
        case IntZero: return 0;
        case IntSmall: return static_cast<std::int8_t>(u8());
        case IntMedium: return static_cast<std::int16_t>(u16());
        case IntRaw: return static_cast<std::int32_t>(u32());
        case IntNearMin: return INT32_MIN + u8();
        case IntNearMax: return INT32_MAX - u8();
        default: return -1;
        }
    }

    std::int32_t dimension() {
        switch (u8() % DimTagCount) {
        case DimSmall: return 1 + u8() % 64;
        case DimLarge: return u16() % 4097;
        case DimZero: return 0;
        case DimNegative: return -(1 + u8());
        default: return INT32_MIN;
        }
    }

    float rate() {
        switch (u8() % RateTagCount) {
        case RateCommon: {
            static const float common[] = {25.0f, 29.97f,  30.0f, 50.0f,
                                           60.0f, 23.976f, 1.0f,  1000.0f};
            return common[u8() % 8];
        }
        case RateRaw: {
            const std::uint32_t bits = u32();
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
        case RateNaN: return __builtin_nanf("");
        case RateInfinite: return __builtin_inff();
        case RateNegInfinite: return -__builtin_inff();
        default: return 0.0f;
        }
    }

    // Up to `max` bytes, as many as remain.
    std::vector<std::uint8_t> bytes(std::size_t max) {
        const std::size_t n = max < remaining() ? max : remaining();
        std::vector<std::uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// The encoder the seed generator uses; each method mirrors a Reader method.
class Writer {
public:
    std::vector<std::uint8_t> bytes;

    void u8(std::uint8_t v) { bytes.push_back(v); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v & 0xff));
        u8(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v & 0xffff));
        u16(static_cast<std::uint16_t>(v >> 16));
    }
    void integer(std::int32_t v) {
        if (v == 0) {
            u8(IntZero);
        } else if (v == -1) {
            u8(IntMinusOne);
        } else if (v >= -128 && v <= 127) {
            u8(IntSmall);
            u8(static_cast<std::uint8_t>(v));
        } else if (v >= -32768 && v <= 32767) {
            u8(IntMedium);
            u16(static_cast<std::uint16_t>(v));
        } else {
            u8(IntRaw);
            u32(static_cast<std::uint32_t>(v));
        }
    }
    void dimension(std::int32_t v) {
        if (v >= 1 && v <= 64) {
            u8(DimSmall);
            u8(static_cast<std::uint8_t>(v - 1));
        } else if (v == 0) {
            u8(DimZero);
        } else if (v < 0 && v >= -256) {
            u8(DimNegative);
            u8(static_cast<std::uint8_t>(-v - 1));
        } else if (v == INT32_MIN) {
            u8(DimMin);
        } else {
            u8(DimLarge);
            u16(static_cast<std::uint16_t>(v));
        }
    }
    void rate(float f) {
        u8(RateRaw);
        std::uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        u32(bits);
    }
};

// A parameter block as the input describes it. The callbacks are chosen by
// flags, since the input cannot name functions.
constexpr std::uint8_t kParamsNoFetch = 1u << 0;
constexpr std::uint8_t kParamsNoProgress = 1u << 1;

struct ParamsSpec {
    StabilizerParams params{};  // fetchFrame and progress left NULL
    std::uint8_t callbackFlags = 0;
};

// size: mostly exact, sometimes one short, zero, or any value.
inline std::uint32_t decodeSize(Reader &in) {
    switch (in.u8() % 8) {
    case 5: return PLACIDOR_PARAMS_SIZE - 1;
    case 6: return in.u32();
    case 7: return 0;
    default: return PLACIDOR_PARAMS_SIZE;
    }
}

// lastFrame relative to firstFrame, so that short clips are common.
enum LastTag : std::uint8_t {
    LastAfter = 0,
    LastRaw = 1,
    LastSame = 2,
    LastBefore = 3,
    LastTagCount = 4
};

inline std::int32_t saturatingAdd(std::int32_t a, std::int64_t b) {
    const std::int64_t v = std::int64_t{a} + b;
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<std::int32_t>(v);
}

inline ParamsSpec decodeParams(Reader &in) {
    ParamsSpec spec;
    StabilizerParams &p = spec.params;
    p.size = decodeSize(in);
    p.firstFrame = in.integer();
    switch (in.u8() % LastTagCount) {
    case LastAfter: p.lastFrame = saturatingAdd(p.firstFrame, in.u8()); break;
    case LastRaw: p.lastFrame = in.integer(); break;
    case LastSame: p.lastFrame = p.firstFrame; break;
    default: p.lastFrame = saturatingAdd(p.firstFrame, -1 - std::int64_t{in.u8()}); break;
    }
    p.width = in.dimension();
    p.height = in.dimension();
    p.frameRate = in.rate();
    p.measureLeft = in.integer();
    p.measureTop = in.integer();
    p.measureRight = in.integer();
    p.measureBottom = in.integer();
    p.cropLimitLeft = in.integer();
    p.cropLimitTop = in.integer();
    p.cropLimitRight = in.integer();
    p.cropLimitBottom = in.integer();
    p.searchRange = in.integer();
    p.fieldHandling = in.integer();
    p.fieldMode = in.integer();
    p.twoBytePixels = in.integer();
    p.smoothTimeX = in.integer();
    p.smoothTimeY = in.integer();
    spec.callbackFlags = in.u8();
    p.reserved = reinterpret_cast<void *>(static_cast<std::intptr_t>(in.integer()));
    p.userData = reinterpret_cast<void *>(static_cast<std::intptr_t>(in.integer()));
    p.searchMethod = in.integer();
    p.smoothingMode = in.integer();
    p.channel = in.integer();
    return spec;
}

inline void encodeParams(Writer &out, const StabilizerParams &p, std::uint8_t callbackFlags) {
    if (p.size == PLACIDOR_PARAMS_SIZE) {
        out.u8(0);
    } else {
        out.u8(6);
        out.u32(p.size);
    }
    out.integer(p.firstFrame);
    const std::int64_t span = std::int64_t{p.lastFrame} - p.firstFrame;
    if (span == 0) {
        out.u8(LastSame);
    } else if (span > 0 && span <= 255) {
        out.u8(LastAfter);
        out.u8(static_cast<std::uint8_t>(span));
    } else {
        out.u8(LastRaw);
        out.integer(p.lastFrame);
    }
    out.dimension(p.width);
    out.dimension(p.height);
    out.rate(p.frameRate);
    for (std::int32_t v :
         {p.measureLeft, p.measureTop, p.measureRight, p.measureBottom, p.cropLimitLeft,
          p.cropLimitTop, p.cropLimitRight, p.cropLimitBottom, p.searchRange, p.fieldHandling,
          p.fieldMode, p.twoBytePixels, p.smoothTimeX, p.smoothTimeY})
        out.integer(v);
    out.u8(callbackFlags);
    out.integer(static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(p.reserved)));
    out.integer(static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(p.userData)));
    out.integer(p.searchMethod);
    out.integer(p.smoothingMode);
    out.integer(p.channel);
}

}  // namespace placidor::fuzz
