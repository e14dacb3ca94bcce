// placidor: the command line. Parses the options, runs the mode they ask
// for (stabilise: the analysis pass, then the render pass; measure; make a
// demo clip) and reports the outcome in one line and an exit status.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "analysis.h"
#include "cleanup.h"
#include "demo/demo.h"
#include "error.h"
#include "free_space.h"
#include "input/input.h"
#include "options.h"
#include "output/output.h"
#include "placidor.h"
#include "progress.h"
#include "render_pass.h"
#include "report/camera_path.h"
#include "report/report.h"
#include "version.h"

extern "C" {
#include <libavutil/log.h>
}

using namespace placidor::host;

namespace {

// What each output will hold, checked before any work: a stream the
// container cannot hold, or a disk too full for what will be written, is
// refused now, not after the analysis.
VideoInfo planOutputs(const Options &o) {
    VideoInput input(o.input);
    std::vector<SpaceNeed> needs;
    for (const std::string *name : {&o.output, &o.compareFile}) {
        if (name->empty()) continue;
        const OutputPlan plan = planOutput(*name, input, selectionOf(o));
        if (name == &o.output)
            for (const std::string &w : plan.warnings)
                std::fprintf(stderr, "placidor: %s\n", w.c_str());
        needs.push_back(videoOutputNeed(*name, input, plan));
    }
    for (const std::string *side : {&o.rectsFile, &o.plotFile})
        if (!side->empty()) needs.push_back(sideFileNeed(*side, input.info().frameCountHint));
    checkFreeSpace(needs);
    return input.info();
}

void reportFraming(const Options &o, const Analysis &a, const Framing &f) {
    const double keptPercent = 100.0 * f.kept, targetPercent = 100.0 * o.keepTarget;
    if (!f.metTarget)
        std::fprintf(stderr,
                     "placidor: warning: the framing keeps %.1f%% of the frame, less than the "
                     "%.0f%% asked for%s\n",
                     keptPercent, targetPercent,
                     o.smoothGiven && o.cropX ? " (by the given --smooth and --crop-limit)" : "");
    if (o.quiet) return;
    if (a.widened)
        std::fprintf(
            stderr,
            "placidor: steps of up to %.0f px: analysed again over the whole frame, search range "
            "%d px%s\n",
            a.largestCoarseStep, a.searchRange * a.scale,
            a.scale > 1 ? (" on a plane 1/" + std::to_string(a.scale) + " the size").c_str() : "");
    if (a.wholeFrameAgain)
        std::fprintf(stderr,
                     "placidor: on %zu sampled frames the whole picture moved otherwise than the "
                     "middle window showed (moving content): analysed again over the whole frame\n",
                     a.framesOutvoted);
    char limit[64] = "no crop limit";
    if (f.limitX > 0 || f.limitY > 0)
        std::snprintf(limit, sizeof limit, "crop limit %.0f,%.0f px", f.limitX * a.scaleX,
                      f.limitY * a.scaleY);
    std::fprintf(
        stderr,
        "placidor: framing: smoothing %d ms%s, %s%s: keeps %.1f%% of the frame, path shake %.2f px"
        " (%d framings compared, target %.0f%%)\n",
        f.smoothX,
        f.smoothY != f.smoothX ? (" / " + std::to_string(f.smoothY) + " ms").c_str() : "", limit,
        f.held ? " (clamped)" : "", keptPercent, f.shake * a.scaleX, f.tried, targetPercent);
}

void checkReadable(const std::string &input) {
    if (access(input.c_str(), R_OK) != 0 && input.find("://") == std::string::npos)
        throw HostError("cannot read '" + input + "': " + std::strerror(errno));
}

int stabilise(const Options &given) {
    checkDistinctFiles(given.input, {given.output, given.compareFile, given.rectsFile,
                                     given.plotFile, given.progressFile});
    struct stat progressStat {};
    if (!given.overwrite && !given.progressFile.empty() && given.progressFile != "-" &&
        stat(given.progressFile.c_str(), &progressStat) == 0 && S_ISREG(progressStat.st_mode))
        throw HostError("'" + given.progressFile + "' already exists (use -y to replace it)");
    Options o = given;
    o.input = spoolIfPipe(given.input, given.output);
    checkReadable(o.input);
    const VideoInfo info = planOutputs(o);
    const std::string temp = claimTemp(TempOutput, o.output, o.overwrite);
    const std::string compareTemp =
        o.compareFile.empty() ? "" : claimTemp(TempCompare, o.compareFile, o.overwrite);
    const std::string rectsTemp =
        o.rectsFile.empty() ? "" : claimTemp(TempRects, o.rectsFile, o.overwrite);
    const std::string plotTemp =
        o.plotFile.empty() ? "" : claimTemp(TempPlot, o.plotFile, o.overwrite);
    Progress progress(isatty(STDERR_FILENO) && !o.quiet, o.progressFile);
    progress.setFrameRate(av_q2d(info.frameRate));

    setAnalysing(true);
    Analysis a = analyse(o.input, o, progress);
    setAnalysing(false);
    if (a.stoppedEarly)
        std::fprintf(stderr,
                     "placidor: analysis stopped at frame %d; later frames keep its framing\n",
                     a.lastFrame);
    reportFraming(o, a, frameClip(a, o));

    if (!o.rectsFile.empty())
        saveRects(o.rectsFile, a.path, a.info.width, a.info.height, a.frameRate, rectsTemp);
    if (!o.plotFile.empty()) savePlot(o.plotFile, a.path, a.frameRate, plotTemp);
    if (!o.retune.empty()) {
        std::printf("smoothing_ms  max_clip_error_px  kept_percent\n");
        for (const Retuning &r : retune(a.firstFrame, o.retune))
            std::printf("%12d  %17d  %12.1f\n", r.smoothTimeMs, r.maxClipError,
                        r.keptFraction * 100.0);
        if (std::fflush(stdout) != 0)
            throw HostError(std::string("writing the retune table failed: ") +
                            std::strerror(errno));
    }

    const RenderStats stats = renderPass(o, a, temp, compareTemp, progress);
    StabilizerFree();
    commitTemp(TempOutput, o.output, o.overwrite);
    if (!o.compareFile.empty()) commitTemp(TempCompare, o.compareFile, o.overwrite);
    if (!o.rectsFile.empty()) commitTemp(TempRects, o.rectsFile, o.overwrite);
    if (!o.plotFile.empty()) commitTemp(TempPlot, o.plotFile, o.overwrite);
    removeTemps();  // a spooled input
    progress.finish();

    const ClipRect &r = a.path.rects.front();
    const Shake shake = shakeOf(a.path, a.frameRate);
    if (!o.quiet)
        std::fprintf(
            stderr,
            "placidor: wrote '%s': %lld frames %dx%d; analysed frames %d-%d at %.1f fps, rendered "
            "at %.1f "
            "fps; measured shake %.2f px RMS; kept %.1f%% of the frame; max clip error %d px\n",
            o.output.c_str(), (long long)stats.frames, stats.width, stats.height, a.firstFrame,
            a.lastFrame, a.framesPerSecond, stats.framesPerSecond, shake.total,
            100.0 * (r.right - r.left) / a.info.width, a.path.maxClipError);
    return ExitOk;
}

int measure(const Options &given) {
    Options o = given;
    o.input = spoolIfPipe(given.input, ".");
    checkReadable(o.input);
    Progress progress(isatty(STDERR_FILENO) && !o.quiet, o.progressFile);
    if (!o.measureByEngine) {
        const IndependentShake s = measureIndependently(o.input, o, progress);
        removeTemps();
        progress.finish();
        std::printf(
            "%s: %lld frames, %dx%d, shake %.3f px RMS (horizontal %.3f, vertical %.3f), by phase "
            "correlation\n",
            given.input.c_str(), (long long)s.frames, s.width, s.height, s.shake.total, s.shake.x,
            s.shake.y);
        return ExitOk;
    }
    setAnalysing(true);
    Analysis a = analyse(o.input, o, progress);
    setAnalysing(false);
    StabilizerFree();
    removeTemps();
    progress.finish();
    const Shake s = shakeOf(a.path, a.frameRate);
    std::printf(
        "%s: %d frames, %dx%d, shake %.3f px RMS (horizontal %.3f, vertical %.3f), by the engine; "
        "analysed at %.1f fps\n",
        given.input.c_str(), a.lastFrame - a.firstFrame + 1, a.info.width, a.info.height, s.total,
        s.x, s.y, a.framesPerSecond);
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
        for (std::size_t i = 0; i < path.size(); ++i)
            std::fprintf(f, "%zu,%d,%d\n", i, path[i].x, path[i].y);
        std::fclose(f);
    }
    if (!o.quiet)
        std::fprintf(
            stderr,
            "placidor: wrote the demo clip '%s' (%dx%d, %.1f s, shake up to %d px, with a tone)\n",
            o.output.c_str(), s.width, s.height, s.seconds, s.shake);
    return ExitOk;
}

}  // namespace

int main(int argc, char **argv) {
    av_log_set_level(AV_LOG_QUIET);
    installInterruptHandlers();

    try {
        const Options o = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
        // FFmpeg's own messages, on request: -v its warnings and errors,
        // -vv its information as well.
        av_log_set_level(o.verbosity >= 2   ? AV_LOG_INFO
                         : o.verbosity == 1 ? AV_LOG_WARNING
                                            : AV_LOG_QUIET);
        switch (o.mode) {
        case Mode::Help: std::fputs(helpText(), stdout); return ExitOk;
        case Mode::Version: printVersions(stdout); return ExitOk;
        case Mode::MakeDemo: return makeDemoFile(o);
        case Mode::Measure: return measure(o);
        case Mode::Stabilise: return stabilise(o);
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
