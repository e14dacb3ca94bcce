// Frames for the analysis pass, decoded ahead in a thread of their own so
// that the engine's frame requests rarely wait for the decoder. Each frame
// becomes the one 8-bit plane the engine measures on: the decoded luma as
// it is (or one colour channel), optionally averaged down by a whole
// factor, optionally high-passed (measure/plane_filter.h). Rows top first.
#pragma once

#include <atomic>
#include <chrono>
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

// The unfiltered planes of a pass (what FrameSource's observer sees), kept
// so that a second pass over the same frames needs no second decode. Up
// to `budget` bytes: a clip that needs more keeps nothing (the second
// pass decodes again). Filled by one thread; other threads may follow it,
// reading each plane once it was added.
//
// A store given a `trial` size keeps planes only up to that many bytes
// unless keepFromNow() is called: past it, it lets them go and only counts
// the planes added (head()) until keepFromNow(), and a pass over the store
// decodes those frames again. Most clips need no second pass, and fresh
// memory is dear: keeping a 1080p clip's planes cost a tenth of its
// analysis even on huge pages.
class PlaneStore {
public:
    PlaneStore(int width, int height, std::size_t budget, std::size_t trial = SIZE_MAX)
        : width_(width), height_(height), budget_(budget), trial_(trial) {}
    PlaneStore(const PlaneStore &) = delete;
    PlaneStore &operator=(const PlaneStore &) = delete;

    // The next frame's plane, width x height bytes, rows `stride` apart.
    void add(const std::uint8_t *plane, std::ptrdiff_t stride);
    // Keeps the planes added from now on, and those of the trial while it
    // lasts (any thread).
    void keepFromNow();
    // No more frames come: `whole` when every frame of the range was added.
    void end(bool whole);
    // Every frame of the range was added, and each one after the head kept.
    bool usable() const;
    bool ended() const;
    // The frames added before the store began keeping: final once it did.
    std::size_t head() const;
    // The frames added: the head and the planes kept.
    std::size_t frames() const;
    enum class Wait { ready, ended, timedOut };
    // Waits up to `timeout` for kept plane k (frame head() + k): ready once
    // it was added, ended when it never will be (the range was shorter, or
    // the planes went over the budget and were let go).
    Wait waitFor(std::size_t k, std::chrono::milliseconds timeout) const;
    // Kept plane k (added); it stays valid while the pointer is held, also
    // when the store lets its planes go.
    std::shared_ptr<const std::uint8_t[]> plane(std::size_t k) const;
    int width() const { return width_; }
    int height() const { return height_; }

private:
    void letGo();  // with the lock held

    int width_, height_;
    std::size_t budget_, used_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable added_;
    std::size_t trial_;
    bool waiting_ = false, overflowed_ = false, complete_ = false, ended_ = false;
    std::size_t head_ = 0;
    std::vector<std::shared_ptr<const std::uint8_t[]>> planes_;
    // The block the next planes are cut from (used by add() alone).
    std::shared_ptr<std::uint8_t[]> block_;
    std::size_t blockSize_ = 0, blockUsed_ = 0;
};

// What a pass keeps, and where the usual budget comes from: a quarter of
// the physical memory, at most 2 GiB.
std::size_t defaultPlaneStoreBudget();

class FrameSource {
public:
    // Opens the file at once (throwing HostError); decoding starts with
    // start(). Frames firstFrame..lastFrame (0-based, in presentation
    // order) are kept at most `depth` ahead.
    FrameSource(const std::string &path, std::int32_t firstFrame,
                std::optional<std::int32_t> lastFrame, std::size_t depth = 8);
    // The frames of `store` instead of a decoder: frame k of the store is
    // frame firstFrame + k; `info` describes the clip. The store is whole
    // (usable()) or still being filled: its frames are then taken as
    // they come, up to its end.
    // `path` is the file the store's frames came from: the frames of its
    // head are decoded from it again.
    FrameSource(const VideoInfo &info, std::int32_t firstFrame,
                std::shared_ptr<const PlaneStore> store, const std::string &path = {},
                std::size_t depth = 8);
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
    // Keeps every observed plane in `store` (marked complete when the
    // decoding reached the end of the range); set before start().
    void keepPlanes(PlaneStore *store) { keep_ = store; }

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

    // No more planes are wanted: the decoding goes on to the end of the
    // range for the observer and the store only. Waits until it gets
    // there, calling `tick` with the number of frames decoded so far
    // about ten times a second; stops early (false) when `tick` returns
    // false. Rethrows a decoding failure.
    bool observeToEnd(const std::function<bool(std::int64_t decoded)> &tick);
    // Frames of the range decoded so far.
    std::int64_t decoded() const { return decoded_; }

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
    PlaneStore *keep_ = nullptr;
    std::shared_ptr<const PlaneStore> replay_;
    std::size_t replayHead_ = 0;  // frames of the replay decoded from the file
    std::atomic<bool> observeOnly_{false};
    std::atomic<std::int64_t> decoded_{0};

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Frame> ready_;
    std::vector<std::vector<std::uint8_t>> spare_;
    bool started_ = false, ended_ = false, stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

}  // namespace placidor::host
