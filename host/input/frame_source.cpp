#include "frame_source.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "../error.h"
#include "../memory.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace placidor::host {

namespace {

// True when the frame's first plane is its 8-bit luma, one byte a sample.
bool lumaInPlaneZero(const AVFrame *frame) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!d || (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL |
                           AV_PIX_FMT_FLAG_BITSTREAM)))
        return false;
    const AVComponentDescriptor &c = d->comp[0];
    return c.plane == 0 && c.step == 1 && c.depth == 8 && c.shift == 0 && c.offset == 0;
}

// Turns decoded frames into the plane of one channel at the clip's first
// size: the luma straight from the frame when it can, else through
// swscale into a frame of its own.
class ChannelReader {
public:
    ChannelReader(int width, int height, int channel)
        : width_(width), height_(height), channel_(channel) {}

    // The plane of `frame`: a pointer and a stride valid until the next call.
    const std::uint8_t *read(const AVFrame *frame, std::ptrdiff_t &stride) {
        if (channel_ == 0 && frame->width == width_ && frame->height == height_ &&
            lumaInPlaneZero(frame)) {
            stride = frame->linesize[0];
            return frame->data[0];
        }
        // Other layouts, other channels, and a stream that changed its
        // frame size midway (scaled back to the first size).
        const AVPixelFormat target = channel_ == 0 ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_GBRP;
        // libswscale writes whole vectors past the end of a row.
        if (!converted_) converted_ = newPicture(target, width_, height_);
        SwsContext *s = sws_getCachedContext(sws_.release(), frame->width, frame->height,
                                             AVPixelFormat(frame->format), width_, height_, target,
                                             SWS_BILINEAR, nullptr, nullptr, nullptr);
        sws_.reset(s);
        if (!s) throw HostError("cannot convert the video's pixel format");
        sws_scale(s, frame->data, frame->linesize, 0, frame->height, converted_->data,
                  converted_->linesize);
        // GBRP holds green, blue, red in planes 0, 1, 2.
        const int plane = channel_ == 1 ? 2 : channel_ == 2 ? 0 : channel_ == 3 ? 1 : 0;
        stride = converted_->linesize[plane];
        return converted_->data[plane];
    }

private:
    int width_, height_, channel_;
    FramePtr converted_;
    SwsPtr sws_;
};

}  // namespace

void PlaneStore::add(const std::uint8_t *plane, std::ptrdiff_t stride) {
    const std::size_t size = std::size_t(width_) * std::size_t(height_);
    {
        std::lock_guard lock(mutex_);
        if (overflowed_ || ended_) {
            block_.reset();
            return;
        }
        if (!waiting_ && used_ + size > trial_) {
            // The trial is over with no call for the planes: let them go.
            head_ += planes_.size();
            std::vector<std::shared_ptr<const std::uint8_t[]>>().swap(planes_);
            used_ = 0;
            waiting_ = true;
        }
        if (waiting_) {
            block_.reset();
            ++head_;
            return;
        }
    }
    std::shared_ptr<std::uint8_t[]> copy;
    if (used_ + size <= budget_) {
        try {
            // Planes are cut from blocks of about 32 MiB, each plane's
            // pointer sharing its block's ownership: a block goes when its
            // last plane does.
            const std::size_t slot = (size + kBufferAlign - 1) / kBufferAlign * kBufferAlign;
            if (!block_ || blockUsed_ + slot > blockSize_) {
                blockSize_ = std::max<std::size_t>(1, (std::size_t(32) << 20) / slot) * slot;
                block_ = newBulkMemory(blockSize_);
                blockUsed_ = 0;
            }
            copy = std::shared_ptr<std::uint8_t[]>(block_, block_.get() + blockUsed_);
            blockUsed_ += slot;
            for (int r = 0; r < height_; ++r)
                std::memcpy(copy.get() + std::size_t(r) * std::size_t(width_),
                            plane + std::ptrdiff_t(r) * stride, std::size_t(width_));
        } catch (const std::exception &) {
            copy.reset();  // only a shortcut: the next pass decodes again
        }
    }
    if (!copy) block_.reset();
    {
        std::lock_guard lock(mutex_);
        if (copy) {
            planes_.push_back(std::move(copy));
            used_ += size;
        } else {
            letGo();
        }
    }
    added_.notify_all();
}

void PlaneStore::letGo() {
    overflowed_ = true;
    ended_ = true;
    std::vector<std::shared_ptr<const std::uint8_t[]>>().swap(planes_);
}

void PlaneStore::keepFromNow() {
    std::lock_guard lock(mutex_);
    waiting_ = false;
    trial_ = SIZE_MAX;
}

void PlaneStore::end(bool whole) {
    {
        std::lock_guard lock(mutex_);
        if (!ended_) complete_ = whole && !overflowed_ && !waiting_;
        ended_ = true;
    }
    added_.notify_all();
}

bool PlaneStore::usable() const {
    std::lock_guard lock(mutex_);
    return complete_;
}

bool PlaneStore::ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

std::size_t PlaneStore::head() const {
    std::lock_guard lock(mutex_);
    return head_;
}

std::size_t PlaneStore::frames() const {
    std::lock_guard lock(mutex_);
    return head_ + planes_.size();
}

PlaneStore::Wait PlaneStore::waitFor(std::size_t k, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    added_.wait_for(lock, timeout, [&] { return k < planes_.size() || ended_; });
    if (k < planes_.size()) return Wait::ready;
    return ended_ ? Wait::ended : Wait::timedOut;
}

std::shared_ptr<const std::uint8_t[]> PlaneStore::plane(std::size_t k) const {
    std::lock_guard lock(mutex_);
    return k < planes_.size() ? planes_[k] : nullptr;
}

std::size_t defaultPlaneStoreBudget() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    const std::size_t cap = std::size_t{2} << 30;
    if (pages <= 0 || pageSize <= 0) return cap / 4;
    return std::min(cap, std::size_t(pages) / 4 * std::size_t(pageSize));
}

FrameSource::FrameSource(const std::string &path, std::int32_t firstFrame,
                         std::optional<std::int32_t> lastFrame, std::size_t depth)
    : input_(std::make_unique<VideoInput>(path)),
      info_(input_->info()),
      first_(firstFrame),
      last_(lastFrame),
      depth_(depth < 2 ? 2 : depth) {}

FrameSource::FrameSource(const VideoInfo &info, std::int32_t firstFrame,
                         std::shared_ptr<const PlaneStore> store, const std::string &path,
                         std::size_t depth)
    : info_(info), first_(firstFrame), depth_(depth < 2 ? 2 : depth), replay_(std::move(store)) {
    if (!replay_ || (replay_->ended() && !replay_->usable()) || replay_->width() != info.width ||
        replay_->height() != info.height)
        throw HostError("internal: replaying planes that were not kept whole");
    replayHead_ = replay_->head();
    if (replayHead_ > 0) {
        if (path.empty()) throw HostError("internal: replaying a store's head without its file");
        input_ = std::make_unique<VideoInput>(path);
    }
}

FrameSource::~FrameSource() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void FrameSource::start(const PlaneSettings &settings) {
    settings_ = settings;
    if (settings_.scale < 1) settings_.scale = 1;
    started_ = true;
    thread_ = std::thread([this] { run(); });
}

void FrameSource::run() {
    const int w = info_.width, h = info_.height;
    const int pw = planeWidth(), ph = planeHeight();
    const int scale = settings_.scale;
    PlaneRect region = settings_.region;
    if (region.left >= region.right || region.top >= region.bottom) region = {0, 0, pw, ph};
    ChannelReader reader(w, h, settings_.channel);
    HighPass highPass;
    std::vector<std::uint8_t> small(scale > 1 ? std::size_t(pw) * ph : 0);
    bool whole = false;          // every frame of the range went through
    std::int32_t fileIndex = 0;  // the next frame the replay's decoder gives
    try {
        for (std::int32_t index = replay_ ? first_ : 0;; ++index) {
            if (last_ && index > *last_) {
                whole = true;
                break;
            }
            AVFrame *frame = nullptr;
            std::shared_ptr<const std::uint8_t[]> stored;
            if (replay_ && std::size_t(index - first_) < replayHead_) {
                // Frames added before the store began keeping: decoded
                // again, the decoder's frames before the range skipped.
                for (; fileIndex < index; ++fileIndex)
                    if (!input_->nextFrame()) break;
                frame = fileIndex == index ? input_->nextFrame() : nullptr;
                if (!frame) break;  // the file changed since: not whole
                ++fileIndex;
            } else if (replay_) {
                const std::size_t k = std::size_t(index - first_) - replayHead_;
                input_.reset();  // the head is done
                PlaneStore::Wait wait;
                // A store still being filled: wait for the plane, and for
                // the end of this source too.
                while ((wait = replay_->waitFor(k, std::chrono::milliseconds(50))) ==
                       PlaneStore::Wait::timedOut) {
                    std::lock_guard lock(mutex_);
                    if (stopping_) break;
                }
                // Let go over its budget just now: no plane after all.
                if (wait == PlaneStore::Wait::ready) stored = replay_->plane(k);
                if (!stored) {
                    whole = wait == PlaneStore::Wait::ended && replay_->usable();
                    break;
                }
            } else {
                frame = input_->nextFrame();
                if (!frame) {
                    whole = true;
                    break;
                }
                if (index < first_) continue;
            }
            const auto samplesOf = [&](std::ptrdiff_t &stride) -> const std::uint8_t * {
                if (stored) {
                    stride = replay_->width();
                    return stored.get();
                }
                return reader.read(frame, stride);
            };
            if (observeOnly_) {
                {
                    std::lock_guard lock(mutex_);
                    if (stopping_) break;
                }
                std::ptrdiff_t stride = 0;
                const std::uint8_t *samples = samplesOf(stride);
                if (observer_) observer_(index, samples, stride);
                if (keep_) keep_->add(samples, stride);
                ++decoded_;
                continue;
            }
            std::vector<std::uint8_t> plane;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock,
                              [&] { return stopping_ || observeOnly_ || ready_.size() < depth_; });
                if (stopping_) break;
                if (!spare_.empty()) {
                    plane = std::move(spare_.back());
                    spare_.pop_back();
                }
            }
            std::ptrdiff_t stride = 0;
            const std::uint8_t *samples = samplesOf(stride);
            if (observer_) observer_(index, samples, stride);
            if (keep_) keep_->add(samples, stride);
            ++decoded_;
            if (observeOnly_) continue;
            // New memory starts mid-grey; the prefilter writes only the region.
            plane.resize(std::size_t(pw) * ph, 128);
            if (scale > 1) {
                downscalePlane(samples, stride, w, h, scale, small.data());
                samples = small.data();
                stride = pw;
            }
            if (settings_.highPass) {
                highPass.apply(samples, stride, pw, ph, region, plane.data());
            } else {
                for (int r = 0; r < ph; ++r)
                    std::memcpy(plane.data() + std::size_t(r) * pw, samples + r * stride,
                                std::size_t(pw));
            }
            {
                std::lock_guard lock(mutex_);
                ready_.push_back({index, std::move(plane)});
            }
            changed_.notify_all();
        }
        if (keep_) keep_->end(whole);
    } catch (...) {
        if (keep_) keep_->end(false);
        std::lock_guard lock(mutex_);
        failure_ = std::current_exception();
    }
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

bool FrameSource::observeToEnd(const std::function<bool(std::int64_t decoded)> &tick) {
    if (!started_) throw HostError("internal: frames asked for before the decoding started");
    std::unique_lock lock(mutex_);
    observeOnly_ = true;
    for (Frame &f : ready_) spare_.push_back(std::move(f.plane));
    ready_.clear();
    changed_.notify_all();
    while (!ended_) {
        changed_.wait_for(lock, std::chrono::milliseconds(100));
        if (ended_) break;
        lock.unlock();
        const bool go = tick(decoded_);
        lock.lock();
        if (!go) {
            stopping_ = true;
            changed_.notify_all();
            return false;
        }
    }
    if (failure_) std::rethrow_exception(failure_);
    return true;
}

bool FrameSource::has(std::int32_t index) {
    if (!started_) throw HostError("internal: frames asked for before the decoding started");
    std::unique_lock lock(mutex_);
    for (;;) {
        while (!ready_.empty() && ready_.front().index < index) {
            spare_.push_back(std::move(ready_.front().plane));
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
    std::vector<std::uint8_t> plane = std::move(ready_.front().plane);
    ready_.pop_front();
    changed_.notify_all();
    return plane;
}

void FrameSource::recycle(std::vector<std::uint8_t> &&plane) {
    std::lock_guard lock(mutex_);
    spare_.push_back(std::move(plane));
}

}  // namespace placidor::host
