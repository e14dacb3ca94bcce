// The command line's options: parsing argv into Options, and turning the
// options of the analysis into the engine's parameter block once the clip's
// size and frame rate are known.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "placidor.h"

namespace placidor::host {

// A length given in pixels or as a percentage of the frame's size.
struct Length {
    double value = 0.0;
    bool percent = false;
    std::int32_t pixels(std::int32_t frameSize) const;
};

enum class Mode { Stabilise, MakeDemo, Measure, Help, Version };

struct Options {
    Mode mode = Mode::Stabilise;
    std::string input, output;

    // Analysis. Unset values leave the engine's own default in the block.
    std::int32_t searchRange = 32;             // pixels
    bool searchRangeGiven = false;             // -r: no automatic reach
    bool iterativeSearch = false;              // --method fast
    std::int32_t smoothX = 1000, smoothY = 0;  // ms; 0 for Y: as X
    bool smoothing = true;                     // --no-smooth clears it
    bool smoothGiven = false;            // -s, --smooth-x/-y or --no-smooth: no automatic choice
    double keepTarget = 0.90;            // --keep: share of the frame the automatic choice keeps
    bool prefilter = true;               // --no-prefilter clears it
    std::optional<Length> cropX, cropY;  // largest correction per axis
    std::optional<std::vector<Length>> window;  // left, top, right, bottom
    std::int32_t channel = 0;                   // 0 luma, 1 red, 2 green, 3 blue
    std::int32_t fieldMode = 0;                 // 0 progressive, else 1..3
    std::int32_t firstFrame = 0;
    std::optional<std::int32_t> lastFrame;

    // Output.
    bool overwrite = false;
    bool keepCropSize = false;
    std::int32_t crf = 20;
    std::string preset = "medium";
    std::string rectsFile, plotFile, compareFile, progressFile;
    std::vector<std::int32_t> retune;  // smoothing times, ms
    bool measureByEngine = false;      // --measure-by engine
    bool quiet = false;
    int verbosity = 0;  // -v: FFmpeg's warnings; -vv: its information too
    // Other streams of the input: -an, -sn, -dn leave out audio, subtitles,
    // data streams; --skip-unsupported leaves out what the container
    // cannot hold.
    bool noAudio = false, noSubtitles = false, noData = false, skipUnsupported = false;

    // --make-demo.
    std::int32_t demoWidth = 320, demoHeight = 240;
    double demoSeconds = 4.0;
    std::int32_t demoShake = 6;
    std::string demoPathFile;
};

// Parsing never exits: it throws UsageError with one line naming the problem.
struct UsageError {
    std::string message;
};

Options parseOptions(const std::vector<std::string> &args);

// The block for a clip of this size and rate; callbacks are left null.
StabilizerParams makeParams(const Options &options, std::int32_t width, std::int32_t height,
                            float frameRate, std::int32_t lastFrame);

const char *helpText();

}  // namespace placidor::host
