// Face pass throughput: labelled photos copied at run time into a temporary
// library (never into the repository), indexed rows seeded, then one whole
// pass with the real analyser, saving and clustering. The same photos
// decoded and analysed one at a time, in the same run, as a single analysis
// runs (with OpenCV's own threads), give the baseline the pass is compared
// with ("speedup"); one at a time on a single thread gives
// "speedup_vs_one_thread".
//
//   BM_FacePass        200 photos, the labelled ones over and over
//   BM_FacePass12MP    each labelled photo enlarged to a 4000 x 3000 JPEG
//
// Both report the resident memory before the pass, at its peak and after
// it. Targets: speedup at least 4.5 on 8 cores.
//
// Needs VINTRELLE_SHARED (the folder holding data/faces); bench/facepass_bench.sh sets it.

#include <sys/stat.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include <opencv2/core.hpp>
#include <vips/vips.h>

#include "Core/Engine/FacePass.h"
#include "Core/Faces/FaceEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Resident set (VmRSS) or its peak so far (VmHWM) of this process, in MB.
double memoryMB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.starts_with(field)) return std::stod(line.substr(std::string(field).size() + 1)) / 1024.0;
    return 0;
}

std::vector<fs::path> labelledPhotos() {
    std::vector<fs::path> photos;
    const std::string shared = fixtures::sharedDataDir();
    if (!shared.empty() && fs::is_directory(shared + "/faces/images"))
        for (const auto& e : fs::directory_iterator(shared + "/faces/images"))
            if (e.path().extension() == ".jpg") photos.push_back(e.path());
    std::sort(photos.begin(), photos.end());
    return photos;
}

// The photo scaled to cover width x height, cut to it around its centre and
// saved as a JPEG of camera quality.
bool enlarge(const fs::path& from, const std::string& to, int width, int height) {
    VipsImage* in = vips_image_new_from_file(from.c_str(), nullptr);
    if (!in) return false;
    const double scale = std::max(double(width) / vips_image_get_width(in), double(height) / vips_image_get_height(in));
    VipsImage* big = nullptr;
    VipsImage* cut = nullptr;
    bool ok = vips_resize(in, &big, scale, nullptr) == 0 &&
              vips_extract_area(big, &cut, (vips_image_get_width(big) - width) / 2,
                                (vips_image_get_height(big) - height) / 2, width, height, nullptr) == 0 &&
              vips_jpegsave(cut, to.c_str(), "Q", 90, nullptr) == 0;
    for (VipsImage* i : {in, big, cut})
        if (i) g_object_unref(i);
    if (!ok) vips_error_clear();
    return ok;
}

void runPass(benchmark::State& state, const std::vector<fs::path>& sources, int photos, int width, int height) {
    MediaProcessor::initialize();
    if (sources.empty() || !FaceEngine::shared().model) {
        state.SkipWithError("needs VINTRELLE_SHARED with data/faces and the face networks");
        return;
    }
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts from here
    fixtures::TempDir dir;
    const std::string root = dir / "Library";
    fs::create_directories(root);
    LibraryPaths paths = LibraryPaths::resolve(root);
    paths.prepare();
    auto db = std::make_shared<LibraryDB>(paths.databasePath());
    std::vector<std::string> files;
    for (int i = 0; i < photos; ++i) {
        const std::string name = "p" + std::to_string(i) + ".jpg";
        const fs::path& source = sources[size_t(i) % sources.size()];
        if (width > 0) {
            if (!enlarge(source, root + "/" + name, width, height)) {
                state.SkipWithError("could not make the enlarged photos");
                return;
            }
        } else {
            fs::copy_file(source, root + "/" + name);
        }
        files.push_back(root + "/" + name);
        // As the scan saw the file: the pass reads only what is still so.
        struct stat st {};
        ::stat((root + "/" + name).c_str(), &st);
        db->db().run("INSERT INTO assets(path, kind, size, mtime, taken, meta_done, thumb) VALUES(?,0,?,?,?,1,1)",
                     {name, int64_t(st.st_size), double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9,
                      double(i)});
    }

    // One photo at a time, as a single analysis runs: on one thread, and
    // with OpenCV's threads for each forward.
    auto oneAtATime = [&](int threads) {
        const int engineThreads = cv::getNumThreads();
        cv::setNumThreads(threads);
        const auto start = std::chrono::steady_clock::now();
        for (const std::string& f : files)
            if (ImageRef image = MediaProcessor::loadImage(f, FacePass::maxPixel))
                benchmark::DoNotOptimize(FaceEngine::shared().analyze(*image));
        const double seconds = secondsSince(start);
        cv::setNumThreads(engineThreads);
        return seconds;
    };

    double passSeconds = 0, serialSeconds = 0, oneThreadSeconds = 0;
    double rssBefore = 0, rssAfter = 0;
    int64_t faces = 0;
    for (auto _ : state) {
        state.PauseTiming();
        db->db().exec("DELETE FROM faces; DELETE FROM persons; UPDATE assets SET faces_done=0");
        fs::remove_all(paths.dataDir + "/faces");
        paths.prepare();
        rssBefore = memoryMB("VmRSS:");
        state.ResumeTiming();

        auto start = std::chrono::steady_clock::now();
        FacePass(paths, db, FacePassHooks{}).run();
        passSeconds += secondsSince(start);

        state.PauseTiming();
        rssAfter = memoryMB("VmRSS:");
        faces = db->db().scalarInt("SELECT COUNT(*) FROM faces").value_or(0);
        serialSeconds += oneAtATime(cv::getNumThreads());
        oneThreadSeconds += oneAtATime(1);
        FaceEngine::shared().releaseWorkingMemory();
        state.ResumeTiming();
    }
    const double runs = double(state.iterations());
    state.counters["photos"] = photos;
    state.counters["workers"] = FacePass::workers();
    state.counters["cv_threads"] = cv::getNumThreads();
    state.counters["faces"] = double(faces);
    state.counters["photos_per_s"] = photos * runs / passSeconds;
    state.counters["serial_photos_per_s"] = photos * runs / serialSeconds;
    state.counters["speedup"] = serialSeconds / passSeconds;
    state.counters["speedup_vs_one_thread"] = oneThreadSeconds / passSeconds;
    state.counters["rss_before_mb"] = rssBefore;
    state.counters["rss_after_mb"] = rssAfter;
    state.counters["rss_peak_mb"] = memoryMB("VmHWM:");
}

void BM_FacePass(benchmark::State& state) { runPass(state, labelledPhotos(), 200, 0, 0); }

void BM_FacePass12MP(benchmark::State& state) { runPass(state, labelledPhotos(), 62, 4000, 3000); }

BENCHMARK(BM_FacePass)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_FacePass12MP)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
