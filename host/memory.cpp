#include "memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "error.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace placidor::host {

void FrameDeleter::operator()(AVFrame *f) const { av_frame_free(&f); }
void PacketDeleter::operator()(AVPacket *p) const { av_packet_free(&p); }
void CodecContextDeleter::operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
void SwsDeleter::operator()(SwsContext *c) const { sws_freeContext(c); }
void InputFormatDeleter::operator()(AVFormatContext *f) const { avformat_close_input(&f); }
void OutputFormatDeleter::operator()(AVFormatContext *f) const {
    if (f->pb) avio_closep(&f->pb);
    avformat_free_context(f);
}
void DictionaryDeleter::operator()(AVDictionary *d) const { av_dict_free(&d); }

namespace {

[[noreturn]] void outOfMemory() { throw HostError("out of memory"); }

std::size_t roundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// A mapping whose last page is inaccessible; `size` bytes end right before
// it.
struct GuardedRegion {
    void *base = nullptr;
    std::size_t length = 0;
    std::uint8_t *data = nullptr;
};

GuardedRegion mapGuarded(std::size_t size) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t body = roundUp(size == 0 ? 1 : size, page);
    GuardedRegion r;
    r.length = body + page;
    r.base = mmap(nullptr, r.length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (r.base == MAP_FAILED) outOfMemory();
    auto *bytes = static_cast<std::uint8_t *>(r.base);
    if (mprotect(bytes + body, page, PROT_NONE) != 0) {
        munmap(r.base, r.length);
        outOfMemory();
    }
    r.data = bytes + body - size;
    return r;
}

void unmapGuarded(void *opaque, std::uint8_t *) {
    auto *region = static_cast<GuardedRegion *>(opaque);
    munmap(region->base, region->length);
    delete region;
}

// The strides av_frame_get_buffer chooses: the width rounded up until the
// first stride is a multiple of the alignment, then every stride rounded
// up to it.
bool pictureStrides(AVPixelFormat format, int width, int strides[4]) {
    const int align = int(kBufferAlign);
    for (int a = 1; a <= align; a += a) {
        if (av_image_fill_linesizes(strides, format, FFALIGN(width, a)) < 0) return false;
        if (strides[0] % align == 0) break;
    }
    for (int p = 0; p < 4; ++p) strides[p] = FFALIGN(strides[p], align);
    return true;
}

// Each plane in a guarded region of exactly stride * rows bytes.
void guardedPicture(AVFrame *f) {
    const auto format = AVPixelFormat(f->format);
    int strides[4] = {};
    if (!pictureStrides(format, f->width, strides))
        throw HostError("cannot lay out a picture of this size");
    ptrdiff_t wide[4];
    for (int p = 0; p < 4; ++p) wide[p] = strides[p];
    std::size_t sizes[4] = {};
    if (av_image_fill_plane_sizes(sizes, format, f->height, wide) < 0)
        throw HostError("cannot lay out a picture of this size");
    for (int p = 0; p < 4 && sizes[p]; ++p) {
        auto *region = new GuardedRegion(mapGuarded(sizes[p]));
        f->buf[p] = av_buffer_create(region->data, sizes[p], unmapGuarded, region, 0);
        if (!f->buf[p]) {
            unmapGuarded(region, nullptr);
            outOfMemory();
        }
        f->data[p] = f->buf[p]->data;
        f->linesize[p] = strides[p];
    }
}

}  // namespace

bool guardPages() {
    static const bool on = [] {
        const char *v = std::getenv("PLACIDOR_GUARD_PAGES");
        return v && std::strcmp(v, "1") == 0;
    }();
    return on;
}

FramePtr newFrame() {
    FramePtr f(av_frame_alloc());
    if (!f) outOfMemory();
    return f;
}

PacketPtr newPacket() {
    PacketPtr p(av_packet_alloc());
    if (!p) outOfMemory();
    return p;
}

PacketPtr clonePacket(const AVPacket *packet) {
    PacketPtr p(av_packet_clone(packet));
    if (!p) outOfMemory();
    return p;
}

CodecContextPtr newCodecContext(const AVCodec *codec) {
    CodecContextPtr c(avcodec_alloc_context3(codec));
    if (!c) outOfMemory();
    return c;
}

FramePtr newPicture(AVPixelFormat format, int width, int height) {
    FramePtr f = newFrame();
    f->format = format;
    f->width = width;
    f->height = height;
    if (guardPages()) guardedPicture(f.get());
    else if (av_frame_get_buffer(f.get(), int(kBufferAlign)) < 0) outOfMemory();
    return f;
}

void makeWritable(AVFrame *frame) {
    if (av_frame_is_writable(frame)) return;
    // The contents are about to be replaced: new buffers, nothing copied.
    FramePtr fresh = newPicture(AVPixelFormat(frame->format), frame->width, frame->height);
    if (av_frame_copy_props(fresh.get(), frame) < 0) outOfMemory();
    av_frame_unref(frame);
    av_frame_move_ref(frame, fresh.get());
}

std::shared_ptr<std::uint8_t[]> newBulkMemory(std::size_t size) {
    size = roundUp(size == 0 ? 1 : size, kBufferAlign);
#ifdef MADV_HUGEPAGE
    // Huge pages come whole and aligned: the mapping is made one huge page
    // longer and started at a boundary inside it.
    constexpr std::size_t kHuge = std::size_t(2) << 20;
    const std::size_t length = roundUp(size, kHuge) + kHuge;
    void *base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base != MAP_FAILED) {
        auto *start = reinterpret_cast<std::uint8_t *>(
            roundUp(reinterpret_cast<std::uintptr_t>(base), kHuge));
        // Advice only: without huge pages the mapping still serves.
        madvise(start, roundUp(size, kHuge), MADV_HUGEPAGE);
        return std::shared_ptr<std::uint8_t[]>(
            start, [base, length](std::uint8_t *) { munmap(base, length); });
    }
#endif
    auto *p = static_cast<std::uint8_t *>(std::aligned_alloc(kBufferAlign, size));
    if (!p) outOfMemory();
    return std::shared_ptr<std::uint8_t[]>(p, [](std::uint8_t *q) { std::free(q); });
}

void LibraryBuffer::Release::operator()(std::uint8_t *p) const {
    if (mapping) munmap(mapping, mapped);
    else std::free(p);
}

LibraryBuffer::LibraryBuffer(std::size_t size)
    : size_(roundUp(size == 0 ? 1 : size, kBufferAlign)) {
    if (guardPages()) {
        const GuardedRegion r = mapGuarded(size_);
        data_ = std::unique_ptr<std::uint8_t, Release>(r.data, Release{r.base, r.length});
        return;
    }
    auto *p = static_cast<std::uint8_t *>(std::aligned_alloc(kBufferAlign, size_));
    if (!p) outOfMemory();
    data_ = std::unique_ptr<std::uint8_t, Release>(p, Release{});
}

}  // namespace placidor::host
