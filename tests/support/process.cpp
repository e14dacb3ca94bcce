#include "process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

extern char **environ;

namespace placidor::test {

std::string slurp(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string capture(const std::string &command) {
    std::string text;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) text.append(buffer, n);
        pclose(p);
    }
    return text;
}

pid_t spawnProgram(const std::vector<std::string> &args, const std::filesystem::path &outFile,
                   const std::filesystem::path &errFile, const std::vector<std::string> &env) {
    std::vector<std::string> all(args);
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings(env);
    for (char **e = environ; *e; ++e) envStrings.emplace_back(*e);
    std::vector<char *> envp;
    for (auto &e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << all[0];
        return -1;
    }
    return pid;
}

Result finishProgram(pid_t pid, const std::filesystem::path &outFile,
                     const std::filesystem::path &errFile) {
    Result r;
    if (pid <= 0) return r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = slurp(outFile);
    r.err = slurp(errFile);
    // In the sanitizer build a finding ends the program with its own exit
    // status; whatever status the test expects, the report is a failure.
    for (const char *report :
         {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", ": runtime error: "})
        if (r.err.find(report) != std::string::npos) ADD_FAILURE() << r.err;
    return r;
}

}  // namespace placidor::test
