// Frames for the analysis pass, decoded ahead in a thread of their own so
// that the engine's frame requests rarely wait for the decoder. Each frame
// is converted to packed 3-byte pixels (blue, green, red), top row first.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "input.h"

namespace placidor::host {

class FrameSource {
public:
    // Opens the file at once (throwing HostError), then decodes frames
    // firstFrame..lastFrame (0-based, in presentation order) in the
    // background, keeping at most `depth` of them ready.
    FrameSource(const std::string &path, std::int32_t firstFrame, std::optional<std::int32_t> lastFrame,
                std::size_t depth = 8);
    ~FrameSource();
    FrameSource(const FrameSource &) = delete;
    FrameSource &operator=(const FrameSource &) = delete;

    const VideoInfo &info() const { return info_; }

    // Waits until frame `index` is decoded or known not to exist. Frames
    // are taken in increasing order. Rethrows a decoding failure.
    bool has(std::int32_t index);
    // Takes frame `index` (has(index) must be true): width * height * 3
    // bytes, rows top first, no padding.
    std::vector<std::uint8_t> take(std::int32_t index);
    // Hands a taken frame's memory back for reuse.
    void recycle(std::vector<std::uint8_t> &&bgr);

private:
    struct Frame {
        std::int32_t index;
        std::vector<std::uint8_t> bgr;
    };
    void run();

    std::unique_ptr<VideoInput> input_;
    VideoInfo info_;
    std::int32_t first_;
    std::optional<std::int32_t> last_;
    std::size_t depth_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Frame> ready_;
    std::vector<std::vector<std::uint8_t>> spare_;
    bool ended_ = false, stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

}  // namespace placidor::host
