// The decoded frames of a whole clip, kept by the analysis for the render
// so that the render need not decode the file a second time. The frames
// are the decoder's own (references, no copy), with their timestamps,
// colour tags and side data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../memory.h"

namespace placidor::host {

class KeptFrames {
public:
    // Keeps up to `budget` bytes of frame data; past it, lets every frame
    // go and keeps no more.
    explicit KeptFrames(std::size_t budget) : budget_(budget) {}
    KeptFrames(const KeptFrames &) = delete;
    KeptFrames &operator=(const KeptFrames &) = delete;

    // The next frame of the clip (a new reference to it).
    void add(const AVFrame *frame);
    // No more frames come: `whole` when they are every frame of the file,
    // decoded without damage. Only then are they usable.
    void end(bool whole);
    bool usable() const { return ended_ && whole_ && !overflowed_; }
    std::size_t size() const { return frames_.size(); }
    std::size_t bytes() const { return used_; }
    // Hands frame k over (usable() only; each frame once).
    FramePtr take(std::size_t k);

private:
    std::size_t budget_, used_ = 0;
    bool ended_ = false, whole_ = false, overflowed_ = false;
    std::vector<FramePtr> frames_;
};

// The bytes a frame's buffers hold.
std::size_t frameBytes(const AVFrame &frame);

}  // namespace placidor::host
