// A folder of 20,000 indexed photos renamed under the open library: how long
// the index takes to follow (from the watcher's report of the two names to
// the engine's idle, with the moved records handed to the store), and the
// longest that a reader of the index waited meanwhile, as the window's
// queries do on the main thread. The rows keep their ids; nothing is read.
// Then the same folder moved out of the library and back: its rows set aside
// and taken back whole. And, first, the scan that reads the first bytes of
// photos indexed by an earlier version.
//
// Usage: rename_bench [--photos N] [--rounds R]
// Target: the index follows a rename within 5 s; no reader waits half a second.

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

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
    int photos = 20000, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--photos")) photos = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    fixtures::TempDir dir;
    const std::string root = dir / "Lib";
    fs::create_directories(root + "/2024/Trip 0");
    const LibraryPaths paths = LibraryPaths::resolve(root);
    paths.prepare();
    auto db = std::make_shared<LibraryDB>(paths.databasePath());
    db->db().transaction([&] {
        for (int i = 0; i < photos; ++i) {
            const std::string rel = "2024/Trip 0/IMG_" + std::to_string(i) + ".JPG";
            const std::string bytes = "photo " + std::to_string(i) + std::string(size_t(i % 97), '.');
            fixtures::writeFile(root + "/" + rel, bytes);
            struct stat st {};
            ::stat((root + "/" + rel).c_str(), &st);
            const double mtime = double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9;
            const int64_t id =
                db->db().insert("INSERT INTO assets(path, kind, size, mtime, added, taken, meta_done, thumb, "
                                "faces_done) VALUES(?,0,?,?,1.7e9,?,1,1,1)",
                                {rel, int64_t(bytes.size()), mtime, 1.6e9 + i});
            // Its thumbnail, as processing left it (one picture linked under every id).
            if (i == 0) fixtures::writeFile(paths.thumbURL(id), "thumbnail");
            else fs::create_hard_link(paths.thumbURL(1), paths.thumbURL(id));
        }
    });

    auto delegate = std::make_shared<Counter>();
    ManualMainQueue queue;
    LibraryEngine engine(paths, db, delegate, queue.poster());
    engine.setFacesEnabled(false);
    auto settle = [&] {
        const auto deadline = Clock::now() + std::chrono::minutes(10);
        while (Clock::now() < deadline) {
            queue.waitAndDrain(5);
            if (!engine.isRunning() && queue.drain() == 0 && delegate->idle) return true;
        }
        return false;
    };
    delegate->idle = false;
    const auto first = Clock::now();
    engine.requestScan(true, {});
    if (!settle()) {
        std::fprintf(stderr, "the first scan never ended\n");
        return 1;
    }
    const int64_t printed = db->db().scalarInt("SELECT COUNT(*) FROM asset_heads").value_or(0);
    std::printf("rename_bench: first scan of %d photos indexed without prints: %.0f ms, %lld printed\n", photos,
                ms(Clock::now() - first), (long long)printed);

    std::printf("rename_bench: a folder of %d indexed photos renamed, %d times, then moved out and back\n", photos,
                rounds);
    double worstFollow = 0, worstWait = 0;
    const std::string outside = dir / "outside";
    for (int round = 0; round <= rounds + 1; ++round) {
        // The last two rounds take the folder out of the library and back.
        const bool out = round == rounds, back = round == rounds + 1;
        const int at = std::min(round, rounds);
        const std::string from = back ? outside : root + "/2024/Trip " + std::to_string(at);
        const std::string to = out ? outside : root + "/2024/Trip " + std::to_string(back ? at : at + 1);
        const int shown = back ? at : at + 1;
        fs::rename(from, to);
        delegate->upserted = 0;
        delegate->removed = 0;
        delegate->idle = false;

        ReaderBeside reader(*db, photos);
        const auto t0 = Clock::now();
        engine.requestScan(false, {out ? from : to});
        const bool ended = settle();
        const double follow = ms(Clock::now() - t0);
        const double wait = reader.stop();
        const int64_t under =
            db->db().scalarInt("SELECT COUNT(*) FROM assets WHERE path >= ? AND path < ? AND id <= ?",
                               {"2024/Trip " + std::to_string(shown) + "/", "2024/Trip " + std::to_string(shown) + "0",
                                photos})
                .value_or(0);
        std::printf("  %s: followed in %.0f ms (%zu records to the store, %zu removed, %lld rows in the folder), "
                    "longest reader wait %.1f ms\n",
                    out ? "moved out" : back ? "moved back" : ("renamed, round " + std::to_string(round + 1)).c_str(),
                    follow, delegate->upserted.load(), delegate->removed.load(), (long long)under,
                    wait);
        if (!ended || under != (out ? 0 : photos)) {
            std::fprintf(stderr, "the index did not follow the folder\n");
            return 1;
        }
        if (out || back) continue;
        worstFollow = std::max(worstFollow, follow);
        worstWait = std::max(worstWait, wait);
    }
    std::printf("slowest rename: %.2f s of the 5 s allowed (%.2f x), longest reader wait %.1f ms of 500 ms\n",
                worstFollow / 1000, worstFollow / 5000, worstWait);
    return 0;
}
