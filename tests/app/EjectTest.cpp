// Ejecting a drive while its library is open: GIO's notice before the
// unmount closes the index, so the unmount goes through, and the library
// waits for the drive.

// GIO first: its headers use Qt's "signals" keyword as a name.
#include <gio/gio.h>

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "App/MountWatcher.h"
#include "App/PreUnmountWatcher.h"
#include "AppFixture.h"
#include "PrivateMounts.h"

// A mount as GIO's volume monitor hands it out, reduced to its root.
struct StandInMount {
    GObject parent;
    GFile* root;
};
struct StandInMountClass {
    GObjectClass parent;
};
static void stand_in_mount_iface_init(GMountIface* iface);
G_DEFINE_TYPE_WITH_CODE(StandInMount, stand_in_mount, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(G_TYPE_MOUNT, stand_in_mount_iface_init))

static void stand_in_mount_finalize(GObject* object) {
    g_clear_object(&reinterpret_cast<StandInMount*>(object)->root);
    G_OBJECT_CLASS(stand_in_mount_parent_class)->finalize(object);
}
static void stand_in_mount_class_init(StandInMountClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = stand_in_mount_finalize;
}
static void stand_in_mount_init(StandInMount*) {}
static GFile* stand_in_mount_get_root(GMount* mount) {
    return G_FILE(g_object_ref(reinterpret_cast<StandInMount*>(mount)->root));
}
static void stand_in_mount_iface_init(GMountIface* iface) { iface->get_root = stand_in_mount_get_root; }

namespace {

using namespace apptest;
namespace fs = std::filesystem;

// A volume monitor of the test's own, on which it announces unmounts as the
// desktop would.
struct Monitor {
    GVolumeMonitor* monitor = G_VOLUME_MONITOR(g_object_new(G_TYPE_VOLUME_MONITOR, nullptr));
    ~Monitor() { g_object_unref(monitor); }
    // The root is a path, or an address without a local folder.
    void willUnmount(const std::string& root) {
        auto* mount = static_cast<StandInMount*>(g_object_new(stand_in_mount_get_type(), nullptr));
        mount->root = root.find("://") == std::string::npos ? g_file_new_for_path(root.c_str())
                                                             : g_file_new_for_uri(root.c_str());
        g_signal_emit_by_name(monitor, "mount-pre-unmount", mount);
        g_object_unref(mount);
    }
};

// An application model on its own settings, mount table and volume monitor,
// started, with faces off and no library yet.
struct Desk {
    fixtures::TempDir tmp;
    Settings settings;
    Monitor gio;
    std::unique_ptr<AppModel> model;
    Desk() {
        fixtures::writeFile(tmp / "mountinfo", "1 0 8:1 / / rw shared:1 - ext4 /dev/sda1 rw\n");
        auto s = settings.open();
        s->setValue("facesEnabled", false);
        model = std::make_unique<AppModel>(std::move(s));
        AppModel::Desktop d;
        d.mountInfoPath = QString::fromStdString(tmp / "mountinfo");
        d.fstabPath = QString::fromStdString(tmp / "fstab");
        d.volumeMonitor = gio.monitor;
        d.applicationDir = tmp / "app";
        d.homeDir = tmp / "home";
        model->setDesktop(std::move(d));
        model->bootstrap();
    }
    ~Desk() { model->closeStore(); }
};

}  // namespace

TEST(PreUnmountWatcher, ReportsTheFolderOfEachMountWithOne) {
    Monitor gio;
    std::vector<std::string> heard;
    {
        PreUnmountWatcher watcher(gio.monitor);
        QObject::connect(&watcher, &PreUnmountWatcher::willUnmount,
                         [&](const std::string& point) { heard.push_back(point); });
        gio.willUnmount("/media/alice/Photo Disk");
        gio.willUnmount("/media/alice/Caf\xc3\xa9 \xe9t\xe9");  // bytes that are not UTF-8 stay as they are
        gio.willUnmount("vintrelle-nowhere://server/share");  // a share without a local folder
    }
    gio.willUnmount("/media/alice/Later");  // the watcher is gone
    EXPECT_EQ(heard, (std::vector<std::string>{"/media/alice/Photo Disk", "/media/alice/Caf\xc3\xa9 \xe9t\xe9"}));
    PreUnmountWatcher own;  // the process's own monitor
}

TEST(Eject, TheLibrarysDriveAboutToUnmountClosesItsIndex) {
    Desk desk;
    AppModel& m = *desk.model;
    const std::string drive = desk.tmp / "media/me/Family Photos Backup";
    const std::string library = drive + "/Pictures/Library";
    fs::create_directories(library);
    fs::create_directories(desk.tmp / "home");
    const std::string link = desk.tmp / "home/Photos";
    fs::create_directory_symlink(library, link);
    struct Row {
        const char* name;
        std::string library, mountPoint;
        bool closes;
    } rows[] = {
        {"the library's drive", library, drive, true},
        {"the drive written with a slash", library, drive + "/", true},
        {"the library folder is the drive", library, library, true},
        {"a drive whose name starts the same", library, desk.tmp / "media/me/Family Photos", false},
        {"a drive inside the library", library, library + "/Sub", false},
        {"the root", library, "/", false},
        {"a library reached through a link", link, drive, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m.openLibrary(row.library);
        ASSERT_TRUE(m.store());
        const auto before = m.store();
        desk.gio.willUnmount(row.mountPoint);
        if (row.closes) {
            EXPECT_FALSE(m.store());
            EXPECT_EQ(m.waitingForPath(), row.library);
            EXPECT_EQ(m.libraryPath(), row.library);
            EXPECT_EQ(before->paths().root, row.library);
        } else {
            EXPECT_EQ(m.store(), before);
            EXPECT_FALSE(m.waitingForPath());
        }
    }
    // While it waits, another notice changes nothing.
    desk.gio.willUnmount(drive);
    EXPECT_FALSE(m.store());
    EXPECT_EQ(m.waitingForPath(), link);
}

// In a mount namespace of its own (see the test below): a drive in memory
// mounted on the folder it is given, with a library on it.
TEST(Eject, Child) {
    const char* drive = privateMountsArgument();
    if (!drive) GTEST_SKIP() << "runs only as a child of the test below";
    ASSERT_EQ(::mount("none", drive, "tmpfs", 0, nullptr), 0) << std::strerror(errno);
    const std::string library = std::string(drive) + "/Pictures";
    fs::create_directories(library);

    Desk desk;
    AppModel& m = *desk.model;
    m.openLibrary(library);
    ASSERT_TRUE(m.store()) << m.errorMessage().value_or("");
    ASSERT_EQ(m.store()->paths().dataDir, library + "/.vintrelle");
    EXPECT_NE(::umount(drive), 0) << "unmounted under an open index";
    EXPECT_EQ(errno, EBUSY);

    desk.gio.willUnmount(drive);
    EXPECT_FALSE(m.store());
    EXPECT_EQ(m.waitingForPath(), library);
    EXPECT_TRUE(spinUntil([&] { return ::umount(drive) == 0; })) << "the drive stayed busy";
}

TEST(Eject, TheDriveUnmountsOnceItsLibraryHasClosed) {
    fixtures::TempDir tmp;
    const std::string drive = tmp / "drive";
    fs::create_directories(drive);
    const ChildRun child = runInPrivateMounts("Eject.Child", drive);
    if (!child.hadNamespace) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_TRUE(child.passed) << child.log;
}
