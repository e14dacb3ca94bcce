// Byte-shuffle controls and weights shared by the conversion kernels that
// have a byte shuffle (SSSE3 and AVX2): plain data, no instructions.
#pragma once

#include <cstdint>

namespace placidor::motion {

// Shuffle controls that gather output byte o from byte pick(o) of a 48-byte
// group held in three registers (bytes 0-15, 16-31, 32-47): one control per
// register, 0x80 (a zero byte) where another register supplies it. Each
// control is written twice, for both 128-bit lanes of a 256-bit register.
struct Gather {
    alignas(32) std::uint8_t control[3][32];
};

template <class Pick>
constexpr Gather makeGather(Pick pick) {
    Gather g{};
    for (int reg = 0; reg < 3; ++reg) {
        for (int o = 0; o < 16; ++o) {
            const int k = pick(o);
            const std::uint8_t v = k / 16 == reg ? std::uint8_t(k % 16) : std::uint8_t(0x80);
            g.control[reg][o] = v;
            g.control[reg][o + 16] = v;
        }
    }
    return g;
}

// Byte j of pixels 0-15.
inline constexpr Gather kByte[3] = {makeGather([](int o) { return 3 * o; }),
                                    makeGather([](int o) { return 3 * o + 1; }),
                                    makeGather([](int o) { return 3 * o + 2; })};
// Pairs (byte j, byte j + 1) of pixels 0-7 (in the first two registers)
// and 8-15 (in the last two), for j = 0 (blue, green) and 1 (green, red).
inline constexpr Gather kPairLo[2] = {makeGather([](int o) { return 3 * (o / 2) + o % 2; }),
                                      makeGather([](int o) { return 3 * (o / 2) + 1 + o % 2; })};
inline constexpr Gather kPairHi[2] = {
    makeGather([](int o) { return 3 * (8 + o / 2) + o % 2; }),
    makeGather([](int o) { return 3 * (8 + o / 2) + 1 + o % 2; })};

// 151 green does not fit a signed byte weight: split as 100 + 51, each pair
// of weights sums to 128, so a pair's weighted sum is at most 32,640 and
// the signed-saturating multiply-add never saturates.
inline constexpr short kWeightsBlueGreen = 28 | (100 << 8);
inline constexpr short kWeightsGreenRed = 51 | (77 << 8);

}  // namespace placidor::motion
