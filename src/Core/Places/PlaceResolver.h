#pragma once
// Names coordinates through a reverse geocoder and remembers every answer
// in the index's geocache, so a position near one asked before is answered
// at once and offline.
//
// Thread-safe and blocking: call resolve off the main thread. The lock only
// guards the resolver's two counters; it is never held while sleeping, while
// the geocoder works or while the database is used, so a screen's lookup
// never queues behind a long trip-naming run.

#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "Core/Places/Geocoder.h"
#include "Core/Index/LibraryDB.h"
#include "Core/Index/Models.h"

namespace vintrelle {

// Time as the resolver sees it, so tests can drive the request spacing.
class ResolverClock {
public:
    virtual ~ResolverClock() = default;
    // Monotonic seconds.
    virtual double now() = 0;
    // Returns after seconds, or as soon as stop is requested.
    virtual void sleep(double seconds, std::stop_token stop) = 0;
    static std::shared_ptr<ResolverClock> system();
};

class PlaceResolver {
public:
    // After more failed requests in a row than this, only the cache answers
    // until resetFailures() or a successful request.
    static constexpr int maxFailures = 3;

    explicit PlaceResolver(std::shared_ptr<LibraryDB> db,
                           std::shared_ptr<ReverseGeocoder> geocoder = OfflineGeocoder::shared(),
                           std::shared_ptr<ResolverClock> clock = ResolverClock::system());

    // The place at a coordinate in degrees: the cached answer (a remembered
    // empty answer is a PlaceName with no parts), else the geocoder's, which
    // is then cached. Nothing when uncached and the geocoder failed, found
    // no placemark, or is not asked any more. A stop request cuts the wait
    // for the geocoder's spacing short; the request is still made.
    std::optional<PlaceName> resolve(double lat, double lon, std::stop_token stop = {});

    // Every trip-naming run starts with a fresh allowance of failures.
    void resetFailures();
    int failures() const;

    // The cache key: "%.2f,%.2f" of latitude and longitude, always with a
    // full stop as decimal mark whatever the C locale ("38.72,-9.14").
    static std::string cacheKey(double lat, double lon);

private:
    std::shared_ptr<LibraryDB> db_;
    std::shared_ptr<ReverseGeocoder> geocoder_;
    std::shared_ptr<ResolverClock> clock_;

    mutable std::mutex mutex_;
    std::optional<double> lastRequest_;  // nothing: the distant past
    int failures_ = 0;
};

}  // namespace vintrelle
