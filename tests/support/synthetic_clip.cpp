#include "synthetic_clip.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace placidor::testing {

SyntheticClip::SyntheticClip(std::int32_t width, std::int32_t height, std::int32_t margin,
                             std::uint32_t seed)
    : width_(width), height_(height), margin_(margin), sceneWidth_(width + 2 * margin) {
    const std::int32_t sceneHeight = height + 2 * margin;
    std::mt19937 rng(seed);
    // Value noise at two scales plus fine grain: distinct everywhere, smooth
    // enough that a near miss scores worse than the true displacement.
    const int cell = 8;
    const int gw = sceneWidth_ / cell + 2, gh = sceneHeight / cell + 2;
    std::vector<float> grid(static_cast<std::size_t>(gw) * gh);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (auto &g : grid) g = unit(rng);
    std::uniform_int_distribution<int> grain(-12, 12);
    scene_.resize(static_cast<std::size_t>(sceneWidth_) * sceneHeight);
    for (std::int32_t y = 0; y < sceneHeight; ++y) {
        for (std::int32_t x = 0; x < sceneWidth_; ++x) {
            const float fx = float(x) / cell, fy = float(y) / cell;
            const int ix = int(fx), iy = int(fy);
            const float tx = fx - ix, ty = fy - iy;
            const auto at = [&](int gx, int gy) { return grid[std::size_t(gy) * gw + gx]; };
            const float v = (at(ix, iy) * (1 - tx) + at(ix + 1, iy) * tx) * (1 - ty) +
                            (at(ix, iy + 1) * (1 - tx) + at(ix + 1, iy + 1) * tx) * ty;
            const int value = 30 + int(v * 190.0f) + grain(rng);
            scene_[std::size_t(y) * sceneWidth_ + x] = std::uint8_t(std::clamp(value, 0, 255));
        }
    }
}

std::uint8_t SyntheticClip::sample(CameraPosition pos, std::int32_t r, std::int32_t c) const {
    const std::int32_t x = c + pos.x + margin_, y = r + pos.y + margin_;
    return scene_[std::size_t(y) * sceneWidth_ + x];
}

void SyntheticClip::render(CameraPosition pos, bool twoBytePixels, std::uint16_t pixelOffset,
                           std::uint8_t *buffer) const {
    buffer[0] = std::uint8_t(pixelOffset & 0xff);
    buffer[1] = std::uint8_t(pixelOffset >> 8);
    std::uint8_t *p = buffer + pixelOffset;
    for (std::int32_t r = 0; r < height_; ++r) {
        for (std::int32_t c = 0; c < width_; ++c) {
            const std::uint8_t v = sample(pos, r, c);
            if (twoBytePixels) {
                *p++ = v;
                *p++ = std::uint8_t(v * 7 + 13);  // never read
            } else {
                *p++ = v;
                *p++ = v;
                *p++ = v;
            }
        }
    }
}

StabilizerParams ClipHost::params(std::int32_t lastFrame) const {
    StabilizerParams p{};
    p.size = PLACIDOR_PARAMS_SIZE;
    p.firstFrame = firstFrame;
    p.lastFrame = lastFrame;
    p.width = clip->width();
    p.height = clip->height();
    p.frameRate = 25.0f;
    p.searchRange = 8;
    p.twoBytePixels = twoBytePixels ? 1 : 0;
    p.smoothTimeX = 1000;
    p.fetchFrame = clipHostFetch;
    p.progress = clipHostProgress;
    return p;
}

ClipHost *progressHost = nullptr;

void PLACIDOR_CALL clipHostFetch(std::int32_t frame, void *buffer, void *userData, double prevDx,
                                 double prevDy) {
    auto &host = *static_cast<ClipHost *>(userData);
    host.fetches.push_back({frame, buffer, userData, prevDx, prevDy});
    if (host.beforeFetch) host.beforeFetch(host, frame);
    const std::size_t index = std::size_t(std::int64_t{frame} - host.firstFrame);
    const std::int32_t bpp = host.twoBytePixels ? 2 : 3;
    if (host.pixelOffset > 40 + host.clip->height() * bpp) {
        // A host error under test: write the offset only, never past the buffer.
        auto *bytes = static_cast<std::uint8_t *>(buffer);
        bytes[0] = std::uint8_t(host.pixelOffset & 0xff);
        bytes[1] = std::uint8_t(host.pixelOffset >> 8);
        return;
    }
    host.clip->render(host.path.at(index), host.twoBytePixels, host.pixelOffset,
                      static_cast<std::uint8_t *>(buffer));
}

void PLACIDOR_CALL clipHostProgress(std::int32_t frame) {
    if (progressHost) progressHost->progress.push_back(frame);
}

std::vector<CameraPosition> shakyPath(std::int32_t frames, std::int32_t shake, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> jitter(-shake, shake);
    std::vector<CameraPosition> path(std::size_t(std::max(frames, 0)));
    for (std::int32_t f = 0; f < frames; ++f) {
        const std::int32_t pan = f / 3;  // one pixel every three frames
        path[f] = {pan + (f ? jitter(rng) : 0), (f ? jitter(rng) : 0) - f / 5};
    }
    return path;
}

}  // namespace placidor::testing
