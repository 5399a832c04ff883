// Face pass throughput: 200 labelled photos copied at run time into a
// temporary library (never into the repository), indexed rows seeded, then
// one whole pass with the real analyser, saving and clustering. The same
// photos decoded and analysed one after another on one thread give the
// baseline the pass is compared with.
//
// Needs VINTRELLE_SHARED (the folder holding data/faces); bench/facepass_bench.sh sets it.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "Core/Faces/FaceEngine.h"
#include "Core/Engine/FacePass.h"
#include "Core/Media/MediaProcessor.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

constexpr int kPhotos = 200;

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

void BM_FacePass(benchmark::State& state) {
    const std::string shared = fixtures::sharedDataDir();
    std::vector<fs::path> photos;
    if (!shared.empty())
        for (const auto& e : fs::directory_iterator(shared + "/faces/images"))
            if (e.path().extension() == ".jpg") photos.push_back(e.path());
    MediaProcessor::initialize();
    if (photos.empty() || !FaceEngine::shared().model) {
        state.SkipWithError("needs VINTRELLE_SHARED with data/faces and the face networks");
        return;
    }
    std::sort(photos.begin(), photos.end());

    fixtures::TempDir dir;
    const std::string root = dir / "Library";
    fs::create_directories(root);
    LibraryPaths paths = LibraryPaths::resolve(root);
    paths.prepare();
    auto db = std::make_shared<LibraryDB>(paths.databasePath());
    std::vector<std::string> files;
    for (int i = 0; i < kPhotos; ++i) {
        const std::string name = "p" + std::to_string(i) + ".jpg";
        fs::copy_file(photos[size_t(i) % photos.size()], root + "/" + name);
        files.push_back(root + "/" + name);
        db->db().run("INSERT INTO assets(path, kind, size, mtime, taken, meta_done, thumb) VALUES(?,0,1,0,?,1,1)",
                     {name, double(i)});
    }

    double passSeconds = 0;
    double serialSeconds = 0;
    int64_t faces = 0;
    for (auto _ : state) {
        state.PauseTiming();
        db->db().exec("DELETE FROM faces; DELETE FROM persons; UPDATE assets SET faces_done=0");
        fs::remove_all(paths.dataDir + "/faces");
        paths.prepare();
        state.ResumeTiming();

        auto start = std::chrono::steady_clock::now();
        FacePass(paths, db, FacePassHooks{}).run();
        passSeconds += secondsSince(start);

        state.PauseTiming();
        faces = db->db().scalarInt("SELECT COUNT(*) FROM faces").value_or(0);
        start = std::chrono::steady_clock::now();
        for (const std::string& f : files)
            if (ImageRef image = MediaProcessor::loadImage(f, FacePass::maxPixel))
                benchmark::DoNotOptimize(FaceEngine::shared().analyze(*image));
        serialSeconds += secondsSince(start);
        state.ResumeTiming();
    }
    const double runs = double(state.iterations());
    state.counters["photos"] = kPhotos;
    state.counters["workers"] = FacePass::inFlight;
    state.counters["faces"] = double(faces);
    state.counters["photos_per_s"] = kPhotos * runs / passSeconds;
    state.counters["serial_photos_per_s"] = kPhotos * runs / serialSeconds;
    state.counters["speedup"] = serialSeconds / passSeconds;
}

BENCHMARK(BM_FacePass)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
