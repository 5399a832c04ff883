// The library store on a synthetic index of 100,000 assets in 2,000 folders:
// opening to loaded, an engine batch of 100 records, the folder tree,
// sections by month, and the memory the loaded store holds.

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <malloc.h>

#include <clocale>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "Core/Index/LibraryDB.h"
#include "Core/Engine/LibraryEngine.h"
#include "Core/Faces/FaceEngine.h"
#include "Store/LibraryStore.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

constexpr int kAssets = 100000;
constexpr int kFolders = 2000;
constexpr double kStart = 1.3e9;  // 2011

std::string folderOf(int i) {
    const int f = i % kFolders;
    return std::to_string(2011 + f / 200) + "/Event " + std::to_string(f);
}

// One pristine index, copied into a fresh library for every open. The files
// themselves do not exist, so the engine is stopped before the store starts
// it: it would otherwise look for them.
struct Template {
    fixtures::TempDir dir;
    std::string file = dir / "library.sqlite";
    Template() {
        LibraryDB db(file);
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> when(0, 10 * 365 * 86400.0);
        db.db().transaction([&] {
            for (int i = 0; i < kAssets; ++i) {
                const bool geo = i % 3 != 0;
                db.db().run(
                    "INSERT INTO assets(path, kind, size, mtime, added, taken, width, height, lat, lon, camera, iso, "
                    "fnumber, exposure, focal, thumb, meta_done, favorite) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,1,1,?)",
                    {folderOf(i) + "/IMG_" + std::to_string(i) + ".JPG", i % 10 == 0 ? 1 : 0, 3000000 + i,
                     1.6e9 + i, 1.7e9 + (i % 500) * 60.0, kStart + when(rng), 4032, 3024,
                     geo ? DBValue(38.7 + i * 1e-5) : DBValue(), geo ? DBValue(-9.1) : DBValue(), "iPhone 12", 100,
                     1.6, 0.008, 4.2, i % 50 == 0 ? 1 : 0});
            }
        });
        db.setMeta("faceVersion", FaceEngine::dataVersion);
    }
};

Template& pristine() {
    static Template t;
    return t;
}

struct OpenLibrary {
    fixtures::TempDir dir;
    std::shared_ptr<LibraryStore> store;
    // An indexed library: its data folder is already laid out.
    OpenLibrary() {
        const LibraryPaths paths = LibraryPaths::resolve(dir.path());
        paths.prepare();
        fs::copy_file(pristine().file, paths.databasePath());
    }
    void open() {
        store = LibraryStore::init(dir.path());
        store->engine()->stop();
        store->start(false);
    }
};

// A loaded store whose engine and database are closed again: the lists stay.
LibraryStore& loaded() {
    static std::unique_ptr<OpenLibrary> lib = [] {
        auto l = std::make_unique<OpenLibrary>();
        l->open();
        l->store->shutdown();
        return l;
    }();
    return *lib->store;
}

size_t heapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

void BM_OpenToLoaded(benchmark::State& state) {
    pristine();
    size_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto lib = std::make_unique<OpenLibrary>();
        malloc_trim(0);
        const size_t before = heapInUse();
        state.ResumeTiming();
        lib->open();
        state.PauseTiming();
        bytes = heapInUse() - before;
        lib->store->shutdown();
        lib.reset();
        state.ResumeTiming();
    }
    state.counters["assets"] = double(kAssets);
    state.counters["store_MB"] = double(bytes) / (1024.0 * 1024.0);
}
BENCHMARK(BM_OpenToLoaded)->Unit(benchmark::kMillisecond)->Iterations(5);

// 100 records already listed come back with new capture times (files edited).
void BM_UpsertChangedBatch(benchmark::State& state) {
    LibraryStore& store = loaded();
    std::mt19937 rng(11);
    std::uniform_int_distribution<size_t> pick(0, store.assets().size() - 1);
    std::uniform_real_distribution<double> when(0, 10 * 365 * 86400.0);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<Asset> batch;
        for (int i = 0; i < 100; ++i) {
            Asset a = store.assets()[pick(rng)];
            a.taken = kStart + when(rng);
            batch.push_back(std::move(a));
        }
        state.ResumeTiming();
        store.engineDidUpsert(batch);
    }
}
BENCHMARK(BM_UpsertChangedBatch)->Unit(benchmark::kMicrosecond);

// 100 new photos, newer than everything: the whole list shifts.
void BM_UpsertNewBatch(benchmark::State& state) {
    LibraryStore& store = loaded();
    int64_t next = 10'000'000;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<Asset> batch;
        std::vector<int64_t> ids;
        for (int i = 0; i < 100; ++i) {
            Asset a = store.assets().front();
            a.id = next++;
            a.path = "Import/IMG_" + std::to_string(a.id) + ".JPG";
            a.taken = kStart + 20 * 365 * 86400.0 + double(i);
            ids.push_back(a.id);
            batch.push_back(std::move(a));
        }
        state.ResumeTiming();
        store.engineDidUpsert(batch);
        state.PauseTiming();
        store.engineDidRemove(ids);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_UpsertNewBatch)->Unit(benchmark::kMicrosecond);

void BM_FolderTree(benchmark::State& state) {
    LibraryStore& store = loaded();
    size_t top = 0;
    for (auto _ : state) {
        state.PauseTiming();
        store.engineDidUpsert({store.assets().front()});  // a new revision, so the tree is built again
        state.ResumeTiming();
        top = store.folderTree().size();
    }
    state.counters["top_level"] = double(top);
}
BENCHMARK(BM_FolderTree)->Unit(benchmark::kMillisecond);

void BM_SectionsByMonth(benchmark::State& state) {
    LibraryStore& store = loaded();
    size_t n = 0;
    for (auto _ : state) n = store.sections(store.assets(), Grouping::month).size();
    state.counters["sections"] = double(n);
}
BENCHMARK(BM_SectionsByMonth)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
