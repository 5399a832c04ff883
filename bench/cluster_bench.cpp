// Clustering 20,000 synthetic faces into people, on a real index in a
// temporary folder. Faces of one person have cosines of about 0.5 with each
// other, faces of different people about 0 ± 0.09, like the face model's.
// Counters: persons found, and persons holding more than one identity.

#include <benchmark/benchmark.h>

#include <cmath>
#include <map>
#include <random>
#include <set>

#include "Core/Faces/FaceClusterer.h"
#include "Core/Index/LibraryDB.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

namespace {

constexpr int kFaces = 20000;
constexpr int kIdentities = 400;

std::vector<float> normalised(std::vector<float> v) {
    double s = 0;
    for (float x : v) s += double(x) * x;
    const float inv = float(1 / std::sqrt(s));
    for (float& x : v) x *= inv;
    return v;
}

struct SyntheticLibrary {
    fixtures::TempDir dir;
    LibraryDB db{dir / "library.sqlite"};
    std::map<int64_t, int> identityOfFace;

    SyntheticLibrary() {
        std::mt19937 rng(7);
        std::normal_distribution<float> normal(0, 1);
        std::uniform_real_distribution<double> quality(0.1, 1.0);
        std::uniform_real_distribution<float> spread(0.7f, 1.3f);
        std::uniform_int_distribution<int> who(0, kIdentities - 1);
        std::vector<std::vector<float>> centres;
        for (int i = 0; i < kIdentities; ++i) {
            std::vector<float> c(128);
            for (float& x : c) x = normal(rng);
            centres.push_back(normalised(c));
        }
        const float sigma = float(1 / std::sqrt(128.0));  // cosine to the centre about 0.71
        db.db().transaction([&] {
            for (int f = 0; f < kFaces; ++f) {
                // A photo per face: people seen together are never suggested
                // as one, and one shared photo would leave nothing to suggest.
                const int64_t asset =
                    db.db().insert("INSERT INTO assets(path, kind, size, mtime, added, faces_done) VALUES(?,?,?,?,?,1)",
                                   {"p" + std::to_string(f) + ".jpg", 0, 1, 1.0, 1.0});
                const int id = who(rng);
                const float s = sigma * spread(rng);
                std::vector<float> e = centres[size_t(id)];
                for (float& x : e) x += s * normal(rng);
                const int64_t row = db.db().insert(
                    "INSERT INTO faces(asset_id, x, y, w, h, quality, embedding) VALUES(?,?,?,?,?,?,?)",
                    {asset, 0.1, 0.1, 0.2, 0.2, quality(rng), LibraryDB::encodeEmbedding(normalised(e))});
                identityOfFace[row] = id;
            }
        });
    }

    void reset() {
        db.db().exec("UPDATE faces SET person_id=NULL");
        db.db().exec("DELETE FROM persons");
    }
    // Leaves the first `keep` faces with the person the last run gave them.
    void forgetAfter(int64_t keep) {
        db.db().run("UPDATE faces SET person_id=NULL WHERE id>?", {keep});
        db.db().exec("DELETE FROM persons WHERE id NOT IN (SELECT DISTINCT person_id FROM faces WHERE person_id IS NOT NULL)");
    }

    void report(benchmark::State& state) {
        std::map<int64_t, std::set<int>> identities;
        db.db().forEachRow("SELECT id, person_id FROM faces WHERE person_id IS NOT NULL", {}, [&](const Row& r) {
            identities[r.int64(1)].insert(identityOfFace[r.int64(0)]);
        });
        int mixed = 0;
        for (const auto& [person, ids] : identities) mixed += ids.size() > 1;
        state.counters["persons"] = double(identities.size());
        state.counters["mixed"] = mixed;
        state.counters["identities"] = kIdentities;
    }
};

SyntheticLibrary& library() {
    static SyntheticLibrary lib;
    return lib;
}

// Every face new: the first clustering of a library.
void BM_ClusterAll(benchmark::State& state) {
    auto& lib = library();
    for (auto _ : state) {
        state.PauseTiming();
        lib.reset();
        state.ResumeTiming();
        benchmark::DoNotOptimize(FaceClusterer::run(lib.db));
    }
    lib.report(state);
}
BENCHMARK(BM_ClusterAll)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// 19,000 faces already grouped and 1,000 new: a run during the face pass.
void BM_ClusterIncrement(benchmark::State& state) {
    auto& lib = library();
    lib.reset();
    FaceClusterer::run(lib.db);
    for (auto _ : state) {
        state.PauseTiming();
        lib.forgetAfter(kFaces - 1000);
        state.ResumeTiming();
        benchmark::DoNotOptimize(FaceClusterer::run(lib.db));
    }
    lib.report(state);
}
BENCHMARK(BM_ClusterIncrement)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_Suggestions(benchmark::State& state) {
    auto& lib = library();
    lib.reset();
    FaceClusterer::run(lib.db);
    const auto persons = lib.db.loadPersons();
    size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(FaceClusterer::suggestions(lib.db, persons[i++ % persons.size()].id, 4));
}
BENCHMARK(BM_Suggestions)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
