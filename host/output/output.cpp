#include "output.h"

#include <algorithm>
#include <cstring>

#include "../error.h"
#include "../input/input.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace placidor::host {

VideoOutput::VideoOutput(const std::string &nameForFormat, const std::string &writePath, const VideoInput &input,
                         const EncoderSettings &settings, const AVFrame &firstFrame)
    : name_(nameForFormat) {
    try {
        int rc = avformat_alloc_output_context2(&format_, nullptr, nullptr, nameForFormat.c_str());
        if (rc < 0 || !format_)
            throw HostError("cannot tell which container to write for '" + nameForFormat +
                            "': give it an extension such as .mp4 or .mkv", ExitUsage);

        const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
        if (!codec) throw HostError("this FFmpeg build has no libx264 encoder");
        encoder_ = avcodec_alloc_context3(codec);
        packet_ = av_packet_alloc();
        copy_ = av_packet_alloc();
        held_ = av_packet_alloc();
        if (!encoder_ || !packet_ || !copy_ || !held_) throw HostError("out of memory");

        AVStream *ist = input.videoStream();
        inputVideoBase_ = ist->time_base;
        encoder_->width = settings.width;
        encoder_->height = settings.height;
        encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
        encoder_->time_base = ist->time_base;
        encoder_->framerate = input.info().frameRate;
        encoder_->sample_aspect_ratio = av_guess_sample_aspect_ratio(input.format(), ist, nullptr);
        encoder_->color_range = firstFrame.format == AV_PIX_FMT_YUVJ420P ? AVCOL_RANGE_JPEG : firstFrame.color_range;
        encoder_->color_primaries = firstFrame.color_primaries;
        encoder_->color_trc = firstFrame.color_trc;
        encoder_->colorspace = firstFrame.colorspace;
        encoder_->chroma_sample_location = firstFrame.chroma_location;
        encoder_->thread_count = 0;
        if (format_->oformat->flags & AVFMT_GLOBALHEADER) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        av_opt_set(encoder_->priv_data, "preset", settings.preset.c_str(), 0);
        av_opt_set_double(encoder_->priv_data, "crf", settings.crf, 0);
        rc = avcodec_open2(encoder_, codec, nullptr);
        if (rc < 0) throw HostError("cannot start the H.264 encoder: " + avErrorText(rc));

        const AVFormatContext *in = input.format();
        streamMap_.assign(in->nb_streams, -1);
        inputBases_.resize(in->nb_streams);
        for (unsigned i = 0; i < in->nb_streams; ++i) {
            const AVStream *st = in->streams[i];
            inputBases_[i] = st->time_base;
            const AVMediaType type = st->codecpar->codec_type;
            // Streams keep the input's order.
            if (static_cast<int>(i) == input.info().streamIndex) {
                videoStream_ = avformat_new_stream(format_, nullptr);
                if (!videoStream_) throw HostError("out of memory");
                avcodec_parameters_from_context(videoStream_->codecpar, encoder_);
                videoStream_->time_base = encoder_->time_base;
                videoStream_->avg_frame_rate = input.info().frameRate;
                videoStream_->sample_aspect_ratio = encoder_->sample_aspect_ratio;
                videoStream_->disposition = ist->disposition;
                av_dict_copy(&videoStream_->metadata, ist->metadata, 0);
                // Keep the phone's rotation flag: the picture is stabilised as stored.
                for (int k = 0; k < ist->nb_side_data; ++k) {
                    const AVPacketSideData &sd = ist->side_data[k];
                    if (sd.type != AV_PKT_DATA_DISPLAYMATRIX) continue;
                    if (std::uint8_t *data = av_stream_new_side_data(videoStream_, sd.type, sd.size))
                        std::memcpy(data, sd.data, sd.size);
                }
                continue;
            }
            if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_SUBTITLE) continue;
            if (avformat_query_codec(format_->oformat, st->codecpar->codec_id, FF_COMPLIANCE_NORMAL) == 0)
                throw HostError(std::string("the ") + format_->oformat->name + " container cannot hold the " +
                                avcodec_get_name(st->codecpar->codec_id) + " " +
                                av_get_media_type_string(type) + " stream #" + std::to_string(i) +
                                " of the input: choose another output extension (.mkv holds most)");
            AVStream *ost = avformat_new_stream(format_, nullptr);
            if (!ost || avcodec_parameters_copy(ost->codecpar, st->codecpar) < 0) throw HostError("out of memory");
            ost->codecpar->codec_tag = 0;
            ost->time_base = st->time_base;
            ost->disposition = st->disposition;
            av_dict_copy(&ost->metadata, st->metadata, 0);
            streamMap_[i] = ost->index;
        }
        av_dict_copy(&format_->metadata, in->metadata, 0);
        av_dict_set(&format_->metadata, "encoder", nullptr, 0);  // the muxer names itself

        if (!(format_->oformat->flags & AVFMT_NOFILE)) {
            // The muxer reopens its url to move the index to the front.
            av_freep(&format_->url);
            format_->url = av_strdup(writePath.c_str());
            rc = avio_open(&format_->pb, writePath.c_str(), AVIO_FLAG_WRITE);
            if (rc < 0) throw HostError("cannot write '" + name_ + "': " + avErrorText(rc));
        }
        AVDictionary *options = nullptr;
        if (std::string(format_->oformat->name).find("mp4") != std::string::npos ||
            std::string(format_->oformat->name).find("mov") != std::string::npos)
            av_dict_set(&options, "movflags", "+faststart", 0);
        rc = avformat_write_header(format_, &options);
        av_dict_free(&options);
        if (rc < 0) throw HostError("cannot write '" + name_ + "': " + avErrorText(rc));
        headerWritten_ = true;
    } catch (...) {
        release();
        throw;
    }
}

VideoOutput::~VideoOutput() { release(); }

void VideoOutput::release() {
    if (format_ && format_->pb && !(format_->oformat->flags & AVFMT_NOFILE)) avio_closep(&format_->pb);
    avformat_free_context(format_);
    format_ = nullptr;
    avcodec_free_context(&encoder_);
    av_packet_free(&packet_);
    av_packet_free(&copy_);
    av_packet_free(&held_);
}

void VideoOutput::copyPacket(const AVPacket *packet) {
    const int index = packet->stream_index;
    if (index < 0 || index >= static_cast<int>(streamMap_.size()) || streamMap_[index] < 0) return;
    if (av_packet_ref(copy_, packet) < 0) throw HostError("out of memory");
    AVStream *ost = format_->streams[streamMap_[index]];
    av_packet_rescale_ts(copy_, inputBases_[index], ost->time_base);
    copy_->stream_index = ost->index;
    copy_->pos = -1;
    const int rc = av_interleaved_write_frame(format_, copy_);
    av_packet_unref(copy_);
    if (rc < 0) throw HostError("writing '" + name_ + "' failed: " + avErrorText(rc));
}

void VideoOutput::writeFrame(AVFrame *frame, std::int64_t pts, std::int64_t duration) {
    frame->pts = pts;
    // The container needs the last frame's duration to show it.
    frame->pkt_duration = duration;
    durations_[pts] = duration;
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    const int rc = avcodec_send_frame(encoder_, frame);
    if (rc < 0) throw HostError("encoding failed: " + avErrorText(rc));
    ++frames_;
    drain(false);
}

void VideoOutput::drain(bool flushing) {
    for (;;) {
        int rc = avcodec_receive_packet(encoder_, packet_);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
        if (rc < 0) throw HostError("encoding failed: " + avErrorText(rc));
        // libx264 leaves packet durations to the caller.
        if (const auto it = durations_.find(packet_->pts); it != durations_.end()) {
            if (packet_->duration <= 0) packet_->duration = it->second;
            durations_.erase(it);
        }
        if (packet_->pts != AV_NOPTS_VALUE)
            endPts_ = std::max(endPts_, packet_->pts + std::max<std::int64_t>(packet_->duration, 0));
        // One packet is held back: the last one may need a longer duration.
        if (held_->data || held_->side_data) writeVideo(held_);
        av_packet_move_ref(held_, packet_);
    }
    if (flushing && (held_->data || held_->side_data)) {
        // The MP4 muxer ends the track's edit at the last packet's pts plus
        // its duration; when that packet is a B-frame shown before the
        // final picture, the final picture would fall outside the edit.
        if (held_->pts != AV_NOPTS_VALUE && held_->pts + held_->duration < endPts_)
            held_->duration = endPts_ - held_->pts;
        writeVideo(held_);
    }
}

void VideoOutput::writeVideo(AVPacket *packet) {
    av_packet_rescale_ts(packet, encoder_->time_base, videoStream_->time_base);
    packet->stream_index = videoStream_->index;
    const int rc = av_interleaved_write_frame(format_, packet);
    av_packet_unref(packet);
    if (rc < 0) throw HostError("writing '" + name_ + "' failed: " + avErrorText(rc));
}

void VideoOutput::finish() {
    if (finished_) return;
    int rc = avcodec_send_frame(encoder_, nullptr);
    if (rc < 0) throw HostError("encoding failed: " + avErrorText(rc));
    drain(true);
    rc = av_write_trailer(format_);
    if (rc < 0) throw HostError("writing '" + name_ + "' failed: " + avErrorText(rc));
    if (format_->pb && !(format_->oformat->flags & AVFMT_NOFILE)) {
        avio_flush(format_->pb);
        const int error = format_->pb->error;
        rc = avio_closep(&format_->pb);
        if (error < 0 || rc < 0) throw HostError("writing '" + name_ + "' failed: " + avErrorText(error < 0 ? error : rc));
    }
    finished_ = true;
}

}  // namespace placidor::host
