#include "Core/Places/Geocoder.h"

#include <geonames.h>
#include <libintl.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "Core/Base/WallClock.h"

namespace vintrelle {

namespace {

// haversineKm measures with this radius (its 12742 km is the diameter).
constexpr double earthRadiusKm = 6371;
constexpr double degrees = M_PI / 180;

using Vec3 = std::array<double, 3>;

Vec3 unitVector(double lat, double lon) {
    const double p = lat * degrees, l = lon * degrees;
    return {std::cos(p) * std::cos(l), std::cos(p) * std::sin(l), std::sin(p)};
}

double squaredChord(const Vec3& a, const Vec3& b) {
    const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
    return dx * dx + dy * dy + dz * dz;
}

std::optional<std::string> optionalText(const char* s) {
    if (s == nullptr || *s == '\0') return std::nullopt;
    return std::string(s);
}

// libgeonames keeps its data in process-wide state; read it from one thread at a time.
std::mutex geonamesMutex;
constexpr const char* geonamesTextDomain = "geonames";

}  // namespace

// A k-d tree over the cities as points on the unit sphere: the straight
// chord between two points grows with their great-circle distance, so the
// nearest by chord is the nearest on the globe, with no special case at the
// poles or across ±180°.
struct OfflineGeocoder::Index {
    struct City {
        Vec3 at;
        double lat = 0;
        double lon = 0;
        uint32_t place = 0;  // into places
    };
    std::vector<City> tree;  // implicit tree: the median of each range is its node
    std::vector<Placemark> places;

    void build(size_t lo, size_t hi, int axis) {
        if (hi - lo <= 1) return;
        const size_t mid = lo + (hi - lo) / 2;
        std::nth_element(tree.begin() + long(lo), tree.begin() + long(mid), tree.begin() + long(hi),
                         [axis](const City& a, const City& b) { return a.at[size_t(axis)] < b.at[size_t(axis)]; });
        build(lo, mid, (axis + 1) % 3);
        build(mid + 1, hi, (axis + 1) % 3);
    }

    void search(const Vec3& q, size_t lo, size_t hi, int axis, const City*& best, double& bestChord2) const {
        if (lo >= hi) return;
        const size_t mid = lo + (hi - lo) / 2;
        const City& node = tree[mid];
        const double d2 = squaredChord(q, node.at);
        if (d2 < bestChord2) {
            bestChord2 = d2;
            best = &node;
        }
        const double diff = q[size_t(axis)] - node.at[size_t(axis)];
        const int next = (axis + 1) % 3;
        if (diff < 0) {
            search(q, lo, mid, next, best, bestChord2);
            if (diff * diff < bestChord2) search(q, mid + 1, hi, next, best, bestChord2);
        } else {
            search(q, mid + 1, hi, next, best, bestChord2);
            if (diff * diff < bestChord2) search(q, lo, mid, next, best, bestChord2);
        }
    }
};

OfflineGeocoder::OfflineGeocoder() = default;
OfflineGeocoder::~OfflineGeocoder() = default;

std::shared_ptr<OfflineGeocoder> OfflineGeocoder::shared() {
    static const std::shared_ptr<OfflineGeocoder> instance = std::make_shared<OfflineGeocoder>();
    return instance;
}

void OfflineGeocoder::prepare() {
    std::call_once(built_, [this] {
        auto index = std::make_unique<Index>();
        {
            std::lock_guard lock(geonamesMutex);
            // Translated names must arrive as UTF-8 whatever the character
            // set of the C locale, not transliterated to "M?nchen".
            bind_textdomain_codeset(geonamesTextDomain, "UTF-8");
            const int n = std::max(geonames_get_n_cities(), 0);
            index->tree.reserve(size_t(n));
            index->places.reserve(size_t(n));
            for (int i = 0; i < n; ++i) {
                GeonamesCity* city = geonames_get_city(i);
                if (city == nullptr) continue;
                const double lat = geonames_city_get_latitude(city);
                const double lon = geonames_city_get_longitude(city);
                if (std::isfinite(lat) && std::isfinite(lon)) {
                    Placemark p;
                    p.name = optionalText(geonames_city_get_name(city));
                    p.locality = p.name;
                    p.administrativeArea = optionalText(geonames_city_get_state(city));
                    p.country = optionalText(geonames_city_get_country(city));
                    index->tree.push_back({unitVector(lat, lon), lat, lon, uint32_t(index->places.size())});
                    index->places.push_back(std::move(p));
                }
                geonames_city_free(city);
            }
        }
        index->build(0, index->tree.size(), 0);
        index_ = std::move(index);
    });
}

size_t OfflineGeocoder::cityCount() {
    prepare();
    return index_->tree.size();
}

std::optional<Placemark> OfflineGeocoder::nearest(double lat, double lon) {
    if (!std::isfinite(lat) || !std::isfinite(lon) || std::fabs(lat) > 90 || std::fabs(lon) > 180)
        return std::nullopt;
    prepare();
    const Index::City* best = nullptr;
    // Start the search with the cut-off as its radius (a hair wider, so a
    // city right at the edge is decided by the exact distance below).
    const double chord = 2 * std::sin(cutoffKm / (2 * earthRadiusKm)) * (1 + 1e-9);
    double bestChord2 = chord * chord;
    index_->search(unitVector(lat, lon), 0, index_->tree.size(), 0, best, bestChord2);
    if (best == nullptr || haversineKm(lat, lon, best->lat, best->lon) > cutoffKm) return std::nullopt;
    return index_->places[best->place];
}

GeocodeAnswer OfflineGeocoder::reverseGeocode(double lat, double lon) {
    GeocodeAnswer answer;
    if (auto p = nearest(lat, lon)) answer.placemarks.push_back(std::move(*p));
    return answer;
}

}  // namespace vintrelle
