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
constexpr int kCoarseWidth = 320;

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

// A verdict that may call for a second pass: a step the engine missed,
// or one whose frames side with the tracker (or were not kept to ask).
bool doubtful(StepVerdict v) {
    return v == StepVerdict::missed || v == StepVerdict::unknown || v == StepVerdict::outvoted;
}

class WidePassAhead;

struct PassOutcome {
    std::int32_t last = 0;
    std::vector<std::int32_t> dx, dy;
    double framesPerSecond = 0;
    std::int32_t searchRange = 0;   // normalised, pixels of the plane
    std::vector<PhaseStep> coarse;  // the coarse tracker's sampled steps
    // What the frames said of each tracker step the engine measured
    // (StepVerdict::agree for the rest).
    std::vector<StepVerdict> verdicts;
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
    std::size_t keepBudget = 0;        // keeps the planes for the next pass, up to this
    std::size_t keepTrial = SIZE_MAX;  // past this, only from the first step in doubt
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
    WidePassAhead(const std::string &file, const Options &o, const Analysis &base,
                  std::shared_ptr<const PlaneStore> store)
        : file_(file), options_(o), base_(base), store_(std::move(store)) {}
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
                out = runPass(file_, options_, reach, plan, "", quiet, scratch);
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

    const std::string file_;
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
        plan.replay ? std::make_unique<FrameSource>(result.info, o.firstFrame, plan.replay, file)
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
    // The frames of each tracker pair are kept until the engine measured
    // them, to be put to them where the two disagree.
    const double reachable = 0.75 * normalised.searchRange * reach.scale;
    StepCheck check(info.width, info.height);
    std::vector<StepVerdict> verdicts;
    // The planes for a second pass: past the trial, kept from the first
    // step in doubt on (see PlaneStore).
    std::shared_ptr<PlaneStore> kept;
    bool engineDone = false;
    std::mutex trackerMutex;
    if (plan.track)
        source.observe([&](std::int32_t index, const std::uint8_t *plane, std::ptrdiff_t stride) {
            const std::int32_t k = index - o.firstFrame;
            if (k % kPairEvery > 1) return;
            std::lock_guard lock(trackerMutex);
            const std::size_t pair = tracker.steps().size();
            if (k % kPairEvery == 0) {
                tracker.restart();
                if (!engineDone) check.first(plane, stride);
            } else if (!engineDone) {
                check.second(pair, plane, stride);
            }
            tracker.add(plane, stride);
        });
    // Judges the tracker's steps whose frames the engine measured (up to
    // `measured` frames), with trackerMutex held.
    const auto judge = [&](const std::vector<std::int32_t> &dx, const std::vector<std::int32_t> &dy,
                           std::size_t measured) {
        const std::vector<PhaseStep> &steps = tracker.steps();
        for (std::size_t i = verdicts.size(); i < steps.size(); ++i) {
            const std::size_t frame = i * kPairEvery + 1;
            if (frame >= measured) break;
            const PhaseStep e{double(dx[frame]) * reach.scale, double(dy[frame]) * reach.scale, 1};
            const PhaseStep &t = steps[i];
            std::function<bool()> prefer;
            if (check.has(i)) prefer = [&] { return check.prefers(i, t.dx, t.dy, e.dx, e.dy); };
            verdicts.push_back(judgeStep(t, e, reachable, prefer));
            if (doubtful(verdicts.back()) && kept) kept->keepFromNow();
            check.release(i);
        }
    };
    // The largest step of the tracker's that the frames did not refute.
    const auto largestTrusted = [&] {
        const std::vector<PhaseStep> steps = withoutRefuted(tracker.steps(), verdicts);
        return largestConfidentStep(steps, steps.size());
    };
    // A clip known to need more than the budget keeps nothing.
    if (plan.keepBudget > 0 &&
        (total <= 0 || double(total) * info.width * info.height <= double(plan.keepBudget))) {
        kept =
            std::make_shared<PlaneStore>(info.width, info.height, plan.keepBudget, plan.keepTrial);
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
    // The reach the steps so far call for: wider than this pass's, or
    // this pass's again (over the whole frame) when the window was outvoted.
    const auto reachWanted = [&](double largest) {
        const Reach wider = reachFor(largest, info.width, info.height);
        return wider.scale > 1 || wider.searchRange > normalised.searchRange ? wider : reach;
    };
    if (plan.track) {
        feed.enough = [&](const std::vector<std::int32_t> &dx,
                          const std::vector<std::int32_t> &dy) {
            if (userInterrupts != interruptsBefore) return false;
            std::lock_guard lock(trackerMutex);
            judge(dx, dy, dx.size());
            if (!plan.cutWhenWidening) return false;
            std::size_t missed = 0, outvoted = 0;
            for (const StepVerdict v : verdicts) {
                missed += v == StepVerdict::missed || v == StepVerdict::unknown;
                outvoted += v == StepVerdict::outvoted;
            }
            // Steps only add to the largest, and a larger step never needs
            // less reach: the final choice is wider still. Two outvotes
            // make the pass over the whole frame certain.
            const Reach wanted = reachWanted(largestTrusted());
            cut = (missed >= 2 && !sameReach(wanted, reach)) || (outvoted >= 2 && !o.window);
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
    {
        // The last frame's displacement is not measured (see EnginePass).
        std::lock_guard lock(trackerMutex);
        engineDone = true;
        if (plan.track && !cut && !pass.dx.empty()) judge(pass.dx, pass.dy, pass.dx.size() - 1);
    }
    PassOutcome out;
    if (cut) {
        // The reach that the steps so far call for: at the end of the
        // decoding, the reach of the wider pass.
        if (plan.aheadWhenCut && kept)
            out.ahead = std::make_shared<WidePassAhead>(file, o, result, kept);
        const auto tick = [&](std::int64_t decoded) {
            done = std::max(done, decoded);
            progress.update(done);
            if (out.ahead) {
                double largest = 0;
                {
                    std::lock_guard lock(trackerMutex);
                    largest = largestTrusted();
                }
                out.ahead->want(reachWanted(largest));
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
        out.verdicts = verdicts;
    }
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
    first.keepTrial = shortcuts.planeStoreTrial;
    first.aheadWhenCut = shortcuts.widePassAhead;
    PassOutcome pass = runPass(file, options, reach, first, "analyse", progress, result);
    std::shared_ptr<PlaneStore> store = std::move(pass.kept);
    std::shared_ptr<WidePassAhead> ahead = std::move(pass.ahead);
    result.searchRange = pass.searchRange;
    // The tracker's steps, less those that the frames refuted.
    const std::vector<PhaseStep> trusted = withoutRefuted(pass.coarse, pass.verdicts);
    const auto counted = [&](StepVerdict v) {
        return std::size_t(std::count(pass.verdicts.begin(), pass.verdicts.end(), v));
    };
    const std::size_t outvoted = counted(StepVerdict::outvoted);
    result.stepsRefuted = counted(StepVerdict::notMissed);
    result.largestCoarseStep = largestConfidentStep(trusted, trusted.size());

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
    const bool judging = automatic && userInterrupts == interruptsBefore;
    const double beyond =
        judging ? stepBeyondReach(trusted, engineSteps, 0.75 * pass.searchRange) : 0.0;
    // Where the frames agree with the tracker's whole picture rather than
    // with the engine's window on two frames or one in a hundred, moving
    // content filled the window: the whole frame is measured again, at
    // the same reach, unless the user chose the window.
    const bool outvotedWindow =
        judging && !options.window &&
        (outvoted >= 2 || (outvoted >= 1 && outvoted * 100 >= pass.coarse.size()));
    const auto again = [&](const char *label) {
        std::optional<PassOutcome> early;
        if (ahead) early = ahead->take(reach, label, progress);
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
            pass = runPass(file, options, reach, wide, label, progress, result);
        }
        result.searchRange = pass.searchRange;
    };
    const Reach wider =
        beyond > 0 ? reachFor(beyond, result.info.width, result.info.height) : reach;
    if (wider.scale > 1 || wider.searchRange > pass.searchRange) {
        reach = wider;
        again("analyse (wide)");
        result.widened = true;
    } else if (outvotedWindow) {
        again("analyse (whole frame)");
        result.wholeFrameAgain = true;
        result.framesOutvoted = outvoted;
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
