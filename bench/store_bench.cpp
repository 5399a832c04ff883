// The library store on a synthetic index of 100,000 assets in 2,000 folders:
// opening to loaded, an engine batch of 100 records, the folder tree,
// sections by month, and the memory the loaded store holds.

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
    LibraryStore& store = loadedStore();
    std::mt19937 rng(11);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<Asset> batch = changedBatch(store, rng);
        state.ResumeTiming();
        store.engineDidUpsert(batch);
    }
}
BENCHMARK(BM_UpsertChangedBatch)->Unit(benchmark::kMicrosecond);

// 100 new photos, newer than everything: the whole list shifts.
void BM_UpsertNewBatch(benchmark::State& state) {
    LibraryStore& store = loadedStore();
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
