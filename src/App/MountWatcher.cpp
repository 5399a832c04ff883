#include "App/MountWatcher.h"

#include <QFile>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>

#include "App/MountTable.h"

namespace vintrelle {
namespace {

std::optional<std::string> readText(const QString& path) {
    int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}

bool isDirectory(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

// Missing or without entries: what a drive's mount point is while the drive
// is away.
bool holdsNothing(const std::string& path) {
    std::error_code ec;
    const bool empty = std::filesystem::is_empty(path, ec);
    if (ec) return ec == std::errc::no_such_file_or_directory;
    return empty;
}

QStringList toList(const std::set<std::string>& s) {
    QStringList out;
    for (const auto& p : s) out << QString::fromStdString(p);
    return out;
}

}  // namespace

MountWatcher::MountWatcher(QString mountInfoPath, QString fstabPath, QObject* parent)
    : QObject(parent), mountInfoPath_(std::move(mountInfoPath)), fstabPath_(std::move(fstabPath)) {
    read();
    fd_ = ::open(QFile::encodeName(mountInfoPath_).constData(), O_RDONLY | O_CLOEXEC);
    if (fd_ >= 0) {
        // The table's file reports a change as an exceptional condition.
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Exception, this);
        connect(notifier_, &QSocketNotifier::activated, this, &MountWatcher::refresh);
    }
}

MountWatcher::~MountWatcher() {
    delete notifier_;
    if (fd_ >= 0) ::close(fd_);
}

void MountWatcher::read() {
    if (auto fstab = readText(fstabPath_))
        for (auto& p : parseFstabMountPoints(*fstab)) known_.insert(std::move(p));
    auto table = readText(mountInfoPath_);
    haveTable_ = table.has_value();
    mounted_.clear();
    if (!table) return;
    for (auto& e : parseMountInfo(*table)) {
        known_.insert(e.mountPoint);
        mounted_.insert(std::move(e.mountPoint));
    }
}

void MountWatcher::refresh() {
    const std::set<std::string> before = mounted_;
    read();
    std::set<std::string> gone, came;
    for (const auto& p : before)
        if (!mounted_.count(p)) gone.insert(p);
    for (const auto& p : mounted_)
        if (!before.count(p)) came.insert(p);
    if (!gone.empty()) emit unmounted(toList(gone));
    if (!came.empty()) emit mounted(toList(came));
}

bool MountWatcher::isMountPoint(const std::string& realPath) const {
    if (mounted_.count(realPath)) return true;
    return isOnDeviceOfItsOwn(realPath);
}

bool MountWatcher::isReachable(const std::string& path) const {
    if (!isDirectory(path)) return false;
    if (!haveTable_) return true;
    // A link into a drive counts by where it leads.
    const std::string real = resolvedPath(path);
    // A listed mount point whose folder holds files is not a drive's: a
    // stale fstab line must not lock a home folder out.
    for (const auto& m : known_) {
        if (mounted_.count(m)) continue;
        if ((pathIsOnMount(path, m) || (!real.empty() && pathIsOnMount(real, m))) && holdsNothing(m)) return false;
    }
    return true;
}

}  // namespace vintrelle
