// One frame's match scores by displacement; 0.0 marks "not scored yet".
// Scores are <= 0; the engine's iterative search also writes a positive
// mark for a displacement it has proved can never be chosen (see
// squareStepPruned), never a score it has not computed in full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace placidor::motion {

class ScoreCache {
public:
    // Entries for dx in [-(width/2), width - width/2] and dy likewise: one
    // column and one row more than the plane, so that a search range of
    // exactly half the frame still has an entry for +searchRange.
    // Returns false, leaving the cache empty, when it cannot be sized or
    // allocated. `searchRange` bounds which entries a search can reach.
    bool allocate(std::int32_t width, std::int32_t height, std::int32_t searchRange);
    void release();
    bool allocated() const { return entries_ != nullptr; }

    // clear(): sets to 0.0 every entry that a search with this
    // cache's search range can score or read. Entries no search reaches are
    // never read, so they are left alone: at 1920 x 1080 that saves
    // clearing 16 MiB a frame.
    void clear();

    bool contains(std::int32_t dx, std::int32_t dy) const {
        return dx >= -halfWidth_ && dx <= width_ - halfWidth_ && dy >= -halfHeight_ &&
               dy <= height_ - halfHeight_;
    }
    double &entry(std::int32_t dx, std::int32_t dy) { return entries_[index(dx, dy)]; }
    double entry(std::int32_t dx, std::int32_t dy) const { return entries_[index(dx, dy)]; }

    // Displacements a search can touch: both components in [reachLow,
    // reachHigh] (the iterative search reaches R + 1 + R/2 below zero).
    std::int32_t reachLow() const { return reachLow_; }
    std::int32_t reachHigh() const { return reachHigh_; }

private:
    std::size_t index(std::int32_t dx, std::int32_t dy) const {
        return static_cast<std::size_t>(dy + halfHeight_) * stride_ +
               static_cast<std::size_t>(dx + halfWidth_);
    }

    std::unique_ptr<double[]> entries_;
    std::int32_t width_ = 0, height_ = 0, halfWidth_ = 0, halfHeight_ = 0;
    std::size_t stride_ = 0;
    std::int32_t reachLow_ = 0, reachHigh_ = -1;
};

}  // namespace placidor::motion
