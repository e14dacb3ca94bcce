// placidor: the command line. Analyses a video with the engine, then
// renders every frame cropped to its clip rectangle into a new file.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "analysis.h"
#include "demo/demo.h"
#include "error.h"
#include "input/input.h"
#include "options.h"
#include "output/output.h"
#include "output/render.h"
#include "placidor.h"
#include "placidor_escape.h"
#include "progress.h"
#include "report/camera_path.h"
#include "report/report.h"

extern "C" {
#include <libavutil/log.h>
}

using namespace placidor::host;

namespace {

// Files being written under a temporary name; the signal handler removes
// them, so they live in fixed storage.
constexpr int kTempSlots = 2;
char tempPaths[kTempSlots][4096];
volatile sig_atomic_t analysing = 0;

void removeTemps() {
    for (auto &path : tempPaths)
        if (path[0]) {
            unlink(path);
            path[0] = '\0';
        }
}

void say(const char *text) {
    if (write(STDERR_FILENO, text, std::strlen(text)) < 0) {
    }
}

void onInterrupt(int signal) {
    ++userInterrupts;
    if (signal == SIGINT && analysing && userInterrupts == 1) {
        PlacidorPressEscape();
        say("\nplacidor: stopping the analysis; the analysed part will be rendered (Ctrl-C again aborts)\n");
        return;
    }
    for (auto &path : tempPaths)
        if (path[0]) unlink(path);
    say("\nplacidor: interrupted\n");
    _exit(ExitInterrupted);
}

std::string directoryOf(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

std::string baseName(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Claims a temporary file beside `finalPath` for the duration of the run.
std::string claimTemp(int slot, const std::string &finalPath, bool overwrite) {
    struct stat st {};
    if (stat(finalPath.c_str(), &st) == 0) {
        if (!overwrite) throw HostError("'" + finalPath + "' already exists (use -y to replace it)");
        if (S_ISDIR(st.st_mode)) throw HostError("'" + finalPath + "' is a directory");
    }
    if (!av_guess_format(nullptr, finalPath.c_str(), nullptr))
        throw HostError("cannot tell which container to write for '" + finalPath +
                            "': give it an extension such as .mp4 or .mkv",
                        ExitUsage);
    const std::string temp =
        directoryOf(finalPath) + "/." + baseName(finalPath) + "." + std::to_string(getpid()) + ".part";
    if (temp.size() >= sizeof tempPaths[slot]) throw HostError("the path '" + finalPath + "' is too long");
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) throw HostError("cannot write '" + finalPath + "': " + std::strerror(errno));
    close(fd);
    std::strcpy(tempPaths[slot], temp.c_str());
    return temp;
}

void commitTemp(int slot, const std::string &finalPath) {
    if (std::rename(tempPaths[slot], finalPath.c_str()) != 0)
        throw HostError("cannot rename the finished file to '" + finalPath + "': " + std::strerror(errno));
    tempPaths[slot][0] = '\0';
}

struct RenderStats {
    std::int64_t frames = 0;
    double framesPerSecond = 0;
    int width = 0, height = 0;
};

// Copies a 4:2:0 frame into a larger one at column `x`.
void paste(const AVFrame *src, AVFrame *dst, int x) {
    for (int p = 0; p < 3; ++p) {
        const int shift = p == 0 ? 0 : 1;
        const int w = src->width >> shift, h = src->height >> shift;
        for (int r = 0; r < h; ++r)
            std::memcpy(dst->data[p] + std::ptrdiff_t(r) * dst->linesize[p] + (x >> shift),
                        src->data[p] + std::ptrdiff_t(r) * src->linesize[p], std::size_t(w));
    }
}

RenderStats render(const Options &o, const Analysis &a, const std::string &temp, const std::string &compareTemp,
                   Progress &progress) {
    VideoInput input(o.input);
    const VideoInfo &info = input.info();
    const auto &rects = a.path.rects;
    const auto rectFor = [&](std::int64_t frame) -> const ClipRect & {
        const std::int64_t i = std::clamp<std::int64_t>(frame - a.firstFrame, 0, std::int64_t(rects.size()) - 1);
        return rects[std::size_t(i)];
    };
    const int evenW = info.width & ~1, evenH = info.height & ~1;
    int outW = evenW, outH = evenH;
    if (o.keepCropSize) {
        const ClipRect &r = rects.front();
        outW = std::clamp(static_cast<int>(std::lround(r.right - r.left)) & ~1, 2, evenW);
        outH = std::clamp(static_cast<int>(std::lround(r.bottom - r.top)) & ~1, 2, evenH);
    }

    // Packets of other streams that arrive before the first picture wait
    // until the outputs exist.
    std::vector<AVPacket *> early;
    std::unique_ptr<VideoOutput> output, compare;
    input.onOtherPacket([&](AVPacket *packet) {
        if (!output) {
            early.push_back(av_packet_clone(packet));
            return;
        }
        output->copyPacket(packet);
        if (compare) compare->copyPacket(packet);
    });

    PlanarFrames planar(evenW, evenH);
    std::unique_ptr<Cropper> cropper, fullCropper;
    AVFrame *out = nullptr, *full = nullptr, *side = nullptr;
    RenderStats stats;
    stats.width = outW;
    stats.height = outH;
    const std::int64_t step = std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(info.frameRate), info.timeBase));
    std::int64_t lastPts = INT64_MIN;
    progress.begin("render", info.frameCountHint);
    try {
        for (std::int64_t index = 0;; ++index) {
            AVFrame *decoded = input.nextFrame();
            if (!decoded) break;
            const bool fullRange = decoded->format == AV_PIX_FMT_YUVJ420P || decoded->color_range == AVCOL_RANGE_JPEG;
            if (!output) {
                cropper = std::make_unique<Cropper>(info.width, info.height, outW, outH, fullRange);
                out = allocPlanarFrame(outW, outH);
                output = std::make_unique<VideoOutput>(o.output, temp, input, EncoderSettings{outW, outH, o.crf, o.preset},
                                                       *decoded);
                if (!o.compareFile.empty()) {
                    side = allocPlanarFrame(evenW * 2, evenH);
                    compare = std::make_unique<VideoOutput>(o.compareFile, compareTemp, input,
                                                            EncoderSettings{evenW * 2, evenH, o.crf, o.preset}, *decoded);
                    if (outW != evenW || outH != evenH) {
                        fullCropper = std::make_unique<Cropper>(info.width, info.height, evenW, evenH, fullRange);
                        full = allocPlanarFrame(evenW, evenH);
                    }
                }
                for (AVPacket *p : early) {
                    output->copyPacket(p);
                    if (compare) compare->copyPacket(p);
                    av_packet_free(&p);
                }
                early.clear();
            }
            std::int64_t pts = decoded->best_effort_timestamp;
            if (pts == AV_NOPTS_VALUE) pts = lastPts == INT64_MIN ? 0 : lastPts + step;
            if (lastPts != INT64_MIN && pts <= lastPts) pts = lastPts + 1;
            lastPts = pts;
            const std::int64_t duration = decoded->pkt_duration > 0 ? decoded->pkt_duration : step;

            const AVFrame *picture = planar.convert(decoded);
            const ClipRect &rect = rectFor(index);
            if (av_frame_make_writable(out) < 0) throw HostError("out of memory");
            cropper->render(picture, rect, out);
            output->writeFrame(out, pts, duration);
            if (compare) {
                if (av_frame_make_writable(side) < 0) throw HostError("out of memory");
                paste(picture, side, 0);
                if (fullCropper) {
                    fullCropper->render(picture, rect, full);
                    paste(full, side, evenW);
                } else {
                    paste(out, side, evenW);
                }
                compare->writeFrame(side, pts, duration);
            }
            stats.frames = index + 1;
            progress.update(stats.frames);
        }
        if (!output) throw HostError("'" + o.input + "' has no video frames");
        output->finish();
        if (compare) compare->finish();
    } catch (...) {
        for (AVPacket *p : early) av_packet_free(&p);
        av_frame_free(&out);
        av_frame_free(&full);
        av_frame_free(&side);
        throw;
    }
    av_frame_free(&out);
    av_frame_free(&full);
    av_frame_free(&side);
    stats.framesPerSecond = progress.end(stats.frames);
    return stats;
}

int stabilise(const Options &o) {
    if (access(o.input.c_str(), R_OK) != 0 && o.input.find("://") == std::string::npos)
        throw HostError("cannot read '" + o.input + "': " + std::strerror(errno));
    const std::string temp = claimTemp(0, o.output, o.overwrite);
    const std::string compareTemp = o.compareFile.empty() ? "" : claimTemp(1, o.compareFile, o.overwrite);
    Progress progress(isatty(STDERR_FILENO) && !o.quiet, o.progressFile);

    analysing = 1;
    Analysis a = analyse(o.input, o, progress);
    analysing = 0;
    if (a.stoppedEarly)
        std::fprintf(stderr, "placidor: analysis stopped at frame %d; later frames keep its framing\n", a.lastFrame);

    if (!o.rectsFile.empty()) saveRects(o.rectsFile, a.path, a.info.width, a.info.height, a.frameRate);
    if (!o.plotFile.empty()) savePlot(o.plotFile, a.path, a.frameRate);
    if (!o.retune.empty()) {
        std::printf("smoothing_ms  max_clip_error_px  kept_percent\n");
        for (const Retuning &r : retune(a.firstFrame, o.retune))
            std::printf("%12d  %17d  %12.1f\n", r.smoothTimeMs, r.maxClipError, r.keptFraction * 100.0);
        std::fflush(stdout);
    }

    const RenderStats stats = render(o, a, temp, compareTemp, progress);
    StabilizerFree();
    commitTemp(0, o.output);
    if (!o.compareFile.empty()) commitTemp(1, o.compareFile);

    const ClipRect &r = a.path.rects.front();
    const Shake shake = shakeOf(a.path, a.frameRate);
    if (!o.quiet)
        std::fprintf(stderr,
                     "placidor: wrote '%s': %lld frames %dx%d; analysed frames %d-%d at %.1f fps, rendered at %.1f "
                     "fps; measured shake %.2f px RMS; kept %.1f%% of the frame; max clip error %d px\n",
                     o.output.c_str(), (long long)stats.frames, stats.width, stats.height, a.firstFrame, a.lastFrame,
                     a.framesPerSecond, stats.framesPerSecond, shake.total, 100.0 * (r.right - r.left) / a.info.width,
                     a.path.maxClipError);
    return ExitOk;
}

int measure(const Options &o) {
    if (access(o.input.c_str(), R_OK) != 0 && o.input.find("://") == std::string::npos)
        throw HostError("cannot read '" + o.input + "': " + std::strerror(errno));
    Progress progress(isatty(STDERR_FILENO) && !o.quiet, o.progressFile);
    analysing = 1;
    Analysis a = analyse(o.input, o, progress);
    analysing = 0;
    StabilizerFree();
    const Shake s = shakeOf(a.path, a.frameRate);
    std::printf("%s: %d frames, %dx%d, shake %.3f px RMS (horizontal %.3f, vertical %.3f)\n", o.input.c_str(),
                a.lastFrame - a.firstFrame + 1, a.info.width, a.info.height, s.total, s.x, s.y);
    return ExitOk;
}

int makeDemoFile(const Options &o) {
    DemoSettings s;
    s.width = o.demoWidth;
    s.height = o.demoHeight;
    s.seconds = o.demoSeconds;
    s.shake = o.demoShake;
    struct stat st {};
    if (stat(o.output.c_str(), &st) == 0 && !o.overwrite)
        throw HostError("'" + o.output + "' already exists (use -y to replace it)");
    makeDemo(o.output, s);
    if (!o.demoPathFile.empty()) {
        std::FILE *f = std::fopen(o.demoPathFile.c_str(), "w");
        if (!f) throw HostError("cannot write '" + o.demoPathFile + "'");
        std::fprintf(f, "frame,x,y\n");
        const auto path = demoPath(s);
        for (std::size_t i = 0; i < path.size(); ++i) std::fprintf(f, "%zu,%d,%d\n", i, path[i].x, path[i].y);
        std::fclose(f);
    }
    if (!o.quiet)
        std::fprintf(stderr, "placidor: wrote the demo clip '%s' (%dx%d, %.1f s, shake up to %d px, with a tone)\n",
                     o.output.c_str(), s.width, s.height, s.seconds, s.shake);
    return ExitOk;
}

}  // namespace

int main(int argc, char **argv) {
    av_log_set_level(AV_LOG_FATAL);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // A signal the shell set to be ignored (a background job, nohup) stays
    // ignored: only install the handler where the default would apply.
    for (int signal : {SIGINT, SIGTERM}) {
        struct sigaction previous {};
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(signal, &action, nullptr);
    }

    try {
        const Options o = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
        switch (o.mode) {
        case Mode::Help:
            std::fputs(helpText(), stdout);
            return ExitOk;
        case Mode::Version:
            std::printf("placidor %s\n", PLACIDOR_VERSION);
            return ExitOk;
        case Mode::MakeDemo:
            return makeDemoFile(o);
        case Mode::Measure:
            return measure(o);
        case Mode::Stabilise:
            return stabilise(o);
        }
    } catch (const UsageError &e) {
        removeTemps();
        std::fprintf(stderr, "placidor: %s\n", e.message.c_str());
        return ExitUsage;
    } catch (const HostError &e) {
        removeTemps();
        std::fprintf(stderr, "placidor: %s\n", e.what());
        return e.status();
    } catch (const std::exception &e) {
        removeTemps();
        std::fprintf(stderr, "placidor: %s\n", e.what());
        return ExitFailure;
    }
    return ExitFailure;
}
