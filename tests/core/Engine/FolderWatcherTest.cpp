// The folder watcher over real inotify events in a temporary folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "Core/Engine/FolderWatcher.h"
#include "Core/Index/Database.h"
#include "fixtures/Patience.h"
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
    std::vector<std::chrono::steady_clock::time_point> times;  // of each call

    FolderWatcher::OnChange callback() {
        return [this](const std::vector<std::string>& p, bool rescan) {
            std::lock_guard lock(mutex);
            paths.insert(paths.end(), p.begin(), p.end());
            rescans += rescan ? 1 : 0;
            ++calls;
            times.push_back(std::chrono::steady_clock::now());
            cv.notify_all();
        };
    }
    // Ends as soon as the condition holds; the bound only catches a report
    // that never comes.
    bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 60s) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, timeout, pred);
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
        watcher.untilWatching()();
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

TEST(FolderWatcher, EveryFolderIsWatchedOnceTheWaitReturns) {
    // Enough folders that the first walk is still going when start returns.
    fixtures::TempDir dir;
    std::vector<std::string> folders;
    for (int i = 0; i < 300; ++i) folders.push_back(dir / ("2024/" + std::to_string(i)));
    for (const auto& f : folders) fs::create_directories(f);
    Batches batches;
    FolderWatcher watcher(dir.path(), batches.callback(), 0.1);
    watcher.start();
    watcher.untilWatching()();
    for (const auto& f : folders) fixtures::writeFile(f + "/new.jpg", "x");
    EXPECT_TRUE(batches.waitFor(
        [&] {
            return std::all_of(folders.begin(), folders.end(),
                               [&](const std::string& f) { return batches.sawPath(f + "/new.jpg"); });
        }));

    // Stopped during its walk, or gone without ever starting: the wait ends.
    FolderWatcher stopped(dir.path(), batches.callback());
    stopped.start();
    stopped.stop();
    stopped.untilWatching()();
    std::function<void()> wait;
    {
        FolderWatcher unstarted(dir.path(), batches.callback());
        wait = unstarted.untilWatching();
    }
    wait();
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

    // Moved out of the library: the watcher waits a moment for the other half
    // of a rename, then lets go of it. A file made in the library after one
    // made outside is reported no sooner than that one, if that one is
    // reported at all: once a round reports the outside one no more, the
    // watcher has let go.
    fixtures::TempDir outside;
    fs::rename(w.dir / "Lisbon", outside / "Lisbon");
    bool letGo = false;
    for (int i = 0; i < 100 && !letGo; ++i) {
        const std::string n = std::to_string(i);
        fixtures::writeFile(outside / ("Lisbon/day1/gone-" + n + ".jpg"), "y");
        fixtures::writeFile(w.dir / ("sync-" + n + ".jpg"), "s");
        ASSERT_TRUE(w.batches.waitFor([&] {
            if (!w.batches.sawPath(w.dir / ("sync-" + n + ".jpg"))) return false;
            letGo = std::none_of(w.batches.paths.begin(), w.batches.paths.end(),
                                 [&](const std::string& p) { return p.ends_with("/gone-" + n + ".jpg"); });
            return true;
        }));
    }
    EXPECT_TRUE(letGo);
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
    {
        // A latency far longer than any wait here: the first event is reported
        // at once, and stop does not wait out the batch still pending.
        Batches batches;
        FolderWatcher watcher(dir.path(), batches.callback(), 600);
        watcher.start();
        watcher.start();  // one watcher thread only
        watcher.untilWatching()();
        fixtures::writeFile(dir / "first.jpg", "x");
        ASSERT_TRUE(batches.waitFor([&] { return batches.sawPath(dir / "first.jpg"); }));
        fixtures::writeFile(dir / "pending.jpg", "x");
        const auto t0 = std::chrono::steady_clock::now();
        watcher.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 60s);
        watcher.stop();
        EXPECT_EQ(batches.calls, 1);
    }

    Batches batches;
    FolderWatcher watcher(dir.path(), batches.callback(), 1.5);
    watcher.start();
    watcher.untilWatching()();
    fixtures::writeFile(dir / "second.jpg", "x");
    ASSERT_TRUE(batches.waitFor([&] { return batches.calls == 1; }));
    for (int i = 0; i < 20; ++i) fixtures::writeFile(dir / ("b" + std::to_string(i) + ".jpg"), "x");
    EXPECT_TRUE(batches.waitFor([&] { return batches.sawPath(dir / "b19.jpg"); }));
    EXPECT_EQ(batches.calls, 2);
    // The burst waited out the latency after the first report.
    ASSERT_EQ(batches.times.size(), 2u);
    EXPECT_GE(batches.times[1] - batches.times[0], 1s);
}

TEST(FolderWatcher, ALibraryOpenedThroughALinkIsWatchedAsItsFolder) {
    // ~/Pictures leading to a data disk: the watcher is given the link.
    fixtures::TempDir dir;
    const std::string real = dir / "disk/Photos", link = dir / "Pictures";
    fs::create_directories(real + "/2024");
    fs::create_directories(dir / "elsewhere");
    fs::create_directory_symlink(real, link);
    fs::create_directory_symlink(dir / "elsewhere", real + "/linked");  // a link inside: not followed
    Batches batches;
    FolderWatcher watcher(link, batches.callback(), 0.1);
    watcher.start();
    watcher.untilWatching()();

    // Added through either path, a file is reported under the path the
    // library was opened by.
    fixtures::writeFile(link + "/by-link.jpg", "x");
    fixtures::writeFile(real + "/2024/by-real-path.jpg", "x");
    EXPECT_TRUE(batches.waitFor([&] {
        return batches.sawPath(link + "/by-link.jpg") && batches.sawPath(link + "/2024/by-real-path.jpg");
    }));
    fixtures::writeFile(dir / "elsewhere/outside.jpg", "x");
    fixtures::writeFile(real + "/after.jpg", "x");
    EXPECT_TRUE(batches.waitFor([&] { return batches.sawPath(link + "/after.jpg"); }));
    for (auto& p : batches.paths) EXPECT_EQ(p.find("outside.jpg"), std::string::npos) << p;
    EXPECT_EQ(batches.rescans, 0);
}

TEST(FolderWatcher, ALibraryFolderThatCannotBeWatchedAsksForARescan) {
    fixtures::TempDir dir;
    fixtures::writeFile(dir / "not-a-folder", "x");
    for (const std::string& root : {dir / "not-a-folder", dir / "missing", dir / "dangling"}) {
        SCOPED_TRACE(root);
        if (root.ends_with("dangling")) fs::create_directory_symlink(dir / "nowhere", root);
        Batches batches;
        FolderWatcher watcher(root, batches.callback(), 0.1);
        watcher.start();
        watcher.untilWatching()();
        EXPECT_TRUE(batches.waitFor([&] { return batches.rescans == 1; }));
        EXPECT_TRUE(batches.paths.empty());
    }
}

// The index, followed apart from the library: a change to it is reported
// once nothing anywhere has changed for a moment, never what Vintrelle
// writes there itself.
TEST(FolderWatcher, TheIndexIsReportedOnceItAndTheLibraryAreStill) {
    fixtures::TempDir dir;
    const std::string data = dir / ".vintrelle", index = data + "/library.sqlite";
    fs::create_directories(data);
    Database db(index);
    db.exec("CREATE TABLE t (v)");
    Batches batches, reports;
    FolderWatcher watcher(dir.path(), batches.callback(), 0.1);
    watcher.followIndex(index, [cb = reports.callback()] { cb({}, false); });
    watcher.start();
    watcher.untilWatching()();

    for (int i = 0; i < 20; ++i) db.run("INSERT INTO t VALUES(?)", {i});
    fixtures::writeFile(data + "/library.marks.tmp", "m");
    fs::rename(data + "/library.marks.tmp", data + "/library.marks");
    EXPECT_FALSE(reports.waitFor([&] { return reports.calls > 0; }, 2 * FolderWatcher::kDataQuiet));
    EXPECT_TRUE(watcher.waitUntilQuiet(0ms));

    // Another program writes the file the connection holds.
    std::ofstream(index, std::ios::app) << "written elsewhere";
    const auto written = std::chrono::steady_clock::now();
    ASSERT_TRUE(reports.waitFor([&] { return reports.calls == 1; }));
    EXPECT_GE(reports.times[0] - written, FolderWatcher::kDataQuiet);

    // The data folder deleted while photos keep going in the library (as a
    // library folder being deleted loses them): reported once they stop.
    fs::remove_all(data);
    std::chrono::steady_clock::time_point lastPhoto;
    for (int i = 0; i < 6; ++i) {
        if (i > 0) std::this_thread::sleep_for(FolderWatcher::kDataQuiet / 4);
        fixtures::writeFile(dir / ("photo-" + std::to_string(i) + ".jpg"), "x");
        lastPhoto = std::chrono::steady_clock::now();
    }
    EXPECT_FALSE(watcher.waitUntilQuiet(0ms));
    ASSERT_TRUE(reports.waitFor([&] { return reports.calls == 2; }));
    EXPECT_GE(reports.times[1] - lastPhoto, FolderWatcher::kDataQuiet);
    EXPECT_TRUE(watcher.waitUntilQuiet(std::chrono::milliseconds(fixtures::patientMs)));
}
