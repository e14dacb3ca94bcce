#include "analysis.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "error.h"
#include "input/frame_source.h"
#include "measure/engine_pass.h"
#include "measure/phase_track.h"
#include "measure/step_check.h"
#include "placidor_escape.h"

namespace placidor::host {

std::atomic<int> userInterrupts{0};

namespace {

// The coarse tracker looks at one pair of frames in every kPairEvery.
constexpr int kPairEvery = 4;
// Its working plane, samples across.
constexpr int kCoarseWidth = 160;

// Pixel lengths of the user's window and crop limits, in the plane.
Options scaledTo(const Options &o, int scale) {
    Options s = o;
    const auto shrink = [scale](Length &l) {
        if (!l.percent) l.value /= scale;
    };
    if (s.window)
        for (Length &l : *s.window) shrink(l);
    if (s.cropX) shrink(*s.cropX);
    if (s.cropY) shrink(*s.cropY);
    return s;
}

class WidePassAhead;

struct PassOutcome {
    std::int32_t last = 0;
    std::vector<std::int32_t> dx, dy;
    double framesPerSecond = 0;
    std::int32_t searchRange = 0;      // normalised, pixels of the plane
    std::vector<PhaseStep> coarse;     // the coarse tracker's sampled steps
    std::shared_ptr<StepCheck> check;  // the frames of its steps beyond reach
    // The engine stopped early: a pass with a wider reach is sure to follow.
    bool cut = false;
    std::shared_ptr<PlaneStore> kept;  // the planes, when they were kept whole
    // The wider pass, started while the decoding went on (aheadWhenCut).
    std::shared_ptr<WidePassAhead> ahead;
};

struct PassPlan {
    bool wholeFrame = false;
    bool track = false;  // run the coarse tracker
    // Stop the engine as soon as the tracker's steps make a wider pass
    // certain (with track); the decoding goes on for the tracker.
    bool cutWhenWidening = false;
    std::size_t keepBudget = 0;  // keeps the planes for the next pass, up to this
    // Once cut, the wider pass runs over the kept planes while the
    // decoding goes on (with cutWhenWidening and keepBudget).
    bool aheadWhenCut = false;
    std::shared_ptr<const PlaneStore> replay;    // frames from here, not the file
    std::function<bool()> stop;                  // the engine stops when this says so
    std::function<void(std::int64_t)> onFrames;  // frames measured so far
};

PassOutcome runPass(const std::string &file, const Options &o, const Reach &reach,
                    const PassPlan &plan, const char *label, Progress &progress, Analysis &result);

bool sameReach(const Reach &a, const Reach &b) {
    return a.scale == b.scale && a.searchRange == b.searchRange;
}

// The pass over the whole frame at a wider reach, run over the first
// pass's kept planes in a thread of its own while the first pass still
// decodes, so that the two overlap. It runs at the reach the coarse
// tracker's steps call for so far and starts again when that grows;
// its outcome is used only when it ran at the reach finally chosen, and
// is then the outcome the same pass gives after the decoding: the same
// planes, the same settings.
class WidePassAhead {
public:
    WidePassAhead(const Options &o, const Analysis &base, std::shared_ptr<const PlaneStore> store)
        : options_(o), base_(base), store_(std::move(store)) {}
    ~WidePassAhead() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    WidePassAhead(const WidePassAhead &) = delete;
    WidePassAhead &operator=(const WidePassAhead &) = delete;

    // The reach wanted now; the first call starts the pass.
    void want(const Reach &reach) {
        std::lock_guard lock(mutex_);
        if (wanted_ && sameReach(*wanted_, reach)) return;
        wanted_ = reach;
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        changed_.notify_all();
    }

    // Waits for the pass at `reach` (showing it as `label`); nothing when
    // it could not be had here.
    std::optional<PassOutcome> take(const Reach &reach, const char *label, Progress &progress) {
        want(reach);
        progress.begin(label, std::int64_t(store_->frames()));
        std::unique_lock lock(mutex_);
        while (!finished_) {
            changed_.wait_for(lock, std::chrono::milliseconds(100));
            const std::int64_t done = done_;
            lock.unlock();
            progress.update(done);
            lock.lock();
        }
        lock.unlock();
        if (thread_.joinable()) thread_.join();
        if (!outcome_ || !sameReach(ranAt_, reach)) return std::nullopt;
        outcome_->framesPerSecond = progress.end(std::int64_t(outcome_->dx.size()));
        return std::move(outcome_);
    }

private:
    // Reaches grow in steps of a couple of pixels: a clip whose steps keep
    // growing is left to the pass after the decoding.
    static constexpr int kRestarts = 6;

    void run() {
        std::unique_lock lock(mutex_);
        for (int restarts = 0;; ++restarts) {
            if (stop_ || restarts > kRestarts) break;
            const Reach reach = *wanted_;
            lock.unlock();
            std::optional<PassOutcome> out;
            try {
                StabilizerFree();
                PassPlan plan;
                plan.wholeFrame = true;
                plan.replay = store_;
                plan.stop = [&] {
                    std::lock_guard held(mutex_);
                    return stop_ || !sameReach(*wanted_, reach);
                };
                plan.onFrames = [&](std::int64_t n) { done_ = n; };
                Progress quiet(false, "");
                Analysis scratch = base_;
                out = runPass("", options_, reach, plan, "", quiet, scratch);
            } catch (...) {
                // Left to the pass after the decoding, which reports it.
                lock.lock();
                break;
            }
            lock.lock();
            if (stop_) break;
            if (sameReach(*wanted_, reach) && store_->usable()) {
                outcome_ = std::move(out);
                ranAt_ = reach;
                break;
            }
            if (store_->ended() && !store_->usable()) break;
        }
        finished_ = true;
        changed_.notify_all();
    }

    const Options options_;
    const Analysis base_;
    const std::shared_ptr<const PlaneStore> store_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Reach> wanted_;
    bool stop_ = false, finished_ = false;
    std::atomic<std::int64_t> done_{0};
    std::optional<PassOutcome> outcome_;
    Reach ranAt_;
    std::thread thread_;
};

PassOutcome runPass(const std::string &file, const Options &o, const Reach &reach,
                    const PassPlan &plan, const char *label, Progress &progress, Analysis &result) {
    const int interruptsBefore = userInterrupts;
    std::unique_ptr<FrameSource> owned =
        plan.replay ? std::make_unique<FrameSource>(result.info, o.firstFrame, plan.replay)
                    : std::make_unique<FrameSource>(file, o.firstFrame, o.lastFrame);
    FrameSource &source = *owned;
    const VideoInfo &info = source.info();
    result.info = info;
    result.frameRate = static_cast<float>(av_q2d(info.frameRate));
    const int pw = info.width / reach.scale, ph = info.height / reach.scale;
    const std::int32_t lastWanted = o.lastFrame.value_or(INT32_MAX);

    Options scaled = scaledTo(o, reach.scale);
    scaled.searchRange = reach.searchRange;
    if (plan.wholeFrame && !o.window)
        scaled.window = std::vector<Length>{{0, true}, {0, true}, {100, true}, {100, true}};
    StabilizerParams params = makeParams(scaled, pw, ph, result.frameRate, lastWanted);
    StabilizerParams normalised;
    try {
        normalised = initPlaneEngine(params);
    } catch (const std::runtime_error &e) {
        throw HostError(e.what());
    }

    std::int64_t total = info.frameCountHint;
    if (o.lastFrame)
        total = std::min<std::int64_t>(total > 0 ? total : INT64_MAX, *o.lastFrame + 1);
    total = total > o.firstFrame ? total - o.firstFrame : 0;

    PhaseTracker tracker(info.width, info.height, kCoarseWidth);
    // The tracker's steps beyond three quarters of the range keep their
    // frames, to be put to them if the engine measured otherwise.
    const double reachable = 0.75 * normalised.searchRange * reach.scale;
    auto check = std::make_shared<StepCheck>(info.width, info.height);
    std::mutex trackerMutex;
    if (plan.track)
        source.observe([&](std::int32_t index, const std::uint8_t *plane, std::ptrdiff_t stride) {
            const std::int32_t k = index - o.firstFrame;
            if (k % kPairEvery > 1) return;
            std::lock_guard lock(trackerMutex);
            if (k % kPairEvery == 0) {
                tracker.restart();
                check->first(plane, stride);
            }
            const std::size_t before = tracker.steps().size();
            tracker.add(plane, stride);
            if (tracker.steps().size() > before &&
                largestConfidentStep({tracker.steps().back()}, 1) > reachable)
                check->second(before, plane, stride);
        });
    // Whether the frames of the tracker's step i agree with it rather than
    // with the engine's; steps whose frames could not be kept are believed.
    const ConfirmMiss confirm = [&check, scale = reach.scale](std::size_t i, const PhaseStep &t,
                                                              const PhaseStep &e) {
        return check->prefers(i, t.dx, t.dy, e.dx * scale, e.dy * scale);
    };
    // A clip known to need more than the budget keeps nothing.
    std::shared_ptr<PlaneStore> kept;
    if (plan.keepBudget > 0 &&
        (total <= 0 || double(total) * info.width * info.height <= double(plan.keepBudget))) {
        kept = std::make_shared<PlaneStore>(info.width, info.height, plan.keepBudget);
        source.keepPlanes(kept.get());
    }
    PlaneSettings settings;
    settings.channel = o.channel;
    settings.scale = reach.scale;
    settings.highPass = o.prefilter;
    settings.region = engineReadRegion(normalised);
    source.start(settings);
    if (!source.has(o.firstFrame)) {
        if (o.firstFrame > 0)
            throw HostError("--frames: '" + file + "' has no frame " + std::to_string(o.firstFrame),
                            ExitUsage);
        throw HostError("'" + file + "' has no video frames");
    }

    PlaneFeed feed;
    feed.has = [&](std::int32_t i) { return source.has(i); };
    feed.take = [&](std::int32_t i) { return source.take(i); };
    feed.recycle = [&](std::vector<std::uint8_t> &&p) { source.recycle(std::move(p)); };
    if (plan.stop) feed.enough = [&](const auto &, const auto &) { return plan.stop(); };
    bool cut = false;
    if (plan.track && plan.cutWhenWidening) {
        // The tracker's step i is that of frame kPairEvery * i + 1 from the
        // frame before; each is compared once the engine measured that frame.
        std::size_t compared = 0, missed = 0;
        double largest = 0;
        feed.enough = [&, compared, missed, largest](const std::vector<std::int32_t> &dx,
                                                     const std::vector<std::int32_t> &dy) mutable {
            if (userInterrupts != interruptsBefore) return false;
            std::lock_guard lock(trackerMutex);
            const std::vector<PhaseStep> &steps = tracker.steps();
            for (; compared < steps.size(); ++compared) {
                const std::size_t frame = compared * kPairEvery + 1;
                if (frame >= dx.size()) break;
                missed +=
                    stepsMissed({steps[compared]}, {{double(dx[frame]), double(dy[frame]), 1.0}},
                                0.75 * normalised.searchRange,
                                [&](std::size_t, const PhaseStep &t, const PhaseStep &e) {
                                    return confirm(compared, t, e);
                                });
            }
            largest = std::max(largest, largestConfidentStep(steps, steps.size()));
            if (missed < 2) return false;
            // Steps only add to the largest, and a larger step never needs
            // less reach: the final choice is wider still.
            const Reach wider = reachFor(largest, info.width, info.height);
            cut = wider.scale > 1 || wider.searchRange > normalised.searchRange;
            return cut;
        };
    }
    progress.begin(label, total);
    const std::int32_t first = o.firstFrame;
    // The prefiltered planes are mid-grey outside the region, always.
    const PlaneRect changing = settings.highPass ? settings.region : PlaneRect{};
    EnginePass pass = runEnginePass(
        feed,
        [&](std::int32_t frame) {
            progress.update(std::int64_t{frame} - first + 1);
            if (plan.onFrames) plan.onFrames(std::int64_t{frame} - first + 1);
        },
        changing);
    std::int64_t done = std::int64_t{pass.lastFrame} - first + 1;
    PassOutcome out;
    if (cut) {
        // The reach that the steps so far call for: at the end of the
        // decoding, the reach of the wider pass.
        if (plan.aheadWhenCut && kept) out.ahead = std::make_shared<WidePassAhead>(o, result, kept);
        const auto tick = [&](std::int64_t decoded) {
            done = std::max(done, decoded);
            progress.update(done);
            if (out.ahead) {
                double largest = 0;
                {
                    std::lock_guard lock(trackerMutex);
                    largest = largestConfidentStep(tracker.steps(), tracker.steps().size());
                }
                out.ahead->want(reachFor(largest, info.width, info.height));
            }
            return userInterrupts == interruptsBefore;
        };
        if (source.observeToEnd(tick)) tick(source.decoded());
    }
    out.framesPerSecond = progress.end(done);
    out.cut = cut;
    out.last = pass.lastFrame;
    out.dx = std::move(pass.dx);
    out.dy = std::move(pass.dy);
    out.searchRange = normalised.searchRange;
    {
        std::lock_guard lock(trackerMutex);
        out.coarse = tracker.steps();
    }
    if (plan.track) out.check = check;
    owned.reset();  // the decoding thread ends: what it kept is whole or not
    if (kept && kept->usable()) out.kept = std::move(kept);
    return out;
}

// Rectangles and paths of a plane scaled back to the frame.
void scaleUp(CameraPath &path, double sx, double sy) {
    for (ClipRect &r : path.rects) {
        r.left *= sx;
        r.right *= sx;
        r.top *= sy;
        r.bottom *= sy;
    }
    for (auto *v : {&path.measuredX, &path.correctionX, &path.deliveredX})
        for (double &x : *v) x *= sx;
    for (auto *v : {&path.measuredY, &path.correctionY, &path.deliveredY})
        for (double &y : *v) y *= sy;
    for (auto &d : path.dx) d = static_cast<std::int32_t>(std::lround(d * sx));
    for (auto &d : path.dy) d = static_cast<std::int32_t>(std::lround(d * sy));
    path.maxClipError = static_cast<std::int32_t>(std::ceil(path.maxClipError * std::max(sx, sy)));
}

void readPath(Analysis &a) {
    a.path = readCameraPath(a.firstFrame, a.planeDx, a.planeDy);
    if (a.scale > 1) scaleUp(a.path, a.scaleX, a.scaleY);
}

}  // namespace

Analysis analyse(const std::string &file, const Options &options, Progress &progress,
                 const AnalysisShortcuts &shortcuts) {
    Analysis result;
    const int interruptsBefore = userInterrupts;
    Reach reach;
    reach.searchRange = options.searchRange;
    const bool automatic = !options.searchRangeGiven;
    const auto started = std::chrono::steady_clock::now();
    PassPlan first;
    first.track = automatic;
    first.cutWhenWidening = automatic && shortcuts.cutFirstPass;
    if (automatic) first.keepBudget = shortcuts.planeStoreBudget;
    first.aheadWhenCut = shortcuts.widePassAhead;
    PassOutcome pass = runPass(file, options, reach, first, "analyse", progress, result);
    std::shared_ptr<PlaneStore> store = std::move(pass.kept);
    std::shared_ptr<WidePassAhead> ahead = std::move(pass.ahead);
    result.searchRange = pass.searchRange;
    for (const PhaseStep &s : pass.coarse)
        result.largestCoarseStep =
            std::max({result.largestCoarseStep, std::fabs(s.dx), std::fabs(s.dy)});

    // Steps beyond three quarters of the range that the engine measured
    // otherwise were probably missed.
    // The tracker's step i is that of frame 4i + 1 from frame 4i; frames
    // the engine did not reach count as measured alike.
    std::vector<PhaseStep> engineSteps;
    for (std::size_t i = 0; i < pass.coarse.size(); ++i) {
        const std::size_t frame = i * kPairEvery + 1;
        engineSteps.push_back(frame < pass.dx.size()
                                  ? PhaseStep{double(pass.dx[frame]), double(pass.dy[frame]), 1.0}
                                  : pass.coarse[i]);
    }
    // A step beyond the reach counts only where the frames agree with the
    // tracker rather than with the engine (see StepCheck).
    const std::shared_ptr<const StepCheck> check = pass.check;
    const ConfirmMiss confirm = [&check](std::size_t i, const PhaseStep &t, const PhaseStep &e) {
        return !check || check->prefers(i, t.dx, t.dy, e.dx, e.dy);
    };
    const double beyond =
        automatic && userInterrupts == interruptsBefore
            ? stepBeyondReach(pass.coarse, engineSteps, 0.75 * pass.searchRange, confirm)
            : 0.0;
    if (beyond > 0) {
        reach = reachFor(beyond, result.info.width, result.info.height);
        if (reach.scale > 1 || reach.searchRange > pass.searchRange) {
            std::optional<PassOutcome> early;
            if (ahead) early = ahead->take(reach, "analyse (wide)", progress);
            ahead.reset();
            if (early) {
                pass = std::move(*early);
                result.wideWhileDecoding = true;
            } else {
                StabilizerFree();
                PassPlan wide;
                wide.wholeFrame = true;
                if (store && store->usable()) wide.replay = store;
                store.reset();
                pass = runPass(file, options, reach, wide, "analyse (wide)", progress, result);
            }
            result.widened = true;
            result.searchRange = pass.searchRange;
        }
    }
    ahead.reset();
    store.reset();

    result.scale = reach.scale;
    result.firstFrame = options.firstFrame;
    result.lastFrame = pass.last;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    result.framesPerSecond =
        seconds > 0 ? double(std::int64_t{pass.last} - options.firstFrame + 1) / seconds : 0;
    result.stoppedEarly = userInterrupts != interruptsBefore;
    result.planeDx = std::move(pass.dx);
    result.planeDy = std::move(pass.dy);
    const int pw = result.info.width / reach.scale, ph = result.info.height / reach.scale;
    result.scaleX = double(result.info.width) / pw;
    result.scaleY = double(result.info.height) / ph;
    readPath(result);
    return result;
}

Framing frameClip(Analysis &a, const Options &o) {
    FramingRequest request;
    request.target = o.keepTarget;
    if (o.smoothGiven) {
        request.smoothX = o.smoothX;
        request.smoothY = o.smoothY != 0 ? o.smoothY : o.smoothX;
    }
    request.cropFixed = o.cropX.has_value();
    std::vector<double> mx = a.path.measuredX, my = a.path.measuredY;
    for (double &v : mx) v /= a.scaleX;
    for (double &v : my) v /= a.scaleY;
    const Framing f = chooseFraming(a.firstFrame, mx, my, request);
    readPath(a);
    return f;
}

IndependentShake measureIndependently(const std::string &file, const Options &o,
                                      Progress &progress) {
    FrameSource source(file, o.firstFrame, o.lastFrame);
    const VideoInfo &info = source.info();
    IndependentShake result;
    result.width = info.width;
    result.height = info.height;
    PhaseTracker tracker(info.width, info.height, 320);
    std::mutex trackerMutex;
    source.observe([&](std::int32_t, const std::uint8_t *plane, std::ptrdiff_t stride) {
        std::lock_guard lock(trackerMutex);
        tracker.add(plane, stride);
    });
    PlaneSettings settings;
    settings.channel = o.channel;
    settings.highPass = false;
    source.start(settings);
    progress.begin("measure",
                   info.frameCountHint > o.firstFrame ? info.frameCountHint - o.firstFrame : 0);
    for (std::int32_t i = o.firstFrame; source.has(i); ++i) {
        source.recycle(source.take(i));
        progress.update(++result.frames);
        if (userInterrupts) break;
    }
    progress.end(result.frames);
    if (result.frames == 0) throw HostError("'" + file + "' has no video frames");
    {
        std::lock_guard lock(trackerMutex);  // the tracker runs in the decoding thread
        result.steps = tracker.steps();
        result.steps.resize(
            std::min<std::size_t>(result.steps.size(), std::size_t(result.frames - 1)));
    }
    std::vector<double> dx, dy;
    for (const PhaseStep &s : result.steps) {
        dx.push_back(s.dx);
        dy.push_back(s.dy);
    }
    result.shake = shakeOfSteps(dx, dy);
    return result;
}

}  // namespace placidor::host
