#include "Core/Places/Geocoder.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "Core/Base/WallClock.h"
#include "Core/Places/CityIndex.h"

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

std::optional<std::string> optionalText(const std::string& s) {
    if (s.empty()) return std::nullopt;
    return s;
}

}  // namespace

// A k-d tree over the cities as points on the unit sphere: the straight
// chord between two points grows with their great-circle distance, so the
// nearest by chord is the nearest on the globe, with no special case at the
// poles or across ±180°.
struct OfflineGeocoder::Index {
    struct Node {
        Vec3 at;
        const vintrelle::City* city = nullptr;  // in cities
    };
    std::shared_ptr<const CityIndex> cities;
    std::vector<Node> tree;  // implicit tree: the median of each range is its node

    void build(size_t lo, size_t hi, int axis) {
        if (hi - lo <= 1) return;
        const size_t mid = lo + (hi - lo) / 2;
        std::nth_element(tree.begin() + long(lo), tree.begin() + long(mid), tree.begin() + long(hi),
                         [axis](const Node& a, const Node& b) { return a.at[size_t(axis)] < b.at[size_t(axis)]; });
        build(lo, mid, (axis + 1) % 3);
        build(mid + 1, hi, (axis + 1) % 3);
    }

    void search(const Vec3& q, size_t lo, size_t hi, int axis, const Node*& best, double& bestChord2) const {
        if (lo >= hi) return;
        const size_t mid = lo + (hi - lo) / 2;
        const Node& node = tree[mid];
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

OfflineGeocoder::OfflineGeocoder(CitySource cities) : cities_(std::move(cities)) {}
OfflineGeocoder::~OfflineGeocoder() = default;

std::shared_ptr<OfflineGeocoder> OfflineGeocoder::shared() {
    static const std::shared_ptr<OfflineGeocoder> instance = std::make_shared<OfflineGeocoder>(&CityIndex::shared);
    return instance;
}

void OfflineGeocoder::prepare() {
    std::call_once(built_, [this] {
        auto index = std::make_unique<Index>();
        index->cities = cities_ ? cities_() : std::make_shared<const CityIndex>(CityIndex::fromGeonames());
        index->tree.reserve(index->cities->cities().size());
        for (const City& city : index->cities->cities()) index->tree.push_back({unitVector(city.lat, city.lon), &city});
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
    const Index::Node* best = nullptr;
    // Start the search with the cut-off as its radius (a hair wider, so a
    // city right at the edge is decided by the exact distance below).
    const double chord = 2 * std::sin(cutoffKm / (2 * earthRadiusKm)) * (1 + 1e-9);
    double bestChord2 = chord * chord;
    index_->search(unitVector(lat, lon), 0, index_->tree.size(), 0, best, bestChord2);
    if (best == nullptr || haversineKm(lat, lon, best->city->lat, best->city->lon) > cutoffKm) return std::nullopt;
    Placemark p;
    p.name = optionalText(best->city->name);
    p.locality = p.name;
    p.administrativeArea = optionalText(best->city->state);
    p.country = optionalText(best->city->country);
    return p;
}

GeocodeAnswer OfflineGeocoder::reverseGeocode(double lat, double lon) {
    GeocodeAnswer answer;
    if (auto p = nearest(lat, lon)) answer.placemarks.push_back(std::move(*p));
    return answer;
}

}  // namespace vintrelle
