#include "Core/Places/Topology.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "Core/Base/AssetFolder.h"

namespace vintrelle {

namespace {

using nlohmann::json;

// Rings of a Polygon or MultiPolygon geometry; other types have none.
// False when an arc reference is malformed or out of range.
bool collectPolygons(const json& geometry, size_t arcCount, std::vector<WorldTopology::Polygon>& out) {
    const auto type = geometry.find("type");
    const auto arcs = geometry.find("arcs");
    if (type == geometry.end() || !type->is_string() || arcs == geometry.end()) return true;
    auto ring = [&](const json& j, WorldTopology::Ring& r) {
        if (!j.is_array()) return false;
        for (const json& ref : j) {
            if (!ref.is_number_integer()) return false;
            const int64_t i = ref.get<int64_t>();
            const int64_t index = i < 0 ? ~i : i;
            if (index >= int64_t(arcCount)) return false;
            r.push_back(int32_t(i));
        }
        return !r.empty();
    };
    auto polygon = [&](const json& j) {
        if (!j.is_array()) return false;
        WorldTopology::Polygon p;
        for (const json& rj : j) {
            WorldTopology::Ring r;
            if (!ring(rj, r)) return false;
            p.push_back(std::move(r));
        }
        if (!p.empty()) out.push_back(std::move(p));
        return true;
    };
    if (*type == "Polygon") return polygon(*arcs);
    if (*type == "MultiPolygon") {
        if (!arcs->is_array()) return false;
        for (const json& pj : *arcs)
            if (!polygon(pj)) return false;
    }
    return true;
}

const json* geometriesOf(const json& objects, const char* name) {
    const auto o = objects.find(name);
    if (o == objects.end() || !o->is_object()) return nullptr;
    const auto g = o->find("geometries");
    if (g != o->end() && g->is_array()) return &*g;
    return &*o;  // a single geometry rather than a collection
}

}  // namespace

std::optional<WorldTopology> WorldTopology::decode(std::string_view text) {
    const json doc = json::parse(text.begin(), text.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || doc.value("type", "") != "Topology") return std::nullopt;
    const auto arcsJson = doc.find("arcs");
    const auto objects = doc.find("objects");
    if (arcsJson == doc.end() || !arcsJson->is_array() || objects == doc.end() || !objects->is_object())
        return std::nullopt;

    // A quantised topology stores each arc as a first position and then
    // deltas, in integer units of the transform.
    double sx = 1, sy = 1, tx = 0, ty = 0;
    bool quantised = false;
    if (const auto t = doc.find("transform"); t != doc.end()) {
        try {
            sx = t->at("scale").at(0).get<double>(), sy = t->at("scale").at(1).get<double>();
            tx = t->at("translate").at(0).get<double>(), ty = t->at("translate").at(1).get<double>();
        } catch (const json::exception&) {
            return std::nullopt;
        }
        quantised = true;
    }

    WorldTopology topo;
    topo.arcs_.reserve(arcsJson->size());
    for (const json& a : *arcsJson) {
        if (!a.is_array()) return std::nullopt;
        Arc arc;
        arc.points.reserve(a.size());
        double x = 0, y = 0;
        for (const json& p : a) {
            if (!p.is_array() || p.size() < 2 || !p[0].is_number() || !p[1].is_number()) return std::nullopt;
            if (quantised) {
                x += p[0].get<double>(), y += p[1].get<double>();
                arc.points.push_back({x * sx + tx, y * sy + ty});
            } else {
                arc.points.push_back({p[0].get<double>(), p[1].get<double>()});
            }
            const LonLat& q = arc.points.back();
            if (!std::isfinite(q.lon) || !std::isfinite(q.lat)) return std::nullopt;
        }
        if (arc.points.empty()) return std::nullopt;
        arc.box = {arc.points[0].lon, arc.points[0].lat, arc.points[0].lon, arc.points[0].lat};
        for (const LonLat& q : arc.points) {
            arc.box.minLon = std::min(arc.box.minLon, q.lon), arc.box.maxLon = std::max(arc.box.maxLon, q.lon);
            arc.box.minLat = std::min(arc.box.minLat, q.lat), arc.box.maxLat = std::max(arc.box.maxLat, q.lat);
        }
        topo.arcs_.push_back(std::move(arc));
    }

    const size_t n = topo.arcs_.size();
    if (const json* countries = geometriesOf(*objects, "countries")) {
        for (const json& g : countries->is_array() ? *countries : json::array({*countries})) {
            if (!g.is_object()) return std::nullopt;
            Country c;
            if (const auto id = g.find("id"); id != g.end())
                c.id = id->is_string() ? id->get<std::string>() : id->dump();
            if (const auto props = g.find("properties"); props != g.end() && props->is_object())
                c.name = props->value("name", "");
            if (!collectPolygons(g, n, c.polygons)) return std::nullopt;
            if (c.polygons.empty()) continue;  // a point or an empty geometry outlines nothing
            for (const Polygon& p : c.polygons)
                for (const Ring& r : p)
                    for (int32_t ref : r) topo.arcs_[size_t(ref < 0 ? ~ref : ref)].countries += 1;
            topo.countries_.push_back(std::move(c));
        }
    }
    if (const json* land = geometriesOf(*objects, "land")) {
        for (const json& g : land->is_array() ? *land : json::array({*land}))
            if (!g.is_object() || !collectPolygons(g, n, topo.land_)) return std::nullopt;
    } else {
        for (const Country& c : topo.countries_)
            topo.land_.insert(topo.land_.end(), c.polygons.begin(), c.polygons.end());
    }
    return topo;
}

std::optional<std::string> readMapFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(buffer).str();
}

std::optional<WorldTopology> WorldTopology::load(const std::string& path) {
    const auto text = readMapFile(path);
    if (!text) return std::nullopt;
    return decode(*text);
}

WorldTopology::Edge WorldTopology::edge(size_t arc) const {
    if (arc >= arcs_.size() || arcs_[arc].countries == 0) return Edge::none;
    return arcs_[arc].countries == 1 ? Edge::coast : Edge::border;
}

std::vector<LonLat> WorldTopology::points(const Ring& ring) const {
    std::vector<LonLat> out;
    for (int32_t ref : ring) {
        const auto& pts = arcs_[size_t(ref < 0 ? ~ref : ref)].points;
        const bool first = out.empty();
        if (ref >= 0)
            out.insert(out.end(), pts.begin() + (first ? 0 : 1), pts.end());
        else
            out.insert(out.end(), pts.rbegin() + (first ? 0 : 1), pts.rend());
    }
    if (!out.empty() && !(out.front() == out.back())) out.push_back(out.front());
    return out;
}

std::string atlasFile(AtlasDetail detail) {
    const char* name = detail == AtlasDetail::coarse110m ? "countries-110m.json"
                       : detail == AtlasDetail::medium50m ? "countries-50m.json"
                                                          : "countries-10m.json";
    return assetFolder() + "/world-atlas@2.0.2/" + name;
}

}  // namespace vintrelle
