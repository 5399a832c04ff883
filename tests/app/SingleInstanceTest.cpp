// One instance per session: a later launch hands its request over; a socket
// left by a crashed instance is cleared; a runtime folder that cannot take
// the lock lets every launch run; launch arguments parse to absolute paths.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QThread>

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "App/LaunchRequest.h"
#include "App/SingleInstance.h"
#include "PrivateMounts.h"
#include "fixtures/Patience.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
using apptest::ChildRun;
using apptest::privateMountsArgument;
using apptest::runInPrivateMounts;

TEST(LaunchRequest, ParsesLibraryOptionFoldersAndFileUris) {
    const QString cwd = QStringLiteral("/home/u/work");
    struct Case {
        QStringList args;
        LaunchRequest want;
    } cases[] = {
        {{}, {}},
        {{"-library"}, {}},  // last: ignored
        {{"-library", "Photos"}, {"/home/u/work/Photos", {}}},
        {{"-library", "/a/../b/", "-library", "/c"}, {"/b", {}}},  // the first one counts
        {{"file:///media/u/My%20Disk/Pics", "../x", "smb://server/share", "--verbose", "/y/"},
         {std::nullopt, {"/media/u/My Disk/Pics", "/home/u/x", "/y"}}},
        {{"/z", "-library", "lib"}, {"/home/u/work/lib", {"/z"}}},
    };
    for (const auto& c : cases) {
        const LaunchRequest got = parseLaunchArguments(c.args, cwd);
        EXPECT_EQ(got, c.want) << c.args.join(' ').toStdString();
        // What a later launch forwards reads back the same anywhere.
        EXPECT_EQ(parseLaunchArguments(got.toArguments(), QStringLiteral("/elsewhere")), got);
    }
}

// Arguments are bytes: names in Latin-1 (the launching folder's too, and a
// desktop's percent-encoded URI of one) stay the bytes they are, relative
// paths are made absolute as bytes, and the request handed to a running
// instance reads back the same there.
TEST(LaunchRequest, KeepsPathsThatAreNotUtf8AsTheirBytes) {
    const std::string cwd = "/home/u/caf\xE9";
    struct Case {
        std::vector<std::string> args;
        LaunchRequest want;
    } cases[] = {
        {{"-library", "lib_\xE9t\xE9"}, {"/home/u/caf\xE9/lib_\xE9t\xE9", {}}},
        {{"-library", "file:///media/u/Disk/Alb%FCm%20100%25"}, {"/media/u/Disk/Alb\xFCm 100%", {}}},
        {{"file:///media/u/Fotos_%E9t%E9/", "../Alb\xFCm/./x/..", "/srv/Fotos de S\xC3\xA3o Paulo"},
         {std::nullopt, {"/media/u/Fotos_\xE9t\xE9", "/home/u/Alb\xFCm", "/srv/Fotos de S\xC3\xA3o Paulo"}}},
    };
    fixtures::TempDir tmp;
    const QString socket = QString::fromStdString(tmp / "vintrelle.sock");
    SingleInstance running(socket);
    ASSERT_EQ(running.claim(), SingleInstance::Claim::first);
    QSignalSpy received(&running, &SingleInstance::received);
    for (const Case& c : cases) {
        const LaunchRequest got = parseLaunchArguments(c.args, cwd);
        EXPECT_EQ(got, c.want) << c.args.front();
        // A UTF-8 path is handed over as it is, for an instance of any version.
        const QStringList args = got.toArguments();
        EXPECT_EQ(args.contains(QStringLiteral("/srv/Fotos de S\u00e3o Paulo")),
                  c.want.folders.size() == 3);
        SingleInstance later(socket);
        ASSERT_TRUE(later.forward(args, fixtures::patientMs));
        if (received.isEmpty()) {
            ASSERT_TRUE(received.wait(fixtures::patientMs));
        }
        EXPECT_EQ(parseLaunchArguments(received.takeFirst()[0].toStringList(), QStringLiteral("/")), c.want);
    }
}

TEST(SingleInstance, ALaterLaunchForwardsItsRequestAndACrashedSocketIsCleared) {
    fixtures::TempDir tmp;
    const QString path = QString::fromStdString(tmp / "vintrelle.sock");

    // A crashed instance left its socket file behind, with nobody listening.
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.toLocal8Bit().constData(), sizeof addr.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
        ASSERT_TRUE(std::filesystem::exists(path.toStdString()));
    }

    SingleInstance first(path);
    ASSERT_EQ(first.claim(), SingleInstance::Claim::first);
    QSignalSpy received(&first, &SingleInstance::received);

    SingleInstance second(path);
    EXPECT_EQ(second.claim(), SingleInstance::Claim::elsewhere);  // the lock is held
    const QStringList request = {QStringLiteral("-library"), QStringLiteral("/media/u/Disk/Lib"),
                                 QStringLiteral("/home/u/Pictures")};
    // The first instance answers from its event loop, late on a busy machine.
    EXPECT_TRUE(second.forward(request, fixtures::patientMs));
    if (received.isEmpty()) {
        ASSERT_TRUE(received.wait(fixtures::patientMs));
    }
    EXPECT_EQ(received[0][0].toStringList(), request);
}

// The running instance is too busy to answer before the later launch stops
// waiting: the launch says it failed, and the instance, reading the request
// late, never carries it out. A launch answered in time is carried out, once.
TEST(SingleInstance, ALaunchAnsweredTooLateIsNeverCarriedOut) {
    fixtures::TempDir tmp;
    const QString path = QString::fromStdString(tmp / "vintrelle.sock");
    SingleInstance first(path);
    ASSERT_EQ(first.claim(), SingleInstance::Claim::first);
    QSignalSpy received(&first, &SingleInstance::received);
    QSignalSpy withdrawn(&first, &SingleInstance::withdrawn);

    // Each later launch runs on a thread of its own, as another process would.
    auto launch = [&](const QStringList& request, int timeoutMs, bool& forwarded) {
        return std::unique_ptr<QThread>(QThread::create([&path, request, timeoutMs, &forwarded] {
            SingleInstance later(path);
            forwarded = later.forward(request, timeoutMs);
        }));
    };
    const QStringList late = {QStringLiteral("/home/u/Late")};
    bool lateForwarded = true;
    auto lateLaunch = launch(late, 200, lateForwarded);
    lateLaunch->start();
    // This thread, the instance's, does not answer until the launch has ended.
    ASSERT_TRUE(lateLaunch->wait(fixtures::patientMs));
    EXPECT_FALSE(lateForwarded);
    ASSERT_TRUE(withdrawn.wait(fixtures::patientMs));
    EXPECT_EQ(withdrawn[0][0].toStringList(), late);
    EXPECT_TRUE(received.isEmpty());

    const QStringList onTime = {QStringLiteral("/home/u/OnTime")};
    bool onTimeForwarded = false;
    auto onTimeLaunch = launch(onTime, fixtures::patientMs, onTimeForwarded);
    onTimeLaunch->start();
    ASSERT_TRUE(received.wait(fixtures::patientMs));
    ASSERT_TRUE(onTimeLaunch->wait(fixtures::patientMs));
    EXPECT_TRUE(onTimeForwarded);
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received[0][0].toStringList(), onTime);
    EXPECT_EQ(withdrawn.size(), 1);
}

TEST(SingleInstance, ForwardingWithoutAnInstanceFailsAtOnce) {
    fixtures::TempDir tmp;
    SingleInstance lone(QString::fromStdString(tmp / "none.sock"));
    EXPECT_FALSE(lone.forward({QStringLiteral("/x")}));
}

TEST(SingleInstance, ALockFileThatNobodyHoldsIsTakenOver) {
    // Left by a launch that ended while it wrote it: unreadable, or empty.
    fixtures::TempDir tmp;
    for (const char* content : {"garbage", ""}) {
        const QString path = QString::fromStdString(tmp / "vintrelle.sock");
        fixtures::writeFile(tmp / "vintrelle.sock.lock", content);
        SingleInstance first(path);
        EXPECT_EQ(first.claim(), SingleInstance::Claim::first);
        SingleInstance second(path);
        EXPECT_EQ(second.claim(), SingleInstance::Claim::elsewhere);
    }
}

namespace {

// Every launch runs, and says why: nothing here is another instance.
void expectUnguarded(const std::string& folder, const std::string& why) {
    const QString path = QString::fromStdString(folder + "/vintrelle.sock");
    SingleInstance first(path), second(path);
    EXPECT_EQ(first.claim(), SingleInstance::Claim::unguarded);
    EXPECT_NE(first.whyUnguarded().toStdString().find(why), std::string::npos) << first.whyUnguarded().toStdString();
    EXPECT_EQ(second.claim(), SingleInstance::Claim::unguarded);
    EXPECT_FALSE(second.forward({QStringLiteral("/x")}, 200));
}

}  // namespace

TEST(SingleInstance, ARuntimeFolderThatCannotTakeTheLockIsNoOtherInstance) {
    fixtures::TempDir tmp;
    expectUnguarded(tmp / "missing", "does not exist");
    EXPECT_FALSE(std::filesystem::exists(tmp / "missing"));

    // Read-only and full folders, mounted where nobody else sees them.
    const ChildRun child = runInPrivateMounts("SingleInstance.ReadOnlyAndFullRuntimeFolders", tmp.path());
    if (!child.hadNamespace) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_TRUE(child.passed) << child.log;
}

// Run by the test above, in a mount namespace of its own.
TEST(SingleInstance, ReadOnlyAndFullRuntimeFolders) {
    const char* dir = privateMountsArgument();
    if (!dir) GTEST_SKIP() << "runs only as a child of the test above";
    const std::string readOnly = std::string(dir) + "/read-only", full = std::string(dir) + "/full";
    std::filesystem::create_directories(readOnly);
    std::filesystem::create_directories(full);
    ASSERT_EQ(::mount("none", readOnly.c_str(), "tmpfs", MS_RDONLY, nullptr), 0) << std::strerror(errno);
    ASSERT_EQ(::mount("none", full.c_str(), "tmpfs", 0, "size=16k"), 0) << std::strerror(errno);
    fixtures::writeFile(full + "/filler", std::string(1 << 20, 'x'));  // cut short where the disk is full

    expectUnguarded(readOnly, "cannot be written");
    expectUnguarded(full, "is full");
    EXPECT_FALSE(std::filesystem::exists(full + "/vintrelle.sock.lock"));
}
