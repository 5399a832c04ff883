// A library that is a drive's own root, with the drive away: its mount point
// is left as an empty folder on the computer's disk, which is no library.
// Nothing is made in it, the window waits for the drive, and the library
// opens on the drive's own index once the drive is mounted. A library whose
// folder becomes another folder under an open index (a drive mounted over
// the folder it was opened on) opens again on that folder's index.
// The drives are real mounts, in a mount namespace of the test's own.

// GIO first: its headers use Qt's "signals" keyword as a name.
#include <gio/gio.h>

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "App/MountWatcher.h"
#include "AppFixture.h"
#include "Core/Media/MediaProcessor.h"
#include "PrivateMounts.h"
#include "fixtures/MediaFixtures.h"

namespace {

using namespace apptest;
namespace fs = std::filesystem;

constexpr int kIndexingMs = 60000;

// One run of the application on lasting settings: a model on the kernel's
// mount table (or a table the test writes, which no mount changes), an
// fstab that lists nothing, and a volume monitor of its own; started.
struct AppRun {
    GVolumeMonitor* monitor = G_VOLUME_MONITOR(g_object_new(G_TYPE_VOLUME_MONITOR, nullptr));
    std::unique_ptr<AppModel> model;
    AppRun(const Settings& settings, const std::string& tmp, const std::string& mountInfo = {}) {
        auto s = settings.open();
        s->setValue("facesEnabled", false);
        model = std::make_unique<AppModel>(std::move(s));
        AppModel::Desktop d;
        d.mountInfoPath = QString::fromStdString(mountInfo);
        d.fstabPath = QString::fromStdString(tmp + "/no-fstab");
        d.volumeMonitor = monitor;
        d.applicationDir = tmp + "/app";
        d.homeDir = tmp + "/home";
        model->setDesktop(std::move(d));
        model->bootstrap();
    }
    ~AppRun() {
        model->closeStore();
        model.reset();
        g_object_unref(monitor);
    }
    AppModel& operator*() { return *model; }
    AppModel* operator->() { return model.get(); }
};

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) out.push_back(e.path().filename().string());
    return out;
}

// The library open is the drive's: its two photos, the favourite among them.
void expectOnTheDrive(AppModel& m, const std::string& library) {
    ASSERT_TRUE(m.store());
    EXPECT_EQ(m.store()->paths().root, library);
    EXPECT_EQ(m.store()->paths().dataDir, library + "/.vintrelle");
    EXPECT_FALSE(m.waitingForPath());
    ASSERT_TRUE(spinUntil([&] { return m.store()->assets().size() == 2; }, kIndexingMs));
    EXPECT_EQ(m.store()->favoriteCount(), 1);
}

}  // namespace

TEST(DriveRoot, AwayDrivesAreWaitedForAndTheirIndexIsReopened) {
    fixtures::TempDir tmp;
    const ChildRun child = runInPrivateMounts("DriveRoot.Child", tmp.path());
    if (!child.hadNamespace) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_TRUE(child.passed) << child.log;
}

// Run by the test above, in a mount namespace of its own.
TEST(DriveRoot, Child) {
    const char* arg = privateMountsArgument();
    if (!arg) GTEST_SKIP() << "runs only as a child of the test above";
    const std::string tmp = arg;
    MediaProcessor::initialize();
    // The computer's own disk where the desktop mounts drives, in memory.
    ASSERT_TRUE(fs::is_directory("/media"));
    ASSERT_EQ(::mount("none", "/media", "tmpfs", 0, nullptr), 0) << std::strerror(errno);
    // The drive: a file system of its own holding a library of two photos,
    // mounted (bound) wherever the test says.
    const std::string drives = tmp + "/drives", disk = drives + "/disk";
    fs::create_directories(drives);
    ASSERT_EQ(::mount("none", drives.c_str(), "tmpfs", 0, nullptr), 0) << std::strerror(errno);
    fs::create_directories(disk + "/2019");
    fs::create_directories(disk + "/2020");
    ASSERT_TRUE(fixtures::makeJPEG(disk + "/2019/a.jpg", 320, 240));
    ASSERT_TRUE(fixtures::makeJPEG(disk + "/2020/b.jpg", 320, 240));
    auto mountDrive = [&](const std::string& at) {
        return ::mount(disk.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) == 0;
    };
    // Closing lets go of the index: the unmount is not refused for long.
    auto unmountDrive = [&](const std::string& at) { return spinUntil([&] { return ::umount(at.c_str()) == 0; }); };

    // A drive's own root where the desktop mounts drives, and one mounted on
    // a folder of the user's choosing: the latter is known by the device its
    // data folder was on.
    for (const std::string& place : {std::string("/media/Photo Disk"), tmp + "/data/Photos"}) {
        SCOPED_TRACE(place);
        fs::create_directories(place);
        Settings settings;
        ASSERT_TRUE(mountDrive(place));
        {
            // Added and indexed while the drive is there, with a favourite.
            AppRun run(settings, tmp);
            run->addLibrary(place);
            ASSERT_TRUE(run->store()) << run->errorMessage().value_or("");
            ASSERT_TRUE(spinUntil([&] { return run->store()->assets().size() == 2; }, kIndexingMs));
            run->store()->setFavorite({run->store()->assets()[0].id}, true);
        }
        ASSERT_TRUE(unmountDrive(place));
        ASSERT_TRUE(entries(place).empty());
        {
            // Started with the drive away: the window waits for it, also
            // when the library is chosen again, and nothing is made.
            AppRun run(settings, tmp);
            EXPECT_FALSE(run->store());
            EXPECT_EQ(run->waitingForPath(), place);
            EXPECT_EQ(run->libraryPath(), place);
            EXPECT_FALSE(run->isReachable(place));
            run->openLibrary(place);
            EXPECT_FALSE(run->store());
            EXPECT_EQ(run->waitingForPath(), place);
            EXPECT_FALSE(run->errorMessage());
            EXPECT_TRUE(entries(place).empty());

            // The drive is mounted: the library opens by itself, on its index.
            ASSERT_TRUE(mountDrive(place));
            ASSERT_TRUE(spinUntil([&] { return run->store() != nullptr; }, fixtures::patientMs));
            expectOnTheDrive(*run, place);
        }
        ASSERT_TRUE(unmountDrive(place));
        EXPECT_TRUE(entries(place).empty()) << "made on the computer's disk";
    }

    // A library opened on a folder before its drive was mounted there (new
    // to the application, so nothing told it the folder was a drive's): a
    // stray index is made in the folder, and the drive is mounted over it.
    // The library opens again on the drive's index: after the mount, on Ctrl+R
    // (the engine finding another folder), or when chosen again.
    enum class Then { mountNoticed, lookAgain, chosenAgain };
    for (const Then then : {Then::mountNoticed, Then::lookAgain, Then::chosenAgain}) {
        const std::string place = tmp + "/elsewhere/" + std::to_string(int(then));
        SCOPED_TRACE(place);
        fs::create_directories(place);
        Settings settings;
        // Only the kernel's own table tells of the mount.
        const std::string table = then == Then::mountNoticed ? std::string() : tmp + "/table";
        fixtures::writeFile(tmp + "/table", "1 0 8:1 / / rw shared:1 - ext4 /dev/sda1 rw\n");
        AppRun run(settings, tmp, table);
        run->addLibrary(place);
        ASSERT_TRUE(run->store());
        ASSERT_TRUE(spinUntil([&] { return run->store()->status() == EngineStatus::idle(); }));
        EXPECT_EQ(run->store()->assets().size(), 0u);
        const auto stray = run->store();

        ASSERT_TRUE(mountDrive(place));
        switch (then) {
            case Then::mountNoticed: break;
            case Then::lookAgain: run->store()->rescan(); break;
            case Then::chosenAgain: run->openLibrary(place); break;
        }
        ASSERT_TRUE(spinUntil([&] { return run->store() && run->store() != stray; }, fixtures::patientMs));
        expectOnTheDrive(*run, place);
        EXPECT_FALSE(run->store()->isOffline());
        run->closeStore();
        ASSERT_TRUE(unmountDrive(place));
        EXPECT_EQ(entries(place), std::vector<std::string>{".vintrelle"});  // the stray index, untouched
        ASSERT_TRUE(spinUntil([&] { return !run->mountWatcher()->mountPoints().count(place); }));

        // Known now by the drive's device: its folder, with nothing but the
        // stray index, is no library while the drive is away.
        run->openLibrary(place);
        EXPECT_FALSE(run->store());
        EXPECT_EQ(run->waitingForPath(), place);
    }
}

// Without a namespace: the device a library's data folder was last seen on
// tells an empty folder left by its drive from a library emptied on the
// computer's own disk.
TEST(DriveRoot, AFolderLeftByTheDriveItsDataFolderWasOnIsAway) {
    fixtures::TempDir tmp;
    Settings settings;
    const std::string library = tmp / "Photos";
    fs::create_directories(library);
    struct stat st {};
    ASSERT_EQ(::stat(library.c_str(), &st), 0);
    const QString key = QString::fromStdString(library), here = QString::number(qulonglong(st.st_dev));
    auto seenOn = [&] { return settings.open()->value("libraryDevices").toMap().value(key).toString(); };
    {
        // Opened, the library is known by its data folder's device.
        AppModel m(settings.open());
        m.addLibrary(library);
        ASSERT_TRUE(m.store());
        m.closeStore();
    }
    EXPECT_EQ(seenOn(), here);
    for (const QString& device : {QString::number(qulonglong(st.st_dev) + 1), here}) {
        SCOPED_TRACE(device.toStdString());
        settings.open()->setValue("libraryDevices", QVariantMap{{key, device}});
        AppModel m(settings.open());
        // Holding only its data folder: away when that was on another device.
        EXPECT_EQ(m.isReachable(library), device == here);
        fixtures::writeFile(library + "/photo.jpg", "x");  // a folder with files is a library wherever it is
        EXPECT_TRUE(m.isReachable(library));
        fs::remove(library + "/photo.jpg");
    }
    {
        AppModel m(settings.open());
        m.removeLibrary(library);
    }
    EXPECT_FALSE(settings.open()->contains("libraryDevices"));
}
