// The command line over a sweep of frame sizes and codecs: every path that
// hands buffers to FFmpeg's libraries and zimg (decoding, conversion for the
// analysis, --measure, cropping and encoding, the --compare video, the demo
// writer) runs with PLACIDOR_GUARD_PAGES=1, which ends each of the host's
// buffers at an inaccessible page: a write or read one block past a row or
// a plane kills the process with SIGSEGV instead of corrupting the heap by
// luck. Large frames also run under default placement with malloc's mmap
// threshold raised, so that their buffers come from the heap.
//
// PLACIDOR_FRAME_SWEEP=short (the sanitizer build's test preset) runs a
// smaller sweep: every width from 1 to 70 at one height, and a few low,
// odd, portrait, interlaced and large sizes, one codec each, still with
// guard pages: the sanitizers watch the heap, the guard pages the frames'
// planes, whose default allocation has padding the sanitizers do not see
// past.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "memory.h"
#include "support/process.h"
#include "support/scratch_folder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace {

namespace fs = std::filesystem;
using namespace placidor::host;

using placidor::test::Result;

// Runs placidor with `args`, with `env` added to the environment.
Result placidor(const std::vector<std::string> &args, const std::vector<std::string> &env,
                const fs::path &errFile) {
    const fs::path outFile = fs::path(errFile).replace_extension(".out");
    std::vector<std::string> all = {PLACIDOR_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return placidor::test::finishProgram(placidor::test::spawnProgram(all, outFile, errFile, env),
                                         outFile, errFile);
}

struct Codec {
    const char *encoder;
    AVPixelFormat format;
};
const Codec kH264{"libx264", AV_PIX_FMT_YUV420P};
const Codec kFfv1{"ffv1", AV_PIX_FMT_YUV420P};
const Codec kFfv1Rgb{"ffv1", AV_PIX_FMT_BGR0};  // a packed format: the conversion paths
const Codec kMjpeg{"mjpeg", AV_PIX_FMT_YUVJ420P};
const Codec kFfv1Yuv422{"ffv1", AV_PIX_FMT_YUV422P};  // converted field by field when interlaced

// Writes `frames` frames of a seeded noise picture moving by a pixel or
// two per frame, in Matroska; `order` is the field order the container
// records.
void writeClip(const fs::path &file, const Codec &codec, int width, int height, int frames,
               AVFieldOrder order = AV_FIELD_PROGRESSIVE) {
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec *c = avcodec_find_encoder_by_name(codec.encoder);
    ASSERT_NE(c, nullptr) << codec.encoder;
    AVFormatContext *raw = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, "matroska", file.c_str()), 0);
    OutputFormatPtr format(raw);
    CodecContextPtr enc(avcodec_alloc_context3(c));
    ASSERT_TRUE(enc);
    enc->width = width;
    enc->height = height;
    enc->pix_fmt = codec.format;
    enc->time_base = {1, 25};
    enc->framerate = {25, 1};
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (std::strcmp(codec.encoder, "libx264") == 0)
        av_opt_set(enc->priv_data, "preset", "ultrafast", 0);
    if (std::strcmp(codec.encoder, "mjpeg") == 0) enc->color_range = AVCOL_RANGE_JPEG;
    ASSERT_GE(avcodec_open2(enc.get(), c, nullptr), 0)
        << codec.encoder << " " << width << "x" << height;
    AVStream *st = avformat_new_stream(format.get(), nullptr);
    ASSERT_NE(st, nullptr);
    ASSERT_GE(avcodec_parameters_from_context(st->codecpar, enc.get()), 0);
    st->codecpar->field_order = order;
    st->time_base = enc->time_base;
    ASSERT_GE(avio_open(&format->pb, file.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(format.get(), nullptr), 0);

    std::mt19937 rng(unsigned(width * 7919 + height));
    const int sceneW = width + 2 * frames + 2, sceneH = height + 2 * frames + 2;
    std::vector<std::uint8_t> scene(std::size_t(sceneW) * sceneH);
    for (auto &v : scene) v = std::uint8_t(rng());
    FramePtr frame(av_frame_alloc());
    frame->format = codec.format;
    frame->width = width;
    frame->height = height;
    ASSERT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    PacketPtr packet(av_packet_alloc());
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(codec.format);
    auto drain = [&] {
        while (avcodec_receive_packet(enc.get(), packet.get()) == 0) {
            av_packet_rescale_ts(packet.get(), enc->time_base, st->time_base);
            packet->stream_index = st->index;
            ASSERT_GE(av_interleaved_write_frame(format.get(), packet.get()), 0);
        }
    };
    for (int i = 0; i < frames; ++i) {
        ASSERT_GE(av_frame_make_writable(frame.get()), 0);
        const int ox = 1 + (i * 5) % (2 * frames), oy = 1 + (i * 3) % (2 * frames);
        for (int p = 0; p < 4 && frame->data[p]; ++p) {
            const bool chroma = (p == 1 || p == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
            const int pw = chroma ? AV_CEIL_RSHIFT(width, desc->log2_chroma_w) : width;
            const int ph = chroma ? AV_CEIL_RSHIFT(height, desc->log2_chroma_h) : height;
            const int bytes = (desc->flags & AV_PIX_FMT_FLAG_PLANAR) ? 1 : 4;
            for (int y = 0; y < ph; ++y)
                for (int x = 0; x < pw * bytes; ++x)
                    frame->data[p][std::ptrdiff_t(y) * frame->linesize[p] + x] =
                        chroma ? std::uint8_t(128 + (x & 15))
                               : scene[std::size_t(y + oy) * sceneW + (x / bytes + ox)];
        }
        frame->pts = i;
        ASSERT_GE(avcodec_send_frame(enc.get(), frame.get()), 0);
        drain();
    }
    ASSERT_GE(avcodec_send_frame(enc.get(), nullptr), 0);
    drain();
    ASSERT_GE(av_write_trailer(format.get()), 0);
}

std::string sizeText(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

struct VideoFacts {
    int width = 0, height = 0;
    int packets = 0;
    AVFieldOrder fieldOrder = AV_FIELD_UNKNOWN;
};

// The first video stream of a file the command line wrote.
VideoFacts probe(const fs::path &file) {
    VideoFacts v;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return v;
    InputFormatPtr format(raw);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) return v;
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) return v;
    v.width = format->streams[index]->codecpar->width;
    v.height = format->streams[index]->codecpar->height;
    v.fieldOrder = format->streams[index]->codecpar->field_order;
    PacketPtr packet(av_packet_alloc());
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        v.packets += packet->stream_index == index;
        av_packet_unref(packet.get());
    }
    return v;
}

class FrameSizes : public placidor::test::ScratchFolderTest {
protected:
    FrameSizes() : ScratchFolderTest("placidor_sizes_") {}

    // Stabilises (with the side-by-side video) and measures a clip of
    // this size, each under `env`; a size the command line cannot handle
    // must be refused with the reason, never crash. `interlaced`: the clip
    // is tagged top field first, and rendered field by field.
    void check(const Codec &codec, int w, int h, const std::vector<std::string> &env,
               int frames = 4, bool keepCropSize = false, bool interlaced = false) {
        const std::string tag = std::string(codec.encoder) + "_" +
                                av_get_pix_fmt_name(codec.format) + "_" + sizeText(w, h) +
                                (interlaced ? "_tt" : "");
        SCOPED_TRACE(tag + (env.empty() ? "" : " with " + env[0]));
        const fs::path clip = dir_ / (tag + ".mkv");
        writeClip(clip, codec, w, h, frames, interlaced ? AV_FIELD_TT : AV_FIELD_PROGRESSIVE);
        if (HasFatalFailure()) return;
        const fs::path out = dir_ / (tag + ".out.mp4"), side = dir_ / (tag + ".side.mp4");
        std::vector<std::string> args = {clip.string(), out.string(), "--compare", side.string(),
                                         "-y",          "-q",         "--preset",  "ultrafast"};
        // A smaller output: the side-by-side video is cropped separately.
        if (keepCropSize) args.insert(args.end(), {"--keep-crop-size", "--crop-limit", "10%"});
        const Result r = placidor(args, env, dir_ / "err.txt");
        if (w < 2 || h < 2) {
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_NE(r.err.find("too small"), std::string::npos) << r.err;
            EXPECT_FALSE(fs::exists(out));
        } else {
            EXPECT_EQ(r.status, 0) << r.err;
            // An interlaced picture keeps a multiple of 4 rows (4:2:0 fields).
            const int rows = interlaced && (h & ~1) >= 4 ? h & ~3 : h & ~1;
            // Every frame, the odd last column or row left out.
            const VideoFacts o = probe(out), c = probe(side);
            if (keepCropSize) {
                EXPECT_LT(o.width, w & ~1);
                EXPECT_EQ(o.width % 2, 0);
                EXPECT_GE(o.width, 2);
            } else {
                EXPECT_EQ(o.width, w & ~1);
                EXPECT_EQ(o.height, rows);
            }
            EXPECT_EQ(o.packets, frames);
            EXPECT_EQ(c.width, 2 * (w & ~1));
            EXPECT_EQ(c.height, rows);
            EXPECT_EQ(c.packets, frames);
            if (interlaced && rows >= 4) {
                EXPECT_EQ(o.fieldOrder, AV_FIELD_TT);
                EXPECT_EQ(c.fieldOrder, AV_FIELD_TT);
            }
        }
        const Result m = placidor({"--measure", clip.string()}, env, dir_ / "err.txt");
        EXPECT_EQ(m.status, 0) << m.err;
        EXPECT_NE(
            m.out.find(": " + std::to_string(frames) + " frames, " + sizeText(w, h) + ", shake "),
            std::string::npos)
            << m.out;
        fs::remove(clip);
        fs::remove(out);
        fs::remove(side);
    }
};

const std::vector<std::string> kGuarded = {"PLACIDOR_GUARD_PAGES=1"};
const std::vector<std::string> kHeapOnly = {"GLIBC_TUNABLES=glibc.malloc.mmap_threshold=33554432"};

// The smaller sweep, for builds whose every run is several times slower.
bool shortSweep() {
    const char *v = std::getenv("PLACIDOR_FRAME_SWEEP");
    return v && std::strcmp(v, "short") == 0;
}

using Sizes = std::vector<std::pair<int, int>>;

// Every width from 1 to 70, in four groups that run side by side.
class NarrowWidths : public FrameSizes, public ::testing::WithParamInterface<int> {};

TEST_P(NarrowWidths, WithGuardPages) {
    const int first = 1 + GetParam() * 18, last = std::min(70, first + 17);
    for (int w = first; w <= last; ++w) {
        check(kFfv1, w, 17, kGuarded, 3);
        if (w % 2 == 0 && !shortSweep()) check(kH264, w, 18, kGuarded, 3);
    }
}

INSTANTIATE_TEST_SUITE_P(FrameSizes, NarrowWidths, ::testing::Range(0, 4),
                         [](const ::testing::TestParamInfo<int> &info) {
                             const int first = 1 + info.param * 18;
                             return std::to_string(first) + "to" +
                                    std::to_string(std::min(70, first + 17));
                         });

TEST_F(FrameSizes, LowHeightsAndOddShapesWithGuardPages) {
    const bool full = !shortSweep();
    for (int h : full ? std::vector<int>{1, 2, 3, 4, 5, 7, 8, 12, 13, 16, 33}
                      : std::vector<int>{1, 2, 3, 13})
        check(kFfv1, 40, h, kGuarded, 3);
    for (int h : full ? std::vector<int>{2, 4, 6, 12, 16, 34} : std::vector<int>{2, 34})
        check(kH264, 40, h, kGuarded, 3);
    for (auto [w, h] : full ? Sizes{{1, 1}, {2, 2}, {3, 3}, {1, 40}, {40, 1}, {13, 13}}
                            : Sizes{{1, 1}, {1, 40}, {13, 13}})
        check(kFfv1, w, h, kGuarded, 3);
    for (auto [w, h] : full ? Sizes{{5, 9}, {33, 21}, {64, 64}, {71, 45}} : Sizes{{33, 21}})
        check(kFfv1Rgb, w, h, kGuarded, 3);
}

TEST_F(FrameSizes, CommonAndOddSizesWithGuardPages) {
    const bool full = !shortSweep();
    const Sizes even = {{90, 90},   {200, 150}, {360, 120}, {426, 240},
                        {518, 120}, {640, 360}, {854, 480}, {240, 426}};
    for (auto [w, h] : full ? even : Sizes{{426, 240}, {240, 426}}) {
        check(kH264, w, h, kGuarded);
        if (full) check(kMjpeg, w, h, kGuarded);
    }
    if (!full) check(kMjpeg, 200, 150, kGuarded);
    for (auto [w, h] : full ? Sizes{{200, 150}, {426, 240}, {99, 301}} : Sizes{{99, 301}})
        check(kFfv1, w, h, kGuarded, 4, true);
    for (auto [w, h] :
         full ? Sizes{{201, 151}, {427, 241}, {361, 119}, {99, 301}} : Sizes{{201, 151}, {99, 301}})
        check(kFfv1, w, h, kGuarded);
}

// Interlaced clips are cut, converted and resampled one field at a time,
// through field views of the frames (every other row): low and odd heights
// (cut down to a multiple of 4), 4:2:2 and packed RGB converted per field,
// and a cropped size.
TEST_F(FrameSizes, InterlacedSizesWithGuardPages) {
    const bool full = !shortSweep();
    for (int h : full ? std::vector<int>{3, 4, 5, 6, 7, 8, 10, 17, 18, 34, 301}
                      : std::vector<int>{3, 5, 18, 301})
        check(kFfv1, 40, h, kGuarded, 3, false, true);
    for (auto [w, h] : full ? Sizes{{33, 22}, {64, 66}, {71, 45}} : Sizes{{33, 22}, {71, 45}}) {
        if (full || w == 33) check(kFfv1Yuv422, w, h, kGuarded, 3, false, true);
        if (full || w == 71) check(kFfv1Rgb, w, h, kGuarded, 3, false, true);
    }
    check(kFfv1, 200, 150, kGuarded, 4, true, true);
    check(kH264, 426, 240, kGuarded, 3, false, true);
}

TEST_F(FrameSizes, LargeFramesWithGuardPagesAndFromTheHeap) {
    if (shortSweep()) {
        // One portrait frame guarded, one odd frame from the heap.
        check(kH264, 1080, 1920, kGuarded, 2);
        check(kMjpeg, 1922, 1082, kHeapOnly, 2);
        return;
    }
    for (const auto &env : {kGuarded, kHeapOnly}) {
        check(kH264, 1080, 1920, env, 3);
        check(kMjpeg, 1922, 1082, env, 3);
        check(kH264, 4096, 2160, env, 2);
    }
}

// The demo writer's scene, conversion and encoding at sizes its option
// allows.
TEST_F(FrameSizes, DemoClipsWithGuardPages) {
    for (auto [w, h] :
         shortSweep() ? Sizes{{66, 70}, {98, 64}, {1080, 1920}}
                      : Sizes{{64, 64}, {66, 70}, {98, 64}, {200, 150}, {426, 240}, {1080, 1920}}) {
        const fs::path clip = dir_ / ("demo_" + sizeText(w, h) + ".mp4");
        const Result r = placidor({"--make-demo", clip.string(), "--demo-size", sizeText(w, h),
                                   "--demo-seconds", "0.2", "-q", "-y"},
                                  kGuarded, dir_ / "err.txt");
        EXPECT_EQ(r.status, 0) << sizeText(w, h) << ": " << r.err;
        EXPECT_TRUE(fs::exists(clip));
        fs::remove(clip);
    }
}

// The guard itself: a picture's planes end where the layout says, at an
// inaccessible page, with strides and addresses aligned for zimg.
TEST(GuardPages, PlanesEndAtAnInaccessiblePage) {
    ASSERT_EQ(setenv("PLACIDOR_GUARD_PAGES", "1", 1), 0);
    ASSERT_TRUE(guardPages());
    FramePtr f = newPicture(AV_PIX_FMT_YUV420P, 37, 11);
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(f->data[p]) % kBufferAlign, 0u);
        EXPECT_EQ(f->linesize[p] % int(kBufferAlign), 0);
        const int rows = p == 0 ? 11 : 6;
        std::uint8_t *end = f->data[p] + std::ptrdiff_t(f->linesize[p]) * rows;
        end[-1] = 1;  // the last byte of the plane is there
        EXPECT_DEATH(*static_cast<volatile std::uint8_t *>(end) = 1, "");
    }
    LibraryBuffer bytes(100);
    EXPECT_EQ(bytes.size(), 128u);
    bytes.data()[127] = 1;
    EXPECT_DEATH(static_cast<volatile std::uint8_t *>(bytes.data())[128] = 1, "");
}

}  // namespace
