// Index database throughput: decoding the whole processed index (what opening
// a library does), the folder-prefix lookup the scan runs per folder, the
// integrity check every opening runs (off the main thread), reading a
// damaged index's rows from its pages (whole, and with its list of tables
// lost, so that every page is looked over for the table it fits), and making
// a damaged index again (a frame at 60 Hz is 16.7 ms).

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

#include "Core/Index/IndexRepair.h"
#include "Core/Index/IndexSalvage.h"
#include "Core/Index/LibraryDB.h"
#include "fixtures/IndexDamage.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

namespace {

constexpr int kAssets = 100000;
constexpr int kFolders = 2000;

struct Library {
    fixtures::TempDir dir;
    std::unique_ptr<LibraryDB> db;
    Library() {
        db = std::make_unique<LibraryDB>(dir / "library.sqlite");
        db->db().transaction([&] {
            for (int i = 0; i < kAssets; ++i) {
                const std::string path = "folder" + std::to_string(i % kFolders) + "/IMG_" + std::to_string(i) + ".JPG";
                db->db().run(
                    "INSERT INTO assets(path, kind, size, mtime, added, taken, width, height, lat, lon, camera, iso, "
                    "fnumber, exposure, focal, thumb, meta_done) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,1,1)",
                    {path, i % 10 == 0 ? 1 : 0, 3000000 + i, 1.6e9 + i, 1.7e9, 1.5e9 + i * 60.0, 4032, 3024,
                     i % 3 ? DBValue(38.7 + i * 1e-5) : DBValue(), i % 3 ? DBValue(-9.1) : DBValue(), "iPhone 12", 100,
                     1.6, 0.008, 4.2});
            }
        });
    }
};

Library& library() {
    static Library lib;
    return lib;
}

void BM_LoadAssets(benchmark::State& state) {
    auto& lib = library();
    size_t n = 0;
    for (auto _ : state) {
        auto all = lib.db->loadAssets();
        n = all.size();
        benchmark::DoNotOptimize(all.data());
    }
    state.counters["rows"] = double(n);
    state.counters["rows_per_s"] = benchmark::Counter(double(n) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LoadAssets)->Unit(benchmark::kMillisecond);

void BM_FolderPrefixIndex(benchmark::State& state) {
    auto& lib = library();
    int folder = 0;
    size_t rows = 0;
    for (auto _ : state) {
        auto idx = lib.db->fileIndex("folder" + std::to_string(folder++ % kFolders));
        rows += idx.size();
        benchmark::DoNotOptimize(idx.size());
    }
    state.counters["rows_per_s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FolderPrefixIndex)->Unit(benchmark::kMicrosecond);

void BM_WholeFileIndex(benchmark::State& state) {
    auto& lib = library();
    for (auto _ : state) {
        auto idx = lib.db->fileIndex(std::nullopt);
        benchmark::DoNotOptimize(idx.size());
    }
    state.counters["rows_per_s"] = benchmark::Counter(double(kAssets) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WholeFileIndex)->Unit(benchmark::kMillisecond);

void BM_QuickCheck(benchmark::State& state) {
    auto& lib = library();
    const std::string path = lib.dir / "library.sqlite";
    for (auto _ : state) benchmark::DoNotOptimize(checkIndexFile(path));
}
BENCHMARK(BM_QuickCheck)->Unit(benchmark::kMillisecond)->UseRealTime();

// The salvage alone, its rows counted: state.range(0) 1 with the file's list
// of tables spoilt.
void BM_Salvage(benchmark::State& state) {
    auto& lib = library();
    fixtures::TempDir copy;
    const std::string file = copy / "library.sqlite";
    std::filesystem::copy_file(lib.dir / "library.sqlite", file);
    if (state.range(0)) fixtures::spoilPage(file, 1, 100);
    std::vector<TableLayout> wanted = LibraryDB::schemaTables();
    wanted.push_back({"sqlite_sequence", {{"name", "TEXT", true, false}, {"seq", "INTEGER", true, false}}});
    size_t rows = 0;
    for (auto _ : state) {
        rows = 0;
        const SalvageResult found = salvageRows(file, wanted, [&](const TableLayout&, const std::vector<DBValue>&) { ++rows; });
        benchmark::DoNotOptimize(found.incomplete.size());
    }
    state.counters["rows"] = double(rows);
    state.counters["MB"] = double(std::filesystem::file_size(file)) / 1e6;
    state.counters["rows_per_s"] = benchmark::Counter(double(rows) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Salvage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RebuildIndex(benchmark::State& state) {
    auto& lib = library();
    fixtures::TempDir copy;
    const LibraryPaths paths{copy / "Lib", copy / "data", false};
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove_all(paths.dataDir);
        std::filesystem::create_directories(paths.dataDir);
        std::filesystem::copy_file(lib.dir / "library.sqlite", paths.databasePath());
        state.ResumeTiming();
        benchmark::DoNotOptimize(rebuildIndex(paths).carried.size());
    }
}
BENCHMARK(BM_RebuildIndex)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
