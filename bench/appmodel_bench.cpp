// The application model over a store of 100,000 assets: the library's grid
// content built cold, built again after an engine batch of 100 records, and a
// search keystroke from the search field to the content under the new search.
// Beside them stand their floors, to compare against rather than only read
// in milliseconds: one copy of the store's list, which a content shared with
// the screens has to make, and the store's own search for the same text.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QSettings>
#include <QThread>

#include <chrono>
#include <clocale>
#include <random>

#include "App/AppModel.h"
#include "SyntheticLibrary.h"

using namespace benchlib;

namespace {

using Clock = std::chrono::steady_clock;

struct Model {
    fixtures::TempDir dir;
    AppModel model{std::make_unique<QSettings>(QString::fromStdString(dir / "settings.conf"), QSettings::IniFormat)};
    Model() { model.setStore(loaded()); }
};

Model& model() {
    static Model* m = new Model;  // outlives the application object, so never destroyed
    return *m;
}

void BM_FloorCopyOfStoreList(benchmark::State& state) {
    const std::vector<Asset> all = loaded()->assets().toVector();
    std::shared_ptr<const std::vector<Asset>> kept;
    for (auto _ : state) {
        auto copy = std::make_shared<const std::vector<Asset>>(all);
        state.PauseTiming();
        kept = std::move(copy);  // freed outside the timing, as the content is
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FloorCopyOfStoreList)->Unit(benchmark::kMillisecond);

void BM_LibraryContentCold(benchmark::State& state) {
    AppModel& m = model().model;
    size_t sections = 0;
    for (auto _ : state) {
        state.PauseTiming();
        m.setStore(loaded());  // a new store identity: nothing cached
        state.ResumeTiming();
        sections = m.gridContent()->sections.size();
    }
    state.counters["assets"] = double(loaded()->assets().size());
    state.counters["sections"] = double(sections);
}
BENCHMARK(BM_LibraryContentCold)->Unit(benchmark::kMillisecond);

void BM_LibraryContentAfterBatch(benchmark::State& state) {
    AppModel& m = model().model;
    LibraryStore& store = *loaded();
    std::mt19937 rng(11);
    m.gridContent();
    for (auto _ : state) {
        state.PauseTiming();
        store.engineDidUpsert(changedBatch(store, rng));
        state.ResumeTiming();
        benchmark::DoNotOptimize(m.gridContent());
    }
}
BENCHMARK(BM_LibraryContentAfterBatch)->Unit(benchmark::kMillisecond);

// The keystroke's own work and the debounce's apply with the rebuild it
// causes are timed; the pause of the debounce itself is not. Each round
// alternates between the query and the query with a trailing blank: two
// texts in force, one result.
void BM_SearchKeystroke(benchmark::State& state, const char* query) {
    AppModel& m = model().model;
    // The first search of a revision folds every path once; a keystroke after it does not.
    m.setActiveSearch(query);
    m.gridContent();
    size_t found = 0;
    bool blank = false;
    for (auto _ : state) {
        const std::string text = std::string(query) + (blank ? " " : "");
        blank = !blank;
        auto t0 = Clock::now();
        m.setSearch(text);
        auto elapsed = Clock::now() - t0;
        QThread::msleep(AppModel::kSearchDebounceMs + 5);
        t0 = Clock::now();
        while (m.activeSearch() != text) QCoreApplication::processEvents(QEventLoop::AllEvents);
        found = m.gridContent()->flat->size();
        elapsed += Clock::now() - t0;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    }
    state.counters["found"] = double(found);
}
void BM_FloorStoreSearch(benchmark::State& state, const char* query) {
    LibraryStore& store = *loaded();
    store.search(store.assets(), query);
    bool blank = false;
    for (auto _ : state) {
        benchmark::DoNotOptimize(store.search(store.assets(), std::string(query) + (blank ? " " : "")));
        blank = !blank;
    }
}

#define KEYSTROKE(name, query)                                                                      \
    BENCHMARK_CAPTURE(BM_SearchKeystroke, name, query)                                              \
        ->UseManualTime()                                                                           \
        ->Iterations(16)                                                                            \
        ->Unit(benchmark::kMillisecond);                                                            \
    BENCHMARK_CAPTURE(BM_FloorStoreSearch, name, query)->Unit(benchmark::kMillisecond)
KEYSTROKE(folder, "event 1999");
KEYSTROKE(fileName, "img_4");
KEYSTROKE(year, "2015");

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
