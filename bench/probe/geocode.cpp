#include <chrono>
#include <clocale>
#include <cstdlib>

#include "Core/Places/Geocoder.h"
#include "Probe.h"

namespace {

bool parseDegrees(const std::string& s, double& out) {
    char* end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return !s.empty() && end == s.c_str() + s.size();
}

int geocode(const probe::Args& args) {
    double lat = 0, lon = 0;
    if (args.size() != 2 || !parseDegrees(args[0], lat) || !parseDegrees(args[1], lon))
        return probe::fail("usage: vintrelle-probe geocode LAT LON");
    std::setlocale(LC_MESSAGES, "");  // city, state and country names in the user's language
    auto geocoder = vintrelle::OfflineGeocoder::shared();
    geocoder->prepare();  // time the lookup, not the one-off index build
    const auto t0 = std::chrono::steady_clock::now();
    const auto place = geocoder->nearest(lat, lon);
    const auto us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    probe::Json j = probe::Json::object();
    if (place) {
        j["locality"] = place->locality ? probe::Json(*place->locality) : probe::Json(nullptr);
        j["admin"] = place->administrativeArea ? probe::Json(*place->administrativeArea) : probe::Json(nullptr);
        j["country"] = place->country ? probe::Json(*place->country) : probe::Json(nullptr);
    }
    j["us"] = us;
    probe::emit(j);
    return 0;
}

probe::Register reg("geocode", "LAT LON", geocode);

}  // namespace
