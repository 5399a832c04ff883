// Reading one photo (metadata + 480-pixel thumbnail + JPEG write) against
// the vipsthumbnail command making the same thumbnail of the same file, the
// same reading with vips' run-time compiled vector code (which the readers
// leave off, for its crashes on many threads), and the poster frame of a
// 1080p clip.
//
//   cmake -S . -B build-bench -G Ninja -DVINTRELLE_BENCH=ON && cmake --build build-bench
//   build-bench/media_bench

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>

#include <vips/vips.h>
#include <vips/vector.h>  // after vips.h, which it needs

#include "Core/Media/MediaProcessor.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

namespace MP = vintrelle::MediaProcessor;

namespace {

struct Files {
    fixtures::TempDir dir;
    std::string photo = dir / "IMG_4000x3000.jpg";
    // The same picture as a PNG, which has no shrinking while it is decoded:
    // all its scaling is vips' own.
    std::string png = dir / "IMG_4000x3000.png";
    std::string clip = dir / "clip1080.mp4";
    bool ok = false;

    Files() {
        ok = makePhoto() && fixtures::makeClip(clip, [] {
                 fixtures::ClipOptions o;
                 o.width = 1920;
                 o.height = 1080;
                 o.fps = 30;
                 o.duration = 10;
                 return o;
             }());
    }

    // A 12-megapixel picture with texture and grain (a flat test card would
    // decode unrealistically fast), with a camera's usual EXIF.
    bool makePhoto() {
        VipsImage* bands[3] = {};
        for (auto& b : bands)
            if (vips_perlin(&b, 4000, 3000, "cell_size", 96, nullptr) != 0) return false;
        VipsImage *joined = nullptr, *scaled = nullptr, *noise = nullptr, *grainy = nullptr, *pixels = nullptr;
        double a[] = {120, 110, 100}, b[] = {128, 120, 110};
        bool ok = vips_bandjoin(bands, &joined, 3, nullptr) == 0 &&
                  vips_linear(joined, &scaled, a, b, 3, nullptr) == 0 &&
                  vips_gaussnoise(&noise, 4000, 3000, "sigma", 6.0, "mean", 0.0, nullptr) == 0 &&
                  vips_add(scaled, noise, &grainy, nullptr) == 0 &&
                  vips_cast(grainy, &pixels, VIPS_FORMAT_UCHAR, nullptr) == 0 &&
                  vips_jpegsave(pixels, photo.c_str(), "Q", 92, nullptr) == 0 &&
                  vips_pngsave(pixels, png.c_str(), "compression", 1, nullptr) == 0;
        for (VipsImage* i : {bands[0], bands[1], bands[2], joined, scaled, noise, grainy, pixels})
            if (i) g_object_unref(i);
        if (!ok) return false;
        fixtures::ExifTags t;
        t.orientation = 6;
        t.dateTimeOriginal = "2023:05:06 07:08:09";
        t.make = "Canon";
        t.model = "Canon EOS R6";
        t.lensModel = "RF24-105mm F4 L IS USM";
        t.gpsLatitude = 48.8583;
        t.gpsLatitudeRef = "N";
        t.gpsLongitude = 2.2945;
        t.gpsLongitudeRef = "E";
        t.iso = {400};
        t.fnumber = 4;
        t.exposure = 1.0 / 200;
        t.focal = 50;
        return fixtures::writeExif(photo, t);
    }
};

Files& files() {
    static Files f;
    return f;
}

void BM_ProcessPhoto(benchmark::State& state) {
    if (!files().ok) return state.SkipWithError("fixtures could not be made");
    std::string thumb = files().dir / "ours.jpg";
    for (auto _ : state) {
        auto m = MP::processPhoto(files().photo, 0, thumb);
        if (!m.thumbOK) state.SkipWithError("no thumbnail");
        benchmark::DoNotOptimize(m);
    }
}

// What leaving the vector code off costs: the JPEG (0) and the PNG (1) read
// with it off, as the readers do, and on, on one thread, where it does not crash.
void BM_ProcessPhotoVectorCode(benchmark::State& state) {
    if (!files().ok) return state.SkipWithError("fixtures could not be made");
    std::string thumb = files().dir / "vector.jpg";
    const std::string& file = state.range(0) ? files().png : files().photo;
    vips_vector_set_enabled(state.range(1) ? TRUE : FALSE);
    for (auto _ : state) {
        auto m = MP::processPhoto(file, 0, thumb);
        if (!m.thumbOK) state.SkipWithError("no thumbnail");
        benchmark::DoNotOptimize(m);
    }
    vips_vector_set_enabled(FALSE);
}

// The command as a user would run it, single-threaded like our workers.
void BM_VipsthumbnailCommand(benchmark::State& state) {
    if (!files().ok) return state.SkipWithError("fixtures could not be made");
    std::string cmd = "VIPS_CONCURRENCY=1 vipsthumbnail " + fixtures::shellQuoted(files().photo) +
                      " --size 480 -o " + fixtures::shellQuoted(files().dir / "theirs.jpg[Q=74,strip]");
    for (auto _ : state) {
        if (fixtures::run(cmd) != 0) state.SkipWithError("vipsthumbnail failed");
    }
}

// The same thumbnail through the library in this process: the floor of what
// decoding and encoding cost, without process start-up.
void BM_VipsThumbnailInProcess(benchmark::State& state) {
    if (!files().ok) return state.SkipWithError("fixtures could not be made");
    std::string out = files().dir / "floor.jpg";
    for (auto _ : state) {
        VipsImage* t = nullptr;
        if (vips_thumbnail(files().photo.c_str(), &t, 480, "height", 480, "size", VIPS_SIZE_DOWN, nullptr) != 0 ||
            vips_jpegsave(t, out.c_str(), "Q", 74, "strip", TRUE, nullptr) != 0)
            state.SkipWithError("vips failed");
        if (t) g_object_unref(t);
    }
}

void BM_VideoPoster1080p(benchmark::State& state) {
    if (!files().ok) return state.SkipWithError("fixtures could not be made");
    std::string thumb = files().dir / "poster.jpg";
    for (auto _ : state) {
        auto m = MP::processVideo(files().clip, 0, thumb);
        if (!m.thumbOK) state.SkipWithError("no poster");
        benchmark::DoNotOptimize(m);
    }
}

BENCHMARK(BM_ProcessPhoto)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ProcessPhotoVectorCode)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"png", "vector"})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK(BM_VipsthumbnailCommand)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_VipsThumbnailInProcess)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_VideoPoster1080p)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// Keeps each benchmark's mean wall time so the ratios can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ms;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (!r.error_occurred) ms[r.run_name.function_name] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    MP::initialize();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& ms = reporter.ms;
    auto ratio = [&](const char* a, const char* b) {
        if (ms.count(a) && ms.count(b) && ms[b] > 0)
            std::printf("%s / %s = %.2f\n", a, b, ms[a] / ms[b]);
    };
    ratio("BM_ProcessPhoto", "BM_VipsthumbnailCommand");
    ratio("BM_ProcessPhoto", "BM_VipsThumbnailInProcess");
    benchmark::Shutdown();
    return 0;
}
