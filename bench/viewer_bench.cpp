// The viewer's photo pane on real files: the time from a step to the
// thumbnail on screen and to the full image, for 12-MP JPEGs and 12-MP HEICs
// stored as phones store them (a grid of 512-pixel tiles), with the engine
// idle and while it indexes a new batch; the HEIC's full image, decoded on
// libheif's own threads, against the one-thread decode of the same files;
// the memory the full-image cache holds after stepping through 50 photos;
// and libheif's decode of a tiled HEIC on 1, 2, 4 and 8 threads.
//
// Run: build/viewer_bench [--photos N]. Prints one JSON object per figure.

// glib's headers come before Qt's, whose "signals" keyword they use as a name.
#include <libheif/heif.h>
#include <vips/vips.h>

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Core/Engine/LibraryEngine.h"
#include "Core/Media/HeifFullImage.h"
#include "Core/Media/MediaProcessor.h"
#include "Store/FullImageCache.h"
#include "Store/LibraryStore.h"
#include "UI/Viewer/ViewerPhoto.h"
#include "UI/Viewer/ZoomableImage.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

bool writeJPEG(const std::string& path, int w, int h, unsigned seed) {
    std::vector<uint8_t> rgb = fixtures::photoPixels(w, h, seed);
    VipsImage* img = vips_image_new_from_memory(rgb.data(), rgb.size(), w, h, 3, VIPS_FORMAT_UCHAR);
    if (!img) return false;
    const int rc = vips_jpegsave(img, path.c_str(), "Q", 90, nullptr);
    g_object_unref(img);
    return rc == 0;
}

// ---- measuring ------------------------------------------------------------------

void print(const std::string& json) { std::printf("%s\n", json.c_str()); std::fflush(stdout); }

bool spinUntil(const std::function<bool()>& done, int ms = 20000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

long rssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

struct Steps {
    std::vector<double> thumbMs, fullMs, shownMs, bareMs;
    int sameFrame = 0;
};

// Steps onto each asset with nothing prefetched (a jump, or a step faster
// than the prefetch): the thumbnail must be there in the step's own frame;
// the full image is timed until it is decoded and until it is painted.
Steps stepThrough(ViewerPhoto& pane, LibraryStore& store, FullImageCache& cache, const std::vector<Asset>& list,
                  bool warmThumbs) {
    Steps s;
    for (const Asset& a : list) {
        // The yardstick: the photo readers' decode of the same file, in this run.
        QElapsedTimer bare;
        bare.start();
        MediaProcessor::loadImage(store.paths().root + "/" + a.path, FullImageCache::maxPixel);
        s.bareMs.push_back(double(bare.nsecsElapsed()) / 1e6);
        if (warmThumbs) store.thumbs()->load(store.paths().thumbURL(a.id)).waitForFinished();
        else store.thumbs()->remove(store.paths().thumbURL(a.id));
        cache.closeLibrary(store.paths().root);  // nothing cached
        QElapsedTimer t;
        t.start();
        pane.setPhoto(store.paths(), store.thumbs(), a, {});
        // In the step's own frame, or read from disk after it.
        if (pane.stage() != ViewerPhoto::Stage::none) ++s.sameFrame;
        else spinUntil([&] { return pane.stage() != ViewerPhoto::Stage::none; });
        s.thumbMs.push_back(double(t.nsecsElapsed()) / 1e6);
        spinUntil([&] { return pane.stage() == ViewerPhoto::Stage::full; });
        s.fullMs.push_back(double(t.nsecsElapsed()) / 1e6);
        pane.zoom()->repaint();
        s.shownMs.push_back(double(t.nsecsElapsed()) / 1e6);
        spinUntil([&] { return pane.zoom()->hasFittedCopy(); });
        cache.waitForIdle(20000);
    }
    return s;
}

void report(const std::string& what, const Steps& s, double targetMs) {
    char buf[640];
    std::snprintf(buf, sizeof buf,
                  "{\"figure\":\"step\",\"case\":\"%s\",\"steps\":%zu,\"thumb_same_frame\":%d,"
                  "\"thumb_ms_median\":%.1f,\"full_decoded_ms_median\":%.1f,\"full_shown_ms_median\":%.1f,"
                  "\"full_shown_ms_max\":%.1f,\"bare_decode_ms_median\":%.1f,\"shown_vs_bare_decode\":%.2f,"
                  "\"target_ms\":%.0f}",
                  what.c_str(), s.fullMs.size(), s.sameFrame, median(s.thumbMs), median(s.fullMs), median(s.shownMs),
                  s.shownMs.empty() ? 0.0 : *std::max_element(s.shownMs.begin(), s.shownMs.end()), median(s.bareMs),
                  median(s.bareMs) > 0 ? median(s.shownMs) / median(s.bareMs) : 0.0, targetMs);
    print(buf);
}

// libheif's own threads on a tiled file (libvips leaves libheif's default, four).
void heifThreads(const std::string& file) {
    for (int threads : {1, 2, 4, 8}) {
        std::vector<double> ms;
        for (int run = 0; run < 3; ++run) {
            QElapsedTimer t;
            t.start();
            heif_context* ctx = heif_context_alloc();
            heif_context_set_max_decoding_threads(ctx, threads);
            heif_image_handle* handle = nullptr;
            heif_image* img = nullptr;
            if (heif_context_read_from_file(ctx, file.c_str(), nullptr).code == heif_error_Ok &&
                heif_context_get_primary_image_handle(ctx, &handle).code == heif_error_Ok)
                heif_decode_image(handle, &img, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr);
            ms.push_back(double(t.nsecsElapsed()) / 1e6);
            if (img) heif_image_release(img);
            if (handle) heif_image_handle_release(handle);
            heif_context_free(ctx);
        }
        char buf[160];
        std::snprintf(buf, sizeof buf, "{\"figure\":\"heif_threads\",\"threads\":%d,\"decode_ms_median\":%.1f}", threads,
                      median(ms));
        print(buf);
    }
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    MediaProcessor::initialize();
    int photos = 8;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--photos") photos = std::max(2, std::atoi(argv[i + 1]));

    fixtures::TempDir dir;
    fs::create_directories(dir / "jpeg");
    fs::create_directories(dir / "heic");
    QElapsedTimer made;
    made.start();
    for (int i = 0; i < photos; ++i) {
        if (!writeJPEG(dir / ("jpeg/IMG_" + std::to_string(1000 + i) + ".jpg"), 4000, 3000, unsigned(i)))
            return std::fprintf(stderr, "could not write a JPEG: %s\n", vips_error_buffer()), 1;
        if (!fixtures::makeTiledHEIC(dir / ("heic/IMG_" + std::to_string(2000 + i) + ".heic"), 4032, 3024, unsigned(i)))
            return std::fprintf(stderr, "could not write a tiled HEIC\n"), 1;
    }
    std::fprintf(stderr, "photos written in %.1f s\n", double(made.elapsed()) / 1000);

    auto store = LibraryStore::init(dir.path());
    store->start(false);
    if (!spinUntil([&] { return store->hasLoaded() && store->assets().size() == size_t(2 * photos) &&
                                store->status().kind == EngineStatus::Kind::idle; }, 600000))
        return std::fprintf(stderr, "indexing did not finish (%zu assets)\n", store->assets().size()), 1;
    std::vector<Asset> jpegs, heics;
    for (const Asset& a : store->assets()) (a.path.rfind("jpeg/", 0) == 0 ? jpegs : heics).push_back(a);
    if (heics.empty() || heics.front().width != 4032)
        return std::fprintf(stderr, "the tiled HEIC was not read as one 4032 x 3024 photo\n"), 1;

    FullImageCache cache;
    ViewerPhoto pane(cache);
    pane.resize(1600, 1000);
    pane.show();

    report("jpeg 12MP idle", stepThrough(pane, *store, cache, jpegs, true), 250);
    const Steps heicIdle = stepThrough(pane, *store, cache, heics, true);
    report("heic 12MP tiled idle", heicIdle, 1500);
    {
        // The viewer decodes a HEIC on libheif's own threads: the full image
        // shown against a one-thread decode of the same files in this run
        // (and against the photo readers' decode, libvips leaving libheif
        // its default thread count).
        std::vector<double> oneThread;
        for (const Asset& a : heics) {
            QElapsedTimer t;
            t.start();
            MediaProcessor::loadFullImage(store->paths().root + "/" + a.path, FullImageCache::maxPixel, 1);
            oneThread.push_back(double(t.nsecsElapsed()) / 1e6);
        }
        char buf[400];
        std::snprintf(buf, sizeof buf,
                      "{\"figure\":\"heic_full_image\",\"files\":%zu,\"decode_threads\":%u,"
                      "\"shown_ms_median\":%.1f,\"one_thread_decode_ms_median\":%.1f,\"shown_vs_one_thread\":%.2f,"
                      "\"readers_decode_ms_median\":%.1f}",
                      heicIdle.shownMs.size(), std::clamp(std::thread::hardware_concurrency(), 1u, 8u),
                      median(heicIdle.shownMs), median(oneThread),
                      median(oneThread) > 0 ? median(heicIdle.shownMs) / median(oneThread) : 0.0,
                      median(heicIdle.bareMs));
        print(buf);
    }
    report("jpeg 12MP idle, thumbnail not in memory", stepThrough(pane, *store, cache, jpegs, false), 250);

    // The engine indexes a new batch meanwhile (its workers take all but two cores).
    const int batch = std::max(200, photos * 20);
    fs::create_directories(dir / "new");
    for (int i = 0; i < batch; ++i) writeJPEG(dir / ("new/NEW_" + std::to_string(i) + ".jpg"), 2400, 1600, 100u + unsigned(i));
    store->rescan();
    spinUntil([&] { return store->status().kind != EngineStatus::Kind::idle; }, 10000);
    report("jpeg 12MP while indexing", stepThrough(pane, *store, cache, jpegs, true), 250);
    report("heic 12MP tiled while indexing", stepThrough(pane, *store, cache, heics, true), 1500);
    const bool stillIndexing = store->status().kind != EngineStatus::Kind::idle;
    print(std::string("{\"figure\":\"engine_busy_through_the_run\",\"value\":") + (stillIndexing ? "true" : "false") + "}");
    spinUntil([&] { return store->assets().size() == size_t(2 * photos + batch) &&
                           store->status().kind == EngineStatus::Kind::idle; }, 900000);

    // Stepping through 50 photos as a user does, with the prefetch at work.
    {
        FullImageCache stepped;
        ViewerPhoto walk(stepped);
        walk.resize(1600, 1000);
        walk.show();
        const AssetList& all = store->assets();
        const size_t n = std::min<size_t>(50, all.size());
        const long before = rssKiB();
        QElapsedTimer t;
        t.start();
        for (size_t i = 0; i < n; ++i) {
            std::vector<Asset> neighbours;
            if (i + 1 < all.size()) neighbours.push_back(all[i + 1]);
            if (i > 0) neighbours.push_back(all[i - 1]);
            walk.setPhoto(store->paths(), store->thumbs(), all[i], neighbours);
            spinUntil([&] { return walk.stage() == ViewerPhoto::Stage::full && !walk.isLoading(); });
        }
        char buf[256];
        std::snprintf(buf, sizeof buf,
                      "{\"figure\":\"cache_after_50_steps\",\"steps\":%zu,\"images\":%d,\"cache_mib\":%.1f,"
                      "\"rss_growth_mib\":%.1f,\"ceiling_mib\":512,\"decodes\":%d}",
                      n, stepped.count(), double(stepped.totalBytes()) / 1048576.0,
                      double(rssKiB() - before) / 1024.0, stepped.decodesStarted());
        print(buf);
    }
    heifThreads(dir / ("heic/IMG_2000.heic"));
    store->shutdown();
    return 0;
}
