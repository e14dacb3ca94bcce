// Owners of FFmpeg's objects, and the memory this host hands to FFmpeg's
// libraries and to zimg.
//
// What the libraries need from a picture buffer:
//   - libswscale and libavcodec's encoders process whole SIMD blocks: a row
//     may be written or read past its last pixel up to the aligned stride,
//     and the last row past the end of the plane. av_frame_get_buffer lays
//     planes out for that (strides rounded up for 64-byte alignment, rows
//     and bytes of padding after the last row); pictures come from it here.
//   - zimg wants each plane's address and stride to be multiples of 32
//     bytes (64 in its 64-byte mode), and a temporary buffer of the size it
//     states, aligned alike.
//
// Under the test switch PLACIDOR_GUARD_PAGES=1 (an environment variable of
// the command line, for its tests) each plane and each byte buffer is
// instead placed to end exactly at a page boundary, followed by an
// inaccessible page, with only the bytes the layout promises: a row or a
// plane written one block too far faults at once instead of corrupting the
// heap silently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

struct SwsContext;

namespace placidor::host {

// The alignment of every plane, stride and buffer handed to the libraries.
constexpr std::size_t kBufferAlign = 64;

struct FrameDeleter {
    void operator()(AVFrame *f) const;
};
struct PacketDeleter {
    void operator()(AVPacket *p) const;
};
struct CodecContextDeleter {
    void operator()(AVCodecContext *c) const;
};
struct SwsDeleter {
    void operator()(SwsContext *c) const;
};
// An input opened with avformat_open_input.
struct InputFormatDeleter {
    void operator()(AVFormatContext *f) const;
};
// An output from avformat_alloc_output_context2: its file is closed if
// still open (without a trailer: a failed run), then the context freed.
struct OutputFormatDeleter {
    void operator()(AVFormatContext *f) const;
};
struct DictionaryDeleter {
    void operator()(AVDictionary *d) const;
};

using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;

// Each throws HostError("out of memory") instead of returning null.
FramePtr newFrame();
PacketPtr newPacket();
PacketPtr clonePacket(const AVPacket *packet);
CodecContextPtr newCodecContext(const AVCodec *codec);

// A picture of `format` and the given size with its own buffers, laid out
// as described above. Throws HostError.
FramePtr newPicture(AVPixelFormat format, int width, int height);

// Makes `frame` (from newPicture) writable again, keeping its layout:
// an encoder may still hold a reference to its buffers. Throws HostError.
void makeWritable(AVFrame *frame);

// Whether the guard-page test switch is on.
bool guardPages();

// `size` bytes (contents unspecified, aligned to kBufferAlign) for memory that is filled once and
// kept: the planes a pass keeps for the next. Where the system offers transparent huge pages they
// are asked for: a 1080p plane in fresh 4 KiB pages costs about 500 page
// faults, which took a fifth of a 1080p analysis's processor time on a
// virtual machine. Elsewhere, or when mapping fails, the heap's. Throws
// HostError("out of memory").
std::shared_ptr<std::uint8_t[]> newBulkMemory(std::size_t size);

// Bytes for a library, aligned to kBufferAlign, its size rounded up to a
// multiple of it (zimg's temporary buffer, a source picture of packed
// pixels).
class LibraryBuffer {
public:
    LibraryBuffer() = default;
    explicit LibraryBuffer(std::size_t size);
    std::uint8_t *data() const { return data_.get(); }
    std::size_t size() const { return size_; }

private:
    struct Release {
        Release() {}
        Release(void *m, std::size_t n) : mapping(m), mapped(n) {}
        void operator()(std::uint8_t *p) const;
        void *mapping = nullptr;  // a guarded region, else from aligned_alloc
        std::size_t mapped = 0;
    };
    std::unique_ptr<std::uint8_t, Release> data_;
    std::size_t size_ = 0;
};

}  // namespace placidor::host
