// Frames for the analysis pass, decoded ahead in a thread of their own so
// that the engine's frame requests rarely wait for the decoder. Each frame
// becomes the one 8-bit plane the engine measures on: the decoded luma as
// it is (or one colour channel), optionally averaged down by a whole
// factor, optionally high-passed (measure/plane_filter.h). Rows top first.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "input.h"
#include "measure/plane_filter.h"

namespace placidor::host {

struct PlaneSettings {
    int channel = 0;       // 0 luma, 1 red, 2 green, 3 blue
    int scale = 1;         // plane = frame / scale, box-averaged
    bool highPass = true;  // the measurement prefilter
    // Where the engine can read, in the plane; samples outside are 128. An
    // empty rectangle means the whole plane.
    PlaneRect region;
};

class FrameSource {
public:
    // Opens the file at once (throwing HostError); decoding starts with
    // start(). Frames firstFrame..lastFrame (0-based, in presentation
    // order) are kept at most `depth` ahead.
    FrameSource(const std::string &path, std::int32_t firstFrame,
                std::optional<std::int32_t> lastFrame, std::size_t depth = 8);
    ~FrameSource();
    FrameSource(const FrameSource &) = delete;
    FrameSource &operator=(const FrameSource &) = delete;

    const VideoInfo &info() const { return info_; }

    // Called in the decoding thread with every frame's plane before the
    // prefilter (unscaled luma or channel, top row first, rows `stride`
    // bytes apart); set before start().
    using Observer =
        std::function<void(std::int32_t index, const std::uint8_t *plane, std::ptrdiff_t stride)>;
    void observe(Observer observer) { observer_ = std::move(observer); }

    void start(const PlaneSettings &settings);
    int planeWidth() const { return info_.width / settings_.scale; }
    int planeHeight() const { return info_.height / settings_.scale; }

    // Waits until frame `index` is decoded or known not to exist. Frames
    // are taken in increasing order. Rethrows a decoding failure.
    bool has(std::int32_t index);
    // Takes frame `index` (has(index) must be true): planeWidth() *
    // planeHeight() bytes, rows top first, no padding.
    std::vector<std::uint8_t> take(std::int32_t index);
    // Hands a taken plane's memory back for reuse.
    void recycle(std::vector<std::uint8_t> &&plane);

private:
    struct Frame {
        std::int32_t index;
        std::vector<std::uint8_t> plane;
    };
    void run();

    std::unique_ptr<VideoInput> input_;
    VideoInfo info_;
    std::int32_t first_;
    std::optional<std::int32_t> last_;
    std::size_t depth_;
    PlaneSettings settings_;
    Observer observer_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Frame> ready_;
    std::vector<std::vector<std::uint8_t>> spare_;
    bool started_ = false, ended_ = false, stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

}  // namespace placidor::host
