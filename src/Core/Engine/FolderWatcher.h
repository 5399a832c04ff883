#pragma once
// Follows a library folder live: inotify with one watch per folder (new
// folders are watched as they appear), events coalesced over a latency and
// handed over in batches of absolute paths together with a "rescan needed"
// flag (events were lost, a watch could not be added, the library folder
// itself was deleted, moved or unmounted). Hidden paths, the data folder
// among them, never reach the callback. The library folder may be a link
// (its paths are reported spelled with it); links inside it are not
// followed. When the library folder itself cannot be watched, the first
// batch asks for a rescan and the reason goes to the standard error.

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vintrelle {

class FolderWatcher {
public:
    using OnChange = std::function<void(const std::vector<std::string>& paths, bool rescanNeeded)>;

    // The callback runs on the watcher's own thread, one batch at a time.
    FolderWatcher(std::string root, OnChange onChange, double latencySeconds = 1.5);
    ~FolderWatcher();
    FolderWatcher(const FolderWatcher&) = delete;
    FolderWatcher& operator=(const FolderWatcher&) = delete;

    // Does nothing when already started (or after stop). The watches are added
    // on the watcher's thread.
    void start();
    // A call that returns once every folder there when the watcher started is
    // watched (at once when watching could not begin, or after stop). Any
    // thread may make it, also after the watcher is gone. A scan that begins
    // after it returns misses nothing that the watcher does not report.
    std::function<void()> untilWatching() const;
    // Returns promptly (within about 100 ms) even during a long initial walk.
    void stop();

    // For tests: lose track as an overflowing event queue would.
    void simulateOverflow();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vintrelle
