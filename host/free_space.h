// Free space, checked before the analysis: a disk that cannot hold what
// the run will write is refused at once rather than after the long
// analysis pass. What every file will take is estimated from below (what
// is certain to be written); a disk with less room than that is refused,
// one with less than a likely size gets a warning and the run goes on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace placidor::host {

class VideoInput;
struct OutputPlan;

struct SpaceNeed {
    std::string path;          // the file to be written
    std::uint64_t least = 0;   // bytes it certainly takes
    std::uint64_t likely = 0;  // bytes it probably takes
};

// What a video output of `input` planned as `plan` takes: the copied
// streams byte for byte (from their bit rates and durations, where known),
// a few dozen bytes for each frame however still, and the container's
// overhead; likely, also half the input's video.
SpaceNeed videoOutputNeed(const std::string &path, const VideoInput &input, const OutputPlan &plan);
// What a side file with a line or so per frame takes.
SpaceNeed sideFileNeed(const std::string &path, std::int64_t frames);

// Adds up the needs of the files on each file system and compares them
// with its free space. Throws HostError naming the folder, its free space
// and the least needed when it is short; prints a warning when it is
// short of the likely size. Files whose folder cannot be looked at (a
// device, a URL) are left out.
void checkFreeSpace(const std::vector<SpaceNeed> &needs);

}  // namespace placidor::host
