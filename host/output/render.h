// Rendering a stabilised frame: the clip rectangle, with its fractional
// edges, cut from the decoded picture and resampled to the output size.
#pragma once

#include <cstdint>
#include <memory>

#include "placidor.h"

extern "C" {
#include <libavutil/frame.h>
}

struct SwsContext;
struct zimg_filter_graph;

namespace placidor::host {

// Decoded frames of any pixel format become 8-bit 4:2:0 frames with
// zimg's alignment; frames that already are stay untouched.
class PlanarFrames {
public:
    PlanarFrames(int width, int height);
    ~PlanarFrames();
    PlanarFrames(const PlanarFrames &) = delete;
    PlanarFrames &operator=(const PlanarFrames &) = delete;
    const AVFrame *convert(const AVFrame *decoded);

private:
    int width_, height_;
    SwsContext *sws_ = nullptr;
    AVFrame *frame_ = nullptr;
};

// Crops 8-bit 4:2:0 frames with zimg (Spline36, sub-pixel active region).
class Cropper {
public:
    Cropper(int srcWidth, int srcHeight, int dstWidth, int dstHeight, bool fullRange);
    ~Cropper();
    Cropper(const Cropper &) = delete;
    Cropper &operator=(const Cropper &) = delete;

    // `src` 4:2:0 of the source size; `dst` 4:2:0 of the destination size.
    void render(const AVFrame *src, const ClipRect &rect, AVFrame *dst);

private:
    void build(const ClipRect &rect);

    int srcWidth_, srcHeight_, dstWidth_, dstHeight_;
    bool fullRange_;
    zimg_filter_graph *graph_ = nullptr;
    ClipRect built_{-1, -1, -1, -1};
    void *tmp_ = nullptr;
    std::size_t tmpSize_ = 0;
};

// A 4:2:0 frame whose planes and strides zimg accepts.
AVFrame *allocPlanarFrame(int width, int height);

}  // namespace placidor::host
