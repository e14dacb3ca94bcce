// Progress of a pass: a status line on stderr when it is a terminal, and
// key=value blocks in FFmpeg's -progress style for programs.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace placidor::host {

class Progress {
public:
    // `machineFile`: "" for none, "-" for standard output, else a file.
    Progress(bool terminal, const std::string &machineFile);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // Frames per second of the video, for the out_time keys.
    void setFrameRate(double fps) { frameRate_ = fps; }
    // Starts a pass; `total` is 0 when the frame count is unknown.
    void begin(const char *pass, std::int64_t total);
    void update(std::int64_t framesDone);
    // Ends the pass and returns its frames per second.
    double end(std::int64_t framesDone);
    // The last block, "progress=end", once the whole job is done. Throws
    // HostError when any block could not be written (a full disk).
    void finish();

private:
    void draw(bool final);
    void emit(bool final);

    bool terminal_;
    std::FILE *machine_ = nullptr;
    bool ownsMachine_ = false;
    std::string machineName_;
    int writeError_ = 0;  // errno of the first failed write
    double frameRate_ = 0;
    const char *pass_ = "";
    std::int64_t total_ = 0, done_ = 0;
    std::chrono::steady_clock::time_point start_, lastDraw_, lastEmit_;
};

}  // namespace placidor::host
