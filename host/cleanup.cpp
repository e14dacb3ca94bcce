#include "cleanup.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "analysis.h"
#include "error.h"
#include "placidor_escape.h"

namespace placidor::host {

namespace {

// Files being written under a temporary name; the signal handler removes
// them, so they live in fixed storage.
char tempPaths[kTempSlotCount][4096];
volatile sig_atomic_t analysingNow = 0;

void say(const char *text) {
    if (write(STDERR_FILENO, text, std::strlen(text)) < 0) {
    }
}

void onInterrupt(int signal) {
    ++userInterrupts;
    if (signal == SIGINT && analysingNow && userInterrupts == 1) {
        PlacidorPressEscape();
        say("\nplacidor: stopping the analysis; the analysed part will be rendered (Ctrl-C again "
            "aborts)\n");
        return;
    }
    for (auto &path : tempPaths)
        if (path[0]) unlink(path);
    say(signal == SIGINT    ? "\nplacidor: interrupted\n"
        : signal == SIGTERM ? "\nplacidor: terminated\n"
        : signal == SIGHUP  ? "\nplacidor: hung up\n"
        : signal == SIGPIPE ? "\nplacidor: the reader of its output went away\n"
                            : "\nplacidor: quit\n");
    _exit(128 + signal);
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
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        struct sigaction previous {};
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(signal, &action, nullptr);
    }
}

void setAnalysing(bool analysing) { analysingNow = analysing ? 1 : 0; }

std::string claimTemp(int slot, const std::string &finalPath, bool overwrite) {
    struct stat st {};
    if (stat(finalPath.c_str(), &st) == 0) {
        if (!overwrite)
            throw HostError("'" + finalPath + "' already exists (use -y to replace it)");
        if (S_ISDIR(st.st_mode)) throw HostError("'" + finalPath + "' is a directory");
    }
    const std::string temp = directoryOf(finalPath) + "/." + baseName(finalPath) + "." +
                             std::to_string(getpid()) + ".part";
    if (temp.size() >= sizeof tempPaths[slot])
        throw HostError("the path '" + finalPath + "' is too long");
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) throw HostError("cannot write '" + finalPath + "': " + std::strerror(errno));
    close(fd);
    std::strcpy(tempPaths[slot], temp.c_str());
    return temp;
}

void commitTemp(int slot, const std::string &finalPath, bool overwrite) {
    if (overwrite) {
        if (std::rename(tempPaths[slot], finalPath.c_str()) != 0)
            throw HostError("cannot rename the finished file to '" + finalPath +
                            "': " + std::strerror(errno));
    } else {
        // Never replace a file another run (or anyone) created meanwhile.
        int rc =
            renameat2(AT_FDCWD, tempPaths[slot], AT_FDCWD, finalPath.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the flag: a hard link fails just the same.
            rc = link(tempPaths[slot], finalPath.c_str());
            if (rc == 0) unlink(tempPaths[slot]);
        }
        if (rc != 0 && errno == EEXIST)
            throw HostError(
                "'" + finalPath +
                "' appeared while placidor was working (another run?); it is kept and this result "
                "discarded (use -y to replace it)");
        if (rc != 0)
            throw HostError("cannot rename the finished file to '" + finalPath +
                            "': " + std::strerror(errno));
    }
    tempPaths[slot][0] = '\0';
}

void checkDistinctFiles(const std::string &input, const std::vector<std::string> &outputs) {
    struct stat in {};
    const bool inputExists =
        stat(input.c_str(), &in) == 0 && !S_ISFIFO(in.st_mode) && !S_ISCHR(in.st_mode);
    std::vector<std::pair<std::string, struct stat>> seen;
    for (const std::string &name : outputs) {
        struct stat st {};
        if (name.empty() || name == "-" || stat(name.c_str(), &st) != 0) continue;
        if (inputExists && st.st_dev == in.st_dev && st.st_ino == in.st_ino)
            throw HostError("'" + name + "' is the input file '" + input +
                                "': writing it would destroy the input",
                            ExitUsage);
        for (const auto &[other, o] : seen)
            if (st.st_dev == o.st_dev && st.st_ino == o.st_ino)
                throw HostError("'" + name + "' and '" + other + "' are the same file", ExitUsage);
        seen.emplace_back(name, st);
    }
}

std::string spoolIfPipe(const std::string &input, const std::string &besidePath) {
    int fd = -1;
    bool ownFd = false;
    if (input == "-" || input == "pipe:") {
        fd = STDIN_FILENO;
    } else if (input.rfind("pipe:", 0) == 0) {
        char *end = nullptr;
        const long n = std::strtol(input.c_str() + 5, &end, 10);
        if (*end != '\0' || n < 0 || n > 1 << 20)
            throw HostError("cannot read '" + input + "': not a pipe number");
        fd = static_cast<int>(n);
    } else {
        struct stat st {};
        if (stat(input.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) ||
            S_ISBLK(st.st_mode))
            return input;
        if (!S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode) && !S_ISCHR(st.st_mode)) return input;
        fd = open(input.c_str(), O_RDONLY);
        if (fd < 0) throw HostError("cannot read '" + input + "': " + std::strerror(errno));
        ownFd = true;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0)
        throw HostError("cannot read '" + input + "': " + std::strerror(errno));
    if (S_ISREG(st.st_mode) && lseek(fd, 0, SEEK_CUR) == 0) {
        // Standard input redirected from a file can be read twice as it is.
        if (!ownFd) return "/dev/fd/" + std::to_string(fd);
    }
    if (isatty(fd)) throw HostError("cannot read '" + input + "': it is a terminal, not a video");
    // Both passes read the input: a pipe is kept in a temporary file.
    const std::string temp =
        directoryOf(besidePath) + "/.placidor-input." + std::to_string(getpid()) + ".part";
    if (temp.size() >= sizeof tempPaths[TempInput])
        throw HostError("the path '" + besidePath + "' is too long");
    const int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (out < 0)
        throw HostError("cannot keep the piped input beside '" + besidePath +
                        "': " + std::strerror(errno));
    std::strcpy(tempPaths[TempInput], temp.c_str());
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            close(out);
            throw HostError("reading '" + input + "' failed: " + std::strerror(errno));
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(out, buffer.data() + done, std::size_t(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                const int e = errno;
                close(out);
                throw HostError("cannot keep the piped input beside '" + besidePath +
                                "': " + std::strerror(e));
            }
            done += w;
        }
    }
    if (ownFd) close(fd);
    if (close(out) != 0)
        throw HostError("cannot keep the piped input beside '" + besidePath +
                        "': " + std::strerror(errno));
    return temp;
}

void removeTemps() {
    for (auto &path : tempPaths)
        if (path[0]) {
            unlink(path);
            path[0] = '\0';
        }
}

}  // namespace placidor::host
