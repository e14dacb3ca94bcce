// VideoInput over libavformat and libavcodec.
#include <algorithm>
#include <cstdio>

#include "../error.h"
#include "input.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

namespace placidor::host {

std::string avErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

namespace {

// The stream a viewer would call "the video": av_find_best_stream's
// choice, unless that is cover art, in which case the largest real one.
int bestVideoStream(AVFormatContext *format) {
    const int best = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (best >= 0 && !(format->streams[best]->disposition & AV_DISPOSITION_ATTACHED_PIC))
        return best;
    int chosen = -1;
    std::int64_t area = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream *st = format->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO ||
            (st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        const std::int64_t a = std::int64_t{st->codecpar->width} * st->codecpar->height;
        if (a > area) {
            area = a;
            chosen = static_cast<int>(i);
        }
    }
    return chosen;
}

}  // namespace

VideoInput::VideoInput(const std::string &path) : path_(path) {
    AVFormatContext *opened = nullptr;
    int rc = avformat_open_input(&opened, path.c_str(), nullptr, nullptr);
    if (rc < 0) throw HostError("cannot read '" + path + "': " + avErrorText(rc));
    format_.reset(opened);
    rc = avformat_find_stream_info(format_.get(), nullptr);
    if (rc < 0) throw HostError("cannot read '" + path + "': " + avErrorText(rc));
    const int index = bestVideoStream(format_.get());
    if (index < 0) throw HostError("'" + path + "' has no video stream");
    AVStream *st = format_->streams[index];
    const AVCodec *codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec)
        throw HostError("'" + path + "': no decoder for its " +
                        std::string(avcodec_get_name(st->codecpar->codec_id)) + " video");
    decoder_ = newCodecContext(codec);
    packet_ = newPacket();
    frame_ = newFrame();
    if (avcodec_parameters_to_context(decoder_.get(), st->codecpar) < 0)
        throw HostError("out of memory opening '" + path + "'");
    decoder_->pkt_timebase = st->time_base;
    decoder_->thread_count = 0;
    rc = avcodec_open2(decoder_.get(), codec, nullptr);
    if (rc < 0 || decoder_->width <= 0 || decoder_->height <= 0) {
        throw HostError("cannot decode the video of '" + path +
                        "': " + (rc < 0 ? avErrorText(rc) : std::string("no frame size")));
    }
    for (unsigned i = 0; i < format_->nb_streams; ++i)
        if (static_cast<int>(i) != index) format_->streams[i]->discard = AVDISCARD_DEFAULT;

    info_.streamIndex = index;
    info_.width = decoder_->width;
    info_.height = decoder_->height;
    info_.frameRate = av_guess_frame_rate(format_.get(), st, nullptr);
    if (info_.frameRate.num <= 0 || info_.frameRate.den <= 0) info_.frameRate = {25, 1};
    info_.timeBase = st->time_base;
    info_.frameCountHint = st->nb_frames;
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
        info_.durationSeconds = static_cast<double>(st->duration) * av_q2d(st->time_base);
    else if (format_->duration > 0)
        info_.durationSeconds = static_cast<double>(format_->duration) / AV_TIME_BASE;
    if (info_.frameCountHint <= 0 && info_.durationSeconds > 0)
        info_.frameCountHint =
            static_cast<std::int64_t>(info_.durationSeconds * av_q2d(info_.frameRate) + 0.5);
}

namespace {

// "HH:MM:SS.fraction", as Matroska's muxers write a track's duration once
// the track is complete; 0 when absent or unreadable.
double durationTag(const AVDictionary *metadata) {
    const AVDictionaryEntry *e = av_dict_get(metadata, "DURATION", nullptr, 0);
    unsigned hours = 0, minutes = 0;
    double seconds = 0;
    if (!e || std::sscanf(e->value, "%u:%u:%lf", &hours, &minutes, &seconds) != 3) return 0;
    return hours * 3600.0 + minutes * 60.0 + seconds;
}

}  // namespace

double VideoInput::declaredSeconds() const {
    const AVStream *st = videoStream();
    // A duration the container states for the stream itself, not one
    // guessed from the bit rate or the timestamps found.
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0 &&
        format_->duration_estimation_method == AVFMT_DURATION_FROM_STREAM)
        return double(st->duration) * av_q2d(st->time_base);
    return durationTag(st->metadata);
}

std::string VideoInput::damageReport(std::int64_t framesDecoded) const {
    std::string report;
    // An MP4 index names every frame the file should hold. Other headers'
    // frame counts (AVI's) also count the empty chunks that stand for
    // dropped frames, which decode to nothing: two frames or 1 % of slack.
    const bool mp4 = std::string(format_->iformat->name).find("mp4") != std::string::npos;
    const std::int64_t indexed = videoStream()->nb_frames;
    const std::int64_t frameSlack = mp4 ? 0 : std::max<std::int64_t>(2, indexed / 100);
    if (indexed > framesDecoded + frameSlack)
        report = std::to_string(indexed - framesDecoded) + " of its " + std::to_string(indexed) +
                 " frames could not be read (the file ends early or is damaged)";
    // Without an index, the stream's declared duration against the end of
    // the last frame decoded: a Matroska file cut short still says how
    // long its video was. Half a second (or two frames, or 1 %) of slack
    // for rounding and start offsets.
    const double declared = indexed > 0 ? 0 : declaredSeconds();
    if (declared > 0 && decodedEnd_ != AV_NOPTS_VALUE) {
        const AVStream *st = videoStream();
        const std::int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        const double decoded =
            double(decodedEnd_ - std::min(start, decodedEnd_)) * av_q2d(st->time_base);
        const double slack = std::max({0.5, 2.0 / av_q2d(info_.frameRate), 0.01 * declared});
        if (declared - decoded > slack) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "its video ends after %.2f s of the %.2f s its header gives (the file "
                          "ends early or is damaged)",
                          decoded, declared);
            report = text;
        }
    }
    if (damaged_ > 0)
        report += (report.empty() ? "" : "; ") + std::string("the decoder skipped ") +
                  std::to_string(damaged_) + " damaged video packet" + (damaged_ == 1 ? "" : "s");
    if (concealed_ > 0)
        report += (report.empty() ? "" : "; ") + std::to_string(concealed_) + " of the " +
                  std::to_string(framesDecoded) + " frame" + (framesDecoded == 1 ? "" : "s") +
                  " decoded had damage the decoder concealed (blocks or smears where data was "
                  "lost)";
    if (!endedBy_.empty())
        report += (report.empty() ? "" : "; ") + std::string("reading stopped early: ") + endedBy_;
    return report.empty() ? report : "'" + path_ + "' is damaged: " + report;
}

AVFrame *VideoInput::nextFrame() {
    for (;;) {
        if (finished_) return nullptr;
        av_frame_unref(frame_.get());
        int rc = avcodec_receive_frame(decoder_.get(), frame_.get());
        if (rc == 0) {
            // A picture the decoder completed by concealment (bits lost,
            // a reference missing): shown as FFmpeg shows it, and counted.
            if ((frame_->flags & AV_FRAME_FLAG_CORRUPT) || frame_->decode_error_flags) ++concealed_;
            const std::int64_t pts = frame_->best_effort_timestamp;
            if (pts != AV_NOPTS_VALUE) {
                const std::int64_t step =
                    frame_->pkt_duration > 0
                        ? frame_->pkt_duration
                        : av_rescale_q(1, av_inv_q(info_.frameRate), info_.timeBase);
                if (decodedEnd_ == AV_NOPTS_VALUE || pts + step > decodedEnd_)
                    decodedEnd_ = pts + step;
            }
            return frame_.get();
        }
        if (rc == AVERROR_EOF) {
            finished_ = true;
            return nullptr;
        }
        if (rc == AVERROR(ENOMEM))
            throw HostError("decoding '" + path_ + "' failed: " + avErrorText(rc));
        if (rc != AVERROR(EAGAIN)) {
            // A damaged picture: skipped, as FFmpeg skips it.
            ++damaged_;
            continue;
        }
        if (draining_) {  // the decoder wants input it cannot get
            finished_ = true;
            return nullptr;
        }
        // Feed the decoder until it has a frame to give.
        for (;;) {
            rc = av_read_frame(format_.get(), packet_.get());
            if (rc < 0) {
                if (rc == AVERROR(ENOMEM))
                    throw HostError("reading '" + path_ + "' failed: " + avErrorText(rc));
                if (rc != AVERROR_EOF && format_->pb && format_->pb->error &&
                    format_->pb->error != AVERROR_EOF && format_->pb->error != AVERROR_INVALIDDATA)
                    throw HostError("reading '" + path_ +
                                    "' failed: " + avErrorText(format_->pb->error));
                // A damaged container ends the frames where it can no
                // longer be read; the rest is reported as lost.
                if (rc != AVERROR_EOF) endedBy_ = avErrorText(rc);
                draining_ = true;
                avcodec_send_packet(decoder_.get(), nullptr);
                break;
            }
            if (packet_->stream_index == info_.streamIndex) {
                rc = avcodec_send_packet(decoder_.get(), packet_.get());
                av_packet_unref(packet_.get());
                // A damaged packet is skipped; the decoder conceals it.
                if (rc == AVERROR(ENOMEM))
                    throw HostError("decoding '" + path_ + "' failed: " + avErrorText(rc));
                if (rc < 0 && rc != AVERROR(EAGAIN)) ++damaged_;
                break;
            }
            if (otherPacket_) otherPacket_(packet_.get());
            av_packet_unref(packet_.get());
        }
    }
}

}  // namespace placidor::host
