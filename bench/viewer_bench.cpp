// The viewer's photo pane on real files: the time from a step to the
// thumbnail on screen and to the full image, for 12-MP JPEGs and 12-MP HEICs
// stored as phones store them (a grid of 512-pixel tiles), with the engine
// idle and while it indexes a new batch; the memory the full-image cache
// holds after stepping through 50 photos; and whether letting libheif decode
// a tiled HEIC on several threads pays.
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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "Core/Engine/LibraryEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "Store/FullImageCache.h"
#include "Store/LibraryStore.h"
#include "UI/Viewer/ViewerPhoto.h"
#include "UI/Viewer/ZoomableImage.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

// ---- photo-like pictures ------------------------------------------------------

// Smooth colour fields with fine grain: what a camera file costs to decode,
// unlike a flat test colour that entropy-codes to almost nothing.
std::vector<uint8_t> picture(int w, int h, unsigned seed) {
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    std::mt19937 rng(seed);
    std::normal_distribution<float> grain(0, 9);
    const float fx = 6.28f / float(w), fy = 6.28f / float(h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
            const float base = 128 + 70 * std::sin(float(x) * fx * 3 + float(seed)) * std::cos(float(y) * fy * 2);
            const float dark = (x < w / 2 && y < h / 2) ? 0.6f : 1.0f;
            for (int c = 0; c < 3; ++c)
                p[c] = uint8_t(std::clamp((base + float(c) * 25 + grain(rng)) * dark, 0.0f, 255.0f));
        }
    }
    return rgb;
}

bool writeJPEG(const std::string& path, int w, int h, unsigned seed) {
    std::vector<uint8_t> rgb = picture(w, h, seed);
    VipsImage* img = vips_image_new_from_memory(rgb.data(), rgb.size(), w, h, 3, VIPS_FORMAT_UCHAR);
    if (!img) return false;
    const int rc = vips_jpegsave(img, path.c_str(), "Q", 90, nullptr);
    g_object_unref(img);
    return rc == 0;
}

// ---- a tiled HEIC, as phones write it -------------------------------------------
// libheif 1.15 encodes single images only, so each 512-pixel tile is encoded
// on its own and the tiles are put under one 'grid' item by hand.

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}
void put16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
void put4cc(Bytes& b, const char* t) { b.insert(b.end(), t, t + 4); }
Bytes box(const char* type, const Bytes& body, int version = -1, uint32_t flags = 0) {
    Bytes b;
    put32(b, uint32_t(8 + (version >= 0 ? 4 : 0) + body.size()));
    put4cc(b, type);
    if (version >= 0) put32(b, (uint32_t(version) << 24) | flags);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}
uint32_t get32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// Finds a box by path ("meta/iprp/ipco/hvcC"); meta is a full box.
const uint8_t* findBox(const uint8_t* begin, const uint8_t* end, const std::string& path, size_t* size) {
    const std::string head = path.substr(0, 4);
    for (const uint8_t* p = begin; p + 8 <= end;) {
        const uint32_t len = get32(p);
        if (len < 8 || p + len > end) return nullptr;
        if (std::memcmp(p + 4, head.data(), 4) == 0) {
            if (path.size() == 4) {
                *size = len;
                return p;
            }
            const uint8_t* body = p + 8 + (head == "meta" ? 4 : 0);
            return findBox(body, p + len, path.substr(5), size);
        }
        p += len;
    }
    return nullptr;
}

struct Tile {
    Bytes hvcC;  // the whole box
    Bytes data;  // the coded picture
};

heif_error appendBytes(heif_context*, const void* data, size_t size, void* out) {
    auto* b = static_cast<Bytes*>(out);
    b->insert(b->end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
}

bool encodeTile(const uint8_t* rgb, int stride, Tile& tile) {
    heif_context* ctx = heif_context_alloc();
    heif_encoder* enc = nullptr;
    if (heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &enc).code != heif_error_Ok) return false;
    heif_encoder_set_lossy_quality(enc, 85);
    heif_encoder_set_parameter(enc, "preset", "ultrafast");
    heif_image* img = nullptr;
    heif_image_create(512, 512, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &img);
    heif_image_add_plane(img, heif_channel_interleaved, 512, 512, 8);
    int dstStride = 0;
    uint8_t* dst = heif_image_get_plane(img, heif_channel_interleaved, &dstStride);
    for (int y = 0; y < 512; ++y) std::memcpy(dst + size_t(y) * dstStride, rgb + size_t(y) * stride, 512 * 3);
    const bool ok = heif_context_encode_image(ctx, img, enc, nullptr, nullptr).code == heif_error_Ok;
    Bytes file;
    heif_writer writer{1, &appendBytes};
    const bool written = ok && heif_context_write(ctx, &writer, &file).code == heif_error_Ok;
    heif_image_release(img);
    heif_encoder_release(enc);
    heif_context_free(ctx);
    if (!written) return false;

    const uint8_t* begin = file.data();
    const uint8_t* end = begin + file.size();
    size_t size = 0;
    const uint8_t* hvcC = findBox(begin, end, "meta/iprp/ipco/hvcC", &size);
    const uint8_t* iloc = findBox(begin, end, "meta/iloc", &size);
    if (!hvcC || !iloc) return false;
    tile.hvcC.assign(hvcC, hvcC + get32(hvcC));
    // iloc version 0 or 1 with 4-byte offsets and lengths, one item, one extent.
    const uint8_t version = iloc[8];
    const uint8_t offsetSize = iloc[12] >> 4, lengthSize = iloc[12] & 15, baseSize = iloc[13] >> 4;
    if (offsetSize != 4 || lengthSize != 4 || (baseSize != 0 && baseSize != 4)) return false;
    const uint8_t* item = iloc + 16;              // after the item count
    item += 2 + (version >= 1 ? 2 : 0) + 2;       // id, construction method, data reference
    const uint32_t base = baseSize ? get32(item) : 0;
    item += baseSize + 2;                          // base offset, extent count
    const uint32_t offset = base + get32(item), length = get32(item + 4);
    if (offset + length > file.size()) return false;
    tile.data.assign(begin + offset, begin + offset + length);
    return true;
}

bool writeTiledHEIC(const std::string& path, int w, int h, unsigned seed) {
    const int cols = (w + 511) / 512, rows = (h + 511) / 512;
    const int tiles = cols * rows;
    std::vector<uint8_t> rgb = picture(cols * 512, rows * 512, seed);
    std::vector<Tile> coded;
    coded.resize(size_t(tiles));
    for (int t = 0; t < tiles; ++t) {
        const int tx = t % cols, ty = t / cols;
        const uint8_t* origin = rgb.data() + (size_t(ty) * 512 * cols * 512 + size_t(tx) * 512) * 3;
        if (!encodeTile(origin, cols * 512 * 3, coded[size_t(t)])) return false;
    }
    Bytes gridData{0, 0, uint8_t(rows - 1), uint8_t(cols - 1)};
    put16(gridData, uint16_t(w));
    put16(gridData, uint16_t(h));

    auto meta = [&](uint32_t dataStart) {
        Bytes hdlr(4, 0);
        put4cc(hdlr, "pict");
        hdlr.resize(hdlr.size() + 12 + 1, 0);
        Bytes pitm;
        put16(pitm, 1);
        Bytes iinf;
        put16(iinf, uint16_t(tiles + 1));
        for (int id = 1; id <= tiles + 1; ++id) {
            Bytes infe;
            put16(infe, uint16_t(id));
            put16(infe, 0);
            put4cc(infe, id == 1 ? "grid" : "hvc1");
            infe.push_back(0);
            const Bytes e = box("infe", infe, 2, id == 1 ? 0 : 1);  // tiles are hidden
            iinf.insert(iinf.end(), e.begin(), e.end());
        }
        Bytes dimg;
        put16(dimg, 1);
        put16(dimg, uint16_t(tiles));
        for (int id = 2; id <= tiles + 1; ++id) put16(dimg, uint16_t(id));
        const Bytes iref = box("iref", box("dimg", dimg), 0);
        Bytes ispeTile, ispeFull;
        put32(ispeTile, 512);
        put32(ispeTile, 512);
        put32(ispeFull, uint32_t(w));
        put32(ispeFull, uint32_t(h));
        Bytes ipco = coded[0].hvcC;
        for (const Bytes& b : {box("ispe", ispeTile, 0), box("ispe", ispeFull, 0)}) ipco.insert(ipco.end(), b.begin(), b.end());
        Bytes ipma;
        put32(ipma, uint32_t(tiles + 1));
        put16(ipma, 1);
        ipma.push_back(1);
        ipma.push_back(3);
        for (int id = 2; id <= tiles + 1; ++id) {
            put16(ipma, uint16_t(id));
            ipma.push_back(2);
            ipma.push_back(0x81);  // the decoder configuration is essential
            ipma.push_back(2);
        }
        Bytes iprp = box("ipco", ipco);
        const Bytes ipmaBox = box("ipma", ipma, 0);
        iprp.insert(iprp.end(), ipmaBox.begin(), ipmaBox.end());
        Bytes iloc{0x44, 0x00};
        put16(iloc, uint16_t(tiles + 1));
        uint32_t at = dataStart;
        for (int id = 1; id <= tiles + 1; ++id) {
            const uint32_t len = uint32_t(id == 1 ? gridData.size() : coded[size_t(id - 2)].data.size());
            put16(iloc, uint16_t(id));
            put16(iloc, 0);
            put16(iloc, 1);
            put32(iloc, at);
            put32(iloc, len);
            at += len;
        }
        Bytes body;
        for (const Bytes& b : {box("hdlr", hdlr, 0), box("pitm", pitm, 0), box("iinf", iinf, 0), iref,
                               box("iprp", iprp), box("iloc", iloc, 0)})
            body.insert(body.end(), b.begin(), b.end());
        return box("meta", body, 0);
    };
    Bytes ftyp;
    put4cc(ftyp, "heic");
    put32(ftyp, 0);
    put4cc(ftyp, "mif1");
    put4cc(ftyp, "heic");
    const Bytes ftypBox = box("ftyp", ftyp);
    const size_t metaSize = meta(0).size();
    const Bytes metaBox = meta(uint32_t(ftypBox.size() + metaSize + 8));
    Bytes mdat = gridData;
    for (const Tile& t : coded) mdat.insert(mdat.end(), t.data.begin(), t.data.end());
    std::ofstream out(path, std::ios::binary);
    for (const Bytes& b : {ftypBox, metaBox, box("mdat", mdat)}) out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    return bool(out);
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
        // The floor: the same decode called directly, in this run.
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

// libheif's own threads on a tiled file (vips leaves libheif's default).
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
        if (!writeTiledHEIC(dir / ("heic/IMG_" + std::to_string(2000 + i) + ".heic"), 4032, 3024, unsigned(i)))
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
    report("heic 12MP tiled idle", stepThrough(pane, *store, cache, heics, true), 1500);
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
