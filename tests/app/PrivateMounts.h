#pragma once
// Runs one test of this executable again, alone, in a mount namespace of its
// own: what it mounts there (drives in memory, read-only or full folders) is
// seen by nobody else and goes when it ends. The test learns that it is such
// a child, and what it was handed, from its environment.

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "fixtures/ChildProcess.h"
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
    constexpr int kNoNamespace = 77;
    const pid_t pid = fixtures::spawnTestChild(name, {std::string(kPrivateMountsChild) + "=" + argument}, log, [] {
        if (::unshare(CLONE_NEWNS) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return kNoNamespace;
        return ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? 0 : kNoNamespace;
    });
    ChildRun run;
    if (pid < 0) return run;
    const int status = fixtures::waitForChild(pid);
    run.log = fixtures::readFile(log);
    run.hadNamespace = !(WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespace);
    run.passed = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                 run.log.find("[  PASSED  ] 1 test") != std::string::npos;
    return run;
}

}  // namespace apptest
