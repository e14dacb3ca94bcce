// Running the placidor binary, or any program, from a test: its standard
// output and error go to files, read back when it ends.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace placidor::test {

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

// The whole of a file, byte for byte ("" when it cannot be read).
std::string slurp(const std::filesystem::path &file);

// What a shell command writes to its standard output.
std::string capture(const std::string &command);

// Starts args[0] with `args`, standard output to `outFile` and standard
// error to `errFile`, with `env` ("NAME=value") ahead of this process's
// environment. Returns its process id, or -1 (a test failure) when it
// cannot start.
pid_t spawnProgram(const std::vector<std::string> &args, const std::filesystem::path &outFile,
                   const std::filesystem::path &errFile, const std::vector<std::string> &env = {});

// Waits for `pid` and reads what it wrote to the two files; a sanitizer's
// report among what it wrote to standard error is a test failure.
Result finishProgram(pid_t pid, const std::filesystem::path &outFile,
                     const std::filesystem::path &errFile);

}  // namespace placidor::test
