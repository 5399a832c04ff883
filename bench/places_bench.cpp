// The places map: tile rendering from the 10m outlines and 1 km lakes at zooms 5 and 9,
// one clustering pass over 100,000 assets (target under 5 ms), and a frame
// of the live overlay with 96 bubbles.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <random>

#include "Core/Places/CityIndex.h"
#include "Core/Places/PlaceClusters.h"
#include "Store/ThumbnailCache.h"
#include "UI/Kit/Theme.h"
#include "UI/Places/MapCanvas.h"
#include "UI/Places/MapTiles.h"
#include "UI/Places/PlaceBubbles.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

namespace {

std::shared_ptr<const MapOutlines> fine() {
    static const auto outlines = MapOutlines::load(AtlasDetail::fine10m);
    return outlines;
}

// The tiles of a view of 1280 × 800 logical pixels centred on a place.
std::vector<MapTileKey> viewTiles(double lat, double lon, int z, int scale100) {
    MapCamera cam;
    cam.setViewport(1280, 800);
    cam.setCenter(lat, lon, z);
    std::vector<MapTileKey> keys;
    const int n = 1 << z;
    const double halfW = 640 / cam.worldSize(), halfH = 400 / cam.worldSize();
    for (int y = int((cam.centerY() - halfH) * n); y <= int((cam.centerY() + halfH) * n); ++y)
        for (int x = int((cam.centerX() - halfW) * n); x <= int((cam.centerX() + halfW) * n); ++x)
            keys.push_back({z, x, y, scale100, false});
    return keys;
}

void tiles(benchmark::State& state, double lat, double lon) {
    const auto outlines = fine();
    const auto keys = viewTiles(lat, lon, int(state.range(0)), int(state.range(1)));
    size_t i = 0;
    for (auto _ : state) {
        QImage tile = renderMapTile(outlines.get(), keys[i++ % keys.size()]);
        benchmark::DoNotOptimize(tile.constBits());
    }
    state.counters["tiles_in_view"] = double(keys.size());
}

// Europe at zoom 5 (the 10m data's first zoom, most outline per tile), the
// coast around Lisbon at 9 (past which the outlines add nothing), and
// Finland and Canada's lake lands at 5, where the 1 km lakes crowd.
void tilesEurope(benchmark::State& s) { tiles(s, 48, 10); }
void tilesLisbon(benchmark::State& s) { tiles(s, 38.72, -9.14); }
void tilesFinland(benchmark::State& s) { tiles(s, 63, 27); }
void tilesCanada(benchmark::State& s) { tiles(s, 56, -100); }
BENCHMARK(tilesEurope)->Args({5, 100})->Args({5, 200})->Unit(benchmark::kMillisecond);
BENCHMARK(tilesLisbon)->Args({9, 100})->Args({9, 200})->Unit(benchmark::kMillisecond);
BENCHMARK(tilesFinland)->Args({5, 200})->Args({8, 200})->Unit(benchmark::kMillisecond);
BENCHMARK(tilesCanada)->Args({5, 200})->Unit(benchmark::kMillisecond);

// The finest scale, read when the map first zooms past 5: atlas and lakes.
void loadFineOutlines(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(MapOutlines::load(AtlasDetail::fine10m));
}
BENCHMARK(loadFineOutlines)->Unit(benchmark::kMillisecond)->Iterations(3);

std::vector<Asset> library(size_t n) {
    // Photos around a few hundred cities, as a travelling photographer has them.
    std::mt19937 rng(4);
    const auto& cities = CityIndex::shared()->cities();
    std::normal_distribution<double> jitter(0, 0.2);
    std::vector<Asset> out(n);
    for (size_t i = 0; i < n; ++i) {
        const City& c = cities[(rng() % 400) * 7];
        out[i].id = int64_t(i + 1);
        out[i].lat = c.lat + jitter(rng);
        out[i].lon = c.lon + jitter(rng);
        out[i].thumbState = i % 5 != 0;
    }
    return out;
}

// Over the store's assets (the points taken afresh, as after a store
// revision), and over the points the screen keeps between revisions (every
// movement end): the world, Europe, Lisbon.
void clustering(benchmark::State& state) {
    const auto assets = library(100000);
    const auto points = placePoints(assets);
    const std::vector<MapRegion> regions = {boundingRegion(assets), {48, 10, 25, 40}, {38.72, -9.14, 0.5, 0.8}};
    const MapRegion region = regions[size_t(state.range(0))];
    const bool fromAssets = state.range(1) != 0;
    size_t clusters = 0;
    for (auto _ : state) {
        auto c = fromAssets ? clusterPlaces(assets, region) : clusterPlaces(points, region);
        clusters = c.size();
        benchmark::DoNotOptimize(c.data());
    }
    state.counters["clusters"] = double(clusters);
}
BENCHMARK(clustering)->ArgsProduct({{0, 1, 2}, {1, 0}})->Unit(benchmark::kMicrosecond);

// Everything painted over the tiles in one frame, with 96 bubbles whose
// covers are ready: graticule, labels, scale, attribution, bubbles.
void overlayFrame(benchmark::State& state) {
    const qreal dpr = state.range(0) / 100.0;
    fixtures::TempDir dir;
    LibraryPaths paths{dir.path(), dir.path() + "/data", true};
    auto thumbs = std::make_shared<ThumbnailCache>();
    MapCamera cam;
    cam.setViewport(1280, 800);
    cam.setCenter(46, 8, 5);
    const MapRegion region = cam.region();
    std::vector<PlaceCluster> clusters;
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 12; ++c) {
            const int64_t id = r * 12 + c + 1;
            QImage photo(480, 360, QImage::Format_RGB32);
            photo.fill(QColor::fromHsv(int(id * 37 % 360), 120, 200));
            const std::string file = paths.thumbURL(id);
            fixtures::writeFile(file, "");
            photo.save(QString::fromStdString(file), "JPEG");
            PlaceCluster cl;
            cl.lat = region.centerLat - region.spanLat * 0.6 + (r + 0.5) * region.spanLat / 5.5;
            cl.lon = region.centerLon - region.spanLon * 0.6 + (c + 0.5) * region.spanLon / 9;
            cl.count = int(id * 13);
            cl.coverID = id;
            cl.id = std::to_string(r * 100 + c) + "-" + std::to_string(cl.count) + "-" + std::to_string(id);
            clusters.push_back(cl);
        }
    PlaceBubbleLayer layer;
    layer.setSource(thumbs, paths);
    layer.setClusters(clusters);
    QImage frame(QSize(1280, 800) * dpr, QImage::Format_ARGB32_Premultiplied);
    frame.setDevicePixelRatio(dpr);
    auto paint = [&] {
        QPainter p(&frame);
        const MapPalette& colors = MapPalette::of(false);
        mapcanvas::paintGraticule(p, cam, colors);
        std::vector<QRectF> keepClear = layer.keepClear(cam);
        keepClear.push_back(mapcanvas::paintScaleBar(p, cam, colors, QPointF(14, 788)));
        keepClear.push_back(mapcanvas::paintAttribution(p, QRectF(0, 0, 1280, 800), colors));
        mapcanvas::paintCityLabels(p, cam, dpr, false, keepClear);
        layer.paint(p, cam);
    };
    // Covers and labels ready first, as they are after the first frames.
    CityIndex::shared();
    QElapsedTimer t;
    t.start();
    do {
        paint();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        thumbs->waitForIdle(50);
    } while ((layer.coversPending() || t.elapsed() < 200) && t.elapsed() < 20000);
    for (auto _ : state) {
        frame.fill(Qt::transparent);
        paint();
    }
    state.counters["bubbles"] = double(layer.clusters().size());
}
BENCHMARK(overlayFrame)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    Theme::install(app);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
