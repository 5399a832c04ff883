// Reverse geocoding and trip detection at library scale.

#include <benchmark/benchmark.h>

#include <geonames.h>

#include <random>

#include "Core/Places/Geocoder.h"
#include "Core/Places/TripDetector.h"

using namespace vintrelle;

namespace {

std::vector<std::pair<double, double>> nearCities(size_t n) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> jitter(-0.3, 0.3);
    const int cities = geonames_get_n_cities();
    std::vector<std::pair<double, double>> out;
    for (size_t i = 0; i < n; ++i) {
        GeonamesCity* c = geonames_get_city(int(rng() % unsigned(cities)));
        out.emplace_back(geonames_city_get_latitude(c) + jitter(rng), geonames_city_get_longitude(c) + jitter(rng));
        geonames_city_free(c);
    }
    return out;
}

std::vector<std::pair<double, double>> anywhere(size_t n) {
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
    std::vector<std::pair<double, double>> out;
    for (size_t i = 0; i < n; ++i) out.emplace_back(lat(rng), lon(rng));
    return out;
}

void geocoderIndexBuild(benchmark::State& state) {
    for (auto _ : state) {
        OfflineGeocoder g;
        g.prepare();
        benchmark::DoNotOptimize(g.cityCount());
    }
}
BENCHMARK(geocoderIndexBuild)->Unit(benchmark::kMillisecond);

void lookups(benchmark::State& state, const std::vector<std::pair<double, double>>& points) {
    OfflineGeocoder g;
    g.prepare();
    size_t i = 0, named = 0;
    for (auto _ : state) {
        const auto& [lat, lon] = points[i++ % points.size()];
        auto p = g.nearest(lat, lon);
        named += p.has_value();
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["named"] = double(named) / double(state.iterations());
}
void geocoderLookupNearCities(benchmark::State& state) { lookups(state, nearCities(4096)); }
void geocoderLookupAnywhere(benchmark::State& state) { lookups(state, anywhere(4096)); }
BENCHMARK(geocoderLookupNearCities)->Unit(benchmark::kMicrosecond);
BENCHMARK(geocoderLookupAnywhere)->Unit(benchmark::kMicrosecond);

// Five years of a photographer living in one city: a few photos most days
// at home, a trip of a few days every month or so to one of a dozen places.
std::vector<GeoPoint> library(size_t n) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> jitter(-0.05, 0.05), unit(0, 1);
    const std::pair<double, double> home{38.72, -9.14};
    const std::vector<std::pair<double, double>> places = {
        {41.15, -8.61}, {40.42, -3.70}, {48.86, 2.35},   {51.51, -0.13}, {52.52, 13.40}, {41.90, 12.50},
        {37.98, 23.73}, {35.68, 139.69}, {40.71, -74.0}, {-33.87, 151.2}, {64.15, -21.94}, {-22.9, -43.2}};
    std::vector<GeoPoint> out;
    out.reserve(n);
    double t = 1.6e9;
    while (out.size() < n) {
        const bool trip = unit(rng) < 0.04;
        const auto& at = trip ? places[rng() % places.size()] : home;
        const int days = trip ? 2 + int(rng() % 6) : 1;
        for (int d = 0; d < days && out.size() < n; ++d, t += 86400)
            for (int k = 0, m = trip ? 15 + int(rng() % 20) : int(rng() % 6); k < m && out.size() < n; ++k)
                out.push_back({t + 3600 * 8 + 600 * k, at.first + jitter(rng), at.second + jitter(rng)});
    }
    std::shuffle(out.begin(), out.end(), rng);  // the index hands them over in its own order
    return out;
}

void tripDetection(benchmark::State& state) {
    const auto points = library(size_t(state.range(0)));
    size_t trips = 0;
    for (auto _ : state) {
        trips = TripDetector::detect(points).size();
        benchmark::DoNotOptimize(trips);
    }
    state.counters["trips"] = double(trips);
    state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(tripDetection)->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
