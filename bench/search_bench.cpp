// Search over 100,000 synthetic assets, as typed into the search field: the
// first search of a revision folds every path; each keystroke after it
// reuses the folds. The first search of a session finds them folded ahead.

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <thread>

#include "Core/Search/AssetSearch.h"
#include "Core/Base/WallClock.h"

using namespace vintrelle;

namespace {

constexpr int kAssets = 100000;

struct Library {
    std::vector<Asset> assets;
    std::vector<Trip> trips;
    std::vector<Person> persons;
    PersonAssets personAssets;
    std::vector<Album> albums;

    SearchSources sources(int64_t revision) const {
        return SearchSources{&trips, &persons, &personAssets, &albums, revision, 1};
    }
};

const Library& library() {
    static const Library lib = [] {
        Library lib;
        std::mt19937 rng(42);
        const char* places[] = {"Kyoto", "Roma", "Paris", "Berlin", "Z\u00fcrich", "S\u00e3o Paulo", "Home", "Garden",
                                "Caf\u00e9 Central", "Beach", "Birthday", "Wedding", "Hiking", "Snow"};
        const char* cameras[] = {"Canon EOS 5D Mark IV", "iPhone 12 Pro", "NIKON D750", "FUJIFILM X-T3", "Pixel 6"};
        const double t0 = double(WallClock::daysFromCivil(2005, 1, 1)) * 86400;
        const double span = 20.0 * 365 * 86400;
        std::uniform_real_distribution<double> when(0, span);
        lib.assets.reserve(kAssets);
        for (int i = 0; i < kAssets; ++i) {
            Asset a;
            a.id = i + 1;
            a.taken = t0 + when(rng);
            const CivilDate c = WallClock::civil(WallClock::dayNumber(a.taken));
            const bool video = rng() % 10 == 0;
            a.kind = video ? MediaKind::video : MediaKind::photo;
            a.path = std::to_string(c.y) + "/" + std::to_string(c.y) + "-" + (c.m < 10 ? "0" : "") +
                     std::to_string(c.m) + " " + places[rng() % std::size(places)] + "/" +
                     (video ? "MOV_" : "IMG_") + std::to_string(1000 + i % 9000) + (video ? ".MOV" : ".JPG");
            if (rng() % 4 != 0) a.camera = cameras[rng() % std::size(cameras)];
            a.favorite = rng() % 50 == 0;
            lib.assets.push_back(std::move(a));
        }
        for (int i = 0; i < 300; ++i) {
            Trip t;
            t.id = i + 1;
            t.autoTitle = std::string(places[i % std::size(places)]) + " Weekend";
            t.subtitle = "Region " + std::to_string(i);
            t.start = t0 + when(rng);
            t.end = t.start + 3 * 86400;
            lib.trips.push_back(std::move(t));
        }
        const char* names[] = {"Anna", "Ben", "Chlo\u00e9", "David", "Emma", "Finn", "Greta", "Hugo"};
        for (int i = 0; i < 200; ++i) {
            Person p;
            p.id = i + 1;
            p.name = i < 8 ? names[i] : "";
            p.faceCount = 50;
            lib.persons.push_back(p);
            auto& set = lib.personAssets[p.id];
            for (int k = 0; k < 50; ++k) set.insert(int64_t(rng() % kAssets) + 1);
        }
        for (int i = 0; i < 30; ++i) {
            Album al;
            al.id = i + 1;
            al.name = "Album " + std::to_string(i) + (i == 3 ? " Kyoto best" : "");
            for (int k = 0; k < 200; ++k) al.assetIDs.push_back(int64_t(rng() % kAssets) + 1);
            lib.albums.push_back(std::move(al));
        }
        return lib;
    }();
    return lib;
}

const double kToday = double(WallClock::daysFromCivil(2026, 6, 15)) * 86400 + 12 * 3600;

void run(benchmark::State& state, const char* query) {
    const Library& lib = library();
    AssetSearch search;
    const SearchSources sources = lib.sources(7);
    size_t count = search.search(lib.assets, query, sources, kToday, false).size();  // the first keystroke
    for (auto _ : state) {
        auto result = search.search(lib.assets, query, sources, kToday, false);
        count = result.size();
        benchmark::DoNotOptimize(result.data());
    }
    state.counters["matches"] = double(count);
}

// The caller builds the route's list anew for each keystroke: the folds are
// found by id rather than by position.
void freshList(benchmark::State& state, const char* query) {
    const Library& lib = library();
    AssetSearch search;
    const SearchSources sources = lib.sources(7);
    search.search(lib.assets, query, sources, kToday, false);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<Asset> list = lib.assets;
        state.ResumeTiming();
        auto result = search.search(list, query, sources, kToday, false);
        benchmark::DoNotOptimize(result.data());
    }
}

void firstKeystroke(benchmark::State& state, const char* query) {
    const Library& lib = library();
    int64_t revision = 0;
    AssetSearch search;
    for (auto _ : state) {
        auto result = search.search(lib.assets, query, lib.sources(++revision), kToday, false);
        benchmark::DoNotOptimize(result.data());
    }
}

// The first search of a session on the main thread: with every path still
// to fold, or with the folds the store has made ahead on its background
// thread while the user had yet to type (the making itself not timed).
void firstOfSession(benchmark::State& state, bool preparedAhead) {
    const Library& lib = library();
    const auto shared = std::make_shared<const AssetList>(lib.assets);
    for (auto _ : state) {
        state.PauseTiming();
        AssetSearch search;
        if (preparedAhead) {
            AssetSearch ahead;
            std::thread([&] { ahead.prepareAhead(shared, 1); }).join();
            search.adopt(std::move(ahead));
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(search.matchingIndices(shared, "kyoto", lib.sources(1), kToday, false));
    }
}

}  // namespace

BENCHMARK_CAPTURE(firstOfSession, foldedOnTheMainThread, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(firstOfSession, preparedAhead, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, oneWord, "kyoto")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, threeWords, "kyoto canon hiking")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, date, "12 march 2019")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, accentedWord, "zurich")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, broadWord, "img")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(freshList, oneWord, "kyoto")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(firstKeystroke, oneWord, "kyoto")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
