#pragma once
// The world's outlines from a TopoJSON topology (the Natural Earth countries
// of npm world-atlas): arcs shared between the polygons that use them, so
// each border is stored once. An arc used by one country is coast, by two a
// border between them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vintrelle {

// A point of the outlines, longitude first as the atlas stores it. Not the
// trip detector's GeoPoint: two types of one name in one program would let
// the linker hand one's vector code to the other.
struct LonLat {
    double lon = 0;
    double lat = 0;
    bool operator==(const LonLat&) const = default;
};

struct GeoBox {
    double minLon = 0, minLat = 0, maxLon = 0, maxLat = 0;
    bool intersects(const GeoBox& o) const {
        return minLon <= o.maxLon && o.minLon <= maxLon && minLat <= o.maxLat && o.minLat <= maxLat;
    }
};

class WorldTopology {
public:
    // A ring is a list of arc references: i is arc i as stored, ~i (that
    // is −i−1) arc i walked backwards. The first ring of a polygon is its
    // outline, the others its holes.
    using Ring = std::vector<int32_t>;
    using Polygon = std::vector<Ring>;

    struct Arc {
        std::vector<LonLat> points;
        GeoBox box;
        int countries = 0;  // how many country rings use it
    };
    struct Country {
        std::string id;
        std::string name;
        std::vector<Polygon> polygons;
    };
    enum class Edge { none, coast, border };

    // Nothing when the text is not a topology or refers to arcs it lacks.
    static std::optional<WorldTopology> decode(std::string_view json);
    // Nothing when the file is missing or unreadable, or decode fails.
    static std::optional<WorldTopology> load(const std::string& path);

    const std::vector<Arc>& arcs() const { return arcs_; }
    const std::vector<Country>& countries() const { return countries_; }
    // The land as one set of polygons (the "land" object when the topology
    // has one, else every country's), so a fill has no seams at borders.
    const std::vector<Polygon>& land() const { return land_; }
    Edge edge(size_t arc) const;
    // The points of a ring, arcs joined end to start (each join point once),
    // first point repeated at the end.
    std::vector<LonLat> points(const Ring& ring) const;

private:
    std::vector<Arc> arcs_;
    std::vector<Country> countries_;
    std::vector<Polygon> land_;
};

// A map data file's whole text; nothing when it is missing or unreadable.
std::optional<std::string> readMapFile(const std::string& path);

// The three scales of the pinned atlas: coarse for the whole world, finer
// as the map zooms in.
enum class AtlasDetail { coarse110m, medium50m, fine10m };
std::string atlasFile(AtlasDetail detail);

}  // namespace vintrelle
