// Encoding and muxing: the stabilised video through libx264, every audio
// and subtitle stream of the input copied packet for packet, and the
// container's metadata carried over.
#pragma once

#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace placidor::host {

class VideoInput;

struct EncoderSettings {
    int width = 0, height = 0;
    int crf = 20;
    std::string preset = "medium";
};

class VideoOutput {
public:
    // `nameForFormat` picks the container by its extension; the bytes go
    // to `writePath`. Throws HostError.
    VideoOutput(const std::string &nameForFormat, const std::string &writePath, const VideoInput &input,
                const EncoderSettings &settings, const AVFrame &firstFrame);
    ~VideoOutput();
    VideoOutput(const VideoOutput &) = delete;
    VideoOutput &operator=(const VideoOutput &) = delete;

    // A packet of one of the input's other streams; ignored when that
    // stream is not copied. The packet is left as it was.
    void copyPacket(const AVPacket *packet);
    // A 4:2:0 frame of the output size; `pts` and `duration` in the input
    // video stream's time base.
    void writeFrame(AVFrame *frame, std::int64_t pts, std::int64_t duration);
    // Drains the encoder and finishes the file.
    void finish();

    std::int64_t framesWritten() const { return frames_; }

private:
    void drain(bool flushing);
    void writeVideo(AVPacket *packet);
    void release();

    std::string name_;
    AVFormatContext *format_ = nullptr;
    AVCodecContext *encoder_ = nullptr;
    AVStream *videoStream_ = nullptr;
    AVPacket *packet_ = nullptr;
    AVPacket *copy_ = nullptr;
    AVPacket *held_ = nullptr;
    std::int64_t endPts_ = INT64_MIN;
    std::map<std::int64_t, std::int64_t> durations_;  // by pts, of frames in the encoder
    AVRational inputVideoBase_{1, 1};
    std::vector<int> streamMap_;           // input stream -> output stream, -1 when dropped
    std::vector<AVRational> inputBases_;
    std::int64_t frames_ = 0;
    bool headerWritten_ = false, finished_ = false;
};

}  // namespace placidor::host
