// Full scans of a library of indexed photos that did not change, as every
// opening and every return of the window runs: the first on an index an
// earlier version made (no prints of the files' first bytes yet), then until
// every file is printed, then one that finds nothing to do. Then half the
// photos leave the library: a scan that finds one new photo beside them, and
// the scan that forgets them once their 30 days are over. For each, how long
// it took and the longest that a reader of the index waited meanwhile, as the
// window's queries do on the main thread.
//
// Usage: scan_bench [--photos N]
// Targets: a scan that finds nothing reads no file; no reader waits much over
// 100 ms.

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "Core/Base/MainQueue.h"
#include "Core/Engine/LibraryEngine.h"
#include "Core/Index/LibraryDB.h"
#include "Core/Index/LibraryPaths.h"
#include "EngineBench.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;
using namespace benchengine;

int main(int argc, char** argv) {
    int photos = 100000;
    for (int i = 1; i + 1 < argc; i += 2)
        if (!std::strcmp(argv[i], "--photos")) photos = std::max(2, std::atoi(argv[i + 1]));
    fixtures::TempDir dir;
    const std::string root = dir / "Lib";
    fs::create_directories(root);
    const LibraryPaths paths = LibraryPaths::resolve(root);
    paths.prepare();
    auto db = std::make_shared<LibraryDB>(paths.databasePath());
    auto folderOf = [](int i) { return std::string(i % 2 ? "kept/" : "leaving/") + std::to_string(i / 1000); };
    db->db().transaction([&] {
        for (int i = 0; i < photos; ++i) {
            const std::string rel = folderOf(i) + "/IMG_" + std::to_string(i) + ".JPG";
            const std::string bytes = "photo " + std::to_string(i) + std::string(size_t(i % 97), '.');
            fixtures::writeFile(root + "/" + rel, bytes);
            struct stat st {};
            ::stat((root + "/" + rel).c_str(), &st);
            const double mtime = double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9;
            db->db().run("INSERT INTO assets(path, kind, size, mtime, added, taken, meta_done, thumb, faces_done, "
                         "favorite) VALUES(?,0,?,?,1.7e9,?,1,2,1,?)",
                         {rel, int64_t(bytes.size()), mtime, 1.6e9 + i, int64_t(i % 10 == 0)});
        }
    });

    auto delegate = std::make_shared<Counter>();
    ManualMainQueue queue;
    LibraryEngine engine(paths, db, delegate, queue.poster());
    engine.setFacesEnabled(false);
    auto count = [&](const char* sql) { return (long long)db->db().scalarInt(sql).value_or(-1); };
    // Runs a full scan to its end with a reader beside it.
    auto scan = [&](const char* what, const std::function<std::string()>& after) {
        ReaderBeside reader(*db, photos);
        delegate->idle = false;
        const auto t0 = Clock::now();
        engine.requestScan(true, {});
        bool ended = false;
        for (const auto deadline = t0 + std::chrono::minutes(10); !ended && Clock::now() < deadline;) {
            queue.waitAndDrain(5);
            ended = !engine.isRunning() && queue.drain() == 0 && delegate->idle;
        }
        const double took = ms(Clock::now() - t0);
        const double wait = reader.stop();
        std::printf("  %s: %.0f ms, longest reader wait %.1f ms; %s\n", what, took, wait,
                    after().c_str());
        return ended;
    };
    auto printed = [&] { return std::to_string(count("SELECT COUNT(*) FROM asset_heads")) + " printed"; };

    std::printf("scan_bench: full scans of %d indexed photos\n", photos);
    if (!scan("first scan of an earlier version's index", printed)) return 1;
    // (An earlier version keeps no prints.)
    for (int i = 0; i < 50 && count("SELECT COUNT(*) FROM asset_heads") >= 0 &&
                    count("SELECT COUNT(*) FROM asset_heads") < photos;
         ++i)
        if (!scan("a scan while prints are missing", printed)) return 1;
    for (int i = 0; i < 3; ++i)
        if (!scan("a scan that finds nothing changed", printed)) return 1;

    fs::rename(root + "/leaving", dir / "away");
    if (!scan("half the photos leave", [&] { return std::to_string(count("SELECT COUNT(*) FROM absent_assets")) +
                                                    " absent"; }))
        return 1;
    fixtures::writeFile(root + "/kept/new.jpg", "a new photo");
    if (!scan("one new photo beside them", [&] { return std::to_string(count("SELECT COUNT(*) FROM assets")) +
                                                         " rows"; }))
        return 1;
    try {
        db->db().run("UPDATE absent_assets SET left_at = left_at - ?", {31 * 86400.0});
    } catch (const DBError&) {
        return 0;  // an earlier version forgets them at once
    }
    if (!scan("their 30 days over", [&] { return std::to_string(count("SELECT COUNT(*) FROM absent_assets")) +
                                                  " absent"; }))
        return 1;
    return 0;
}
