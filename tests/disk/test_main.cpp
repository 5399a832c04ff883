// The full-disk tests mount small disks of their own: the process enters a
// mount namespace of its own first, before any thread exists, so that every
// thread (and every process it starts) sees those disks and nothing outside
// does. Where no namespace can be had, the tests skip.

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "fixtures/Patience.h"

namespace {

bool writeText(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return ok;
}

bool enterPrivateMountNamespace() {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWNS) != 0) {
        // Not root: a user namespace of our own allows our own mounts.
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
        writeText("/proc/self/setgroups", "deny");
        if (!writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return false;
    }
    return ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("VINTRELLE_PRIVATE_MOUNTS", enterPrivateMountNamespace() ? "1" : "0", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    // These tests wait for whole passes of the engine, faces included (the
    // giving way itself is the core tests' to check).
    fixtures::OrdinaryBackgroundThreads ordinary;
    return RUN_ALL_TESTS();
}
