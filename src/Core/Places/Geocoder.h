#pragma once
// Reverse geocoding: what a coordinate is called. ReverseGeocoder is the
// seam a backend fills; OfflineGeocoder answers from the city list of
// libgeonames with no network at all.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vintrelle {

class CityIndex;

// What a geocoder says about a place; every text may be absent.
struct Placemark {
    std::optional<std::string> name;
    std::optional<std::string> locality;
    std::optional<std::string> subAdministrativeArea;
    std::optional<std::string> administrativeArea;
    std::optional<std::string> country;
    bool operator==(const Placemark&) const = default;
};

// Either an error or a (possibly empty) list of placemarks, best first.
struct GeocodeAnswer {
    std::optional<std::string> error;
    std::vector<Placemark> placemarks;
};

class ReverseGeocoder {
public:
    virtual ~ReverseGeocoder() = default;
    // Blocking; safe to call from several threads at once.
    virtual GeocodeAnswer reverseGeocode(double lat, double lon) = 0;
    // Least time in seconds between the starts of two requests: what a
    // rate-limited service demands of its callers, 0 when it has no limit.
    virtual double requestSpacing() const = 0;
};

// The nearest listed city within cutoffKm is the placemark (locality = the
// city, administrative area = its state, country = its country); farther
// away (open sea, ice, desert) there is none. Texts come in the user's
// language where libgeonames has translations for it. The index is built
// on the first lookup, once; lookups never run on the main thread, so
// neither does the build. Thread-safe.
class OfflineGeocoder final : public ReverseGeocoder {
public:
    // Within this distance a place is "near" a city in everyday speech; it
    // also matches the density of the list: 90% of its cities have another
    // listed city within 50 km, so in settled land nearly every point finds
    // one, while a city farther away would name the wrong place.
    static constexpr double cutoffKm = 50;

    // The cities to search, asked for on the first lookup; without a
    // source the geocoder reads libgeonames itself then (in the language of
    // that moment).
    using CitySource = std::function<std::shared_ptr<const CityIndex>()>;
    explicit OfflineGeocoder(CitySource cities = {});
    ~OfflineGeocoder() override;

    // The instance every resolver shares, over the city index the map
    // shares too, so the cities are read once per process.
    static std::shared_ptr<OfflineGeocoder> shared();

    GeocodeAnswer reverseGeocode(double lat, double lon) override;
    double requestSpacing() const override { return 0; }

    // The placemark of the nearest city within the cut-off; nothing beyond
    // it or for a coordinate that is not finite or out of range.
    std::optional<Placemark> nearest(double lat, double lon);
    // Builds the index now when it is not built yet (blocking).
    void prepare();
    size_t cityCount();

private:
    struct Index;
    CitySource cities_;
    std::once_flag built_;
    std::unique_ptr<Index> index_;
};

}  // namespace vintrelle
