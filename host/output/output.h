// Encoding and muxing: the stabilised video through libx264, every audio
// and subtitle stream of the input copied packet for packet, and the
// container's metadata carried over.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "../memory.h"

namespace placidor::host {

class VideoInput;

// Which of the input's other streams the user wants in the output.
struct StreamSelection {
    bool audio = true, subtitles = true, data = true, attachments = true;
    // Leave out, with a warning naming it, what the container cannot hold
    // instead of refusing the job.
    bool skipUnsupported = false;
};

// What an output file will hold, decided before any work starts.
struct OutputPlan {
    const AVOutputFormat *format = nullptr;
    std::vector<int> copied;            // input streams copied besides the stabilised video
    bool chapters = false;              // the input's chapters are written
    bool rotation = false;              // the video's display matrix is written
    std::vector<std::string> warnings;  // what is left out, and why
};

// Checks that `name`'s container can be written by this program: one file,
// holding H.264 video. Throws HostError (ExitUsage) naming the reason.
const AVOutputFormat *outputFormatFor(const std::string &name);

// Decides which of `input`'s streams, chapters and side data go into
// `name`. Throws HostError naming the first thing the container cannot
// hold, unless the selection skips it.
OutputPlan planOutput(const std::string &name, const VideoInput &input,
                      const StreamSelection &selection);

struct EncoderSettings {
    int width = 0, height = 0;
    int crf = 20;
    std::string preset = "medium";
    StreamSelection streams;
    // AV_FIELD_TT or AV_FIELD_BB: the frames are interlaced, encoded so
    // (interlaced DCT and motion search) and tagged with this field order.
    AVFieldOrder fieldOrder = AV_FIELD_PROGRESSIVE;
};

class VideoOutput {
public:
    // `nameForFormat` picks the container by its extension; the bytes go
    // to `writePath`. Throws HostError.
    VideoOutput(const std::string &nameForFormat, const std::string &writePath,
                const VideoInput &input, const EncoderSettings &settings,
                const AVFrame &firstFrame);
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

    // Packets of copied streams dropped because their timestamps went
    // backwards (damaged input).
    std::int64_t brokenPackets() const { return brokenPackets_; }

private:
    void drain();
    void writeVideo(AVPacket *packet);

    std::string name_;
    OutputFormatPtr format_;
    CodecContextPtr encoder_;
    AVStream *videoStream_ = nullptr;
    PacketPtr packet_, copy_;
    std::map<std::int64_t, std::int64_t> durations_;  // by pts, of frames in the encoder
    AVRational inputVideoBase_{1, 1};
    // Containers that count frames instead of storing timestamps (AVI) get
    // one tick per frame; `frameTicks_` then maps input timestamps to them.
    bool frameTicks_ = false;
    AVFieldOrder fieldOrder_ = AV_FIELD_PROGRESSIVE;
    std::int64_t lastVideoPts_ = INT64_MIN;
    std::int64_t startTime_ = 0;  // subtracted from every stream, in AV_TIME_BASE
    std::vector<int> streamMap_;  // input stream -> output stream, -1 when dropped
    std::vector<AVRational> inputBases_;
    std::vector<std::int64_t> lastDts_;  // per output stream, to drop packets going back in time
    std::int64_t brokenPackets_ = 0;
    bool headerWritten_ = false, finished_ = false;
};

}  // namespace placidor::host
