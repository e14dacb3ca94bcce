// Failures of the command line: one line for the user and an exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace placidor::host {

enum ExitStatus : int { ExitOk = 0, ExitFailure = 1, ExitUsage = 2, ExitInterrupted = 130 };

class HostError : public std::runtime_error {
public:
    explicit HostError(const std::string &message, int status = ExitFailure)
        : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

// FFmpeg's description of an error code.
std::string avErrorText(int code);

}  // namespace placidor::host
