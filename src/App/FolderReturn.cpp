#include "App/FolderReturn.h"

#include <QSocketNotifier>

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "Core/Index/LibraryPaths.h"

namespace vintrelle {

namespace {

// Around the folder while it is away: only what may be its return.
constexpr uint32_t kAround = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF;
// In it: every write counts, a file growing as much as one arriving.
constexpr uint32_t kInside = kAround | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB;

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Where the folder's own index is, without making anything (opening the
// library would make a data folder): its data folder's, or, for a folder this
// user cannot write, the one kept on this computer for it.
std::string indexOf(const std::string& path) {
    const std::string inside = path + "/" + LibraryPaths::kDataFolderName;
    if (isDirectory(inside) || ::access(path.c_str(), W_OK) == 0) return inside + "/library.sqlite";
    return LibraryPaths::applicationSupportLibraries() + "/" + LibraryPaths::fallbackFolderName(path) +
           "/library.sqlite";
}

}  // namespace

FolderReturnWatch::FolderReturnWatch(std::string path, QObject* parent) : QObject(parent), path_(std::move(path)) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) {
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { readChanges(); });
    }
    // Precise: a report before kStillMs would not find the folder still.
    still_.setTimerType(Qt::PreciseTimer);
    still_.setSingleShot(true);
    connect(&still_, &QTimer::timeout, this, &FolderReturnWatch::checkStill);
    arm();
    sinceChange_.start();
    still_.start(kStillMs);
}

FolderReturnWatch::~FolderReturnWatch() {
    delete notifier_;
    if (fd_ >= 0) ::close(fd_);
}

bool FolderReturnWatch::holdsItsIndex(const std::string& path) {
    return isDirectory(path) && isFile(indexOf(path));
}

bool FolderReturnWatch::isStill() {
    readChanges();
    return sinceChange_.elapsed() >= kStillMs;
}

void FolderReturnWatch::checkStill() {
    readChanges();
    const qint64 left = kStillMs - sinceChange_.elapsed();
    if (left > 0) still_.start(int(left));
    else emit settled();
}

void FolderReturnWatch::watch(const std::string& dir, uint32_t mask) {
    if (fd_ < 0) return;
    const int wd = ::inotify_add_watch(fd_, dir.c_str(), mask | IN_ONLYDIR | IN_DONT_FOLLOW);
    if (wd >= 0) watched_[wd] = dir;
}

// Each folder is watched before it is listed: a folder made in it after the
// listing is reported, one made before is listed.
void FolderReturnWatch::watchTree(const std::string& dir) {
    std::vector<std::string> pending{dir};
    while (!pending.empty()) {
        const std::string current = std::move(pending.back());
        pending.pop_back();
        watch(current, kInside);
        DIR* d = ::opendir(current.c_str());
        if (!d) continue;
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            const std::string child = current + "/" + e->d_name;
            struct stat st {};
            if (e->d_type == DT_DIR || (e->d_type == DT_UNKNOWN && ::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
                pending.push_back(child);
        }
        ::closedir(d);
    }
}

void FolderReturnWatch::arm() {
    // A folder still there keeps its watch (the same descriptor comes back
    // for it); one deleted and made again under the same name is another
    // folder, watched afresh.
    std::unordered_map<int, std::string> before;
    before.swap(watched_);
    folderWatch_ = -1;
    if (isDirectory(path_)) {
        watchTree(path_);
        for (const auto& [wd, dir] : watched_)
            if (dir == path_) folderWatch_ = wd;
        const std::string data = std::filesystem::path(indexOf(path_)).parent_path().string();
        if (isDirectory(data)) watch(data, kInside);
    }
    if (folderWatch_ < 0) {
        std::filesystem::path nearest(path_);
        while (nearest.has_relative_path() && !isDirectory(nearest.string())) nearest = nearest.parent_path();
        watch(nearest.string(), kAround);
    }
    for (const auto& [wd, dir] : before)
        if (!watched_.count(wd)) ::inotify_rm_watch(fd_, wd);
}

bool FolderReturnWatch::readChanges() {
    if (fd_ < 0) return false;
    bool changed = false, rearm = false;
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + e->len);
            if (e->mask & IN_Q_OVERFLOW) {
                changed = rearm = true;
                continue;
            }
            const auto dir = watched_.find(e->wd);
            // What a watch given up reports last.
            if (dir == watched_.end()) continue;
            changed = true;
            if (e->mask & IN_IGNORED) {
                if (e->wd == folderWatch_) rearm = true;
                watched_.erase(dir);
                continue;
            }
            // Away, anything near the folder may be its return; there, what
            // comes into it is followed without watching it all again.
            if (folderWatch_ < 0 || (e->wd == folderWatch_ && (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF)))) {
                rearm = true;
            } else if ((e->mask & IN_ISDIR) && (e->mask & (IN_CREATE | IN_MOVED_TO)) && e->len > 0) {
                watchTree(dir->second + "/" + e->name);
            }
        }
    }
    if (rearm) arm();
    if (changed) {
        sinceChange_.restart();
        still_.start(kStillMs);
    }
    return changed;
}

}  // namespace vintrelle
