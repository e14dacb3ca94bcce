#include "render_pass.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "error.h"
#include "input/input.h"
#include "memory.h"
#include "output/output.h"
#include "output/render.h"
#include "output/worker.h"

namespace placidor::host {

namespace {

// Copies a 4:2:0 frame (8 or 10 bits) into a larger one at column `x`.
void paste(const AVFrame *src, AVFrame *dst, int x) {
    const int bytes = src->format == AV_PIX_FMT_YUV420P10 ? 2 : 1;
    for (int p = 0; p < 3; ++p) {
        const int shift = p == 0 ? 0 : 1;
        const int w = src->width >> shift, h = src->height >> shift;
        for (int r = 0; r < h; ++r)
            std::memcpy(dst->data[p] + std::ptrdiff_t(r) * dst->linesize[p] + (x >> shift) * bytes,
                        src->data[p] + std::ptrdiff_t(r) * src->linesize[p],
                        std::size_t(w) * bytes);
    }
}

}  // namespace

StreamSelection selectionOf(const Options &o) {
    StreamSelection s;
    s.audio = !o.noAudio;
    s.subtitles = !o.noSubtitles;
    s.data = !o.noData;
    s.skipUnsupported = o.skipUnsupported;
    return s;
}

RenderStats renderPass(const Options &o, const Analysis &a, const std::string &temp,
                       const std::string &compareTemp, Progress &progress) {
    VideoInput input(o.input);
    const VideoInfo &info = input.info();
    const auto &rects = a.path.rects;
    const auto rectFor = [&](std::int64_t frame) -> const ClipRect & {
        const std::int64_t i =
            std::clamp<std::int64_t>(frame - a.firstFrame, 0, std::int64_t(rects.size()) - 1);
        return rects[std::size_t(i)];
    };
    // 4:2:0 pictures have even sizes: an odd last column or row is left out.
    int evenW = info.width & ~1, evenH = info.height & ~1;
    if (evenW < 2 || evenH < 2)
        throw HostError("the video is " + std::to_string(info.width) + "x" +
                        std::to_string(info.height) +
                        " pixels: too small to write, the 4:2:0 H.264 output needs at least 2x2 "
                        "(--measure still "
                        "works)");
    int outW = evenW, outH = evenH;
    if (o.keepCropSize) {
        const ClipRect &r = rects.front();
        outW = std::clamp(static_cast<int>(std::lround(r.right - r.left)) & ~1, 2, evenW);
        outH = std::clamp(static_cast<int>(std::lround(r.bottom - r.top)) & ~1, 2, evenH);
    }

    // Packets of other streams that arrive before the first picture wait
    // until the outputs exist.
    std::vector<PacketPtr> early;
    std::unique_ptr<VideoOutput> output, compare;
    input.onOtherPacket([&](AVPacket *packet) {
        if (!output) {
            early.push_back(clonePacket(packet));
            return;
        }
        output->copyPacket(packet);
        if (compare) compare->copyPacket(packet);
    });

    std::unique_ptr<PlanarFrames> planar;
    std::unique_ptr<Cropper> cropper, fullCropper;
    // Two of each: the worker resamples frame N into one while the encoder
    // takes frame N - 1 from the other.
    FramePtr out[2], full[2], side[2];
    RenderStats stats;
    AVFieldOrder fieldOrder = AV_FIELD_PROGRESSIVE;
    const std::int64_t step =
        std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(info.frameRate), info.timeBase));
    std::int64_t lastPts = INT64_MIN;
    // The frame resampled last, waiting for the encoder.
    struct Pending {
        bool waiting = false;
        int slot = 0;
        std::int64_t pts = 0, duration = 0;
    } pending;
    const auto encodePending = [&] {
        if (!pending.waiting) return;
        output->writeFrame(out[pending.slot].get(), pending.pts, pending.duration);
        if (compare) compare->writeFrame(side[pending.slot].get(), pending.pts, pending.duration);
        pending.waiting = false;
        stats.frames += 1;
        progress.update(stats.frames);
    };
    // Declared after every buffer its jobs use: it ends (waiting for its
    // job) before they go, also when an exception leaves the loop.
    Worker worker;
    progress.begin("render", info.frameCountHint);
    for (std::int64_t index = 0;; ++index) {
        AVFrame *decoded = input.nextFrame();
        if (!decoded) break;
        const PictureColour colour = outputColour(*decoded);
        const bool fullRange = colour.range == AVCOL_RANGE_JPEG;
        const int bits = colour.format == AV_PIX_FMT_YUV420P10 ? 10 : 8;
        if (!output) {
            // Interlaced pictures stay interlaced: cut and resampled field
            // by field, written interlaced in the same field order. Each
            // field is 4:2:0 of an even height: a multiple of 4 rows.
            if (evenH >= 4) fieldOrder = fieldOrderOf(*input.videoStream()->codecpar, *decoded);
            const bool interlaced = fieldOrder != AV_FIELD_PROGRESSIVE;
            if (interlaced) {
                evenH &= ~3;
                outH = std::max(4, outH & ~3);
            }
            stats.width = outW;
            stats.height = outH;
            planar = std::make_unique<PlanarFrames>(evenW, evenH, interlaced);
            cropper = std::make_unique<Cropper>(info.width, info.height, outW, outH, fullRange,
                                                bits, interlaced);
            for (FramePtr &f : out) f = allocPlanarFrame(outW, outH, colour.format);
            output = std::make_unique<VideoOutput>(
                o.output, temp, input,
                EncoderSettings{outW, outH, o.crf, o.preset, selectionOf(o), fieldOrder}, *decoded);
            if (!o.compareFile.empty()) {
                for (FramePtr &f : side) f = allocPlanarFrame(evenW * 2, evenH, colour.format);
                compare = std::make_unique<VideoOutput>(
                    o.compareFile, compareTemp, input,
                    EncoderSettings{evenW * 2, evenH, o.crf, o.preset, selectionOf(o), fieldOrder},
                    *decoded);
                if (outW != evenW || outH != evenH) {
                    fullCropper = std::make_unique<Cropper>(info.width, info.height, evenW, evenH,
                                                            fullRange, bits, interlaced);
                    for (FramePtr &f : full) f = allocPlanarFrame(evenW, evenH, colour.format);
                }
            }
            for (const PacketPtr &p : early) {
                output->copyPacket(p.get());
                if (compare) compare->copyPacket(p.get());
            }
            early.clear();
        }
        std::int64_t pts = decoded->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) pts = lastPts == INT64_MIN ? 0 : lastPts + step;
        if (lastPts != INT64_MIN && pts <= lastPts) pts = lastPts + 1;
        lastPts = pts;
        const std::int64_t duration = decoded->pkt_duration > 0 ? decoded->pkt_duration : step;

        const AVFrame *picture = planar->convert(decoded);
        const ClipRect rect = rectFor(index);
        const int slot = int(index % 2);
        // The picture stays valid until the next nextFrame(): the worker
        // is done with it by then.
        worker.run([&, picture, rect, slot] {
            AVFrame *o = out[slot].get();
            makeWritable(o);
            cropper->render(picture, rect, o);
            if (compare) {
                AVFrame *s = side[slot].get();
                makeWritable(s);
                paste(picture, s, 0);
                if (fullCropper) {
                    fullCropper->render(picture, rect, full[slot].get());
                    paste(full[slot].get(), s, evenW);
                } else {
                    paste(o, s, evenW);
                }
            }
        });
        encodePending();  // frame index - 1, while the worker resamples this one
        worker.wait();
        pending = {true, slot, pts, duration};
    }
    encodePending();
    if (!output) throw HostError("'" + o.input + "' has no video frames");
    output->finish();
    if (compare) compare->finish();
    // What a damaged input lost, said once the output is whole.
    const std::string damage = input.damageReport(stats.frames);
    if (!damage.empty())
        std::fprintf(stderr,
                     "placidor: warning: %s; the output holds the %lld frames that decoded\n",
                     damage.c_str(), (long long)stats.frames);
    if (output->brokenPackets() > 0)
        std::fprintf(
            stderr,
            "placidor: warning: %lld packets of the copied streams had timestamps going backwards "
            "(damaged input) and were moved just after the packet before\n",
            (long long)output->brokenPackets());
    stats.framesPerSecond = progress.end(stats.frames);
    return stats;
}

}  // namespace placidor::host
