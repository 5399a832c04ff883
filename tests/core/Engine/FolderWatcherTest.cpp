// The folder watcher over real inotify events in a temporary folder.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "Core/Engine/FolderWatcher.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

struct Batches {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> paths;
    int rescans = 0;
    int calls = 0;

    FolderWatcher::OnChange callback() {
        return [this](const std::vector<std::string>& p, bool rescan) {
            std::lock_guard lock(mutex);
            paths.insert(paths.end(), p.begin(), p.end());
            rescans += rescan ? 1 : 0;
            ++calls;
            cv.notify_all();
        };
    }
    bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 3s) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, timeout, pred);
    }
    // The watches are added on the watcher's thread: write a file until it is
    // reported, then forget what was reported so far.
    void waitUntilWatching(const std::string& probe) {
        for (int i = 0; i < 500 && !waitFor([&] { return sawPath(probe); }, 20ms); ++i) fixtures::writeFile(probe, "r");
        // Let the batches of the probe's own writes arrive.
        auto count = [&] {
            std::lock_guard lock(mutex);
            return calls;
        };
        for (int seen = -1; seen != count();) {
            seen = count();
            std::this_thread::sleep_for(250ms);
        }
        std::lock_guard lock(mutex);
        paths.clear();
        calls = 0;
    }
    bool sawPath(const std::string& p) { return std::find(paths.begin(), paths.end(), p) != paths.end(); }
};

struct WatchedFolder {
    fixtures::TempDir dir;
    Batches batches;
    FolderWatcher watcher{dir.path(), batches.callback(), 0.1};
    WatchedFolder(const std::vector<std::string>& folders = {}) {
        for (auto& f : folders) fs::create_directories(dir / f);
        watcher.start();
        // The watches are added on the watcher's thread: wait until the last
        // folder reports, then forget what was reported so far.
        std::string probe = dir.path();
        for (auto& f : folders)
            if (f[0] != '.') probe = dir / f;
        batches.waitUntilWatching(probe + "/ready.jpg");
    }
};

}  // namespace

TEST(FolderWatcher, FolderMadeAndFilledAtOnceIsReported) {
    WatchedFolder w;
    fixtures::writeFile(w.dir / "2024/Rome/a.jpg", "a");
    fixtures::writeFile(w.dir / "2024/Rome/b.jpg", "b");
    EXPECT_TRUE(w.batches.waitFor([&] { return w.batches.sawPath(w.dir / "2024/Rome/b.jpg"); }));
    // Later files in the new folder come through its own watch.
    fixtures::writeFile(w.dir / "2024/Rome/c.jpg", "c");
    EXPECT_TRUE(w.batches.waitFor([&] { return w.batches.sawPath(w.dir / "2024/Rome/c.jpg"); }));
    // A Latin-1 folder and file come by their bytes, as the scan indexes them.
    const std::string latin1 = w.dir / std::string("Fr\xfchling/\xe9t\xe9.jpg");
    fixtures::writeFile(latin1, "d");
    EXPECT_TRUE(w.batches.waitFor([&] { return w.batches.sawPath(latin1); }));
    EXPECT_EQ(w.batches.rescans, 0);
}

TEST(FolderWatcher, DataFolderAndHiddenPathsNeverReachTheCallback) {
    WatchedFolder w({".vintrelle/thumbs/00", ".Trash-1000/files"});
    fixtures::writeFile(w.dir / ".vintrelle/thumbs/00/1.jpg", "t");
    fixtures::writeFile(w.dir / ".vintrelle/library.sqlite", "db");
    fixtures::writeFile(w.dir / ".Trash-1000/files/x.jpg", "x");
    fixtures::writeFile(w.dir / ".hidden.jpg", "x");
    EXPECT_FALSE(w.batches.waitFor([&] { return w.batches.calls > 0; }, 400ms));
    fixtures::writeFile(w.dir / ".vintrelle-old/x.jpg", "x");  // hidden too: the scan skips it
    fixtures::writeFile(w.dir / "seen.jpg", "x");
    EXPECT_TRUE(w.batches.waitFor([&] { return w.batches.sawPath(w.dir / "seen.jpg"); }));
    for (auto& p : w.batches.paths) EXPECT_EQ(p.find("/."), std::string::npos) << p;
}

TEST(FolderWatcher, FollowsARenamedFolder) {
    WatchedFolder w({"trip/day1"});
    fs::rename(w.dir / "trip", w.dir / "Lisbon");
    EXPECT_TRUE(w.batches.waitFor([&] { return w.batches.sawPath(w.dir / "Lisbon"); }));
    fixtures::writeFile(w.dir / "Lisbon/day1/x.jpg", "x");
    EXPECT_TRUE(w.batches.waitFor([&] { return w.batches.sawPath(w.dir / "Lisbon/day1/x.jpg"); }));
    EXPECT_FALSE(w.batches.sawPath(w.dir / "trip/day1/x.jpg"));

    // Moved out of the library: no more reports from it.
    fixtures::TempDir outside;
    fs::rename(w.dir / "Lisbon", outside / "Lisbon");
    std::this_thread::sleep_for(100ms);
    fixtures::writeFile(outside / "Lisbon/day1/gone.jpg", "y");
    EXPECT_FALSE(w.batches.waitFor(
        [&] {
            return std::any_of(w.batches.paths.begin(), w.batches.paths.end(),
                               [](const std::string& p) { return p.ends_with("/gone.jpg"); });
        },
        400ms));
}

TEST(FolderWatcher, OverflowAndLosingTheRootAskForARescan) {
    WatchedFolder w({"a"});
    w.watcher.simulateOverflow();
    EXPECT_TRUE(w.batches.waitFor([&] { return w.batches.rescans == 1; }));
    fixtures::writeFile(w.dir / "a/after.jpg", "x");
    EXPECT_TRUE(w.batches.waitFor([&] { return w.batches.sawPath(w.dir / "a/after.jpg"); }));

    fixtures::TempDir elsewhere;
    fs::rename(w.dir.path(), elsewhere / "moved");
    EXPECT_TRUE(w.batches.waitFor([&] { return w.batches.rescans >= 2; }));
    fs::rename(elsewhere / "moved", w.dir.path());  // so the temporary folder cleans up
}

TEST(FolderWatcher, BurstsAreCoalescedAndStopIsPrompt) {
    fixtures::TempDir dir;
    Batches batches;
    FolderWatcher watcher(dir.path(), batches.callback(), 1.5);
    watcher.start();
    watcher.start();  // one watcher thread only
    batches.waitUntilWatching(dir / "ready.jpg");
    std::this_thread::sleep_for(1600ms);  // a quiet period
    fixtures::writeFile(dir / "first.jpg", "x");
    ASSERT_TRUE(batches.waitFor([&] { return batches.calls == 1; }, 1s));  // the first event comes at once
    for (int i = 0; i < 20; ++i) fixtures::writeFile(dir / ("b" + std::to_string(i) + ".jpg"), "x");
    EXPECT_FALSE(batches.waitFor([&] { return batches.calls > 1; }, 1s));
    EXPECT_TRUE(batches.waitFor([&] { return batches.sawPath(dir / "b19.jpg"); }, 2s));
    EXPECT_EQ(batches.calls, 2);

    const auto t0 = std::chrono::steady_clock::now();
    watcher.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);  // never waits out the latency
    watcher.stop();
}
