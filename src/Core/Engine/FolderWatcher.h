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
// The index, whose data folder may lie outside the library, can be followed
// apart: its folder going and coming, and the file deleted, replaced or
// written by another program.

#include <chrono>
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

    // How long nothing may change, in the library or at its index, before a
    // change at the index is reported: a library folder being deleted may
    // lose its data folder first and its photos after, and the change means
    // something else then.
    static constexpr std::chrono::milliseconds kDataQuiet{1000};

    // Also follows the index at `indexPath` and its folder: once they changed
    // and nothing changed since for kDataQuiet, `onDataChange` is called on
    // the watcher's thread. What Vintrelle itself writes there (the index's
    // content, the files beside it) is not a change. Call before start().
    void followIndex(std::string indexPath, std::function<void()> onDataChange);
    // Waits, at most `bound`, until nothing watched has changed for
    // kDataQuiet; whether it came to that.
    bool waitUntilQuiet(std::chrono::milliseconds bound) const;

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
