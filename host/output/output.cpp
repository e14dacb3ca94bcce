#include "output.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <utility>

#include "../error.h"
#include "../input/input.h"
#include "render.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/display.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

namespace placidor::host {

namespace {

bool isMovFamily(const AVOutputFormat *f) {
    static const char *const names[] = {"mp4", "mov", "3gp", "3g2", "ipod", "ismv", "psp", "f4v"};
    for (const char *n : names)
        if (std::strcmp(f->name, n) == 0) return true;
    return false;
}

bool isMatroska(const AVOutputFormat *f) {
    return std::strcmp(f->name, "matroska") == 0 || std::strcmp(f->name, "webm") == 0;
}

// The codecs an MPEG transport stream carries with a stream type of their
// own; the muxer writes anything else as private data no player reads.
bool transportStreamHolds(AVCodecID id) {
    switch (id) {
    case AV_CODEC_ID_H264:
    case AV_CODEC_ID_HEVC:
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO:
    case AV_CODEC_ID_MPEG4:
    case AV_CODEC_ID_VC1:
    case AV_CODEC_ID_DIRAC:
    case AV_CODEC_ID_CAVS:
    case AV_CODEC_ID_MP2:
    case AV_CODEC_ID_MP3:
    case AV_CODEC_ID_AAC:
    case AV_CODEC_ID_AAC_LATM:
    case AV_CODEC_ID_AC3:
    case AV_CODEC_ID_EAC3:
    case AV_CODEC_ID_DTS:
    case AV_CODEC_ID_TRUEHD:
    case AV_CODEC_ID_OPUS:
    case AV_CODEC_ID_S302M:
    case AV_CODEC_ID_DVB_SUBTITLE:
    case AV_CODEC_ID_DVB_TELETEXT: return true;
    default: return false;
    }
}

// Whether `format` stores `id`: FFmpeg's answer, completed where FFmpeg
// has none (the transport stream muxer takes anything, attachments are
// Matroska's alone).
bool holds(const AVOutputFormat *format, AVMediaType type, AVCodecID id) {
    if (type == AVMEDIA_TYPE_ATTACHMENT) return std::strcmp(format->name, "matroska") == 0;
    if (std::strcmp(format->name, "mpegts") == 0) return transportStreamHolds(id);
    return avformat_query_codec(format, id, FF_COMPLIANCE_NORMAL) == 1;
}

// Containers that would hold a stream the chosen one cannot, for the message.
std::string containersHolding(AVMediaType type, AVCodecID id) {
    std::string found;
    for (const char *ext : {".mkv", ".mp4", ".mov", ".ts"}) {
        const AVOutputFormat *f = av_guess_format(nullptr, ext, nullptr);
        if (f && holds(f, type, id)) found += (found.empty() ? "" : ", ") + std::string(ext);
    }
    return found;
}

// For a text subtitle stream the container cannot hold, the text format
// it holds instead, with ffmpeg's encoder name: text converts without
// loss (MP4's mov_text to SubRip for Matroska, SubRip to mov_text for
// MP4). Empty for picture subtitles, or when the container holds no text.
std::pair<std::string, std::string> textSubtitleFor(const AVOutputFormat *format, AVCodecID id) {
    const AVCodecDescriptor *d = avcodec_descriptor_get(id);
    if (!d || !(d->props & AV_CODEC_PROP_TEXT_SUB)) return {};
    static const std::pair<AVCodecID, const char *> formats[] = {{AV_CODEC_ID_SUBRIP, "srt"},
                                                                 {AV_CODEC_ID_MOV_TEXT, "mov_text"},
                                                                 {AV_CODEC_ID_ASS, "ass"},
                                                                 {AV_CODEC_ID_WEBVTT, "webvtt"}};
    for (const auto &[other, encoder] : formats)
        if (other != id && holds(format, AVMEDIA_TYPE_SUBTITLE, other))
            return {avcodec_get_name(other), encoder};
    return {};
}

std::string describe(const AVStream *st, unsigned index) {
    const AVMediaType type = st->codecpar->codec_type;
    std::string kind = type == AVMEDIA_TYPE_SUBTITLE    ? "subtitle"
                       : av_get_media_type_string(type) ? av_get_media_type_string(type)
                                                        : "unknown";
    if (type == AVMEDIA_TYPE_VIDEO && (st->disposition & AV_DISPOSITION_ATTACHED_PIC))
        kind = "cover art";
    std::string name = "stream #" + std::to_string(index) + " (";
    if (st->codecpar->codec_id != AV_CODEC_ID_NONE)
        name += std::string(avcodec_get_name(st->codecpar->codec_id)) + " ";
    name += kind;
    if (type == AVMEDIA_TYPE_ATTACHMENT)
        if (const AVDictionaryEntry *e = av_dict_get(st->metadata, "filename", nullptr, 0))
            name += std::string(" '") + e->value + "'";
    return name + ")";
}

bool rotated(const AVStream *st) {
    for (int k = 0; k < st->nb_side_data; ++k) {
        const AVPacketSideData &sd = st->side_data[k];
        if (sd.type != AV_PKT_DATA_DISPLAYMATRIX || sd.size < 9 * 4) continue;
        const auto *m = reinterpret_cast<const std::int32_t *>(sd.data);
        // The identity matrix changes nothing.
        const std::int32_t identity[9] = {1 << 16, 0, 0, 0, 1 << 16, 0, 0, 0, 1 << 30};
        if (std::memcmp(m, identity, sizeof identity) != 0) return true;
    }
    return false;
}

// The metadata of `from` added to `to`; a failure (no memory) is an error,
// not a file that silently lacks its tags.
void copyMetadata(AVDictionary **to, const AVDictionary *from) {
    if (av_dict_copy(to, from, 0) < 0) throw HostError("out of memory copying the metadata");
}

void copySideData(const AVStream *from, AVStream *to, bool (*wanted)(AVPacketSideDataType)) {
    for (int k = 0; k < from->nb_side_data; ++k) {
        const AVPacketSideData &sd = from->side_data[k];
        if (!wanted(sd.type)) continue;
        std::uint8_t *data = av_stream_new_side_data(to, sd.type, sd.size);
        if (!data) throw HostError("out of memory");
        std::memcpy(data, sd.data, sd.size);
    }
}

}  // namespace

const AVOutputFormat *outputFormatFor(const std::string &name) {
    const AVOutputFormat *f = av_guess_format(nullptr, name.c_str(), nullptr);
    if (!f)
        throw HostError("cannot tell which container to write for '" + name +
                            "': give it an extension such as .mp4 or .mkv",
                        ExitUsage);
    const std::string n = f->name;
    if ((f->flags & AVFMT_NOFILE) || n == "segment" || n == "stream_segment" || n == "tee")
        throw HostError(
            "'" + name + "': the " + n + " muxer writes files of its own (" +
                (n == "image2" ? "one image per frame" : "playlists and segments") +
                "), which placidor cannot write safely; write a video file such as .mp4 or .mkv",
            ExitUsage);
    if (!holds(f, AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264)) {
        const bool video = f->video_codec != AV_CODEC_ID_NONE;
        throw HostError(
            "'" + name + "': the " + n + " container " +
                (video ? "cannot hold H.264 video, which placidor writes" : "holds no video") +
                "; choose .mp4, .mkv, .mov, .avi or .ts",
            ExitUsage);
    }
    return f;
}

OutputPlan planOutput(const std::string &name, const VideoInput &input,
                      const StreamSelection &selection) {
    OutputPlan plan;
    plan.format = outputFormatFor(name);
    const AVOutputFormat *f = plan.format;
    const AVFormatContext *in = input.format();
    const int video = input.info().streamIndex;
    const std::string container = "the " + std::string(f->name) + " container";
    auto cannot = [&](const std::string &what, const std::string &hint) {
        if (selection.skipUnsupported) {
            plan.warnings.push_back("leaving out " + what + ": " + container + " cannot hold it");
            return;
        }
        throw HostError(container + " of '" + name + "' cannot hold " + what +
                        " of the input: " + hint + (hint.empty() ? "" : ", or ") +
                        "leave out what it cannot hold with --skip-unsupported");
    };
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        if (static_cast<int>(i) == video) continue;
        const AVStream *st = in->streams[i];
        const AVMediaType type = st->codecpar->codec_type;
        const AVCodecID id = st->codecpar->codec_id;
        if ((type == AVMEDIA_TYPE_AUDIO && !selection.audio) ||
            (type == AVMEDIA_TYPE_SUBTITLE && !selection.subtitles) ||
            (type == AVMEDIA_TYPE_DATA && !selection.data) ||
            (type == AVMEDIA_TYPE_ATTACHMENT && !selection.attachments))
            continue;
        if (id == AV_CODEC_ID_NONE) {
            // FFmpeg cannot copy a stream it does not know (a camera's
            // private metadata track); no container would take it.
            plan.warnings.push_back("leaving out " + describe(st, i) +
                                    ": FFmpeg does not know its codec");
            continue;
        }
        if (!holds(f, type, id)) {
            const std::string others = containersHolding(type, id);
            std::string hint = others.empty() ? "" : "choose " + others;
            if (type == AVMEDIA_TYPE_AUDIO)
                hint += std::string(hint.empty() ? "" : ", ") + "drop the audio with -an";
            if (type == AVMEDIA_TYPE_SUBTITLE) {
                const auto [text, encoder] = textSubtitleFor(f, id);
                if (!text.empty())
                    hint = "it holds text subtitles as " + text + ", not " + avcodec_get_name(id) +
                           ", so convert them first (ffmpeg -i '" + in->url +
                           "' -map 0 -c copy -c:s " + encoder + " CONVERTED" +
                           name.substr(std::min(name.rfind('.'), name.size())) +
                           ", then stabilise that)" + (hint.empty() ? "" : ", " + hint);
                hint += std::string(hint.empty() ? "" : ", ") + "drop the subtitles with -sn";
            }
            if (type == AVMEDIA_TYPE_DATA)
                hint += std::string(hint.empty() ? "" : ", ") + "drop the data streams with -dn";
            cannot(describe(st, i), hint);
            continue;
        }
        plan.copied.push_back(static_cast<int>(i));
    }
    if (in->nb_chapters > 0) {
        plan.chapters = isMovFamily(f) || isMatroska(f) || std::strcmp(f->name, "nut") == 0 ||
                        std::strcmp(f->name, "ogg") == 0;
        if (!plan.chapters)
            cannot("the " + std::to_string(in->nb_chapters) + " chapters",
                   "choose .mkv, .mp4 or .mov");
    }
    if (rotated(input.videoStream())) {
        // Of this FFmpeg's muxers, only the MP4 family stores the rotation.
        plan.rotation = isMovFamily(f);
        if (!plan.rotation) {
            const double degrees = av_display_rotation_get(reinterpret_cast<const std::int32_t *>(
                av_stream_get_side_data(input.videoStream(), AV_PKT_DATA_DISPLAYMATRIX, nullptr)));
            char text[64];
            std::snprintf(text, sizeof text, "the video's display rotation (%.0f degrees)",
                          degrees);
            cannot(text, "choose .mp4 or .mov");
        }
    }
    return plan;
}

VideoOutput::VideoOutput(const std::string &nameForFormat, const std::string &writePath,
                         const VideoInput &input, const EncoderSettings &settings,
                         const AVFrame &firstFrame)
    : name_(nameForFormat) {
    {  // a failure anywhere here leaves the members to release what was made
        const OutputPlan plan = planOutput(nameForFormat, input, settings.streams);
        AVFormatContext *allocated = nullptr;
        int rc =
            avformat_alloc_output_context2(&allocated, plan.format, nullptr, nameForFormat.c_str());
        format_.reset(allocated);
        if (rc < 0 || !format_) throw HostError("out of memory");
        const AVFormatContext *in = input.format();
        // Every stream moves back by the input's start, as a stream copy
        // with FFmpeg does: the output starts at zero.
        startTime_ = in->start_time != AV_NOPTS_VALUE ? in->start_time : 0;

        const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
        if (!codec) throw HostError("this FFmpeg build has no libx264 encoder");
        encoder_ = newCodecContext(codec);
        packet_ = newPacket();
        copy_ = newPacket();

        AVStream *ist = input.videoStream();
        inputVideoBase_ = ist->time_base;
        // AVI has no timestamps: a frame's place is its count, so the
        // stream's clock must tick once per frame.
        frameTicks_ = std::strcmp(plan.format->name, "avi") == 0;
        const PictureColour colour = outputColour(firstFrame);
        encoder_->width = settings.width;
        encoder_->height = settings.height;
        encoder_->pix_fmt = colour.format;
        encoder_->time_base = frameTicks_ ? av_inv_q(input.info().frameRate) : ist->time_base;
        encoder_->framerate = input.info().frameRate;
        encoder_->sample_aspect_ratio =
            av_guess_sample_aspect_ratio(const_cast<AVFormatContext *>(in), ist, nullptr);
        encoder_->color_range = colour.range;
        encoder_->color_primaries = colour.primaries;
        encoder_->color_trc = colour.transfer;
        encoder_->colorspace = colour.matrix;
        encoder_->chroma_sample_location = colour.chroma;
        encoder_->thread_count = 0;
        if (format_->oformat->flags & AVFMT_GLOBALHEADER)
            encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        fieldOrder_ = settings.fieldOrder;
        if (fieldOrder_ != AV_FIELD_PROGRESSIVE) {
            // Interlaced: libx264 codes each macroblock pair as a frame or
            // as two fields; the stream's field order goes to the container.
            encoder_->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
            encoder_->field_order = fieldOrder_;
            // The field order from the start: changed by the first frame
            // instead, libx264 writes the pictures' order counts for one
            // order and their timing messages for the other.
            if (av_opt_set(encoder_->priv_data, "x264-params",
                           fieldOrder_ == AV_FIELD_TT ? "tff=1" : "bff=1", 0) < 0)
                throw HostError("this libx264 cannot encode interlaced video");
        }
        av_opt_set(encoder_->priv_data, "preset", settings.preset.c_str(), 0);
        av_opt_set_double(encoder_->priv_data, "crf", settings.crf, 0);
        rc = avcodec_open2(encoder_.get(), codec, nullptr);
        if (rc < 0) throw HostError("cannot start the H.264 encoder: " + avErrorText(rc));

        streamMap_.assign(in->nb_streams, -1);
        inputBases_.resize(in->nb_streams);
        std::vector<bool> copied(in->nb_streams, false);
        for (int i : plan.copied) copied[std::size_t(i)] = true;
        for (unsigned i = 0; i < in->nb_streams; ++i) {
            const AVStream *st = in->streams[i];
            inputBases_[i] = st->time_base;
            // Streams keep the input's order.
            if (static_cast<int>(i) == input.info().streamIndex) {
                videoStream_ = avformat_new_stream(format_.get(), nullptr);
                if (!videoStream_ ||
                    avcodec_parameters_from_context(videoStream_->codecpar, encoder_.get()) < 0)
                    throw HostError("out of memory");
                videoStream_->time_base = encoder_->time_base;
                videoStream_->avg_frame_rate = input.info().frameRate;
                videoStream_->sample_aspect_ratio = encoder_->sample_aspect_ratio;
                videoStream_->disposition = ist->disposition;
                copyMetadata(&videoStream_->metadata, ist->metadata);
                // The picture is stabilised as stored: its rotation flag and
                // the HDR mastering metadata still describe it.
                copySideData(ist, videoStream_, [](AVPacketSideDataType t) {
                    return t == AV_PKT_DATA_MASTERING_DISPLAY_METADATA ||
                           t == AV_PKT_DATA_CONTENT_LIGHT_LEVEL;
                });
                // HEVC and H.264 carry HDR metadata in the frames; libx264
                // does not write it again, so the container keeps it.
                for (const auto &[frameType, packetType] :
                     {std::pair{AV_FRAME_DATA_MASTERING_DISPLAY_METADATA,
                                AV_PKT_DATA_MASTERING_DISPLAY_METADATA},
                      std::pair{AV_FRAME_DATA_CONTENT_LIGHT_LEVEL,
                                AV_PKT_DATA_CONTENT_LIGHT_LEVEL}}) {
                    const AVFrameSideData *sd = av_frame_get_side_data(&firstFrame, frameType);
                    if (!sd || av_stream_get_side_data(videoStream_, packetType, nullptr)) continue;
                    std::uint8_t *data =
                        av_stream_new_side_data(videoStream_, packetType, sd->size);
                    if (!data) throw HostError("out of memory");
                    std::memcpy(data, sd->data, sd->size);
                }
                if (plan.rotation)
                    copySideData(ist, videoStream_, [](AVPacketSideDataType t) {
                        return t == AV_PKT_DATA_DISPLAYMATRIX;
                    });
                continue;
            }
            if (!copied[i]) continue;
            AVStream *ost = avformat_new_stream(format_.get(), nullptr);
            if (!ost || avcodec_parameters_copy(ost->codecpar, st->codecpar) < 0)
                throw HostError("out of memory");
            // The input's codec tag stays where the container knows it
            // (hvc1 stays hvc1), as in a stream copy with FFmpeg.
            unsigned tag = 0;
            const std::uint32_t inTag = st->codecpar->codec_tag;
            if (!(plan.format->codec_tag == nullptr ||
                  av_codec_get_id(plan.format->codec_tag, inTag) == st->codecpar->codec_id ||
                  !av_codec_get_tag2(plan.format->codec_tag, st->codecpar->codec_id, &tag)))
                ost->codecpar->codec_tag = 0;
            ost->time_base = st->time_base;
            ost->disposition = st->disposition;
            ost->sample_aspect_ratio = st->sample_aspect_ratio;
            ost->avg_frame_rate = st->avg_frame_rate;
            ost->r_frame_rate = st->r_frame_rate;
            copyMetadata(&ost->metadata, st->metadata);
            copySideData(st, ost, [](AVPacketSideDataType) { return true; });
            streamMap_[i] = ost->index;
        }
        lastDts_.assign(format_->nb_streams, INT64_MIN);
        copyMetadata(&format_->metadata, in->metadata);
        // The muxer names itself.
        if (av_dict_set(&format_->metadata, "encoder", nullptr, 0) < 0)
            throw HostError("out of memory copying the metadata");

        if (plan.chapters) {
            for (unsigned c = 0; c < in->nb_chapters; ++c) {
                const AVChapter *from = in->chapters[c];
                auto *to = static_cast<AVChapter *>(av_mallocz(sizeof(AVChapter)));
                if (!to) throw HostError("out of memory");
                const std::int64_t shift =
                    av_rescale_q(startTime_, AV_TIME_BASE_Q, from->time_base);
                to->id = from->id;
                to->time_base = from->time_base;
                to->start = from->start - shift;
                to->end = from->end - shift;
                // avformat_free_context releases chapters added this way,
                // with their metadata.
                int count = static_cast<int>(format_->nb_chapters);
                av_dynarray_add(&format_->chapters, &count, to);
                if (!format_->chapters) {
                    av_free(to);
                    format_->nb_chapters = 0;
                    throw HostError("out of memory");
                }
                format_->nb_chapters = static_cast<unsigned>(count);
                copyMetadata(&to->metadata, from->metadata);
            }
        }

        // The muxer reopens its url to move the index to the front.
        av_freep(&format_->url);
        format_->url = av_strdup(writePath.c_str());
        if (!format_->url) throw HostError("out of memory");
        rc = avio_open(&format_->pb, writePath.c_str(), AVIO_FLAG_WRITE);
        if (rc < 0) throw HostError("cannot write '" + name_ + "': " + avErrorText(rc));
        AVDictionary *options = nullptr;
        if (isMovFamily(plan.format) && av_dict_set(&options, "movflags", "+faststart", 0) < 0)
            throw HostError("out of memory");
        rc = avformat_write_header(format_.get(), &options);
        const DictionaryPtr unused(options);
        if (rc < 0) throw HostError("cannot write '" + name_ + "': " + avErrorText(rc));
        headerWritten_ = true;
    }
}

void VideoOutput::copyPacket(const AVPacket *packet) {
    const int index = packet->stream_index;
    if (index < 0 || index >= static_cast<int>(streamMap_.size()) || streamMap_[index] < 0) return;
    if (av_packet_ref(copy_.get(), packet) < 0) throw HostError("out of memory");
    AVStream *ost = format_->streams[streamMap_[index]];
    const std::int64_t shift = av_rescale_q(startTime_, AV_TIME_BASE_Q, inputBases_[index]);
    if (copy_->pts != AV_NOPTS_VALUE) copy_->pts -= shift;
    if (copy_->dts != AV_NOPTS_VALUE) copy_->dts -= shift;
    av_packet_rescale_ts(copy_.get(), inputBases_[index], ost->time_base);
    // A damaged input's timestamps may go backwards, which no muxer
    // accepts; like FFmpeg, move them just past the previous packet.
    std::int64_t &last = lastDts_[std::size_t(ost->index)];
    if (copy_->dts != AV_NOPTS_VALUE) {
        const std::int64_t least =
            last == INT64_MIN ? INT64_MIN
                              : last + ((format_->oformat->flags & AVFMT_TS_NONSTRICT) ? 0 : 1);
        bool repaired = false;
        if (copy_->pts != AV_NOPTS_VALUE && copy_->pts < copy_->dts) {
            copy_->pts = copy_->dts = std::max(copy_->pts, least);
            repaired = true;
        }
        if (copy_->dts < least) {
            copy_->dts = least;
            if (copy_->pts != AV_NOPTS_VALUE) copy_->pts = std::max(copy_->pts, least);
            repaired = true;
        }
        if (repaired) ++brokenPackets_;
        last = copy_->dts;
    }
    copy_->stream_index = ost->index;
    copy_->pos = -1;
    const int rc = av_interleaved_write_frame(format_.get(), copy_.get());
    av_packet_unref(copy_.get());
    if (rc < 0) throw HostError("writing '" + name_ + "' failed: " + avErrorText(rc));
}

void VideoOutput::writeFrame(AVFrame *frame, std::int64_t pts, std::int64_t duration) {
    pts -= av_rescale_q(startTime_, AV_TIME_BASE_Q, inputVideoBase_);
    if (frameTicks_) {
        pts = av_rescale_q_rnd(pts, inputVideoBase_, encoder_->time_base,
                               AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
        duration =
            std::max<std::int64_t>(1, av_rescale_q(duration, inputVideoBase_, encoder_->time_base));
    }
    if (lastVideoPts_ != INT64_MIN && pts <= lastVideoPts_) pts = lastVideoPts_ + 1;
    lastVideoPts_ = pts;
    frame->pts = pts;
    // The container needs the last frame's duration to show it.
    frame->pkt_duration = duration;
    durations_[pts] = duration;
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    // libx264 takes each frame's field order from the frame.
    frame->interlaced_frame = fieldOrder_ != AV_FIELD_PROGRESSIVE;
    frame->top_field_first = fieldOrder_ == AV_FIELD_TT;
    const int rc = avcodec_send_frame(encoder_.get(), frame);
    if (rc < 0) throw HostError("encoding failed: " + avErrorText(rc));
    drain();
}

void VideoOutput::drain() {
    for (;;) {
        int rc = avcodec_receive_packet(encoder_.get(), packet_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
        if (rc < 0) throw HostError("encoding failed: " + avErrorText(rc));
        // libx264 leaves packet durations to the caller: each packet lasts
        // as long as its own frame did in the input.
        if (const auto it = durations_.find(packet_->pts); it != durations_.end()) {
            if (packet_->duration <= 0) packet_->duration = it->second;
            durations_.erase(it);
        }
        writeVideo(packet_.get());
    }
}

void VideoOutput::writeVideo(AVPacket *packet) {
    av_packet_rescale_ts(packet, encoder_->time_base, videoStream_->time_base);
    packet->stream_index = videoStream_->index;
    const int rc = av_interleaved_write_frame(format_.get(), packet);
    av_packet_unref(packet);
    if (rc < 0) throw HostError("writing '" + name_ + "' failed: " + avErrorText(rc));
}

void VideoOutput::finish() {
    if (finished_) return;
    int rc = avcodec_send_frame(encoder_.get(), nullptr);
    if (rc < 0) throw HostError("encoding failed: " + avErrorText(rc));
    drain();
    rc = av_write_trailer(format_.get());
    if (rc < 0) throw HostError("writing '" + name_ + "' failed: " + avErrorText(rc));
    if (format_->pb) {
        avio_flush(format_->pb);
        const int error = format_->pb->error;
        rc = avio_closep(&format_->pb);
        if (error < 0 || rc < 0)
            throw HostError("writing '" + name_ +
                            "' failed: " + avErrorText(error < 0 ? error : rc));
    }
    finished_ = true;
}

}  // namespace placidor::host
