// Demuxing and decoding of the input file: the best video stream decoded
// frame by frame, every other packet handed to whoever wants it (the muxer
// copies audio and subtitles).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "../memory.h"

namespace placidor::host {

struct VideoInfo {
    int streamIndex = -1;
    int width = 0, height = 0;
    AVRational frameRate{0, 1};       // frames per second, from the stream
    AVRational timeBase{0, 1};        // of the stream's timestamps
    std::int64_t frameCountHint = 0;  // from the container; 0 when unknown
    double durationSeconds = 0.0;
};

class VideoInput {
public:
    // Throws HostError naming the file when it cannot be read or has no
    // decodable video stream.
    explicit VideoInput(const std::string &path);
    VideoInput(const VideoInput &) = delete;
    VideoInput &operator=(const VideoInput &) = delete;

    const VideoInfo &info() const { return info_; }
    AVFormatContext *format() const { return format_.get(); }
    AVStream *videoStream() const { return format_->streams[info_.streamIndex]; }

    // Packets of the streams other than the video stream, in file order.
    void onOtherPacket(std::function<void(AVPacket *)> sink) { otherPacket_ = std::move(sink); }

    // The next frame in presentation order, owned by the input and valid
    // until the next call; nullptr after the last. Damage the decoder
    // reports is skipped and counted, as FFmpeg does; a file that cannot
    // be read on ends the frames. Throws HostError on a failed read of the
    // device or a lack of memory.
    AVFrame *nextFrame();

    // What a damaged input lost, given the frames that were decoded: empty
    // when nothing is known to be missing.
    std::string damageReport(std::int64_t framesDecoded) const;

private:
    // The video stream's length as the container states it, in seconds;
    // 0 when it states none.
    double declaredSeconds() const;
    std::string path_;
    InputFormatPtr format_;
    CodecContextPtr decoder_;
    PacketPtr packet_;
    FramePtr frame_;
    VideoInfo info_;
    bool draining_ = false, finished_ = false;
    std::int64_t damaged_ = 0;    // packets or frames the decoder refused
    std::int64_t concealed_ = 0;  // frames it decoded with damage concealed
    std::string endedBy_;         // why reading stopped before the end of the file
    // The latest end time of a decoded frame, in the stream's time base.
    std::int64_t decodedEnd_ = AV_NOPTS_VALUE;
    std::function<void(AVPacket *)> otherPacket_;
};

}  // namespace placidor::host
