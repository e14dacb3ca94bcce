#include "kept_frames.h"

#include <algorithm>

#include "../error.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace placidor::host {

std::size_t frameBytes(const AVFrame &frame) {
    std::size_t bytes = 0;
    for (const AVBufferRef *b : frame.buf)
        if (b) bytes += b->size;
    for (int i = 0; i < frame.nb_extended_buf; ++i) bytes += frame.extended_buf[i]->size;
    return bytes;
}

void KeptFrames::add(const AVFrame *frame) {
    if (overflowed_ || ended_) return;
    const std::size_t bytes = frameBytes(*frame);
    if (bytes > budget_ - std::min(used_, budget_)) {
        overflowed_ = true;
        frames_.clear();
        frames_.shrink_to_fit();
        used_ = 0;
        return;
    }
    FramePtr copy(av_frame_clone(frame));
    if (!copy) throw HostError("out of memory keeping the decoded frames");
    used_ += bytes;
    frames_.push_back(std::move(copy));
}

void KeptFrames::end(bool whole) {
    ended_ = true;
    whole_ = whole;
    if (!usable()) {
        frames_.clear();
        frames_.shrink_to_fit();
        used_ = 0;
    }
}

FramePtr KeptFrames::take(std::size_t k) {
    if (!usable() || k >= frames_.size() || !frames_[k])
        throw HostError("internal: a kept frame taken that is not there");
    return std::move(frames_[k]);
}

}  // namespace placidor::host
