#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace placidor::host {

namespace {

[[noreturn]] void usage(const std::string &message) { throw UsageError{message}; }

std::int32_t parseInt(const std::string &option, const std::string &text, std::int64_t lo,
                      std::int64_t hi) {
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        usage(option + ": '" + text + "' is not a whole number");
    if (v < lo || v > hi)
        usage(option + ": " + text + " is outside " + std::to_string(lo) + ".." +
              std::to_string(hi));
    return static_cast<std::int32_t>(v);
}

double parseDouble(const std::string &option, const std::string &text) {
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v))
        usage(option + ": '" + text + "' is not a number");
    return v;
}

Length parseLength(const std::string &option, std::string text) {
    Length length;
    if (!text.empty() && text.back() == '%') {
        length.percent = true;
        text.pop_back();
    }
    length.value = parseDouble(option, text);
    if (length.value < 0 || (length.percent && length.value > 100))
        usage(option + ": " + text + (length.percent ? "% is outside 0..100%" : " is negative"));
    return length;
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

std::int32_t parseSmoothing(const std::string &option, const std::string &text) {
    // Up to a minute; the engine derives its window from the frame rate.
    return parseInt(option, text, 1, 60000);
}

}  // namespace

std::int32_t Length::pixels(std::int32_t frameSize) const {
    const double px = percent ? value * frameSize / 100.0 : value;
    return static_cast<std::int32_t>(std::lround(std::min(px, 1e9)));
}

Options parseOptions(const std::vector<std::string> &args) {
    Options o;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string inlineValue;
        bool hasInline = false;
        if (arg.rfind("--", 0) == 0) {
            const std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.resize(eq);
                hasInline = true;
            }
        }
        auto value = [&]() -> std::string {
            if (hasInline) return inlineValue;
            if (i + 1 >= args.size()) usage(arg + " needs a value");
            return args[++i];
        };
        auto flag = [&]() {
            if (hasInline) usage(arg + " takes no value");
        };

        if (arg == "-h" || arg == "--help") {
            flag();
            o.mode = Mode::Help;
        } else if (arg == "--version") {
            flag();
            o.mode = Mode::Version;
        } else if (arg == "--make-demo") {
            o.mode = Mode::MakeDemo;
            o.output = value();
        } else if (arg == "--measure") {
            o.mode = Mode::Measure;
            o.input = value();
        } else if (arg == "-r" || arg == "--search-range") {
            o.searchRange = parseInt(arg, value(), 1, 100);
            o.searchRangeGiven = true;
        } else if (arg == "-m" || arg == "--method") {
            const std::string v = value();
            if (v == "full") o.iterativeSearch = false;
            else if (v == "fast") o.iterativeSearch = true;
            else usage(arg + ": '" + v + "' is neither full nor fast");
        } else if (arg == "-s" || arg == "--smooth") {
            o.smoothX = parseSmoothing(arg, value());
            o.smoothY = 0;
            o.smoothGiven = true;
        } else if (arg == "--smooth-x") {
            o.smoothX = parseSmoothing(arg, value());
            o.smoothGiven = true;
        } else if (arg == "--smooth-y") {
            o.smoothY = parseSmoothing(arg, value());
            o.smoothGiven = true;
        } else if (arg == "--no-smooth") {
            flag();
            o.smoothing = false;
            o.smoothGiven = true;
        } else if (arg == "--keep") {
            std::string v = value();
            if (!v.empty() && v.back() == '%') v.pop_back();
            const double keep = parseDouble(arg, v);
            if (keep < 10 || keep > 100) usage(arg + ": " + v + "% is outside 10..100%");
            o.keepTarget = keep / 100.0;
        } else if (arg == "--no-prefilter") {
            flag();
            o.prefilter = false;
        } else if (arg == "--measure-by") {
            const std::string v = value();
            if (v == "phase") o.measureByEngine = false;
            else if (v == "engine") o.measureByEngine = true;
            else usage(arg + ": '" + v + "' is neither phase nor engine");
        } else if (arg == "-c" || arg == "--crop-limit") {
            const auto parts = split(value(), ',');
            if (parts.size() > 2) usage(arg + " takes X or X,Y");
            o.cropX = parseLength(arg, parts[0]);
            o.cropY = parts.size() == 2 ? parseLength(arg, parts[1]) : *o.cropX;
        } else if (arg == "-w" || arg == "--window") {
            const auto parts = split(value(), ',');
            if (parts.size() != 4) usage(arg + " takes LEFT,TOP,RIGHT,BOTTOM");
            std::vector<Length> window;
            for (const auto &p : parts) window.push_back(parseLength(arg, p));
            o.window = window;
        } else if (arg == "--channel") {
            const std::string v = value();
            if (v == "luma") o.channel = 0;
            else if (v == "red") o.channel = 1;
            else if (v == "green") o.channel = 2;
            else if (v == "blue") o.channel = 3;
            else usage(arg + ": '" + v + "' is not luma, red, green or blue");
        } else if (arg == "--interlaced") {
            const std::string v = value();
            if (v == "off") o.fieldMode = 0;
            else if (v == "black") o.fieldMode = 1;
            else if (v == "copy") o.fieldMode = 2;
            else if (v == "skip") o.fieldMode = 3;
            else usage(arg + ": '" + v + "' is not off, black, copy or skip");
        } else if (arg == "--frames") {
            const std::string v = value();
            const std::size_t colon = v.find(':');
            if (colon == std::string::npos) usage(arg + " takes FIRST:LAST (LAST may be empty)");
            o.firstFrame = parseInt(arg, v.substr(0, colon), 0, INT32_MAX - 1);
            const std::string last = v.substr(colon + 1);
            if (last.empty()) o.lastFrame.reset();
            else o.lastFrame = parseInt(arg, last, 0, INT32_MAX - 1);
            if (o.lastFrame && *o.lastFrame < o.firstFrame)
                usage(arg + ": the last frame " + last + " comes before the first");
        } else if (arg == "-y" || arg == "--overwrite") {
            flag();
            o.overwrite = true;
        } else if (arg == "--keep-crop-size") {
            flag();
            o.keepCropSize = true;
        } else if (arg == "--crf") {
            o.crf = parseInt(arg, value(), 0, 51);
        } else if (arg == "--preset") {
            static const char *const presets[] = {"ultrafast", "superfast", "veryfast", "faster",
                                                  "fast",      "medium",    "slow",     "slower",
                                                  "veryslow",  "placebo"};
            o.preset = value();
            bool known = false;
            for (const char *p : presets) known = known || o.preset == p;
            if (!known) usage(arg + ": '" + o.preset + "' is not an x264 preset");
        } else if (arg == "--rects") {
            o.rectsFile = value();
            const auto dot = o.rectsFile.rfind('.');
            const std::string ext = dot == std::string::npos ? "" : o.rectsFile.substr(dot);
            if (ext != ".csv" && ext != ".json")
                usage(arg + ": the file name must end in .csv or .json");
        } else if (arg == "--plot") {
            o.plotFile = value();
            if (o.plotFile.size() < 4 || o.plotFile.substr(o.plotFile.size() - 4) != ".svg")
                usage(arg + ": the file name must end in .svg");
        } else if (arg == "--compare") {
            o.compareFile = value();
        } else if (arg == "--retune") {
            o.retune.clear();
            for (const auto &p : split(value(), ',')) o.retune.push_back(parseSmoothing(arg, p));
        } else if (arg == "--progress") {
            o.progressFile = value();
        } else if (arg == "-q" || arg == "--quiet") {
            flag();
            o.quiet = true;
        } else if (arg == "-v" || arg == "--verbose") {
            flag();
            ++o.verbosity;
        } else if (arg == "-vv") {
            o.verbosity += 2;
        } else if (arg == "-an" || arg == "--no-audio") {
            flag();
            o.noAudio = true;
        } else if (arg == "-sn" || arg == "--no-subtitles") {
            flag();
            o.noSubtitles = true;
        } else if (arg == "-dn" || arg == "--no-data") {
            flag();
            o.noData = true;
        } else if (arg == "--skip-unsupported") {
            flag();
            o.skipUnsupported = true;
        } else if (arg == "--demo-size") {
            const auto parts = split(value(), 'x');
            if (parts.size() != 2) usage(arg + " takes WIDTHxHEIGHT");
            o.demoWidth = parseInt(arg, parts[0], 64, 3840) & ~1;
            o.demoHeight = parseInt(arg, parts[1], 64, 2160) & ~1;
        } else if (arg == "--demo-seconds") {
            o.demoSeconds = parseDouble(arg, value());
            if (o.demoSeconds < 0.2 || o.demoSeconds > 600) usage(arg + ": use 0.2 to 600 seconds");
        } else if (arg == "--demo-shake") {
            o.demoShake = parseInt(arg, value(), 0, 40);
        } else if (arg == "--demo-path") {
            o.demoPathFile = value();
        } else {
            usage("unknown option " + arg + " (see --help)");
        }
    }

    switch (o.mode) {
    case Mode::Help:
    case Mode::Version: break;
    case Mode::MakeDemo:
    case Mode::Measure:
        if (!positional.empty()) usage("unexpected argument '" + positional[0] + "'");
        break;
    case Mode::Stabilise:
        if (positional.size() != 2)
            usage(positional.size() < 2 ? "needs an input and an output file (see --help)"
                                        : "unexpected argument '" + positional[2] + "'");
        o.input = positional[0];
        o.output = positional[1];
        if (o.input == o.output) usage("the output would overwrite the input");
        for (const std::string *side : {&o.rectsFile, &o.plotFile, &o.compareFile})
            if (*side == o.output || *side == o.input) usage("'" + *side + "' is named twice");
        break;
    }
    return o;
}

StabilizerParams makeParams(const Options &o, std::int32_t width, std::int32_t height,
                            float frameRate, std::int32_t lastFrame) {
    StabilizerParams p{};
    p.size = PLACIDOR_PARAMS_SIZE;
    p.firstFrame = o.firstFrame;
    p.lastFrame = lastFrame;
    p.width = width;
    p.height = height;
    p.frameRate = frameRate;
    if (o.window) {
        const auto &w = *o.window;
        const std::int32_t left = w[0].pixels(width), top = w[1].pixels(height);
        const std::int32_t right = w[2].pixels(width), bottom = w[3].pixels(height);
        if (left >= right || top >= bottom || right > width || bottom > height)
            usage("--window: " + std::to_string(left) + "," + std::to_string(top) + "," +
                  std::to_string(right) + "," + std::to_string(bottom) +
                  " is not a window inside the " + std::to_string(width) + "x" +
                  std::to_string(height) + " frame");
        // The engine counts rows in buffer order, which is bottom-up.
        p.measureLeft = left;
        p.measureRight = right - 1;
        p.measureTop = height - bottom;
        p.measureBottom = height - 1 - top;
    }
    // A correction may move the picture by up to the limit either way:
    // correctionX lies in cropLimitRight - width .. cropLimitLeft.
    if (o.cropX) {
        const std::int32_t px = std::min(o.cropX->pixels(width), width);
        p.cropLimitLeft = px;
        p.cropLimitRight = width - px;
    }
    if (o.cropY) {
        const std::int32_t py = std::min(o.cropY->pixels(height), height);
        p.cropLimitTop = py;
        p.cropLimitBottom = height - py;
    }
    p.searchRange = o.searchRange;
    p.fieldHandling = o.fieldMode != 0 ? 1 : 0;
    p.fieldMode = o.fieldMode;
    p.twoBytePixels = 1;  // the analysis hands over one plane (measure/engine_pass.h)
    p.smoothTimeX = o.smoothX;
    p.smoothTimeY = o.smoothY;
    p.searchMethod = o.iterativeSearch ? 1 : 0;
    p.smoothingMode = o.smoothing ? 0 : 1;
    p.channel = o.channel;
    return p;
}

const char *helpText() {
    return R"(placidor: remove camera shake from a video file.

Usage:
  placidor [options] INPUT OUTPUT      stabilise INPUT into OUTPUT
  placidor --measure FILE              print how much shake FILE has:
                                       by phase correlation, independent of
                                       the engine (--measure-by engine: the
                                       engine's own measurement)
  placidor --make-demo FILE            write a shaky synthetic clip with a tone
  placidor --version                   versions of placidor and its libraries

Placidor reads any file FFmpeg reads, measures the camera's shake, and writes
every frame cropped to the steady part of the picture, scaled back to the
input size (an odd last column or row is cut off), encoded with x264. Every
other stream (audio, subtitles, further video, cover art, attachments), the
chapters and the metadata are copied unchanged, timestamps shifted to start
where a stream copy with ffmpeg starts; 10-bit (HDR) sources stay 10 bits
deep with their metadata. OUTPUT's extension chooses the
container; what it cannot hold is refused before any work starts. Frames
from 2x2 up are stabilised; --measure takes any size.

Analysis:
  -r, --search-range PX   largest shake looked for, in pixels, 1..100 (32).
                          Larger ranges catch bigger jolts but analyse slower.
                          Unless given, a clip whose steps go beyond it (low
                          frame rates, fast pans) is analysed again over the
                          whole frame with a range that reaches them.
  -m, --method full|fast  full: try every shift within the range (default,
                          the surest). fast: climb from no shift towards
                          better neighbours. Kept for comparison: it is no
                          quicker than full on handheld footage (full rules
                          most shifts out on block sums), slower where it
                          wanders, and it can stop at a local best
                          (repetitive or featureless scenes, big jolts).
      --no-prefilter      measure on the plain luma (or channel) instead of
                          its high-passed version, which keeps bright sky and
                          dark ground or a change of exposure from misleading
                          the measurement
  -s, --smooth MS         smoothing time in milliseconds for both axes.
                          Longer times give a calmer camera and more cropping.
                          Default: chosen (see --keep).
      --smooth-x MS       horizontal smoothing time only
      --smooth-y MS       vertical smoothing time only (default: as horizontal)
      --no-smooth         lock the framing of the first frame (a tripod shot)
  -c, --crop-limit X[,Y]  largest correction per axis, in pixels (say 20)
                          or in percent of the frame (say 8%). Where the
                          shake needs more, the correction is cut short.
                          Default: chosen (see --keep).
      --keep PERCENT      share of the frame's width to keep (90). Unless
                          --smooth and --crop-limit are both given, the
                          steadiest framing that keeps it is chosen among
                          smoothing times of 250 to 4000 ms, each without a
                          crop limit or with one at the share, and reported.
                          A framing that keeps less is reported as a warning.
  -w, --window L,T,R,B    where motion is measured: the picture's region from
                          column L, row T to column R, row B, in pixels or
                          percent. Default: the middle half, 25%,25%,75%,75%.
      --channel C         luma (default), red, green or blue
      --interlaced M      off (default); for interlaced footage the second
                          field's rows are black, a copy of the row above,
                          or skip (left out of the measurement)
      --frames A:B        analyse frames A to B only (0-based, B included; B
                          may be left out). Frames outside keep the framing
                          of the nearest analysed frame.

Output:
  -y, --overwrite         replace OUTPUT if it exists
      --crf N             x264 quality, 0..51, lower is better (20)
      --preset P          x264 preset, ultrafast..placebo (medium)
      --keep-crop-size    keep the cropped size instead of scaling back up
      --rects FILE        every frame's shift, correction and crop rectangle,
                          as CSV or JSON by the file's extension
      --plot FILE.svg     measured and smoothed camera path per axis, with the
                          frames where the crop limit cut the correction short
      --compare FILE      a side-by-side video: original left, stabilised right
      --retune MS,MS,...  after the analysis, report for each smoothing time
                          how far the crop limits cut the path short (pixels)
                          and how much of the frame is kept
      --progress FILE     machine-readable progress in FFmpeg's -progress
                          format (key=value lines, one progress=end at the
                          end); - for standard output
  -q, --quiet             no progress on the terminal
  -v, --verbose           show FFmpeg's warnings and errors; -vv also its
                          information messages

Streams:
  -an, -sn, -dn           leave out the audio, subtitle or data streams
      --skip-unsupported  leave out, with a warning naming each, the streams,
                          chapters or rotation flag the container cannot hold
                          (without it such a job is refused at once)

Demo clip (--make-demo):
      --demo-size WxH     frame size (320x240)
      --demo-seconds S    duration (4)
      --demo-shake PX     largest shake in pixels (6)
      --demo-path FILE    also write the camera path used, as CSV

Ctrl-C during the analysis stops it early and renders what was analysed;
a second Ctrl-C, or one during rendering, aborts. OUTPUT and the --compare,
--rects and --plot files are written under temporary names and renamed only
when complete; without -y none of them, nor the --progress file, replaces an
existing file. An OUTPUT that is INPUT under another name is refused. INPUT
may be a pipe (-, pipe:0, a named pipe): it is copied to a temporary file
beside OUTPUT first.

Exit status: 0 done, 1 failed (unreadable input, no video stream, output
not writable or already present without -y, a stream the container cannot
hold, encoding error), 2 bad command line, 128 + the signal when stopped by
one (130 Ctrl-C, 143 SIGTERM), leaving no file.
)";
}

}  // namespace placidor::host
