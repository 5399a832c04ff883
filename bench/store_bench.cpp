// The library store on a synthetic index of 100,000 assets in 2,000 folders:
// opening to loaded, an engine batch of 100 records (changed, new, and new
// while a screen holds the list, with what the window then reads: the folder
// tree and the sections by month) at 10,000 and 100,000 assets, so a cost
// that grows with the library shows; the folder tree and sections by month
// after a change, and the memory the loaded store holds.

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <malloc.h>

#include <clocale>
#include <memory>
#include <random>

#include "SyntheticLibrary.h"

using namespace benchlib;

namespace {

LibraryStore& loadedStore() { return *loaded(); }

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
    LibraryStore& store = *loaded(int(state.range(0)));
    std::mt19937 rng(11);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<Asset> batch = changedBatch(store, rng);
        state.ResumeTiming();
        store.engineDidUpsert(batch);
    }
}
BENCHMARK(BM_UpsertChangedBatch)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// 100 new photos, newer than everything: the whole list shifts.
void BM_UpsertNewBatch(benchmark::State& state) {
    LibraryStore& store = *loaded(int(state.range(0)));
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
BENCHMARK(BM_UpsertNewBatch)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// An import into an open window: 100 new photos of one new folder, taken
// over five days somewhere in the library's span, arrive while the grid
// holds the current list; then the window reads the folder tree and the
// sections by month. Everything the store does on the main thread for one
// batch.
void BM_ImportBatchWhileShown(benchmark::State& state) {
    LibraryStore& store = *loaded(int(state.range(0)));
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> when(0, 10 * 365 * 86400.0);
    int64_t next = 20'000'000;
    size_t sections = 0;
    std::shared_ptr<const void> shown;
    for (auto _ : state) {
        state.PauseTiming();
        shown = store.sharedAssets();  // the grid's content keeps it
        std::vector<Asset> batch;
        std::vector<int64_t> ids;
        const double around = kStart + when(rng);
        for (int i = 0; i < 100; ++i) {
            Asset a = store.assets()[size_t(i) * 7 % store.assets().size()];
            a.id = next++;
            a.path = "Import " + std::to_string(next / 100) + "/IMG_" + std::to_string(a.id) + ".JPG";
            a.taken = around + double(i) * 4320.0;
            ids.push_back(a.id);
            batch.push_back(std::move(a));
        }
        state.ResumeTiming();
        store.engineDidUpsert(batch);
        benchmark::DoNotOptimize(store.folderTree().size());
        sections = store.monthSections().size();
        state.PauseTiming();
        store.engineDidRemove(ids);
        store.folderTree();
        store.monthSections();
        state.ResumeTiming();
    }
    state.counters["sections"] = double(sections);
}
BENCHMARK(BM_ImportBatchWhileShown)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_FolderTree(benchmark::State& state) {
    LibraryStore& store = loadedStore();
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
    LibraryStore& store = loadedStore();
    size_t n = 0;
    for (auto _ : state) n = store.sectionRuns(store.assets(), Grouping::month).size();
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
