#include "Core/Places/Lakes.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>

#include "Core/Base/AssetFolder.h"
#include "Core/Places/Mercator.h"

namespace vintrelle {

namespace {

using nlohmann::json;

// Reads the polygons as the parser meets them, without building the
// document: a GeoJSON object's "type" may come before or after its
// "coordinates", so each object keeps what it read until it ends, and only
// a Polygon's or MultiPolygon's flaws refuse the text.
//
// Inside "coordinates" the depth of the first number tells the geometry: a
// Polygon's positions sit three arrays deep, a MultiPolygon's four. Closing
// the array one level above a position ends a ring, two levels above it a
// polygon.
class PolygonReader final : public json::json_sax_t {
public:
    std::vector<GeoPolygon> polygons;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t v) override { return number(double(v)); }
    bool number_unsigned(number_unsigned_t v) override { return number(double(v)); }
    bool number_float(number_float_t v, const string_t&) override { return number(v); }
    bool string(string_t& s) override {
        if (!frames_.empty() && depthInCoords_ < 0 && frames_.back().arrays == 0 && frames_.back().key == "type")
            frames_.back().type = s;
        return true;
    }
    bool binary(binary_t&) override { return true; }

    bool start_object(std::size_t) override {
        if (depthInCoords_ >= 0) return false;  // coordinates hold numbers only
        frames_.push_back({});
        return true;
    }
    bool key(string_t& k) override {
        frames_.back().key = k;
        return true;
    }
    bool end_object() override {
        Frame f = std::move(frames_.back());
        frames_.pop_back();
        if (f.type != "Polygon" && f.type != "MultiPolygon") return true;  // a foreign "coordinates" is no matter
        if (f.malformed) return false;
        for (GeoPolygon& p : f.polygons) polygons.push_back(std::move(p));
        return true;
    }

    bool start_array(std::size_t) override {
        if (depthInCoords_ >= 0) {
            ++depthInCoords_;
            return true;
        }
        if (frames_.empty()) return true;
        Frame& f = frames_.back();
        if (f.arrays == 0 && f.key == "coordinates") {
            depthInCoords_ = 1;
            positionDepth_ = 0;
            f.key.clear();
            return true;
        }
        ++f.arrays;
        return true;
    }
    bool end_array() override {
        if (depthInCoords_ < 0) {
            if (!frames_.empty() && frames_.back().arrays > 0) --frames_.back().arrays;
            return true;
        }
        const int closing = depthInCoords_--;
        const bool polygonal = positionDepth_ == 3 || positionDepth_ == 4;
        if (closing == positionDepth_) {
            if (coords_ < 2) frames_.back().malformed = true;
            ring_.push_back(position_);
            coords_ = 0;
        } else if (polygonal && closing == positionDepth_ - 1) {
            if (ring_.size() >= 3) polygon_.push_back(std::move(ring_));
            else if (polygon_.empty()) droppedOutline_ = true;
            ring_.clear();
        } else if (polygonal && closing == positionDepth_ - 2) {
            if (!polygon_.empty() && !droppedOutline_) frames_.back().polygons.push_back(std::move(polygon_));
            polygon_.clear();
            droppedOutline_ = false;
        }
        if (depthInCoords_ == 0) {
            depthInCoords_ = -1;
            ring_.clear(), polygon_.clear();
            droppedOutline_ = false;
        }
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    struct Frame {
        std::string key;   // the key whose value comes next
        std::string type;  // the object's "type"
        int arrays = 0;    // arrays open in this object outside "coordinates"
        bool malformed = false;
        std::vector<GeoPolygon> polygons;
    };

    bool number(double v) {
        if (depthInCoords_ < 0) return true;
        if (!std::isfinite(v)) return false;
        if (positionDepth_ == 0) positionDepth_ = depthInCoords_;
        if (depthInCoords_ != positionDepth_) frames_.back().malformed = true;  // a number where an array belongs
        // A third number (an altitude) is allowed and ignored.
        if (coords_ == 0) position_.lon = v;
        else if (coords_ == 1) position_.lat = v;
        ++coords_;
        return true;
    }

    std::vector<Frame> frames_;
    int depthInCoords_ = -1;  // arrays open inside "coordinates"; −1 outside
    int positionDepth_ = 0;   // where the numbers sit; 0 until the first
    LonLat position_;
    int coords_ = 0;
    GeoRing ring_;
    GeoPolygon polygon_;
    bool droppedOutline_ = false;
};

}  // namespace

std::optional<std::vector<GeoPolygon>> decodeGeoJsonPolygons(std::string_view text) {
    PolygonReader reader;
    if (!json::sax_parse(text.begin(), text.end(), &reader)) return std::nullopt;
    return std::move(reader.polygons);
}

std::optional<std::vector<GeoPolygon>> loadGeoJsonPolygons(const std::string& path) {
    const auto text = readMapFile(path);
    if (!text) return std::nullopt;
    return decodeGeoJsonPolygons(*text);
}

namespace {

// The files cut along the lines between the map tiles of zoom 5: every
// 11.25° of longitude, and the latitudes where those tiles meet.
constexpr int cutLines = 32;

// An edge that runs along cut line `line` (of longitude when alongMeridian,
// else of latitude), spanning [lo, hi] of the other coordinate.
struct AxisEdge {
    bool alongMeridian;
    int line;
    double lo, hi;
    uint32_t ring, index;
};

// The cut line of longitude (or latitude) nearest to v, when both ends of
// an edge lie within the tolerance of it.
std::optional<int> cutLine(bool alongMeridian, double v1, double v2, double tolerance) {
    const double mid = (v1 + v2) / 2;
    const int k = int(std::lround(alongMeridian ? mercator::x(mid) * cutLines : mercator::y(mid) * cutLines));
    const double at = alongMeridian ? mercator::lon(double(k) / cutLines) : mercator::lat(double(k) / cutLines);
    if (std::fabs(v1 - at) > tolerance || std::fabs(v2 - at) > tolerance) return std::nullopt;
    return k;
}

using Stretch = std::pair<double, double>;

// The ring with the edges that carry shared stretches split where those
// begin and end, and the flags of the edges that result.
void splitRing(GeoRing& ring, std::vector<std::vector<Stretch>>& shared, SharedEdges& flags) {
    GeoRing points;
    points.reserve(ring.size());
    flags.clear();
    for (size_t i = 0; i + 1 < ring.size(); ++i) {
        points.push_back(ring[i]);
        const std::vector<Stretch>& covered = shared[i];
        if (covered.empty()) {
            flags.push_back(false);
            continue;
        }
        const LonLat a = ring[i], b = ring[i + 1];
        const bool alongMeridian = std::fabs(b.lat - a.lat) > std::fabs(b.lon - a.lon);
        const double from = alongMeridian ? a.lat : a.lon, to = alongMeridian ? b.lat : b.lon;
        auto at = [&](double v) {
            const double t = (v - from) / (to - from);
            return LonLat{a.lon + (b.lon - a.lon) * t, a.lat + (b.lat - a.lat) * t};
        };
        // Where the edge passes between shared and not, in its own direction.
        std::vector<double> cuts;
        for (const auto& [lo, hi] : covered)
            for (double v : {lo, hi})
                if (v > std::min(from, to) && v < std::max(from, to)) cuts.push_back(v);
        std::sort(cuts.begin(), cuts.end());
        cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
        if (to < from) std::reverse(cuts.begin(), cuts.end());
        cuts.push_back(to);
        double start = from;
        for (double end : cuts) {
            const double middle = (start + end) / 2;
            flags.push_back(std::any_of(covered.begin(), covered.end(),
                                        [&](const Stretch& s) { return s.first <= middle && middle <= s.second; }));
            if (end != to) points.push_back(at(end));
            start = end;
        }
    }
    points.push_back(ring.back());
    ring = std::move(points);
}

}  // namespace

std::vector<SharedEdges> markSharedEdges(std::vector<GeoPolygon>& polygons, double tolerance) {
    std::vector<GeoRing*> rings;
    for (GeoPolygon& polygon : polygons)
        for (GeoRing& ring : polygon) rings.push_back(&ring);
    std::vector<AxisEdge> edges;
    for (uint32_t r = 0; r < rings.size(); ++r) {
        const GeoRing& ring = *rings[r];
        for (uint32_t i = 0; i + 1 < ring.size(); ++i) {
            const LonLat a = ring[i], b = ring[i + 1];
            const bool alongMeridian = std::fabs(b.lat - a.lat) > std::fabs(b.lon - a.lon);
            const auto line = alongMeridian ? cutLine(true, a.lon, b.lon, tolerance)
                                            : cutLine(false, a.lat, b.lat, tolerance);
            if (!line) continue;
            const double lo = alongMeridian ? std::min(a.lat, b.lat) : std::min(a.lon, b.lon);
            const double hi = alongMeridian ? std::max(a.lat, b.lat) : std::max(a.lon, b.lon);
            edges.push_back({alongMeridian, *line, lo, hi, r, i});
        }
    }
    std::sort(edges.begin(), edges.end(), [](const AxisEdge& x, const AxisEdge& y) {
        return std::tie(x.alongMeridian, x.line, x.lo) < std::tie(y.alongMeridian, y.line, y.lo);
    });

    // The stretches of each ring's edges that an edge of another ring runs
    // along too: water on both sides.
    std::vector<std::vector<std::vector<Stretch>>> shared(rings.size());
    for (size_t i = 0; i < edges.size(); ++i) {
        const AxisEdge& e = edges[i];
        for (size_t j = i + 1; j < edges.size(); ++j) {
            const AxisEdge& f = edges[j];
            if (f.alongMeridian != e.alongMeridian || f.line != e.line || f.lo >= e.hi) break;
            if (f.ring == e.ring) continue;
            const Stretch both{f.lo, std::min(e.hi, f.hi)};
            for (const AxisEdge* g : {&e, &f}) {
                auto& ofRing = shared[g->ring];
                if (ofRing.empty()) ofRing.resize(rings[g->ring]->size());
                ofRing[g->index].push_back(both);
            }
        }
    }

    std::vector<SharedEdges> flags(rings.size());
    for (size_t r = 0; r < rings.size(); ++r)
        if (!shared[r].empty()) splitRing(*rings[r], shared[r], flags[r]);
    return flags;
}

std::string lakesFile(AtlasDetail detail) {
    const char* scale = detail == AtlasDetail::coarse110m ? "10km" : detail == AtlasDetail::medium50m ? "5km" : "1km";
    return assetFolder() + "/@geo-maps/earth-lakes-" + scale + "@0.6.0/map.geo.json";
}

double lakeCutTolerance(AtlasDetail detail) {
    return detail == AtlasDetail::coarse110m ? 0.1 : detail == AtlasDetail::medium50m ? 0.05 : 0.002;
}

}  // namespace vintrelle
