// One instance per session: a later launch hands its request over; a socket
// left by a crashed instance is cleared; launch arguments parse to absolute
// paths.

#include <gtest/gtest.h>

#include <QSignalSpy>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "App/LaunchRequest.h"
#include "App/SingleInstance.h"
#include "fixtures/Patience.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

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
    ASSERT_TRUE(first.claim());
    QSignalSpy received(&first, &SingleInstance::received);

    SingleInstance second(path);
    EXPECT_FALSE(second.claim());  // the lock is held
    const QStringList request = {QStringLiteral("-library"), QStringLiteral("/media/u/Disk/Lib"),
                                 QStringLiteral("/home/u/Pictures")};
    // The first instance answers from its event loop, late on a busy machine.
    EXPECT_TRUE(second.forward(request, fixtures::patientMs));
    if (received.isEmpty()) {
        ASSERT_TRUE(received.wait(fixtures::patientMs));
    }
    EXPECT_EQ(received[0][0].toStringList(), request);
}

TEST(SingleInstance, ForwardingWithoutAnInstanceFailsAtOnce) {
    fixtures::TempDir tmp;
    SingleInstance lone(QString::fromStdString(tmp / "none.sock"));
    EXPECT_FALSE(lone.forward({QStringLiteral("/x")}));
}
