#include "render.h"

#include <algorithm>
#include <cstring>

#include "../error.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace placidor::host {

namespace {

bool aligned(const AVFrame *f) {
    for (int p = 0; p < 3; ++p)
        if ((reinterpret_cast<std::uintptr_t>(f->data[p]) | std::uintptr_t(f->linesize[p])) %
            kBufferAlign)
            return false;
    return true;
}

}  // namespace

FramePtr allocPlanarFrame(int width, int height, AVPixelFormat format) {
    return newPicture(format, width, height);
}

namespace {

enum class Family { Yuv, Rgb, Grey };

Family familyOf(AVPixelFormat format) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    if (!d) return Family::Yuv;
    if (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) return Family::Rgb;
    if (d->nb_components <= 2) return Family::Grey;
    return Family::Yuv;
}

bool fullRangeYuv(const AVFrame &f) {
    switch (f.format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P: return true;
    default: return f.color_range == AVCOL_RANGE_JPEG;
    }
}

int swsMatrix(AVColorSpace matrix) {
    switch (matrix) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return SWS_CS_ITU601;
    }
}

}  // namespace

PictureColour outputColour(const AVFrame &decoded) {
    PictureColour c;
    // Sources deeper than 8 bits (10-bit HDR) stay 10 bits deep, so that
    // their transfer and mastering metadata still describe the pixels.
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(decoded.format));
    if (d && d->comp[0].depth > 8) c.format = AV_PIX_FMT_YUV420P10;
    c.primaries = decoded.color_primaries;
    c.transfer = decoded.color_trc;
    const auto format = AVPixelFormat(decoded.format);
    switch (familyOf(format)) {
    case Family::Yuv:
        c.range = fullRangeYuv(decoded) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        c.matrix = decoded.colorspace;
        c.chroma = format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P
                       ? decoded.chroma_location
                       : AVCHROMA_LOC_LEFT;
        break;
    case Family::Rgb:
    case Family::Grey:
        // Converted here: the matrix and range are ours.
        c.range = AVCOL_RANGE_MPEG;
        c.matrix = AVCOL_SPC_BT709;
        c.chroma = AVCHROMA_LOC_LEFT;
        break;
    }
    return c;
}

PlanarFrames::PlanarFrames(int width, int height) : width_(width), height_(height) {}

const AVFrame *PlanarFrames::convert(const AVFrame *decoded) {
    const auto format = AVPixelFormat(decoded->format);
    const AVPixelFormat target = outputColour(*decoded).format;
    const bool planar420 =
        format == target || (format == AV_PIX_FMT_YUVJ420P && target == AV_PIX_FMT_YUV420P);
    if (planar420 && decoded->width == width_ && decoded->height == height_ && aligned(decoded))
        return decoded;
    if (frame_ && frame_->format != target) frame_.reset();
    if (!frame_) frame_ = allocPlanarFrame(width_, height_, target);
    makeWritable(frame_.get());
    if (planar420 && decoded->width == width_ && decoded->height == height_) {
        if (av_frame_copy(frame_.get(), decoded) < 0)
            throw HostError("cannot copy a decoded picture");
    } else {
        // An odd last column or row is cut off, not scaled away; only a
        // frame of another size (a stream that changes size) is scaled.
        const int srcW = (decoded->width & ~1) == width_ ? width_ : decoded->width;
        const int srcH = (decoded->height & ~1) == height_ ? height_ : decoded->height;
        sws_.reset(sws_getCachedContext(sws_.release(), srcW, srcH, format, width_, height_, target,
                                        SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP,
                                        nullptr, nullptr, nullptr));
        if (!sws_) throw HostError("cannot convert the video's pixel format");
        if (configured_ != sws_.get()) {
            // The ranges and matrix the output is tagged with, whatever
            // swscale would assume from the pixel format.
            const PictureColour out = outputColour(*decoded);
            const Family family = familyOf(format);
            const int srcFull = family == Family::Yuv    ? fullRangeYuv(*decoded)
                                : family == Family::Grey ? decoded->color_range != AVCOL_RANGE_MPEG
                                                         : 1;
            const int dstFull = out.range == AVCOL_RANGE_JPEG;
            const int *srcTable = sws_getCoefficients(
                family == Family::Yuv ? swsMatrix(decoded->colorspace) : swsMatrix(out.matrix));
            const int *dstTable = sws_getCoefficients(
                swsMatrix(out.matrix == AVCOL_SPC_UNSPECIFIED ? decoded->colorspace : out.matrix));
            sws_setColorspaceDetails(sws_.get(), srcTable, srcFull, dstTable, dstFull, 0, 1 << 16,
                                     1 << 16);
            configured_ = sws_.get();
        }
        sws_scale(sws_.get(), decoded->data, decoded->linesize, 0, srcH, frame_->data,
                  frame_->linesize);
    }
    if (av_frame_copy_props(frame_.get(), decoded) < 0) throw HostError("out of memory");
    const PictureColour out = outputColour(*decoded);
    frame_->color_range = out.range;
    frame_->colorspace = out.matrix;
    frame_->chroma_location = out.chroma;
    return frame_.get();
}

Cropper::Cropper(int srcWidth, int srcHeight, int dstWidth, int dstHeight, bool fullRange, int bits)
    // 4:2:0 needs even sizes: an odd last column or row is left out.
    : srcWidth_(srcWidth & ~1),
      srcHeight_(srcHeight & ~1),
      dstWidth_(dstWidth),
      dstHeight_(dstHeight),
      fullRange_(fullRange),
      bits_(bits) {}

void Cropper::build(const ClipRect &rect) {
    graph_ = zimgxx::FilterGraph();

    zimg_image_format src, dst;
    zimg_image_format_default(&src, ZIMG_API_VERSION);
    zimg_image_format_default(&dst, ZIMG_API_VERSION);
    for (zimg_image_format *f : {&src, &dst}) {
        f->pixel_type = bits_ > 8 ? ZIMG_PIXEL_WORD : ZIMG_PIXEL_BYTE;
        f->depth = unsigned(bits_);
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
    try {
        graph_ = zimgxx::FilterGraph::build(src, dst, &params);
        const std::size_t size = graph_.get_tmp_size();
        if (size > tmp_.size()) tmp_ = LibraryBuffer(size);
    } catch (const zimgxx::zerror &e) {
        graph_ = zimgxx::FilterGraph();
        throw HostError(std::string("cannot set up the resampler: ") + e.msg);
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
    try {
        graph_.process(in, out, tmp_.data());
    } catch (const zimgxx::zerror &e) {
        throw HostError(std::string("resampling failed: ") + e.msg);
    }
}

}  // namespace placidor::host
