// The render pass: the input decoded once more, every frame cropped to its
// clip rectangle from the analysis and encoded, the other streams copied;
// optionally the side-by-side comparison video beside it.
#pragma once

#include <cstdint>
#include <string>

#include "analysis.h"
#include "options.h"
#include "output/output.h"
#include "progress.h"

namespace placidor::host {

struct RenderStats {
    std::int64_t frames = 0;
    double framesPerSecond = 0;
    int width = 0, height = 0;
};

// The streams the options ask to copy.
StreamSelection selectionOf(const Options &options);

// Writes the stabilised video to `temp` (named for the container by
// options.output) and, with --compare, the side-by-side video to
// `compareTemp`. Throws HostError.
RenderStats renderPass(const Options &options, const Analysis &analysis, const std::string &temp,
                       const std::string &compareTemp, Progress &progress);

}  // namespace placidor::host
