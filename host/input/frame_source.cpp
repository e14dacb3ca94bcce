#include "frame_source.h"

#include "../error.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace placidor::host {

FrameSource::FrameSource(const std::string &path, std::int32_t firstFrame,
                         std::optional<std::int32_t> lastFrame, std::size_t depth)
    : input_(std::make_unique<VideoInput>(path)), info_(input_->info()), first_(firstFrame),
      last_(lastFrame), depth_(depth < 2 ? 2 : depth) {
    thread_ = std::thread([this] { run(); });
}

FrameSource::~FrameSource() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void FrameSource::run() {
    SwsContext *sws = nullptr;
    const int w = info_.width, h = info_.height;
    try {
        for (std::int32_t index = 0;; ++index) {
            if (last_ && index > *last_) break;
            AVFrame *frame = input_->nextFrame();
            if (!frame) break;
            if (index < first_) continue;
            std::vector<std::uint8_t> bgr;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stopping_ || ready_.size() < depth_; });
                if (stopping_) break;
                if (!spare_.empty()) {
                    bgr = std::move(spare_.back());
                    spare_.pop_back();
                }
            }
            bgr.resize(std::size_t(w) * h * 3);
            // A stream may change its frame size midway; scale back to the first.
            sws = sws_getCachedContext(sws, frame->width, frame->height, AVPixelFormat(frame->format), w, h,
                                       AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr, nullptr);
            if (!sws) throw HostError("cannot convert the video's pixel format");
            std::uint8_t *dst[4] = {bgr.data(), nullptr, nullptr, nullptr};
            int dstStride[4] = {w * 3, 0, 0, 0};
            sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
            {
                std::lock_guard lock(mutex_);
                ready_.push_back({index, std::move(bgr)});
            }
            changed_.notify_all();
        }
    } catch (...) {
        std::lock_guard lock(mutex_);
        failure_ = std::current_exception();
    }
    sws_freeContext(sws);
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

bool FrameSource::has(std::int32_t index) {
    std::unique_lock lock(mutex_);
    for (;;) {
        while (!ready_.empty() && ready_.front().index < index) {
            spare_.push_back(std::move(ready_.front().bgr));
            ready_.pop_front();
            changed_.notify_all();
        }
        if (!ready_.empty()) return ready_.front().index == index;
        if (ended_) {
            if (failure_) std::rethrow_exception(failure_);
            return false;
        }
        changed_.wait(lock);
    }
}

std::vector<std::uint8_t> FrameSource::take(std::int32_t index) {
    if (!has(index)) throw HostError("frame " + std::to_string(index) + " is missing");
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> bgr = std::move(ready_.front().bgr);
    ready_.pop_front();
    changed_.notify_all();
    return bgr;
}

void FrameSource::recycle(std::vector<std::uint8_t> &&bgr) {
    std::lock_guard lock(mutex_);
    spare_.push_back(std::move(bgr));
}

}  // namespace placidor::host
