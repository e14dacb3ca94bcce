#include "version.h"

#include <link.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}
#include <zimg.h>

#ifndef PLACIDOR_VERSION
#  error "PLACIDOR_VERSION must be defined by the build"
#endif

namespace placidor::host {

namespace {

// The file of the first loaded object whose name starts with `stem`
// ("libplacidor.so"), symbolic links resolved; empty if none is loaded.
std::string loadedLibrary(const char *stem) {
    struct Search {
        const char *stem;
        std::string path;
    } search{stem, {}};
    dl_iterate_phdr(
        [](dl_phdr_info *info, std::size_t, void *data) -> int {
            auto &s = *static_cast<Search *>(data);
            if (!info->dlpi_name || !*info->dlpi_name) return 0;
            const char *slash = std::strrchr(info->dlpi_name, '/');
            const char *base = slash ? slash + 1 : info->dlpi_name;
            if (std::strncmp(base, s.stem, std::strlen(s.stem)) != 0) return 0;
            s.path = info->dlpi_name;
            return 1;
        },
        &search);
    if (search.path.empty()) return {};
    char resolved[PATH_MAX];
    return realpath(search.path.c_str(), resolved) ? std::string(resolved) : search.path;
}

// "libfoo.so.1.2.3" -> "1.2.3"; empty when the name carries no version.
std::string versionSuffix(const std::string &path, const char *stem) {
    const std::string base = path.substr(path.rfind('/') + 1);
    const std::string prefix = std::string(stem) + ".";
    return base.rfind(prefix, 0) == 0 ? base.substr(prefix.size()) : std::string();
}

std::string dotted(unsigned version) {
    return std::to_string(AV_VERSION_MAJOR(version)) + "." +
           std::to_string(AV_VERSION_MINOR(version)) + "." +
           std::to_string(AV_VERSION_MICRO(version));
}

// "libavcodec 59.37.100", with the version of the headers when it differs.
std::string ffmpegLibrary(const char *name, unsigned running, unsigned built) {
    std::string text = std::string(name) + " " + dotted(running);
    if (running != built) text += " (built with " + dotted(built) + ")";
    return text;
}

}  // namespace

void printVersions(std::FILE *out) {
    std::fprintf(out, "placidor %s\n", PLACIDOR_VERSION);

    // The engine has no version call: its shared library's file name
    // (libplacidor.so.MAJOR.MINOR.PATCH) carries the version.
    const std::string engine = loadedLibrary("libplacidor.so");
    const std::string engineVersion = versionSuffix(engine, "libplacidor.so");
    if (engine.empty()) std::fprintf(out, "engine: libplacidor %s (linked in)\n", PLACIDOR_VERSION);
    else
        std::fprintf(out, "engine: libplacidor %s (%s)\n",
                     engineVersion.empty() ? "of unknown version" : engineVersion.c_str(),
                     engine.c_str());

    std::fprintf(out, "FFmpeg %s: %s, %s, %s, %s\n", av_version_info(),
                 ffmpegLibrary("libavformat", avformat_version(), LIBAVFORMAT_VERSION_INT).c_str(),
                 ffmpegLibrary("libavcodec", avcodec_version(), LIBAVCODEC_VERSION_INT).c_str(),
                 ffmpegLibrary("libavutil", avutil_version(), LIBAVUTIL_VERSION_INT).c_str(),
                 ffmpegLibrary("libswscale", swscale_version(), LIBSWSCALE_VERSION_INT).c_str());

    // x264 is reached through libavcodec's libx264 encoder; the library's
    // soname number is x264's API build ("core") number.
    if (!avcodec_find_encoder_by_name("libx264")) {
        std::fprintf(out, "x264: not available (this libavcodec has no libx264 encoder)\n");
    } else {
        const std::string x264 = loadedLibrary("libx264.so");
        const std::string core = versionSuffix(x264, "libx264.so");
        if (x264.empty()) std::fprintf(out, "x264: built into libavcodec\n");
        else
            std::fprintf(out, "x264: core %s (%s)\n",
                         core.empty() ? "of unknown number" : core.c_str(), x264.c_str());
    }

    unsigned major = 0, minor = 0, micro = 0;
    zimg_get_version_info(&major, &minor, &micro);
    std::fprintf(out, "zimg %u.%u.%u\n", major, minor, micro);
}

}  // namespace placidor::host
