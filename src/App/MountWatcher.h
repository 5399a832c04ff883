#pragma once
// Watches the mounted file systems and answers whether a library folder can be
// reached now. The kernel flags /proc/self/mountinfo with POLLPRI whenever a
// file system is mounted or unmounted; the watcher then reads the table again
// and reports the mount points that went away and those that came.
//
// A folder is reachable when it is a directory and does not lie on a known
// mount point that is unmounted and empty. The mount points the watcher knows
// are those fstab lists and every one it has seen mounted during the run:
// while their drive is away the folder left behind is empty, and opening it
// would show an empty library instead of waiting for the drive.

#include <QObject>
#include <QString>
#include <QStringList>

#include <set>
#include <string>

class QSocketNotifier;

namespace vintrelle {

class MountWatcher final : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kMountInfo = "/proc/self/mountinfo";
    static constexpr const char* kFstab = "/etc/fstab";

    explicit MountWatcher(QString mountInfoPath = QString::fromLatin1(kMountInfo),
                          QString fstabPath = QString::fromLatin1(kFstab), QObject* parent = nullptr);
    ~MountWatcher() override;

    // Reads both tables again and signals what changed since the last read.
    // Runs by itself on the kernel's notice; a test calls it after rewriting
    // its tables.
    void refresh();

    bool isReachable(const std::string& path) const;
    // Whether a folder (its path with every link resolved) is a mount point:
    // listed in the table as mounted, or on another device than its parent.
    bool isMountPoint(const std::string& realPath) const;
    const std::set<std::string>& mountPoints() const { return mounted_; }

signals:
    // Sorted mount points; `unmounted` goes out before `mounted`.
    void unmounted(const QStringList& mountPoints);
    void mounted(const QStringList& mountPoints);

private:
    void read();

    QString mountInfoPath_;
    QString fstabPath_;
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    bool haveTable_ = false;            // false: no mount table, plain directory checks
    std::set<std::string> mounted_;
    std::set<std::string> known_;       // listed in fstab or seen mounted
};

}  // namespace vintrelle
