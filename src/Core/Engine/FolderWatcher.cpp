#include "Core/Engine/FolderWatcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

namespace vintrelle {

namespace {

// Without a watch on the library folder nothing in it is followed: that is
// said, and rescans stand in for what goes unseen.
void sayUnwatched(const std::string& root, int err) {
    std::fprintf(stderr, "vintrelle: the library folder %s cannot be watched (%s): changes are found by rescans only\n",
                 root.c_str(), std::strerror(err));
}

using Clock = std::chrono::steady_clock;

constexpr uint32_t kRootMask = IN_CREATE | IN_DELETE | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                               IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
// Folders inside the library are never entered through a link, as the scan
// never enters one; the library folder itself is followed, since a library
// opened by a link's path (~/Pictures leading to a data disk) is the folder
// the link leads to.
constexpr uint32_t kDirMask = kRootMask | IN_DONT_FOLLOW;
// A directory move arrives as a pair of events; one whose partner has not come
// this long after it left the watched tree.
constexpr auto kMovePartnerWait = std::chrono::milliseconds(20);
// The index followed apart: its folder's parent for the folder's own name,
// the folder for the index's name and its own going, the file for being
// written by another program (this process holds it open and never closes
// it), cut short (this process writes it all the time, but never shortens
// it), deleted (its links counted) or moved. Added to what may already watch
// the same folder: a portable library's folder is the data folder's parent.
constexpr uint32_t kDataParentMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR | IN_MASK_ADD;
constexpr uint32_t kDataMask = kDataParentMask | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kIndexMask = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_MASK_ADD;

bool isHiddenName(const char* name) { return name[0] == '.'; }

off_t sizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Whether the first walk has put a watch on every folder; shared with the
// calls that wait for it, which may outlive the watcher.
struct Watching {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    void set() {
        {
            std::lock_guard lock(mutex);
            done = true;
        }
        cv.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return done; });
    }
};

}  // namespace

struct FolderWatcher::Impl {
    std::string root;
    OnChange onChange;
    Clock::duration latency;

    std::thread thread;
    int wakeFD = -1;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> overflowRequested{false};
    bool started = false;
    const std::shared_ptr<Watching> watching = std::make_shared<Watching>();

    // Watcher thread only.
    int inotifyFD = -1;
    int rootWD = -1;
    std::unordered_map<int, std::string> dirOf;  // watch descriptor -> absolute folder path
    struct PendingMove {
        std::string from;
        Clock::time_point at;
    };
    std::unordered_map<uint32_t, PendingMove> movesFrom;
    std::vector<std::string> batch;
    bool rescan = false;
    bool lostEvents = false;
    bool haveBatch = false;
    Clock::time_point lastDelivery = Clock::time_point::min();

    // The index followed apart; no path: not followed.
    std::string indexPath, indexName, dataDir, dataName, dataParent;
    std::function<void()> onDataChange;
    int indexWD = -1, dataWD = -1, parentWD = -1;  // watcher thread only
    off_t indexSize = 0;                            // of the file watched, when last seen
    bool dataChanged = false, rearmData = false;
    // When something watched last changed, other than by Vintrelle; 0: never.
    std::atomic<Clock::rep> lastActivity{0};
    void noteActivity() { lastActivity = Clock::now().time_since_epoch().count(); }
    Clock::duration quietFor() const {
        const Clock::rep last = lastActivity;
        return last == 0 ? Clock::duration::max() : Clock::now() - Clock::time_point(Clock::duration(last));
    }
    void watchIndex();
    bool concernsIndex(const inotify_event& e);
    void reportIndexIfDue();

    void run();
    // Watches dir and every non-hidden folder below it; when report is set,
    // also queues the paths found (files created before their folder's watch
    // existed would otherwise go unseen).
    void addTree(const std::string& dir, bool report);
    void handle(const inotify_event& e);
    void renameWatched(const std::string& from, const std::string& to);
    void unwatchTree(const std::string& dir);
    void expireMoves(bool all);
    void queue(std::string path) {
        batch.push_back(std::move(path));
        haveBatch = true;
    }
    void needRescan() {
        rescan = true;
        haveBatch = true;
    }
    void deliverIfDue();
};

void FolderWatcher::Impl::addTree(const std::string& dir, bool report) {
    std::vector<std::string> stack{dir};
    while (!stack.empty() && !stopRequested) {
        const std::string d = std::move(stack.back());
        stack.pop_back();
        const bool isRoot = d == root;
        const int wd = ::inotify_add_watch(inotifyFD, d.c_str(), isRoot ? kRootMask : kDirMask);
        if (wd < 0) {
            const int err = errno;
            if (isRoot) sayUnwatched(d, err);
            if (isRoot || err == ENOSPC) needRescan();
            continue;
        }
        dirOf[wd] = d;
        if (isRoot) rootWD = wd;
        DIR* listing = ::opendir(d.c_str());
        if (!listing) continue;
        while (dirent* e = ::readdir(listing)) {
            if (isHiddenName(e->d_name)) continue;
            const std::string path = d + "/" + e->d_name;
            struct stat st {};
            if (::lstat(path.c_str(), &st) != 0) continue;
            if (S_ISDIR(st.st_mode)) stack.push_back(path);
            if (report) queue(path);
        }
        ::closedir(listing);
    }
}

void FolderWatcher::Impl::watchIndex() {
    if (indexPath.empty()) return;
    // What stands there now: the same folder or file keeps its watch, one in
    // its place is watched afresh.
    parentWD = ::inotify_add_watch(inotifyFD, dataParent.c_str(), kDataParentMask);
    dataWD = ::inotify_add_watch(inotifyFD, dataDir.c_str(), kDataMask);
    const int before = indexWD;
    indexWD = ::inotify_add_watch(inotifyFD, indexPath.c_str(), kIndexMask);
    if (indexWD != before) indexSize = sizeOf(indexPath);
}

bool FolderWatcher::Impl::concernsIndex(const inotify_event& e) {
    if (indexPath.empty() || e.wd < 0) return false;
    const bool named = e.len > 0 && e.name[0] != '\0';
    if (e.wd == indexWD) {
        if (e.mask & ~IN_MODIFY) return true;
        // This process writes it all the time, but never makes it shorter.
        const off_t size = sizeOf(indexPath), was = std::exchange(indexSize, size);
        return size < was || size == 0;
    }
    if (e.wd == dataWD && (e.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))) return true;
    if (e.wd == dataWD && named && indexName == e.name) return true;
    return e.wd == parentWD && named && dataName == e.name;
}

void FolderWatcher::Impl::reportIndexIfDue() {
    if (!dataChanged || quietFor() < kDataQuiet) return;
    dataChanged = false;
    if (onDataChange) onDataChange();
}

void FolderWatcher::Impl::renameWatched(const std::string& from, const std::string& to) {
    for (auto& [wd, path] : dirOf) {
        if (path == from) path = to;
        else if (path.size() > from.size() && path.compare(0, from.size(), from) == 0 && path[from.size()] == '/')
            path = to + path.substr(from.size());
    }
}

void FolderWatcher::Impl::unwatchTree(const std::string& dir) {
    for (auto it = dirOf.begin(); it != dirOf.end();) {
        const std::string& p = it->second;
        if (p == dir || (p.size() > dir.size() && p.compare(0, dir.size(), dir) == 0 && p[dir.size()] == '/')) {
            ::inotify_rm_watch(inotifyFD, it->first);
            it = dirOf.erase(it);
        } else {
            ++it;
        }
    }
}

void FolderWatcher::Impl::expireMoves(bool all) {
    const auto now = Clock::now();
    for (auto it = movesFrom.begin(); it != movesFrom.end();) {
        if (all || now - it->second.at >= kMovePartnerWait) {
            // Moved out of the library: its watches would report paths that
            // are no longer below the library folder.
            unwatchTree(it->second.from);
            it = movesFrom.erase(it);
        } else {
            ++it;
        }
    }
}

void FolderWatcher::Impl::handle(const inotify_event& e) {
    if (e.mask & IN_Q_OVERFLOW) {
        lostEvents = true;
        needRescan();
        dataChanged = rearmData = !indexPath.empty();
        noteActivity();
        return;
    }
    if (concernsIndex(e)) {
        dataChanged = rearmData = true;
        noteActivity();
    } else if (e.wd != dataWD && e.wd != indexWD) {
        // The data folder's other files are Vintrelle's own.
        noteActivity();
    }
    auto dirIt = dirOf.find(e.wd);
    if (e.mask & IN_IGNORED) {
        if (dirIt != dirOf.end()) dirOf.erase(dirIt);
        if (e.wd == rootWD) {
            rootWD = -1;
            needRescan();
        }
        return;
    }
    if (e.mask & IN_UNMOUNT) {
        needRescan();
        return;
    }
    if (dirIt == dirOf.end()) return;
    if (e.wd == rootWD && (e.mask & (IN_DELETE_SELF | IN_MOVE_SELF))) {
        needRescan();
        return;
    }
    if (e.len == 0 || e.name[0] == '\0') return;  // a folder's own events: its parent reports them
    if (isHiddenName(e.name)) return;
    const std::string path = dirIt->second + "/" + e.name;

    if (e.mask & IN_ISDIR) {
        if (e.mask & IN_CREATE) {
            queue(path);
            addTree(path, true);
            return;
        }
        if (e.mask & IN_MOVED_FROM) {
            movesFrom[e.cookie] = {path, Clock::now()};
            queue(path);
            return;
        }
        if (e.mask & IN_MOVED_TO) {
            queue(path);
            if (auto m = movesFrom.find(e.cookie); m != movesFrom.end()) {
                renameWatched(m->second.from, path);
                movesFrom.erase(m);
            } else {
                addTree(path, true);  // came in from outside the library
            }
            return;
        }
    }
    queue(path);
}

void FolderWatcher::Impl::deliverIfDue() {
    if (!haveBatch) return;
    const auto now = Clock::now();
    if (lastDelivery != Clock::time_point::min() && now - lastDelivery < latency) return;
    std::vector<std::string> paths;
    paths.swap(batch);
    const bool needed = rescan;
    rescan = false;
    haveBatch = false;
    lastDelivery = now;
    if (needed || !paths.empty()) onChange(paths, needed);
}

void FolderWatcher::Impl::run() {
    inotifyFD = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFD < 0) {
        // No watching at all (too many watchers for this user): as when the
        // library folder cannot be watched.
        const int err = errno;
        watching->set();
        sayUnwatched(root, err);
        onChange({}, true);
        return;
    }
    addTree(root, false);
    watchIndex();
    watching->set();
    // A rescan asked for during the first walk (no room for watches) is
    // delivered at once like any first event.
    alignas(inotify_event) char buffer[64 * 1024];
    while (!stopRequested) {
        int timeout = -1;
        if (haveBatch) {
            auto due = lastDelivery == Clock::time_point::min() ? Clock::now() : lastDelivery + latency;
            timeout = int(std::max<int64_t>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count() + 1));
        }
        if (!movesFrom.empty()) {
            const int wait = int(kMovePartnerWait.count());
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
        if (dataChanged) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(kDataQuiet - quietFor()).count();
            const int wait = int(std::max<int64_t>(0, left + 1));
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
        if ((haveBatch || dataChanged) && timeout == 0) {
            deliverIfDue();
            reportIndexIfDue();
            continue;
        }
        pollfd fds[2] = {{inotifyFD, POLLIN, 0}, {wakeFD, POLLIN, 0}};
        const int n = ::poll(fds, 2, timeout);
        if (n < 0 && errno != EINTR) break;
        if (stopRequested) break;
        if (fds[1].revents & POLLIN) {
            uint64_t value = 0;
            if (::read(wakeFD, &value, sizeof value) < 0) {
            }
            if (overflowRequested.exchange(false)) {
                inotify_event overflow{};
                overflow.wd = -1;
                overflow.mask = IN_Q_OVERFLOW;
                handle(overflow);
            }
        }
        if (fds[0].revents & POLLIN) {
            for (;;) {
                const ssize_t len = ::read(inotifyFD, buffer, sizeof buffer);
                if (len <= 0) break;
                for (ssize_t off = 0; off < len;) {
                    const auto* e = reinterpret_cast<const inotify_event*>(buffer + off);
                    handle(*e);
                    off += ssize_t(sizeof(inotify_event) + e->len);
                }
            }
        }
        if (lostEvents && !stopRequested) {
            // Folders made while events were lost have no watch yet.
            lostEvents = false;
            if (rootWD >= 0) addTree(root, false);
        }
        if (std::exchange(rearmData, false)) watchIndex();
        expireMoves(false);
        deliverIfDue();
        reportIndexIfDue();
    }
    ::close(inotifyFD);
    inotifyFD = -1;
}

FolderWatcher::FolderWatcher(std::string root, OnChange onChange, double latencySeconds)
    : impl_(std::make_unique<Impl>()) {
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    impl_->root = std::move(root);
    impl_->onChange = std::move(onChange);
    impl_->latency = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(latencySeconds));
}

FolderWatcher::~FolderWatcher() { stop(); }

void FolderWatcher::followIndex(std::string indexPath, std::function<void()> onDataChange) {
    if (impl_->started) return;
    const std::filesystem::path index(indexPath), data = index.parent_path();
    impl_->indexName = index.filename().string();
    impl_->dataDir = data.string();
    impl_->dataName = data.filename().string();
    impl_->dataParent = data.parent_path().string();
    impl_->indexPath = std::move(indexPath);
    impl_->onDataChange = std::move(onDataChange);
}

bool FolderWatcher::waitUntilQuiet(std::chrono::milliseconds bound) const {
    const auto end = Clock::now() + bound;
    for (;;) {
        const Clock::duration quiet = impl_->quietFor();
        if (quiet >= kDataQuiet) return true;
        const auto now = Clock::now();
        if (now >= end) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(kDataQuiet - quiet, end - now));
    }
}

void FolderWatcher::start() {
    if (impl_->started) return;
    impl_->started = true;
    impl_->wakeFD = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->wakeFD < 0) {
        impl_->watching->set();
        return;
    }
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

std::function<void()> FolderWatcher::untilWatching() const {
    return [watching = impl_->watching] { watching->wait(); };
}

void FolderWatcher::stop() {
    if (!impl_->thread.joinable()) {
        impl_->watching->set();
        return;
    }
    impl_->stopRequested = true;
    const uint64_t one = 1;
    if (::write(impl_->wakeFD, &one, sizeof one) < 0) {
    }
    impl_->thread.join();
    ::close(impl_->wakeFD);
    impl_->wakeFD = -1;
    impl_->watching->set();
}

void FolderWatcher::simulateOverflow() {
    if (impl_->wakeFD < 0) return;
    impl_->overflowRequested = true;
    const uint64_t one = 1;
    if (::write(impl_->wakeFD, &one, sizeof one) < 0) {
    }
}

}  // namespace vintrelle
