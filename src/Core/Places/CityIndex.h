#pragma once
// Every city libgeonames lists, read once per process and shared by the
// offline geocoder (which names places after them) and the map (which
// labels them). Cities are bucketed by whole degrees of latitude and
// longitude, each bucket and the whole list ordered by population, so a
// map view asks only the buckets it covers.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vintrelle {

struct City {
    std::string name;
    std::string state;    // may be empty
    std::string country;  // may be empty
    double lat = 0;
    double lon = 0;
    uint32_t population = 0;
};

class CityIndex {
public:
    // Builds the index on the first call (blocking, a few tens of
    // milliseconds: never call it first on the main thread); later calls,
    // from any thread, return the same index at once.
    static std::shared_ptr<const CityIndex> shared();
    // The shared index when it has been built, else nothing; never blocks.
    static std::shared_ptr<const CityIndex> ifBuilt();

    // Reads libgeonames; texts come in the user's language where it has
    // translations for it. Cities without a finite position are skipped.
    static CityIndex fromGeonames();
    explicit CityIndex(std::vector<City> cities);

    const std::vector<City>& cities() const { return cities_; }

    // Calls visit with the cities inside the box whose population is at
    // least minPopulation, most populous first, until visit returns false.
    // A box with minLon > maxLon is empty: a view across the 180° line asks
    // for each side on its own.
    void visit(double minLat, double maxLat, double minLon, double maxLon, uint32_t minPopulation,
               const std::function<bool(const City&)>& visit) const;

private:
    static int bucketOf(double lat, double lon);
    std::vector<City> cities_;                      // most populous first
    std::vector<std::vector<uint32_t>> buckets_;    // 180 × 360, each most populous first
};

}  // namespace vintrelle
