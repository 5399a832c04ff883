// The mount tables, the reachability of library folders, and the watcher's
// notice of real mounts in a private mount namespace.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "App/MountTable.h"
#include "App/MountWatcher.h"
#include "fixtures/Patience.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

TEST(MountTable, ParsesEscapesAndOptionalFields) {
    const std::string text =
        "22 27 0:21 / /proc rw,relatime - proc proc rw\n"
        "36 35 98:0 /mnt1 /mnt/My\\040Disk rw,noatime master:1 shared:7 - ext4 /dev/sd\\040b rw\n"
        "37 35 8:17 / /media/u/Back\\134slash\\011tab\\012nl rw shared:9 - vfat /dev/sdb1 rw\n"
        "38 35 8:18 / /run/media/u/odd\\9x\\ rw - exfat /dev/sdc1 rw\n"
        "broken line without separator\n"
        "39 35 8:19 / relative rw - ext4 /dev/sdd rw\n"
        "\n";
    const std::vector<MountEntry> want = {
        {"/proc", "proc", "proc"},
        {"/mnt/My Disk", "ext4", "/dev/sd b"},
        {"/media/u/Back\\slash\ttab\nnl", "vfat", "/dev/sdb1"},
        {"/run/media/u/odd\\9x\\", "exfat", "/dev/sdc1"},
    };
    EXPECT_EQ(parseMountInfo(text), want);
}

TEST(MountTable, FstabListsRealMountPointsOnly) {
    const std::string text =
        "# /etc/fstab\n"
        "UUID=1 / ext4 errors=remount-ro 0 1\n"
        "UUID=2 /mnt/Photo\\040Disk/ ext4 noauto,nofail 0 2\n"
        "UUID=3 none swap sw 0 0\n"
        "/swapfile /swap swap sw 0 0\n"
        "   \t  # indented comment\n"
        "tmpfs\t/mnt/scratch tmpfs defaults 0 0\n";
    EXPECT_EQ(parseFstabMountPoints(text), (std::vector<std::string>{"/", "/mnt/Photo Disk", "/mnt/scratch"}));
}

TEST(MountTable, PathIsOnMountComparesWholeComponents) {
    struct Case {
        const char* path;
        const char* mount;
        bool on;
    } cases[] = {
        {"/media/u/Photos/Lib", "/media/u/Photo", false},
        {"/media/u/Photo/Lib", "/media/u/Photo", true},
        {"/media/u/Photo", "/media/u/Photo", true},
        {"/media/u/Photo", "/media/u/Photo/", true},
        {"/media/u/Pho", "/media/u/Photo", false},
        {"/home/u/Pictures", "/", false},
        {"/anything", "", false},
    };
    for (const auto& c : cases) EXPECT_EQ(pathIsOnMount(c.path, c.mount), c.on) << c.path << " on " << c.mount;
}

namespace {

std::string mountLine(int id, const std::string& point) {
    return std::to_string(id) + " 1 8:1 / " + point + " rw shared:1 - ext4 /dev/sd" + std::to_string(id) + " rw\n";
}

}  // namespace

TEST(MountWatcher, DiffsTheTableAndKnowsWhichFoldersAreReachable) {
    fixtures::TempDir tmp;
    const std::string root = tmp / "root";
    const std::string fstabDisk = root + "/fstabdisk";      // listed in fstab, drive away
    const std::string stale = root + "/home";               // listed, unmounted, but holds files
    const std::string usb = root + "/usb";                  // mounted by the desktop, later unplugged
    const std::string similar = root + "/usb2";              // a neighbour with a longer name
    for (const auto& d : {fstabDisk, stale + "/u/Pictures", usb + "/Lib", similar}) fs::create_directories(d);
    const std::string info = tmp / "mountinfo";
    const std::string fstab = tmp / "fstab";
    fixtures::writeFile(fstab, "UUID=1 " + fstabDisk + " ext4 noauto 0 2\nUUID=2 " + stale + " ext4 defaults 0 2\n");
    fixtures::writeFile(info, mountLine(1, "/") + mountLine(2, usb));

    MountWatcher watcher(QString::fromStdString(info), QString::fromStdString(fstab));
    QSignalSpy gone(&watcher, &MountWatcher::unmounted);
    QSignalSpy came(&watcher, &MountWatcher::mounted);

    EXPECT_FALSE(watcher.isReachable(fstabDisk));        // an empty, unmounted fstab mount point
    EXPECT_TRUE(watcher.isReachable(stale + "/u/Pictures"));  // a stale fstab line does not lock a full folder out
    EXPECT_TRUE(watcher.isReachable(usb + "/Lib"));
    EXPECT_FALSE(watcher.isReachable(root + "/missing"));
    fs::create_symlink(fstabDisk, tmp / "link");
    EXPECT_FALSE(watcher.isReachable(tmp / "link"));    // judged by where it leads

    // The drive is unplugged; its mount point stays behind, empty.
    fs::remove_all(usb + "/Lib");
    fixtures::writeFile(info, mountLine(1, "/") + mountLine(3, fstabDisk));
    watcher.refresh();
    ASSERT_EQ(gone.size(), 1);
    EXPECT_EQ(gone[0][0].toStringList(), QStringList{QString::fromStdString(usb)});
    ASSERT_EQ(came.size(), 1);
    EXPECT_EQ(came[0][0].toStringList(), QStringList{QString::fromStdString(fstabDisk)});
    EXPECT_FALSE(watcher.isReachable(usb));             // seen mounted before
    EXPECT_TRUE(watcher.isReachable(similar));          // "usb" does not hold "usb2"
    EXPECT_TRUE(watcher.isReachable(fstabDisk));

    // Reading the same table again reports nothing.
    watcher.refresh();
    EXPECT_EQ(gone.size(), 1);
    EXPECT_EQ(came.size(), 1);
}

TEST(MountWatcher, WithoutAMountTableEveryFolderCounts) {
    fixtures::TempDir tmp;
    const std::string fstab = tmp / "fstab";
    fs::create_directories(tmp / "disk");
    fixtures::writeFile(fstab, "UUID=1 " + (tmp / "disk") + " ext4 noauto 0 2\n");
    MountWatcher watcher(QString::fromStdString(tmp / "no-such-mountinfo"), QString::fromStdString(fstab));
    EXPECT_TRUE(watcher.isReachable(tmp / "disk"));
    EXPECT_FALSE(watcher.isReachable(tmp / "nothing"));
}

namespace {

// A child in a mount namespace of its own mounts and unmounts a tmpfs when
// told; the watcher follows its table through the kernel's own notice.
class MountingChild {
public:
    explicit MountingChild(const std::string& target) {
        int toChild[2], fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(toChild[1]);
            ::close(fromChild[0]);
            char ok = 0;
            if (::unshare(CLONE_NEWNS) == 0 || ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0)
                ok = ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? 1 : 0;
            (void)!::write(fromChild[1], &ok, 1);
            char c;
            while (::read(toChild[0], &c, 1) == 1) {
                int r = c == 'm' ? ::mount("none", target.c_str(), "tmpfs", 0, nullptr) : ::umount(target.c_str());
                char done = r == 0 ? 1 : 0;
                (void)!::write(fromChild[1], &done, 1);
            }
            ::_exit(0);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        out_ = toChild[1];
        in_ = fromChild[0];
        char ok = 0;
        ready_ = pid_ > 0 && ::read(in_, &ok, 1) == 1 && ok == 1;
    }
    ~MountingChild() {
        if (out_ >= 0) ::close(out_);
        if (in_ >= 0) ::close(in_);
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return ready_; }
    bool command(char c) {
        char done = 0;
        return ::write(out_, &c, 1) == 1 && ::read(in_, &done, 1) == 1 && done == 1;
    }
    QString mountInfo() const { return QStringLiteral("/proc/%1/mountinfo").arg(pid_); }

private:
    pid_t pid_ = -1;
    int out_ = -1, in_ = -1;
    bool ready_ = false;
};

}  // namespace

TEST(MountWatcher, FollowsRealMountsThroughTheKernelsNotice) {
    fixtures::TempDir tmp;
    const std::string target = tmp / "drive";
    fs::create_directories(target);
    MountingChild child(target);
    if (!child.ready()) GTEST_SKIP() << "no private mount namespace here";

    MountWatcher watcher(child.mountInfo(), QString::fromStdString(tmp / "fstab"));
    QSignalSpy came(&watcher, &MountWatcher::mounted);
    QSignalSpy gone(&watcher, &MountWatcher::unmounted);
    ASSERT_TRUE(child.command('m'));
    ASSERT_TRUE(came.wait(fixtures::patientMs));
    EXPECT_TRUE(came[0][0].toStringList().contains(QString::fromStdString(target)));
    ASSERT_TRUE(child.command('u'));
    ASSERT_TRUE(gone.wait(fixtures::patientMs));
    EXPECT_TRUE(gone[0][0].toStringList().contains(QString::fromStdString(target)));
    // Seen mounted, now an empty folder: the drive is away.
    EXPECT_FALSE(watcher.isReachable(target));
}
