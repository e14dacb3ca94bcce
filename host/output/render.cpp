#include "render.h"

#include <algorithm>
#include <cstring>

#include "../error.h"

extern "C" {
#include <libavutil/imgutils.h>
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

AVFieldOrder fieldOrderOf(const AVCodecParameters &stream, const AVFrame &first) {
    if (first.interlaced_frame) return first.top_field_first ? AV_FIELD_TT : AV_FIELD_BB;
    switch (stream.field_order) {
    case AV_FIELD_TT:
    case AV_FIELD_BT: return AV_FIELD_TT;  // the top field shown first
    case AV_FIELD_BB:
    case AV_FIELD_TB: return AV_FIELD_BB;
    default: return AV_FIELD_PROGRESSIVE;
    }
}

PlanarFrames::PlanarFrames(int width, int height, bool interlaced)
    : width_(width), height_(height), interlaced_(interlaced) {}

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
    // An interlaced picture cut to a multiple of 4 rows: the rows kept,
    // copied as they are.
    const bool cut = interlaced_ && planar420 && (decoded->width & ~1) == width_ &&
                     decoded->height >= height_ && decoded->height - height_ < 4;
    if (planar420 && decoded->width == width_ && decoded->height == height_) {
        if (av_frame_copy(frame_.get(), decoded) < 0)
            throw HostError("cannot copy a decoded picture");
    } else if (cut) {
        av_image_copy(frame_->data, frame_->linesize,
                      const_cast<const std::uint8_t **>(decoded->data), decoded->linesize, target,
                      width_, height_);
    } else {
        // An odd last column or row is cut off, not scaled away; only a
        // frame of another size (a stream that changes size) is scaled.
        const int srcW = (decoded->width & ~1) == width_ ? width_ : decoded->width;
        int srcH = (decoded->height & ~1) == height_ ? height_ : decoded->height;
        int dstH = height_;
        if (interlaced_) {
            // One field at a time: the other field's rows are skipped by
            // doubling the strides. A field of a vertically subsampled
            // source keeps whole chroma rows.
            const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
            srcH = decoded->height - height_ >= 0 && decoded->height - height_ < 4
                       ? height_ / 2
                       : decoded->height / 2;
            if (d && d->log2_chroma_h > 0) srcH &= ~((1 << d->log2_chroma_h) - 1);
            dstH = height_ / 2;
        }
        // Not sws_getCachedContext: it replaces a context whose format it
        // normalised (BGR0 becomes BGRA) on every call, and the new one may
        // come at the old one's address, so that the ranges and matrices
        // set on the first would silently be lost.
        const SwsKey key{srcW, srcH, dstH, format, target};
        if (!sws_ || !(key == swsKey_)) {
            sws_.reset(sws_getContext(srcW, srcH, format, width_, dstH, target,
                                      SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr,
                                      nullptr, nullptr));
            if (!sws_) throw HostError("cannot convert the video's pixel format");
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
            swsKey_ = key;
        }
        if (!interlaced_) {
            sws_scale(sws_.get(), decoded->data, decoded->linesize, 0, srcH, frame_->data,
                      frame_->linesize);
        } else {
            for (int field = 0; field < 2; ++field) {
                const std::uint8_t *in[4] = {};
                std::uint8_t *out[4] = {};
                int inStride[4] = {}, outStride[4] = {};
                for (int p = 0; p < 4; ++p) {
                    if (decoded->data[p]) {
                        // A palette is no plane of rows.
                        const bool palette =
                            p == 1 && (av_pix_fmt_desc_get(format)->flags & AV_PIX_FMT_FLAG_PAL);
                        in[p] = decoded->data[p] + (palette ? 0 : field * decoded->linesize[p]);
                        inStride[p] = decoded->linesize[p] * (palette ? 1 : 2);
                    }
                    if (p < 3) {
                        out[p] = frame_->data[p] + field * frame_->linesize[p];
                        outStride[p] = frame_->linesize[p] * 2;
                    }
                }
                sws_scale(sws_.get(), in, inStride, 0, srcH, out, outStride);
            }
        }
    }
    if (av_frame_copy_props(frame_.get(), decoded) < 0) throw HostError("out of memory");
    const PictureColour out = outputColour(*decoded);
    frame_->color_range = out.range;
    frame_->colorspace = out.matrix;
    frame_->chroma_location = out.chroma;
    return frame_.get();
}

Cropper::Cropper(int srcWidth, int srcHeight, int dstWidth, int dstHeight, bool fullRange, int bits,
                 bool interlaced)
    // 4:2:0 needs even sizes: an odd last column or row is left out; each
    // field of an interlaced frame is 4:2:0 too.
    : srcWidth_(srcWidth & ~1),
      srcHeight_(srcHeight & (interlaced ? ~3 : ~1)),
      dstWidth_(dstWidth),
      dstHeight_(dstHeight),
      fullRange_(fullRange),
      bits_(bits),
      interlaced_(interlaced) {}

void Cropper::build(int field, const ClipRect &rect) {
    zimgxx::FilterGraph &graph = graph_[field];
    graph = zimgxx::FilterGraph();

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
        f->field_parity = !interlaced_ ? ZIMG_FIELD_PROGRESSIVE
                          : field == 0 ? ZIMG_FIELD_TOP
                                       : ZIMG_FIELD_BOTTOM;
    }
    const int rows = interlaced_ ? 2 : 1;  // frame rows per row of the picture resampled
    src.width = unsigned(srcWidth_);
    src.height = unsigned(srcHeight_ / rows);
    dst.width = unsigned(dstWidth_);
    dst.height = unsigned(dstHeight_ / rows);
    // A rectangle that leaves the picture (only with limits set beyond
    // the frame) is kept inside it.
    const double left = std::clamp(rect.left, 0.0, double(srcWidth_) - 1);
    const double top = std::clamp(rect.top, 0.0, double(srcHeight_) - 1);
    const double right = std::clamp(rect.right, left + 1, double(srcWidth_));
    const double bottom = std::clamp(rect.bottom, top + 1, double(srcHeight_));
    // A field's rows are every other row of the frame: the rectangle's
    // vertical edges in field rows are half those in frame rows, for both
    // fields (zimg's parity accounts for the bottom field sitting a row
    // lower). Vertical corrections stay fractional, as progressive ones.
    src.active_region.left = left;
    src.active_region.top = top / rows;
    src.active_region.width = right - left;
    src.active_region.height = (bottom - top) / rows;

    zimg_graph_builder_params params;
    zimg_graph_builder_params_default(&params, ZIMG_API_VERSION);
    params.resample_filter = ZIMG_RESIZE_SPLINE36;
    params.resample_filter_uv = ZIMG_RESIZE_SPLINE36;
    try {
        graph = zimgxx::FilterGraph::build(src, dst, &params);
        const std::size_t size = graph.get_tmp_size();
        if (size > tmp_.size()) tmp_ = LibraryBuffer(size);
    } catch (const zimgxx::zerror &e) {
        graph = zimgxx::FilterGraph();
        throw HostError(std::string("cannot set up the resampler: ") + e.msg);
    }
    built_[field] = rect;
}

void Cropper::render(const AVFrame *src, const ClipRect &rect, AVFrame *dst) {
    // A field is every other row: its first row one row down for the
    // bottom field, its stride two rows.
    const int fields = interlaced_ ? 2 : 1;
    for (int field = 0; field < fields; ++field) {
        if (!graph_[field] || std::memcmp(&rect, &built_[field], sizeof rect) != 0)
            build(field, rect);
        zimg_image_buffer_const in{};
        zimg_image_buffer out{};
        in.version = ZIMG_API_VERSION;
        out.version = ZIMG_API_VERSION;
        for (int p = 0; p < 3; ++p) {
            in.plane[p].data = src->data[p] + std::ptrdiff_t(field) * src->linesize[p];
            in.plane[p].stride = std::ptrdiff_t(src->linesize[p]) * fields;
            in.plane[p].mask = ZIMG_BUFFER_MAX;
            out.plane[p].data = dst->data[p] + std::ptrdiff_t(field) * dst->linesize[p];
            out.plane[p].stride = std::ptrdiff_t(dst->linesize[p]) * fields;
            out.plane[p].mask = ZIMG_BUFFER_MAX;
        }
        try {
            graph_[field].process(in, out, tmp_.data());
        } catch (const zimgxx::zerror &e) {
            throw HostError(std::string("resampling failed: ") + e.msg);
        }
    }
}

}  // namespace placidor::host
