#include "Core/Places/Lakes.h"

#include <nlohmann/json.hpp>

#include <cmath>

#include "Core/Base/AssetFolder.h"

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

std::string lakesFile(AtlasDetail detail) {
    const char* scale = detail == AtlasDetail::coarse110m ? "10km" : detail == AtlasDetail::medium50m ? "5km" : "1km";
    return assetFolder() + "/@geo-maps/earth-lakes-" + scale + "@0.6.0/map.geo.json";
}

}  // namespace vintrelle
