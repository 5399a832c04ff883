#include "Core/Places/CityIndex.h"

#include <geonames.h>
#include <libintl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

namespace vintrelle {

namespace {

constexpr int rows = 180, columns = 360;

std::string text(const char* s) { return s ? std::string(s) : std::string(); }

std::mutex sharedMutex;
std::shared_ptr<const CityIndex> sharedIndex;  // written once under sharedMutex
std::atomic<bool> sharedBuilt{false};

}  // namespace

int CityIndex::bucketOf(double lat, double lon) {
    const int r = std::clamp(int(std::floor(lat + 90)), 0, rows - 1);
    const int c = std::clamp(int(std::floor(lon + 180)), 0, columns - 1);
    return r * columns + c;
}

CityIndex::CityIndex(std::vector<City> cities) : cities_(std::move(cities)), buckets_(size_t(rows * columns)) {
    std::stable_sort(cities_.begin(), cities_.end(),
                     [](const City& a, const City& b) { return a.population > b.population; });
    for (size_t i = 0; i < cities_.size(); ++i)
        buckets_[size_t(bucketOf(cities_[i].lat, cities_[i].lon))].push_back(uint32_t(i));
}

CityIndex CityIndex::fromGeonames() {
    // libgeonames keeps its data in process-wide state, and this is its only reader.
    static std::mutex geonamesMutex;
    std::lock_guard lock(geonamesMutex);
    // Translated names must arrive as UTF-8 whatever the character set of
    // the C locale, not transliterated to "M?nchen".
    bind_textdomain_codeset("geonames", "UTF-8");
    std::vector<City> cities;
    const int n = std::max(geonames_get_n_cities(), 0);
    cities.reserve(size_t(n));
    for (int i = 0; i < n; ++i) {
        GeonamesCity* c = geonames_get_city(i);
        if (c == nullptr) continue;
        const double lat = geonames_city_get_latitude(c), lon = geonames_city_get_longitude(c);
        if (std::isfinite(lat) && std::isfinite(lon) && std::fabs(lat) <= 90 && std::fabs(lon) <= 180)
            cities.push_back({text(geonames_city_get_name(c)), text(geonames_city_get_state(c)),
                              text(geonames_city_get_country(c)), lat, lon, geonames_city_get_population(c)});
        geonames_city_free(c);
    }
    return CityIndex(std::move(cities));
}

std::shared_ptr<const CityIndex> CityIndex::shared() {
    if (sharedBuilt.load(std::memory_order_acquire)) return sharedIndex;
    std::lock_guard lock(sharedMutex);
    if (!sharedIndex) {
        sharedIndex = std::make_shared<const CityIndex>(fromGeonames());
        sharedBuilt.store(true, std::memory_order_release);
    }
    return sharedIndex;
}

std::shared_ptr<const CityIndex> CityIndex::ifBuilt() {
    return sharedBuilt.load(std::memory_order_acquire) ? sharedIndex : nullptr;
}

void CityIndex::visit(double minLat, double maxLat, double minLon, double maxLon, uint32_t minPopulation,
                      const std::function<bool(const City&)>& visit) const {
    if (!(minLat <= maxLat) || !(minLon <= maxLon)) return;
    minLat = std::max(minLat, -90.0), maxLat = std::min(maxLat, 90.0);
    minLon = std::max(minLon, -180.0), maxLon = std::min(maxLon, 180.0);
    auto inside = [&](const City& c) {
        return c.population >= minPopulation && c.lat >= minLat && c.lat <= maxLat && c.lon >= minLon &&
               c.lon <= maxLon;
    };
    const int r0 = bucketOf(minLat, 0) / columns, r1 = bucketOf(maxLat, 0) / columns;
    const int c0 = bucketOf(0, minLon) % columns, c1 = bucketOf(0, maxLon) % columns;
    const long cells = long(r1 - r0 + 1) * (c1 - c0 + 1);
    // A wide box is cheaper to answer from the whole list, which is already
    // in population order and can stop at the threshold.
    if (cells * 8 > long(cities_.size())) {
        for (const City& c : cities_) {
            if (c.population < minPopulation) return;
            if (inside(c) && !visit(c)) return;
        }
        return;
    }
    std::vector<uint32_t> found;
    for (int r = r0; r <= r1; ++r)
        for (int c = c0; c <= c1; ++c)
            for (uint32_t i : buckets_[size_t(r * columns + c)]) {
                if (cities_[i].population < minPopulation) break;
                if (inside(cities_[i])) found.push_back(i);
            }
    std::sort(found.begin(), found.end());  // positions in the list are population order
    for (uint32_t i : found)
        if (!visit(cities_[i])) return;
}

}  // namespace vintrelle
