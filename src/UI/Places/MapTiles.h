#pragma once
// The map's raster tiles: 256 logical pixels square per integer zoom, in the
// device pixel ratio and appearance they are shown in, painted from the
// world's outlines (sea, land, lakes, borders, coast) on one worker thread into a
// cache of about 64 MB that drops the least recently used tile first.
// Everything drawn on top (labels, graticule, scale, bubbles) is painted
// live by the views.

#include <QImage>
#include <QObject>
#include <QPointF>
#include <QRectF>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Core/Places/Lakes.h"
#include "Core/Places/Topology.h"

namespace vintrelle {

struct MapTileKey {
    int z = 0, x = 0, y = 0;
    int scale100 = 100;  // device pixel ratio × 100
    bool dark = false;
    bool operator==(const MapTileKey&) const = default;
    MapTileKey parent() const { return {z - 1, x >> 1, y >> 1, scale100, dark}; }
    int pixels() const;  // device pixels along a side
};

struct MapTileKeyHash {
    size_t operator()(const MapTileKey& k) const noexcept;
};

// One detail of the atlas in normalised Mercator coordinates (0…1), each
// shape cut into runs of a few dozen points with their bounds, so a tile
// visits only the runs it shows.
struct MapOutlines {
    struct Run {
        uint32_t begin = 0, end = 0;  // points [begin, end]; a run's end is the next one's begin
        QRectF bounds;
    };
    struct Shape {
        std::vector<QPointF> points;
        std::vector<Run> runs;
        QRectF bounds;
        // The edges (point i to i + 1) where the pieces of a cut lake meet:
        // filled, never stroked. Empty when there are none.
        std::vector<bool> seams;
    };
    std::vector<Shape> land;  // closed rings, outlines and holes alike (filled even-odd)
    std::vector<Shape> coasts;
    std::vector<Shape> borders;
    std::vector<Shape> lakes;  // closed rings, filled even-odd as sea over the land, shores drawn as coast
    // The lakes by the cells of a grid over the world that their bounds
    // touch, so a tile visits only those near it (the finest scale has
    // 130,000 lakes, most of them a pixel or less).
    static constexpr int lakeGrid = 128;
    std::vector<std::vector<uint32_t>> lakeCells;
    // The lakes whose cells a rectangle (normalised) touches, each once, in order.
    std::vector<uint32_t> lakesNear(const QRectF& bounds) const;

    static std::shared_ptr<MapOutlines> fromTopology(const WorldTopology& topology);
    void addLakes(std::vector<GeoPolygon> polygons, double cutTolerance = 0);
    // Empty outlines (a map of sea) when the atlas file is missing or
    // unreadable; without the lakes file, land without lakes.
    static std::shared_ptr<const MapOutlines> load(const std::string& atlasPath, const std::string& lakesPath = {},
                                                   double cutTolerance = 0);
    // The atlas and lakes of one scale from the pinned assets.
    static std::shared_ptr<const MapOutlines> load(AtlasDetail detail);
    bool empty() const { return land.empty() && coasts.empty() && borders.empty() && lakes.empty(); }

private:
    static std::array<int, 4> lakeCellRange(const QRectF& bounds);  // first and last column and row
};

// 110m below zoom 3, 50m from 3 to 5, 10m from 5.
AtlasDetail detailForZoom(int z);

// Renders one tile (any thread). Without outlines, plain sea.
QImage renderMapTile(const MapOutlines* outlines, const MapTileKey& key);

class MapTileService final : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 cacheLimit = 64LL * 1024 * 1024;

    // The one service, made on first use (main thread) and owned by the
    // application object, whose end stops its thread.
    static MapTileService& instance();
    // The service when it exists (a view going away asks no new one to start).
    static MapTileService* ifExists();
    ~MapTileService() override;

    // A cached tile, marked as recently used; a null image when absent.
    QImage cached(const MapTileKey& key);
    // Replaces what this client waits for, most wanted first; tiles already
    // cached are skipped. An empty list withdraws the client.
    void want(const void* client, std::vector<MapTileKey> keys);
    bool isPending(const void* client) const;
    // Reads the city list on the worker when nobody has yet; citiesReady
    // follows (at once when it is already read).
    void prepareCities();
    qint64 cacheBytes() const;

signals:
    void tilesReady();
    void citiesReady();

private:
    explicit MapTileService(QObject* parent);
    void run(std::stop_token stop);
    std::shared_ptr<const MapOutlines> outlines(AtlasDetail detail);  // worker only
    void insert(const MapTileKey& key, QImage image);                 // under mutex_

    struct Job {
        const void* client;
        MapTileKey key;
    };
    using Lru = std::list<std::pair<MapTileKey, QImage>>;

    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<Job> jobs_;
    const void* rendering_ = nullptr;  // the client of the tile being rendered
    bool citiesWanted_ = false;
    Lru lru_;  // most recent first
    std::unordered_map<MapTileKey, Lru::iterator, MapTileKeyHash> index_;
    qint64 bytes_ = 0;
    bool tilesPosted_ = false;

    std::shared_ptr<const MapOutlines> atlas_[3];  // worker only
    std::jthread worker_;                         // last: stops and joins first
};

}  // namespace vintrelle
