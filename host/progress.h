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

    // Starts a pass; `total` is 0 when the frame count is unknown.
    void begin(const char *pass, std::int64_t total);
    void update(std::int64_t framesDone);
    // Ends the pass and returns its frames per second.
    double end(std::int64_t framesDone);

private:
    void draw(bool final);
    void emit(bool final);

    bool terminal_;
    std::FILE *machine_ = nullptr;
    bool ownsMachine_ = false;
    const char *pass_ = "";
    std::int64_t total_ = 0, done_ = 0;
    std::chrono::steady_clock::time_point start_, lastDraw_, lastEmit_;
};

}  // namespace placidor::host
