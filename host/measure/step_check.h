// A second opinion on a coarse step: the two frames of a pair, averaged
// down to about 960 samples across, laid over each other at a given step,
// and how much they then differ. The coarse tracker works at a sixth of a
// 1080p frame's width, where fine texture is averaged away and a moving
// object can outweigh the background, while the engine sees only its
// window; where the two disagree, the step at which the frames, at this
// finer size, differ less is taken to be the picture's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace placidor::host {

class StepCheck {
public:
    // Frames of width x height; at most `maxPairs` pairs are kept at once.
    // With `highPass`, prefers compares the planes high-passed as the
    // engine's are (see HighPass).
    StepCheck(int width, int height, bool highPass = true, std::size_t maxPairs = 64,
              int workWidth = 960);

    // The first frame of the next pair: held until its second comes.
    void first(const std::uint8_t *plane, std::ptrdiff_t stride);
    // The second frame of pair `pair`: kept with the first when there is
    // room left (false when not, or when no first frame was given).
    bool second(std::size_t pair, const std::uint8_t *plane, std::ptrdiff_t stride);

    bool has(std::size_t pair) const { return pairs_.count(pair) != 0; }
    // Lets pair `pair`'s frames go (room for another).
    void release(std::size_t pair) { pairs_.erase(pair); }
    std::size_t kept() const { return pairs_.size(); }
    int factor() const { return factor_; }

    // Whether the frames of pair `pair` agree better with the step
    // (tdx, tdy) than with (edx, edy): the mean absolute difference is
    // lower at the first (see misfit). True for a pair not kept, which
    // leaves the step unchallenged.
    bool prefers(std::size_t pair, double tdx, double tdy, double edx, double edy);

    // Mean absolute difference of pair `pair` where the second frame,
    // moved back by (dx, dy) pixels of the frame (rounded to the working
    // size), overlaps the first: content that moved right and down by
    // (dx, dy) matches itself. Infinity when the pair is not kept or the
    // frames do not overlap by a quarter of each side.
    double misfit(std::size_t pair, double dx, double dy) const;

private:
    struct Pair {
        std::vector<std::uint8_t> a, b;
        bool filtered = false;
    };
    void shrink(const std::uint8_t *plane, std::ptrdiff_t stride, std::vector<std::uint8_t> &out);

    int width_, height_;
    bool highPass_;
    int factor_, w_, h_;
    std::size_t maxPairs_;
    std::vector<std::uint8_t> pending_;
    bool havePending_ = false;
    std::map<std::size_t, Pair> pairs_;
};

}  // namespace placidor::host
