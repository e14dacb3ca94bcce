// Every instruction set's conversion kernels against the reference, bit for
// bit: runs of pixels of every length, and whole frames of every size, pixel
// layout, channel, field setting and pixelOffset. Sources end exactly at
// their allocation, so an over-read trips the address sanitizer.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "motion/frame_convert.h"
#include "motion/motion_test_util.h"

namespace placidor::motion {
namespace {

struct KernelCase {
    const char *name;
    int bpp;
    ConvertPixelsFn ConvertKernels::*kernel;
    ConvertPixelsFn reference;
};

const KernelCase kKernelCases[] = {
    {"luma", 3, &ConvertKernels::luma, convertLuma_c},
    {"red", 3, &ConvertKernels::red, convertRed_c},
    {"green", 3, &ConvertKernels::green, convertGreen_c},
    {"blue", 3, &ConvertKernels::blue, convertBlue_c},
    {"twoByte", 2, &ConvertKernels::twoByte, convertTwoByte_c},
};

// Heap bytes with nothing readable after the last one: the allocation is
// exactly the size asked for.
struct ExactBytes {
    explicit ExactBytes(std::size_t n) : size(n), bytes(new std::uint8_t[n == 0 ? 1 : n]) {}
    std::uint8_t *data() { return bytes.get(); }
    std::size_t size;
    std::unique_ptr<std::uint8_t[]> bytes;
};

enum class Fill { Random, AllSet, Alternating };

void fill(std::uint8_t *p, std::size_t n, Fill how, std::mt19937 &rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t i = 0; i < n; ++i) {
        switch (how) {
        case Fill::Random: p[i] = std::uint8_t(byte(rng)); break;
        case Fill::AllSet: p[i] = 0xff; break;
        case Fill::Alternating: p[i] = (i & 1) ? 0xff : 0x00; break;
        }
    }
}

// Index of the first difference, or -1.
std::ptrdiff_t firstDifference(const std::uint8_t *a, const std::uint8_t *b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return std::ptrdiff_t(i);
    return -1;
}

class ConvertKernelTest : public ::testing::TestWithParam<CpuLevel> {
protected:
    void SetUp() override {
        kernels_ = convertKernelsUpTo(GetParam());
        if (grantedLevel(GetParam()) != GetParam())
            GTEST_SKIP() << cpuLevelName(GetParam()) << " not available on this processor";
        // A broken dispatch must not pass by comparing the reference with itself.
        for (const KernelCase &k : kKernelCases)
            ASSERT_NE(kernels_.*k.kernel, k.reference) << k.name;
    }

    // Converts one frame with the kernels under test and with the reference,
    // each into a plane filled beforehand with its own value, so a sample
    // either one leaves unwritten shows as a difference.
    void expectSameFrame(std::int32_t width, std::int32_t height, bool twoByte,
                         std::int32_t channel, std::int32_t fieldHandling, std::int32_t fieldMode,
                         std::uint16_t pixelOffset, std::mt19937 &rng) {
        StabilizerParams p{};
        p.width = width;
        p.height = height;
        p.twoBytePixels = twoByte ? 1 : 0;
        p.channel = channel;
        p.fieldHandling = fieldHandling;
        p.fieldMode = fieldMode;
        const std::size_t samples = std::size_t(width) * height;
        ExactBytes frame(pixelOffset + samples * (twoByte ? 2 : 3));
        fill(frame.data(), frame.size, Fill::Random, rng);
        frame.data()[0] = std::uint8_t(pixelOffset & 0xff);
        frame.data()[1] = std::uint8_t(pixelOffset >> 8);
        ASSERT_EQ(frameExtent(frame.data(), p), frame.size);
        std::vector<std::uint8_t> want(samples, 0x5a), got(samples, 0xa5);
        convertFrame_c(frame.data(), want.data(), p);
        convertFrame(frame.data(), got.data(), p, kernels_);
        const std::ptrdiff_t at = firstDifference(got.data(), want.data(), samples);
        ASSERT_EQ(at, -1) << width << "x" << height << (twoByte ? " two-byte" : " three-byte")
                          << " channel " << channel << " fieldHandling " << fieldHandling
                          << " fieldMode " << fieldMode << " pixelOffset " << pixelOffset
                          << ": first difference at row " << at / width << " col " << at % width;
    }

    ConvertKernels kernels_;
};

// As checkasm does: every kernel the level's init claims replaces the one
// of the level below, so an init that fills nothing cannot pass by
// re-testing the level below.
TEST_P(ConvertKernelTest, EveryKernelTheLevelClaimsReplacesTheLevelBelow) {
    ConvertKernels claimed{};
    addConvertKernels(GetParam(), claimed);
    const ConvertKernels below =
        convertKernelsUpTo(test::levelBelow(convertKernelLevels(), GetParam()));
    int count = 0;
    for (const KernelCase &k : kKernelCases) {
        if (!(claimed.*k.kernel)) continue;
        ++count;
        EXPECT_EQ(kernels_.*k.kernel, claimed.*k.kernel) << k.name;
        EXPECT_NE(kernels_.*k.kernel, below.*k.kernel) << k.name;
    }
    EXPECT_GT(count, 0) << cpuLevelName(GetParam()) << " claims no conversion kernel";
}

// Runs of every length up to 70 pixels and a few long ones, starting at
// several alignments and ending at the end of their allocation; nothing is
// written past the run.
TEST_P(ConvertKernelTest, RunsOfEveryLengthMatchTheReference) {
    const std::uint32_t seed = 0xc0417e01;
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    std::vector<std::size_t> counts;
    for (std::size_t n = 0; n <= 70; ++n) counts.push_back(n);
    for (std::size_t n : {95, 96, 97, 127, 128, 129, 1000, 1927, 4096 + 31}) counts.push_back(n);
    const std::size_t guard = 64;
    for (const KernelCase &k : kKernelCases) {
        for (Fill how : {Fill::Random, Fill::AllSet, Fill::Alternating}) {
            for (std::size_t count : counts) {
                for (std::size_t misalign : {0, 1, 5}) {
                    ExactBytes src(misalign + count * k.bpp);
                    fill(src.data(), src.size, how, rng);
                    std::vector<std::uint8_t> want(count + guard, 0x5a), got(count + guard, 0xa5);
                    k.reference(src.data() + misalign, want.data(), count);
                    (kernels_.*k.kernel)(src.data() + misalign, got.data(), count);
                    const std::ptrdiff_t at = firstDifference(got.data(), want.data(), count);
                    ASSERT_EQ(at, -1) << k.name << " count " << count << " misalign " << misalign
                                      << " fill " << int(how);
                    for (std::size_t i = count; i < count + guard; ++i)
                        ASSERT_EQ(got[i], 0xa5) << k.name << " wrote past " << count << " samples";
                }
            }
        }
    }
}

// The luma at the ends of its range: weighted sums up to 65,280 must neither
// wrap nor saturate on the way, and the shift must truncate.
TEST_P(ConvertKernelTest, LumaOfExtremePixels) {
    const std::uint8_t pixels[][3] = {{255, 255, 255}, {0, 0, 255},   {0, 255, 0},
                                      {255, 0, 0},     {10, 20, 30},  {128, 128, 128},
                                      {0, 0, 0},       {255, 255, 0}, {0, 255, 255},
                                      {255, 0, 255},   {1, 1, 1},     {254, 254, 254}};
    const std::uint8_t expected[] = {255, 76, 150, 27, 21, 128, 0, 178, 227, 104, 1, 254};
    const std::size_t kinds = sizeof(expected);
    // Every kind at every position of a 32- and a 16-pixel step.
    for (std::size_t count : {16, 32, 33, 64, 100}) {
        for (std::size_t shift = 0; shift < kinds; ++shift) {
            ExactBytes src(count * 3);
            std::vector<std::uint8_t> want(count);
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t kind = (i + shift) % kinds;
                for (int b = 0; b < 3; ++b) src.data()[3 * i + b] = pixels[kind][b];
                want[i] = expected[kind];
            }
            std::vector<std::uint8_t> got(count);
            kernels_.luma(src.data(), got.data(), count);
            ASSERT_EQ(firstDifference(got.data(), want.data(), count), -1)
                << "count " << count << " shift " << shift;
        }
    }
}

TEST_P(ConvertKernelTest, FramesOfEveryNarrowWidthMatchTheReference) {
    const std::uint32_t seed = 0xc0417e02;
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    for (bool twoByte : {false, true})
        for (std::int32_t width = 1; width <= 70; ++width)
            for (std::int32_t height : {1, 2, 3, 4, 5, 8})
                for (std::int32_t channel : {0, 1, 2, 3, 4, -1})
                    expectSameFrame(width, height, twoByte, channel, 0, 0, 40, rng);
}

// Field modes 1 and 2 convert only the even rows, one row at a time; every
// other setting converts the frame as one run.
TEST_P(ConvertKernelTest, FieldSettingsMatchTheReference) {
    const std::uint32_t seed = 0xc0417e03;
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    const std::pair<std::int32_t, std::int32_t> fields[] = {
        {0, 0}, {0, 1}, {0, 2}, {0, 3}, {1, 0}, {1, 1}, {1, 2}, {1, 3}, {-1, 2}, {7, 1}, {1, 9}};
    for (bool twoByte : {false, true})
        for (std::int32_t width = 1; width <= 70; ++width)
            for (std::int32_t height : {1, 2, 3, 4, 5, 8})
                for (auto [handling, mode] : fields)
                    for (std::int32_t channel : {0, 2})
                        expectSameFrame(width, height, twoByte, channel, handling, mode, 40, rng);
}

// Odd and even pixelOffsets put the pixels at every alignment.
TEST_P(ConvertKernelTest, PixelOffsetsMatchTheReference) {
    const std::uint32_t seed = 0xc0417e04;
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    for (std::uint16_t offset : {2, 40, 41, 43, 54, 300})
        for (bool twoByte : {false, true})
            for (std::int32_t width : {1, 5, 15, 16, 17, 31, 32, 33, 47, 48, 49, 70})
                for (std::int32_t height : {1, 2, 3, 7})
                    for (std::int32_t channel : {0, 1, 2, 3})
                        for (auto [handling, mode] : {std::pair{0, 0}, {1, 1}, {1, 2}})
                            expectSameFrame(width, height, twoByte, channel, handling, mode, offset,
                                            rng);
}

TEST_P(ConvertKernelTest, LargeFramesMatchTheReference) {
    const std::uint32_t seed = 0xc0417e05;
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    const std::pair<std::int32_t, std::int32_t> sizes[] = {
        {720, 5}, {1920, 3}, {1921, 4}, {1283, 3}, {333, 17}};
    for (auto [width, height] : sizes)
        for (bool twoByte : {false, true})
            for (std::int32_t channel : {0, 1, 2, 3})
                for (auto [handling, mode] : {std::pair{0, 0}, {1, 1}, {1, 2}, {1, 3}})
                    expectSameFrame(width, height, twoByte, channel, handling, mode, 41, rng);
}

INSTANTIATE_TEST_SUITE_P(Levels, ConvertKernelTest,
                         ::testing::ValuesIn(test::levelsAboveC(convertKernelLevels())),
                         test::levelName);

}  // namespace
}  // namespace placidor::motion
