// A generated clip with known motion, served through the engine's
// callbacks: a seeded textured scene seen through a camera that moves by
// whole pixels along a given path.
#pragma once

#include <cstdint>
#include <vector>

#include "placidor.h"

namespace placidor::testing {

struct CameraPosition {
    std::int32_t x = 0;  // scene column shown at frame column 0
    std::int32_t y = 0;  // scene row shown at buffer row 0
};

class SyntheticClip {
public:
    // `margin` bounds how far the camera may move from (0, 0).
    SyntheticClip(std::int32_t width, std::int32_t height, std::int32_t margin, std::uint32_t seed);

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }

    // Scene sample seen at buffer row r, column c by a camera at `pos`.
    std::uint8_t sample(CameraPosition pos, std::int32_t r, std::int32_t c) const;

    // Writes a frame in the engine's buffer layout: pixelOffset, then
    // packed rows (3 bytes B, G, R of equal value, or 2 bytes sample+junk).
    void render(CameraPosition pos, bool twoBytePixels, std::uint16_t pixelOffset,
                std::uint8_t *buffer) const;

private:
    std::int32_t width_, height_, margin_, sceneWidth_;
    std::vector<std::uint8_t> scene_;
};

// The displacement the engine should measure for a frame at `current`
// against a reference frame at `reference`.
inline std::int32_t expectedDx(CameraPosition reference, CameraPosition current) {
    return reference.x - current.x;
}
inline std::int32_t expectedDy(CameraPosition reference, CameraPosition current) {
    return current.y - reference.y;
}

// A host: serves frames firstFrame.. from a path and records every call.
struct ClipHost {
    const SyntheticClip *clip = nullptr;
    std::int32_t firstFrame = 0;
    std::vector<CameraPosition> path;  // one entry per frame from firstFrame
    bool twoBytePixels = false;
    std::uint16_t pixelOffset = 40;

    struct Fetch {
        std::int32_t frame;
        void *buffer;
        void *userData;
        double prevDx, prevDy;
    };
    std::vector<Fetch> fetches;
    std::vector<std::int32_t> progress;

    // Called before the frame is rendered; may change pixelOffset etc.
    void (*beforeFetch)(ClipHost &host, std::int32_t frame) = nullptr;

    // A block describing the clip with this host's callbacks; userData of
    // StabilizerCalculate must be this host.
    StabilizerParams params(std::int32_t lastFrame) const;
};

void PLACIDOR_CALL clipHostFetch(std::int32_t frame, void *buffer, void *userData, double prevDx,
                                 double prevDy);
// Progress goes to the ClipHost set by this pointer (progress gets no
// userData).
extern ClipHost *progressHost;
void PLACIDOR_CALL clipHostProgress(std::int32_t frame);

// A shaky pan: a slow drift plus seeded whole-pixel jitter within +-shake.
std::vector<CameraPosition> shakyPath(std::int32_t frames, std::int32_t shake, std::uint32_t seed);

}  // namespace placidor::testing
