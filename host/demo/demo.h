// A shaky demo clip made from nothing: a seeded, textured synthetic scene
// filmed by a camera that pans slowly and shakes by whole pixels along a
// known path, with a 440 Hz tone, encoded to H.264 and AAC.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace placidor::host {

struct DemoSettings {
    int width = 320, height = 240;
    int framesPerSecond = 25;
    double seconds = 4.0;
    int shake = 6;  // largest jitter, pixels
    std::uint32_t seed = 7;
};

struct CameraPoint {
    int x, y;  // scene column and row shown at the picture's top-left
};

// The camera path of the demo: a slow sway plus seeded jitter.
std::vector<CameraPoint> demoPath(const DemoSettings &settings);

// Writes the clip; throws HostError.
void makeDemo(const std::string &file, const DemoSettings &settings);

}  // namespace placidor::host
