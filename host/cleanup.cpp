#include "cleanup.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "analysis.h"
#include "error.h"
#include "output/output.h"
#include "placidor_escape.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace placidor::host {

namespace {

// Files being written under a temporary name; the signal handler removes
// them, so they live in fixed storage.
constexpr int kTempSlots = 2;
char tempPaths[kTempSlots][4096];
volatile sig_atomic_t analysingNow = 0;

void say(const char *text) {
    if (write(STDERR_FILENO, text, std::strlen(text)) < 0) {
    }
}

void onInterrupt(int signal) {
    ++userInterrupts;
    if (signal == SIGINT && analysingNow && userInterrupts == 1) {
        PlacidorPressEscape();
        say("\nplacidor: stopping the analysis; the analysed part will be rendered (Ctrl-C again aborts)\n");
        return;
    }
    for (auto &path : tempPaths)
        if (path[0]) unlink(path);
    say("\nplacidor: interrupted\n");
    _exit(ExitInterrupted);
}

std::string directoryOf(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

std::string baseName(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void installInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM}) {
        struct sigaction previous {};
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(signal, &action, nullptr);
    }
}

void setAnalysing(bool analysing) { analysingNow = analysing ? 1 : 0; }

std::string claimTemp(int slot, const std::string &finalPath, bool overwrite) {
    struct stat st {};
    if (stat(finalPath.c_str(), &st) == 0) {
        if (!overwrite) throw HostError("'" + finalPath + "' already exists (use -y to replace it)");
        if (S_ISDIR(st.st_mode)) throw HostError("'" + finalPath + "' is a directory");
    }
    outputFormatFor(finalPath);
    const std::string temp =
        directoryOf(finalPath) + "/." + baseName(finalPath) + "." + std::to_string(getpid()) + ".part";
    if (temp.size() >= sizeof tempPaths[slot]) throw HostError("the path '" + finalPath + "' is too long");
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) throw HostError("cannot write '" + finalPath + "': " + std::strerror(errno));
    close(fd);
    std::strcpy(tempPaths[slot], temp.c_str());
    return temp;
}

void commitTemp(int slot, const std::string &finalPath) {
    if (std::rename(tempPaths[slot], finalPath.c_str()) != 0)
        throw HostError("cannot rename the finished file to '" + finalPath + "': " + std::strerror(errno));
    tempPaths[slot][0] = '\0';
}

void removeTemps() {
    for (auto &path : tempPaths)
        if (path[0]) {
            unlink(path);
            path[0] = '\0';
        }
}

}  // namespace placidor::host
