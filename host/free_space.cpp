#include "free_space.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "error.h"
#include "input/input.h"
#include "output/output.h"

namespace placidor::host {

namespace {

// What x264 and a container take for a frame that changes nothing: a
// skipped picture and its index entry.
constexpr std::uint64_t kBytesPerStillFrame = 32;
constexpr std::uint64_t kContainerOverhead = 64 * 1024;

double secondsOf(const AVStream *st, const AVFormatContext *format) {
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
        return static_cast<double>(st->duration) * av_q2d(st->time_base);
    if (format->duration > 0) return static_cast<double>(format->duration) / AV_TIME_BASE;
    return 0;
}

// Bytes of a stream copied as it is: its bit rate over its duration; for
// PCM, whose rate the container may not state, the samples' size.
std::uint64_t streamBytes(const AVStream *st, const AVFormatContext *format) {
    const AVCodecParameters *par = st->codecpar;
    std::int64_t rate = par->bit_rate;
    if (rate <= 0) {
        const int bits = av_get_bits_per_sample(par->codec_id);
        if (bits > 0) rate = std::int64_t{bits} * par->sample_rate * par->ch_layout.nb_channels;
    }
    if (rate <= 0) return 0;
    return static_cast<std::uint64_t>(static_cast<double>(rate) / 8 * secondsOf(st, format));
}

std::string folderOf(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string sizeText(std::uint64_t bytes) {
    char text[32];
    if (bytes >= 1024ull * 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024 * 1024));
    else if (bytes >= 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
    else std::snprintf(text, sizeof text, "%.0f KiB", bytes / 1024.0);
    return text;
}

}  // namespace

SpaceNeed videoOutputNeed(const std::string &path, const VideoInput &input,
                          const OutputPlan &plan) {
    const AVFormatContext *in = input.format();
    SpaceNeed need;
    need.path = path;
    std::uint64_t copied = 0;
    for (int i : plan.copied) copied += streamBytes(in->streams[i], in);
    const std::int64_t frames = std::max<std::int64_t>(0, input.info().frameCountHint);
    need.least = copied + std::uint64_t(frames) * kBytesPerStillFrame + kContainerOverhead;
    // The input's video: its own bit rate, else what the file holds besides
    // the copied streams.
    std::uint64_t video = streamBytes(input.videoStream(), in);
    if (video == 0 && in->pb) {
        const std::int64_t size = avio_size(in->pb);
        if (size > 0 && std::uint64_t(size) > copied) video = std::uint64_t(size) - copied;
    }
    need.likely = need.least + video / 2;
    return need;
}

SpaceNeed sideFileNeed(const std::string &path, std::int64_t frames) {
    SpaceNeed need;
    need.path = path;
    need.least = std::uint64_t(std::max<std::int64_t>(0, frames)) * 40 + 1024;
    need.likely = need.least * 2;
    return need;
}

void checkFreeSpace(const std::vector<SpaceNeed> &needs) {
    struct Disk {
        std::string folder;  // the first of the files' folders on it
        std::uint64_t free = 0, least = 0, likely = 0;
    };
    std::map<dev_t, Disk> disks;
    for (const SpaceNeed &need : needs) {
        if (need.path.empty() || need.path.find("://") != std::string::npos) continue;
        const std::string folder = folderOf(need.path);
        struct stat st {};
        struct statvfs vfs {};
        if (stat(folder.c_str(), &st) != 0 || statvfs(folder.c_str(), &vfs) != 0) continue;
        Disk &disk = disks[st.st_dev];
        if (disk.folder.empty()) {
            disk.folder = folder;
            // Root may use the blocks reserved for it.
            disk.free = std::uint64_t(geteuid() == 0 ? vfs.f_bfree : vfs.f_bavail) * vfs.f_frsize;
        }
        disk.least += need.least;
        disk.likely += need.likely;
    }
    for (const auto &[device, disk] : disks) {
        if (disk.free < disk.least)
            throw HostError("not enough free space in '" + disk.folder +
                            "': " + sizeText(disk.free) +
                            " free, and what this run writes there needs at least " +
                            sizeText(disk.least) + " (the copied streams and the frames)");
        if (disk.free < disk.likely)
            std::fprintf(stderr,
                         "placidor: warning: only %s free in '%s', and what this run writes there "
                         "probably needs about %s: it may not fit\n",
                         sizeText(disk.free).c_str(), disk.folder.c_str(),
                         sizeText(disk.likely).c_str());
    }
}

}  // namespace placidor::host
