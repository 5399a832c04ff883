// The copy of the user's marks on a large library: 100,000 photos, 5,000 of
// them favourites, 500 albums of 40 photos, 20,000 faces of 200 named people,
// 100 faces taken out of people and 100 edited trips. What reading the marks
// and writing the copy whole cost (as the opening does when the copy is
// behind, and now and then to fold its journal in); what one change costs
// the keeper, in time and in bytes written (its rows added to the copy);
// what a change that changed no mark costs; the longest the main thread
// waits for the index beside the keeper; and what reading the copy back and
// putting it into an empty index (a rebuild from an emptied index) cost.
// Targets: a change writes under 1 MB, a change of no mark takes under
// 20 ms, and the main thread never waits more than 10 ms.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "Core/Index/LibraryDB.h"
#include "Core/Index/MarksCopy.h"
#include "Core/Index/MarksFile.h"
#include "Core/Index/MarksKeeper.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

namespace {

constexpr int kAssets = 100000;
constexpr int kFavourites = 5000;
constexpr int kAlbums = 500;
constexpr int kMembers = 40;
constexpr int kPersons = 200;
constexpr int kFaces = 20000;
constexpr int kLocked = 100;
constexpr int kTrips = 100;

std::string pathOf(int i) { return std::to_string(2011 + i % 10) + "/Event " + std::to_string(i % 2000) + "/IMG_" + std::to_string(i) + ".JPG"; }

struct Library {
    fixtures::TempDir dir;
    LibraryPaths paths{dir / "Lib", dir / "data", false};
    std::shared_ptr<LibraryDB> db;
    Library() {
        std::filesystem::create_directories(paths.dataDir);
        db = std::make_shared<LibraryDB>(paths.databasePath());
        Database& d = db->db();
        d.transaction([&] {
            for (int i = 1; i <= kAssets; ++i)
                d.run("INSERT INTO assets(id, path, kind, size, mtime, taken, favorite, thumb, meta_done, faces_done, "
                      "added) VALUES(?,?,0,?,1.6e9,?,?,1,1,1,1.7e9)",
                      {i, pathOf(i), 3000000 + i, 1.5e9 + i * 60.0, i % (kAssets / kFavourites) == 0});
            for (int a = 1; a <= kAlbums; ++a) {
                d.run("INSERT INTO albums(id, name, created) VALUES(?,?,?)", {a, "Album " + std::to_string(a), 1.7e9 + a});
                for (int m = 0; m < kMembers; ++m)
                    d.run("INSERT INTO album_assets(album_id, asset_id, added) VALUES(?,?,?)",
                          {a, 1 + (a * 977 + m * 131) % kAssets, 1.7e9 + a + m * 0.0001});
            }
            for (int p = 1; p <= kPersons; ++p)
                d.run("INSERT INTO persons(id, name, created) VALUES(?,?,?)", {p, "Person " + std::to_string(p), 1.7e9});
            const DBBlob print = LibraryDB::encodeEmbedding(std::vector<float>(128, 0.088f));
            for (int f = 0; f < kFaces + kLocked; ++f) {
                const bool locked = f >= kFaces;
                d.run("INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id, locked) "
                      "VALUES(?,0.2,0.3,0.1,0.12,0.8,?,?,?)",
                      {1 + (f * 7) % kAssets, print, locked ? DBValue() : DBValue(1 + f % kPersons), locked});
            }
            for (int t = 0; t < kTrips; ++t)
                d.run("INSERT INTO trips(title, custom_title, start, end, hidden, cover_asset) VALUES(?,?,?,?,?,?)",
                      {"Trip", "Trip " + std::to_string(t), 1.5e9 + t * 1e6, 1.5e9 + t * 1e6 + 5e5, t % 2,
                       1 + t * 13});
        });
    }
};

Library& library() {
    static Library lib;
    return lib;
}

const Marks& marks() {
    static const Marks m = readMarks(library().db->db());
    return m;
}

void BM_ReadMarks(benchmark::State& state) {
    Database& d = library().db->db();
    for (auto _ : state) benchmark::DoNotOptimize(readMarks(d).files.size());
    state.counters["photos_named"] = double(marks().files.size());
}
BENCHMARK(BM_ReadMarks)->Unit(benchmark::kMillisecond);

// What a query of the main thread waits while the marks are read beside it:
// the reading lets go of the index between windows of rows.
void BM_QueryBesideTheReading(benchmark::State& state) {
    Database& d = library().db->db();
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) benchmark::DoNotOptimize(readMarks(d).files.size());
    });
    double longest = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(d.scalarInt("SELECT COUNT(*) FROM albums"));
        longest = std::max(longest, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    done = true;
    reader.join();
    state.counters["longest_ms"] = longest;
}
BENCHMARK(BM_QueryBesideTheReading)->Unit(benchmark::kMicrosecond)->Iterations(2000);

void BM_WriteCopyWholeAndFlushed(benchmark::State& state) {
    const std::string path = marksCopyPath(library().paths);
    for (auto _ : state) writeMarksCopy(path, marks());
    state.counters["copy_bytes"] = double(std::filesystem::file_size(path));
}
BENCHMARK(BM_WriteCopyWholeAndFlushed)->Unit(benchmark::kMillisecond);

void BM_ReadCopyBack(benchmark::State& state) {
    const std::string path = marksCopyPath(library().paths);
    writeMarksCopy(path, marks());
    for (auto _ : state) benchmark::DoNotOptimize(readMarksCopy(path).marks.files.size());
}
BENCHMARK(BM_ReadCopyBack)->Unit(benchmark::kMillisecond);

// Bytes this process has written through write() and its kin so far.
double bytesWritten() {
    std::ifstream io("/proc/self/io");
    std::string key;
    double value = 0;
    while (io >> key >> value)
        if (key == "wchar:") return value;
    return 0;
}

// One change (a favourite) going through the keeper, from the report of the
// change to the copy on the disk, with no delay before it; and what the
// keeper wrote for it.
void BM_KeeperWritesAChange(benchmark::State& state) {
    Library& lib = library();
    MarksKeeper keeper(lib.db, lib.paths, std::chrono::milliseconds(0));
    keeper.open();
    keeper.waitIdle(std::chrono::minutes(5));
    bool on = true;
    double written = 0;
    for (auto _ : state) {
        lib.db->setFavorite({7}, on = !on);
        const double before = bytesWritten();
        keeper.changed();
        keeper.waitIdle(std::chrono::minutes(5));
        written += bytesWritten() - before;
    }
    // The keeper's own writes: the copy's, and the index's header when the
    // change came in a second of its own.
    state.counters["bytes_per_change"] = written / double(state.iterations());
}
BENCHMARK(BM_KeeperWritesAChange)->Unit(benchmark::kMillisecond)->UseRealTime();

// A report that changed nothing of the marks (the engine's people updates
// mostly): nothing written.
void BM_KeeperFindsNothingChanged(benchmark::State& state) {
    Library& lib = library();
    MarksKeeper keeper(lib.db, lib.paths, std::chrono::milliseconds(0));
    keeper.open();
    keeper.waitIdle(std::chrono::minutes(5));
    const double before = bytesWritten();
    for (auto _ : state) {
        keeper.changed();
        keeper.waitIdle(std::chrono::minutes(5));
    }
    state.counters["bytes_per_check"] = (bytesWritten() - before) / double(state.iterations());
}
BENCHMARK(BM_KeeperFindsNothingChanged)->Unit(benchmark::kMillisecond)->UseRealTime();

// What the main thread waits for the index while the keeper works beside
// it: the opening (every mark read and compared with the copy, which follows
// already: the library's first opening, which gives the index its identity,
// is done before), then fifty changes of favourites, albums and names made
// on the main thread as the store makes them, each followed to the copy by
// the keeper. The longest of the main thread's small reads meanwhile (its
// own changes are not waits).
void BM_MainThreadBesideTheKeeper(benchmark::State& state) {
    Library& lib = library();
    Database& d = lib.db->db();
    double longest = 0;
    auto query = [&] {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(d.scalarInt("SELECT COUNT(*) FROM albums"));
        longest = std::max(longest,
                           std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    };
    double opening = 0, changes = 0;
    {
        MarksKeeper first(lib.db, lib.paths, std::chrono::milliseconds(0));
        first.open();
        first.waitIdle(std::chrono::minutes(5));
    }
    for (auto _ : state) {
        MarksKeeper keeper(lib.db, lib.paths, std::chrono::milliseconds(0));
        keeper.open();
        while (!keeper.waitIdle(std::chrono::milliseconds(0))) {
            query();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        opening = std::max(opening, std::exchange(longest, 0.0));
        for (int i = 0; i < 50; ++i) {
            if (i % 3 == 0) lib.db->setFavorite({int64_t(11 + i)}, i % 2 == 0);
            else if (i % 3 == 1) lib.db->addToAlbum(1 + i, {int64_t(50 + i)});
            else lib.db->renamePerson(1 + i, "Renamed " + std::to_string(i));
            keeper.changed();
            do {
                query();
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            } while (!keeper.waitIdle(std::chrono::milliseconds(0)));
        }
        changes = std::max(changes, std::exchange(longest, 0.0));
    }
    state.counters["longest_opening_ms"] = opening;
    state.counters["longest_change_ms"] = changes;
}
BENCHMARK(BM_MainThreadBesideTheKeeper)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// A rebuild from an emptied index: every mark put into an empty index.
void BM_RestoreIntoAnEmptyIndex(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fixtures::TempDir dir;
        LibraryDB fresh(dir / "library.sqlite");
        fresh.db().exec("PRAGMA foreign_keys=OFF");
        state.ResumeTiming();
        n = restoreMarks(fresh.db(), marks(), {}).marks;
    }
    state.counters["marks"] = double(n);
}
BENCHMARK(BM_RestoreIntoAnEmptyIndex)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
