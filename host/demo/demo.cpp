#include "demo.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

#include "../error.h"
#include "../memory.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace placidor::host {

namespace {

constexpr double kPi = 3.14159265358979323846;

int sway(const DemoSettings &s) { return std::max(3, s.width / 40); }
int margin(const DemoSettings &s) { return s.shake + sway(s) + 2; }

// Discs of many sizes and colours over a gradient, with fine grain: plenty
// of detail at every scale for the block matching to hold on to.
std::vector<std::uint8_t> makeScene(int w, int h, std::uint32_t seed) {
    std::vector<std::uint8_t> rgb(std::size_t(w) * h * 3);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t *p = &rgb[(std::size_t(y) * w + x) * 3];
            p[0] = std::uint8_t(40 + 120 * x / w);
            p[1] = std::uint8_t(60 + 100 * y / h);
            p[2] = std::uint8_t(110);
        }
    std::uniform_int_distribution<int> colour(0, 255);
    const int discs = std::max(60, w * h / 700);
    for (int i = 0; i < discs; ++i) {
        const int cx = std::uniform_int_distribution<int>(0, w - 1)(rng);
        const int cy = std::uniform_int_distribution<int>(0, h - 1)(rng);
        const int r = std::uniform_int_distribution<int>(2, std::max(3, std::min(w, h) / 10))(rng);
        const std::uint8_t c[3] = {std::uint8_t(colour(rng)), std::uint8_t(colour(rng)),
                                   std::uint8_t(colour(rng))};
        for (int y = std::max(0, cy - r); y <= std::min(h - 1, cy + r); ++y)
            for (int x = std::max(0, cx - r); x <= std::min(w - 1, cx + r); ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r)
                    std::copy(c, c + 3, &rgb[(std::size_t(y) * w + x) * 3]);
    }
    std::uniform_int_distribution<int> grain(-10, 10);
    for (auto &v : rgb) v = std::uint8_t(std::clamp(int(v) + grain(rng), 0, 255));
    return rgb;
}

struct Encoder {
    CodecContextPtr ctx;
    AVStream *stream = nullptr;
};

void check(int rc, const std::string &what) {
    if (rc < 0) throw HostError(what + ": " + avErrorText(rc));
}

void drain(AVFormatContext *format, Encoder &e, AVPacket *packet, const std::string &file) {
    for (;;) {
        const int rc = avcodec_receive_packet(e.ctx.get(), packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
        check(rc, "encoding the demo failed");
        // libx264 leaves packet durations to the caller: one frame each.
        if (packet->duration <= 0 && e.ctx->codec_type == AVMEDIA_TYPE_VIDEO) packet->duration = 1;
        av_packet_rescale_ts(packet, e.ctx->time_base, e.stream->time_base);
        packet->stream_index = e.stream->index;
        check(av_interleaved_write_frame(format, packet), "writing '" + file + "' failed");
    }
}

void writeDemo(const std::string &file, const DemoSettings &s, AVFormatContext *format,
               AVPacket *packet) {
    Encoder video, audio;
    const AVCodec *x264 = avcodec_find_encoder_by_name("libx264");
    const AVCodec *aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!x264 || !aac) throw HostError("this FFmpeg build lacks the libx264 or AAC encoder");

    video.ctx = newCodecContext(x264);
    video.ctx->width = s.width;
    video.ctx->height = s.height;
    video.ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    video.ctx->time_base = {1, s.framesPerSecond};
    video.ctx->framerate = {s.framesPerSecond, 1};
    // No reordering: every packet's pts equals its dts, so the MP4 edit
    // list covers every frame.
    video.ctx->max_b_frames = 0;
    if (format->oformat->flags & AVFMT_GLOBALHEADER)
        video.ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(video.ctx->priv_data, "preset", "fast", 0);
    av_opt_set_double(video.ctx->priv_data, "crf", 16, 0);
    check(avcodec_open2(video.ctx.get(), x264, nullptr), "cannot start the H.264 encoder");

    audio.ctx = newCodecContext(aac);
    audio.ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    audio.ctx->sample_rate = 48000;
    av_channel_layout_default(&audio.ctx->ch_layout, 1);
    audio.ctx->bit_rate = 96000;
    audio.ctx->time_base = {1, 48000};
    if (format->oformat->flags & AVFMT_GLOBALHEADER)
        audio.ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(audio.ctx.get(), aac, nullptr), "cannot start the AAC encoder");

    // Audio first, as many phones write it: hosts must look for the video.
    for (Encoder *e : {&audio, &video}) {
        e->stream = avformat_new_stream(format, nullptr);
        if (!e->stream) throw HostError("out of memory");
        check(avcodec_parameters_from_context(e->stream->codecpar, e->ctx.get()), "demo stream");
        e->stream->time_base = e->ctx->time_base;
    }
    check(av_dict_set(&format->metadata, "title", "Placidor shaky demo", 0), "demo metadata");
    check(av_dict_set(&audio.stream->metadata, "language", "eng", 0), "demo metadata");
    check(avio_open(&format->pb, file.c_str(), AVIO_FLAG_WRITE), "cannot write '" + file + "'");
    check(avformat_write_header(format, nullptr), "cannot write '" + file + "'");

    const int m = margin(s);
    const int sceneW = s.width + 2 * m, sceneH = s.height + 2 * m;
    // libswscale reads the scene, which the camera window moves across,
    // in whole vectors: it lives in a picture laid out for it.
    const FramePtr scene = newPicture(AV_PIX_FMT_RGB24, sceneW, sceneH);
    {
        const auto rgb = makeScene(sceneW, sceneH, s.seed);
        for (int y = 0; y < sceneH; ++y)
            std::copy_n(&rgb[std::size_t(y) * sceneW * 3], std::size_t(sceneW) * 3,
                        scene->data[0] + std::ptrdiff_t(y) * scene->linesize[0]);
    }
    const auto path = demoPath(s);

    const FramePtr frame = newPicture(AV_PIX_FMT_YUV420P, s.width, s.height);
    const FramePtr samples = newFrame();
    const SwsPtr sws(sws_getContext(s.width, s.height, AV_PIX_FMT_RGB24, s.width, s.height,
                                    AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!sws) throw HostError("cannot convert the demo's pixels");
    samples->format = AV_SAMPLE_FMT_FLTP;
    samples->nb_samples = audio.ctx->frame_size;
    samples->sample_rate = 48000;
    check(av_channel_layout_copy(&samples->ch_layout, &audio.ctx->ch_layout), "out of memory");
    check(av_frame_get_buffer(samples.get(), 0), "out of memory");
    {
        const std::int64_t totalSamples = std::int64_t(path.size()) * 48000 / s.framesPerSecond;
        std::int64_t sampleAt = 0;
        for (std::size_t i = 0; i < path.size(); ++i) {
            makeWritable(frame.get());
            const std::uint8_t *src[1] = {scene->data[0] +
                                          std::ptrdiff_t(m + path[i].y) * scene->linesize[0] +
                                          (m + path[i].x) * 3};
            sws_scale(sws.get(), src, scene->linesize, 0, s.height, frame->data, frame->linesize);
            frame->pts = static_cast<std::int64_t>(i);
            frame->pkt_duration = 1;
            check(avcodec_send_frame(video.ctx.get(), frame.get()), "encoding the demo failed");
            drain(format, video, packet, file);
            // Audio up to the end of this frame.
            const std::int64_t until = std::min<std::int64_t>(
                totalSamples, std::int64_t(i + 1) * 48000 / s.framesPerSecond);
            while (sampleAt + samples->nb_samples <= until) {
                check(av_frame_make_writable(samples.get()), "out of memory");
                auto *out = reinterpret_cast<float *>(samples->data[0]);
                for (int k = 0; k < samples->nb_samples; ++k)
                    out[k] =
                        0.25f * float(std::sin(2 * kPi * 440.0 * double(sampleAt + k) / 48000.0));
                samples->pts = sampleAt;
                samples->pkt_duration = samples->nb_samples;
                sampleAt += samples->nb_samples;
                check(avcodec_send_frame(audio.ctx.get(), samples.get()),
                      "encoding the demo's audio failed");
                drain(format, audio, packet, file);
            }
        }
        for (Encoder *e : {&video, &audio}) {
            check(avcodec_send_frame(e->ctx.get(), nullptr), "encoding the demo failed");
            drain(format, *e, packet, file);
        }
        check(av_write_trailer(format), "writing '" + file + "' failed");
    }
}

}  // namespace

std::vector<CameraPoint> demoPath(const DemoSettings &s) {
    const int frames = std::max(2, static_cast<int>(std::lround(s.seconds * s.framesPerSecond)));
    std::mt19937 rng(s.seed * 2654435761u + 1);
    std::uniform_int_distribution<int> jitter(-s.shake, s.shake);
    const int a = sway(s);
    std::vector<CameraPoint> path;
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / frames;
        path.push_back({static_cast<int>(std::lround(a * std::sin(2 * kPi * t))) + jitter(rng),
                        static_cast<int>(std::lround(a * 0.5 * std::sin(2 * kPi * t * 1.5 + 1.0))) +
                            jitter(rng)});
    }
    return path;
}

void makeDemo(const std::string &file, const DemoSettings &s) {
    AVFormatContext *raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, nullptr, file.c_str()) < 0 || !raw)
        throw HostError("cannot tell which container to write for '" + file + "': use .mp4 or .mkv",
                        ExitUsage);
    OutputFormatPtr format(raw);
    try {
        const PacketPtr packet = newPacket();
        writeDemo(file, s, format.get(), packet.get());
        if (avio_closep(&format->pb) < 0) throw HostError("writing '" + file + "' failed");
    } catch (...) {
        format.reset();
        std::remove(file.c_str());
        throw;
    }
}

}  // namespace placidor::host
