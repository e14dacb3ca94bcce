// Rendering a stabilised frame: the clip rectangle, with its fractional
// edges, cut from the decoded picture and resampled to the output size.
#pragma once

#include <cstdint>
#include <memory>

#include <zimg++.hpp>

#include "../memory.h"
#include "placidor.h"

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavutil/pixfmt.h>
}

namespace placidor::host {

// What the rendered frames hold, decided from the first decoded frame:
// 4:2:0 at the source's range for YUV sources; limited-range BT.709 YUV
// for RGB, palette and grey sources; 10 bits deep where the source is
// deeper than 8. The output's colour tags are these.
struct PictureColour {
    AVPixelFormat format = AV_PIX_FMT_YUV420P;
    AVColorRange range = AVCOL_RANGE_MPEG;
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    AVChromaLocation chroma = AVCHROMA_LOC_UNSPECIFIED;
};
PictureColour outputColour(const AVFrame &decoded);

// How the source's pictures were scanned, in display order: progressive,
// or interlaced with the top (AV_FIELD_TT) or the bottom field
// (AV_FIELD_BB) first. The decoder's flags on the first frame decide; a
// field order the container or the parser recorded decides for codecs
// whose decoder does not say.
AVFieldOrder fieldOrderOf(const AVCodecParameters &stream, const AVFrame &first);

// Decoded frames of any pixel format become 4:2:0 frames (8-bit, or
// 10-bit for deeper sources) with
// zimg's alignment; frames that already are stay untouched. A source with
// an odd width or height loses its last column or row (4:2:0 needs even
// sizes); nothing is rescaled. `interlaced`: `height` is a multiple of 4
// (an interlaced source loses its last rows down to one), and a format
// conversion works on each field alone, so that 4:2:2 chroma becomes 4:2:0
// within its field.
class PlanarFrames {
public:
    PlanarFrames(int width, int height, bool interlaced = false);
    PlanarFrames(const PlanarFrames &) = delete;
    PlanarFrames &operator=(const PlanarFrames &) = delete;
    const AVFrame *convert(const AVFrame *decoded);

private:
    int width_, height_;
    bool interlaced_;
    SwsPtr sws_;
    // What sws_ was made for; it is made anew, its ranges and matrices
    // set, whenever that changes.
    struct SwsKey {
        int srcW = 0, srcH = 0, dstH = 0;
        AVPixelFormat format = AV_PIX_FMT_NONE, target = AV_PIX_FMT_NONE;
        bool operator==(const SwsKey &) const = default;
    };
    SwsKey swsKey_;
    FramePtr frame_;
};

// Crops 8-bit 4:2:0 frames with zimg (Spline36, sub-pixel active region).
class Cropper {
public:
    // `bits`: 8 for 8-bit 4:2:0 frames, 10 for 10-bit ones (2 bytes a sample).
    // `interlaced`: each field (the even rows, the odd rows) is cut from its
    // own field and resampled alone, with zimg's field parity placing its
    // rows and chroma, so that the two fields, taken at different moments,
    // are never mixed; heights are then multiples of 4.
    Cropper(int srcWidth, int srcHeight, int dstWidth, int dstHeight, bool fullRange, int bits = 8,
            bool interlaced = false);
    Cropper(const Cropper &) = delete;
    Cropper &operator=(const Cropper &) = delete;

    // `src` 4:2:0 of the source size; `dst` 4:2:0 of the destination size.
    void render(const AVFrame *src, const ClipRect &rect, AVFrame *dst);

private:
    // One resampling: the whole frame, or field 0 (top) or 1 (bottom).
    void build(int field, const ClipRect &rect);

    int srcWidth_, srcHeight_, dstWidth_, dstHeight_;
    bool fullRange_;
    int bits_;
    bool interlaced_;
    zimgxx::FilterGraph graph_[2];
    ClipRect built_[2] = {{-1, -1, -1, -1}, {-1, -1, -1, -1}};
    LibraryBuffer tmp_;  // zimg's temporary buffer
};

// A 4:2:0 frame whose planes and strides zimg accepts.
FramePtr allocPlanarFrame(int width, int height, AVPixelFormat format = AV_PIX_FMT_YUV420P);

}  // namespace placidor::host
