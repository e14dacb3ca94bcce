// Frame conversion: the pixel layouts, channels, field modes and the
// buffer's pixelOffset.
#include <gtest/gtest.h>

#include <vector>

#include "motion/frame_convert.h"

namespace placidor::motion {
namespace {

std::uint8_t luma(std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    const std::uint8_t px[3] = {b, g, r};
    return pixelLuma(px);
}

TEST(PixelLuma, WeightsTruncateAndSumTo256) {
    EXPECT_EQ(luma(255, 255, 255), 255);
    EXPECT_EQ(luma(0, 0, 255), 76);
    EXPECT_EQ(luma(0, 255, 0), 150);
    EXPECT_EQ(luma(255, 0, 0), 27);
    EXPECT_EQ(luma(10, 20, 30), 21);  // 5,610 / 256, truncated
    EXPECT_EQ(luma(128, 128, 128), 128);
    EXPECT_EQ(luma(0, 0, 0), 0);
}

// A frame whose pixel at (r, c) holds bytes derived from r and c, so every
// sample of the plane tells which pixel and byte it came from.
struct TestFrame {
    std::int32_t width, height;
    bool twoByte;
    std::uint16_t pixelOffset;
    std::vector<std::uint8_t> bytes;

    TestFrame(std::int32_t w, std::int32_t h, bool two, std::uint16_t offset = 40)
        : width(w), height(h), twoByte(two), pixelOffset(offset) {
        const int bpp = two ? 2 : 3;
        // Exactly the bytes the frame needs: a read past the last pixel
        // leaves the allocation.
        bytes.assign(offset + std::size_t(w) * h * bpp, 0xee);
        bytes[0] = std::uint8_t(offset & 0xff);
        bytes[1] = std::uint8_t(offset >> 8);
        for (std::int32_t r = 0; r < h; ++r)
            for (std::int32_t c = 0; c < w; ++c)
                for (int k = 0; k < bpp; ++k)
                    bytes[offset + (std::size_t(r) * w + c) * bpp + k] = byteAt(r, c, k);
    }
    static std::uint8_t byteAt(std::int32_t r, std::int32_t c, int k) {
        return std::uint8_t(r * 37 + c * 11 + k * 71 + 3);
    }
    StabilizerParams params(std::int32_t channel = 0, std::int32_t fieldHandling = 0,
                            std::int32_t fieldMode = 0) const {
        StabilizerParams p{};
        p.width = width;
        p.height = height;
        p.twoBytePixels = twoByte ? 1 : 0;
        p.channel = channel;
        p.fieldHandling = fieldHandling;
        p.fieldMode = fieldMode;
        return p;
    }
    // The reference's plane; the engine's conversion, with this processor's
    // kernels, must give the same.
    std::vector<std::uint8_t> convert(const StabilizerParams &p) const {
        std::vector<std::uint8_t> plane(std::size_t(width) * height, 0x5a);
        EXPECT_EQ(frameExtent(bytes.data(), p), bytes.size());
        convertFrame_c(bytes.data(), plane.data(), p);
        std::vector<std::uint8_t> fast(plane.size(), 0xa5);
        convertFrame(bytes.data(), fast.data(), p, convertKernels());
        EXPECT_EQ(fast, plane);
        return plane;
    }
    // What a row converts to without any field treatment.
    std::uint8_t plain(std::int32_t r, std::int32_t c, std::int32_t channel) const {
        if (twoByte) return byteAt(r, c, 0);
        switch (channel) {
        case 1: return byteAt(r, c, 2);
        case 2: return byteAt(r, c, 1);
        case 3: return byteAt(r, c, 0);
        default: return luma(byteAt(r, c, 0), byteAt(r, c, 1), byteAt(r, c, 2));
        }
    }
};

void expectPlain(const TestFrame &f, const std::vector<std::uint8_t> &plane, std::int32_t channel,
                 std::int32_t onlyRowParity = -1) {
    for (std::int32_t r = 0; r < f.height; ++r) {
        if (onlyRowParity >= 0 && (r & 1) != onlyRowParity) continue;
        for (std::int32_t c = 0; c < f.width; ++c)
            ASSERT_EQ(plane[std::size_t(r) * f.width + c], f.plain(r, c, channel))
                << "row " << r << " col " << c << " channel " << channel;
    }
}

TEST(ConvertFrame, ChannelsPickOneByteOrTheLuma) {
    // 5 pixels wide: row 1 starts 15 bytes after the first pixel, no padding.
    const TestFrame f(5, 4, false);
    for (std::int32_t channel : {0, 1, 2, 3, 4, -1})
        expectPlain(f, f.convert(f.params(channel)), channel);
    EXPECT_EQ(f.convert(f.params(1))[5], TestFrame::byteAt(1, 0, 2));
}

TEST(ConvertFrame, TwoBytePixelsTakeByteZeroWhateverTheChannel) {
    const TestFrame f(7, 3, true);
    for (std::int32_t channel : {0, 1, 2, 3}) expectPlain(f, f.convert(f.params(channel)), channel);
}

TEST(ConvertFrame, PixelOffsetPlacesTheFirstPixel) {
    const TestFrame f(6, 3, false, 54);
    const auto plane = f.convert(f.params(3));
    EXPECT_EQ(plane[0], f.bytes[54]);
    expectPlain(f, plane, 3);
}

TEST(ConvertFrame, FieldModeOneBlanksOddRows) {
    for (bool two : {false, true}) {
        const TestFrame f(9, 6, two);
        const auto plane = f.convert(f.params(0, 1, 1));
        expectPlain(f, plane, 0, 0);
        for (std::int32_t r = 1; r < f.height; r += 2)
            for (std::int32_t c = 0; c < f.width; ++c) EXPECT_EQ(plane[r * f.width + c], 0);
    }
}

TEST(ConvertFrame, FieldModeTwoCopiesTheRowAbove) {
    for (bool two : {false, true}) {
        for (std::int32_t height : {6, 7}) {
            const TestFrame f(9, height, two);
            const auto plane = f.convert(f.params(2, 5, 2));
            expectPlain(f, plane, 2, 0);
            for (std::int32_t r = 1; r < f.height; r += 2)
                for (std::int32_t c = 0; c < f.width; ++c)
                    EXPECT_EQ(plane[r * f.width + c], f.plain(r - 1, c, 2));
        }
    }
}

TEST(ConvertFrame, OtherFieldSettingsConvertEveryRow) {
    for (bool two : {false, true}) {
        const TestFrame f(8, 5, two);
        for (auto [handling, mode] : {std::pair{1, 0}, {1, 3}, {-1, 7}, {0, 1}, {0, 2}, {0, 3}})
            expectPlain(f, f.convert(f.params(0, handling, mode)), 0);
    }
    // One row: never replaced.
    const TestFrame one(8, 1, false);
    expectPlain(one, one.convert(one.params(0, 1, 1)), 0);
}

TEST(ConvertFrame, EmptyFrameWritesNothing) {
    const TestFrame f(4, 2, false);
    StabilizerParams p = f.params();
    std::vector<std::uint8_t> plane(8, 0x5a);
    for (auto [w, h] : {std::pair{0, 2}, {4, 0}, {-3, 2}}) {
        p.width = w;
        p.height = h;
        convertFrame_c(f.bytes.data(), plane.data(), p);
        convertFrame(f.bytes.data(), plane.data(), p, convertKernels());
    }
    for (auto v : plane) EXPECT_EQ(v, 0x5a);
}

}  // namespace
}  // namespace placidor::motion
