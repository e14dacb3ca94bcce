#include "progress.h"

#include <cerrno>
#include <cstring>

#include "error.h"

namespace placidor::host {

using Clock = std::chrono::steady_clock;

Progress::Progress(bool terminal, const std::string &machineFile)
    : terminal_(terminal),
      machineName_(machineFile == "-" ? "standard output" : "'" + machineFile + "'") {
    if (machineFile == "-") {
        machine_ = stdout;
    } else if (!machineFile.empty()) {
        machine_ = std::fopen(machineFile.c_str(), "w");
        if (!machine_)
            throw HostError("cannot write the progress file '" + machineFile +
                            "': " + std::strerror(errno));
        ownsMachine_ = true;
    }
}

Progress::~Progress() {
    if (ownsMachine_) std::fclose(machine_);
}

void Progress::begin(const char *pass, std::int64_t total) {
    pass_ = pass;
    total_ = total;
    done_ = 0;
    start_ = lastDraw_ = lastEmit_ = Clock::now();
    emit(false);
}

void Progress::update(std::int64_t framesDone) {
    done_ = framesDone;
    const auto now = Clock::now();
    if (terminal_ && now - lastDraw_ >= std::chrono::milliseconds(100)) {
        lastDraw_ = now;
        draw(false);
    }
    if (machine_ && now - lastEmit_ >= std::chrono::milliseconds(500)) {
        lastEmit_ = now;
        emit(false);
    }
}

double Progress::end(std::int64_t framesDone) {
    done_ = framesDone;
    if (terminal_) draw(true);
    emit(false);
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    return seconds > 0 ? static_cast<double>(done_) / seconds : 0.0;
}

void Progress::draw(bool final) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const double fps = seconds > 0 ? static_cast<double>(done_) / seconds : 0.0;
    char left[32] = "";
    if (!final && total_ > done_ && fps > 0) {
        const long s = static_cast<long>(static_cast<double>(total_ - done_) / fps + 0.5);
        std::snprintf(left, sizeof left, ", %ld:%02ld left", s / 60, s % 60);
    }
    char count[48];
    if (total_ > 0)
        std::snprintf(count, sizeof count, "%lld/%lld", (long long)done_, (long long)total_);
    else std::snprintf(count, sizeof count, "%lld", (long long)done_);
    std::fprintf(stderr, "\r\033[K%-7s frame %s, %.1f fps%s%s", pass_, count, fps, left,
                 final ? "\n" : "");
    std::fflush(stderr);
}

void Progress::finish() {
    emit(true);
    if (ownsMachine_) {
        if (std::fclose(machine_) != 0 && !writeError_) writeError_ = errno ? errno : EIO;
        machine_ = nullptr;
        ownsMachine_ = false;
    }
    if (writeError_)
        throw HostError("writing the progress to " + machineName_ +
                        " failed: " + std::strerror(writeError_));
}

// FFmpeg's -progress keys, out_time being the video time the pass has
// reached; pass and total_frames are this program's own.
void Progress::emit(bool final) {
    if (!machine_) return;
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const double fps = seconds > 0 ? static_cast<double>(done_) / seconds : 0.0;
    const auto outUs =
        static_cast<long long>(frameRate_ > 0 ? static_cast<double>(done_) / frameRate_ * 1e6 : 0);
    const double speed = seconds > 0 ? static_cast<double>(outUs) / 1e6 / seconds : 0.0;
    errno = 0;
    const int rc =
        std::fprintf(machine_,
                     "pass=%s\nframe=%lld\ntotal_frames=%lld\nfps=%.2f\nbitrate=N/A\ntotal_size=N/"
                     "A\nout_time_us=%lld\n"
                     "out_time_ms=%lld\nout_time=%02lld:%02lld:%02lld.%06lld\ndup_frames=0\ndrop_"
                     "frames=0\nspeed=%.3gx\n"
                     "progress=%s\n",
                     pass_, (long long)done_, (long long)total_, fps, outUs, outUs,
                     outUs / 3600000000LL, outUs / 60000000LL % 60, outUs / 1000000LL % 60,
                     outUs % 1000000LL, speed, final ? "end" : "continue");
    if ((rc < 0 || std::fflush(machine_) != 0) && !writeError_) writeError_ = errno ? errno : EIO;
}

}  // namespace placidor::host
