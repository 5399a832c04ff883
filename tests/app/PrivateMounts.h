#pragma once
// Runs one test of this executable again, alone, in a mount namespace of its
// own: what it mounts there (drives in memory, read-only or full folders) is
// seen by nobody else and goes when it ends. The test learns that it is such
// a child, and what it was handed, from its environment.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "fixtures/TempDir.h"

namespace apptest {

constexpr const char* kPrivateMountsChild = "VINTRELLE_PRIVATE_MOUNTS_CHILD";

// What the parent handed to the child test; null in an ordinary run.
inline const char* privateMountsArgument() { return std::getenv(kPrivateMountsChild); }

struct ChildRun {
    bool hadNamespace = false;  // false: none could be had here, the test is to be skipped
    bool passed = false;        // the child test ran and passed
    std::string log;            // its output
};

// Runs the test `name` ("Suite.Test") with `argument`.
inline ChildRun runInPrivateMounts(const std::string& name, const std::string& argument) {
    fixtures::TempDir tmp;
    const std::string log = tmp / "child.log";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back(std::string(kPrivateMountsChild) + "=" + argument);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = "/proc/self/exe", filter = "--gtest_filter=" + name;
    char* argv[] = {exe.data(), filter.data(), nullptr};
    constexpr int kNoNamespace = 77;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) ::_exit(kNoNamespace);
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(kNoNamespace);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execve(exe.c_str(), argv, envp.data());
        ::_exit(127);
    }
    ChildRun run;
    if (pid < 0) return run;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.log = fixtures::readFile(log);
    run.hadNamespace = !(WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespace);
    run.passed = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                 run.log.find("[  PASSED  ] 1 test") != std::string::npos;
    return run;
}

}  // namespace apptest
