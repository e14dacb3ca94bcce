#include "render.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <zimg.h>

#include "../error.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace placidor::host {

namespace {

constexpr std::uintptr_t kAlign = 64;

bool aligned(const AVFrame *f) {
    for (int p = 0; p < 3; ++p)
        if ((reinterpret_cast<std::uintptr_t>(f->data[p]) | std::uintptr_t(f->linesize[p])) % kAlign) return false;
    return true;
}

std::string zimgError() {
    char text[256] = {};
    zimg_get_last_error(text, sizeof text);
    return text;
}

}  // namespace

AVFrame *allocPlanarFrame(int width, int height) {
    AVFrame *f = av_frame_alloc();
    if (!f) throw HostError("out of memory");
    f->format = AV_PIX_FMT_YUV420P;
    f->width = width;
    f->height = height;
    if (av_frame_get_buffer(f, kAlign) < 0) {
        av_frame_free(&f);
        throw HostError("out of memory");
    }
    return f;
}

PlanarFrames::PlanarFrames(int width, int height) : width_(width), height_(height) {}

PlanarFrames::~PlanarFrames() {
    sws_freeContext(sws_);
    av_frame_free(&frame_);
}

const AVFrame *PlanarFrames::convert(const AVFrame *decoded) {
    const auto format = AVPixelFormat(decoded->format);
    const bool planar420 = format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P;
    if (planar420 && decoded->width == width_ && decoded->height == height_ && aligned(decoded)) return decoded;
    if (!frame_) frame_ = allocPlanarFrame(width_, height_);
    if (av_frame_make_writable(frame_) < 0) throw HostError("out of memory");
    if (planar420 && decoded->width == width_ && decoded->height == height_) {
        av_frame_copy(frame_, decoded);
    } else {
        sws_ = sws_getCachedContext(sws_, decoded->width, decoded->height, format, width_, height_,
                                    AV_PIX_FMT_YUV420P, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
        if (!sws_) throw HostError("cannot convert the video's pixel format");
        sws_scale(sws_, decoded->data, decoded->linesize, 0, decoded->height, frame_->data, frame_->linesize);
    }
    av_frame_copy_props(frame_, decoded);
    return frame_;
}

Cropper::Cropper(int srcWidth, int srcHeight, int dstWidth, int dstHeight, bool fullRange)
    // 4:2:0 needs even sizes: an odd last column or row is left out.
    : srcWidth_(srcWidth & ~1), srcHeight_(srcHeight & ~1), dstWidth_(dstWidth), dstHeight_(dstHeight),
      fullRange_(fullRange) {}

Cropper::~Cropper() {
    zimg_filter_graph_free(graph_);
    std::free(tmp_);
}

void Cropper::build(const ClipRect &rect) {
    zimg_filter_graph_free(graph_);
    graph_ = nullptr;

    zimg_image_format src, dst;
    zimg_image_format_default(&src, ZIMG_API_VERSION);
    zimg_image_format_default(&dst, ZIMG_API_VERSION);
    for (zimg_image_format *f : {&src, &dst}) {
        f->pixel_type = ZIMG_PIXEL_BYTE;
        f->subsample_w = 1;
        f->subsample_h = 1;
        f->color_family = ZIMG_COLOR_YUV;
        f->matrix_coefficients = ZIMG_MATRIX_UNSPECIFIED;
        f->transfer_characteristics = ZIMG_TRANSFER_UNSPECIFIED;
        f->color_primaries = ZIMG_PRIMARIES_UNSPECIFIED;
        f->pixel_range = fullRange_ ? ZIMG_RANGE_FULL : ZIMG_RANGE_LIMITED;
        f->chroma_location = ZIMG_CHROMA_LEFT;
    }
    src.width = unsigned(srcWidth_);
    src.height = unsigned(srcHeight_);
    dst.width = unsigned(dstWidth_);
    dst.height = unsigned(dstHeight_);
    // A rectangle that leaves the picture (only with limits set beyond
    // the frame) is kept inside it.
    const double left = std::clamp(rect.left, 0.0, double(srcWidth_) - 1);
    const double top = std::clamp(rect.top, 0.0, double(srcHeight_) - 1);
    const double right = std::clamp(rect.right, left + 1, double(srcWidth_));
    const double bottom = std::clamp(rect.bottom, top + 1, double(srcHeight_));
    src.active_region.left = left;
    src.active_region.top = top;
    src.active_region.width = right - left;
    src.active_region.height = bottom - top;

    zimg_graph_builder_params params;
    zimg_graph_builder_params_default(&params, ZIMG_API_VERSION);
    params.resample_filter = ZIMG_RESIZE_SPLINE36;
    params.resample_filter_uv = ZIMG_RESIZE_SPLINE36;
    graph_ = zimg_filter_graph_build(&src, &dst, &params);
    if (!graph_) throw HostError("cannot set up the resampler: " + zimgError());
    std::size_t size = 0;
    zimg_filter_graph_get_tmp_size(graph_, &size);
    if (size > tmpSize_) {
        std::free(tmp_);
        tmp_ = std::aligned_alloc(kAlign, (size + kAlign - 1) / kAlign * kAlign);
        if (!tmp_) throw HostError("out of memory");
        tmpSize_ = size;
    }
    built_ = rect;
}

void Cropper::render(const AVFrame *src, const ClipRect &rect, AVFrame *dst) {
    if (!graph_ || std::memcmp(&rect, &built_, sizeof rect) != 0) build(rect);
    zimg_image_buffer_const in{};
    zimg_image_buffer out{};
    in.version = ZIMG_API_VERSION;
    out.version = ZIMG_API_VERSION;
    for (int p = 0; p < 3; ++p) {
        in.plane[p].data = src->data[p];
        in.plane[p].stride = src->linesize[p];
        in.plane[p].mask = ZIMG_BUFFER_MAX;
        out.plane[p].data = dst->data[p];
        out.plane[p].stride = dst->linesize[p];
        out.plane[p].mask = ZIMG_BUFFER_MAX;
    }
    if (zimg_filter_graph_process(graph_, &in, &out, tmp_, nullptr, nullptr, nullptr, nullptr) != ZIMG_ERROR_SUCCESS)
        throw HostError("resampling failed: " + zimgError());
}

}  // namespace placidor::host
