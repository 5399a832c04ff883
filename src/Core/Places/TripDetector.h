#pragma once
// Trips found in where and when photos were taken, and their titles made
// from place names. Everything here is pure: no state, no I/O.
//
// detect learns where home is (places photographed in many distinct weeks,
// over the whole library and year by year), then collects runs of points
// taken far from every home; a long enough run is a trip, summarised by up
// to four stops with up to three sample positions each for naming.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Core/Index/Models.h"

namespace vintrelle {

// One capture point: wall-clock seconds (as Asset::taken) and degrees.
struct GeoPoint {
    double taken = 0;
    double lat = 0;
    double lon = 0;
};

struct LatLon {
    double lat = 0;
    double lon = 0;
    bool operator==(const LatLon&) const = default;
};

struct TripStop {
    double lat = 0;  // mean position of the stop's points
    double lon = 0;
    int count = 0;                 // the trip's points in this stop
    std::vector<LatLon> samples;   // one to three positions of actual points
};

struct TripCandidate {
    double start = 0;  // capture time of the first point
    double end = 0;    // capture time of the last point
    std::vector<TripStop> stops;  // at most four, in the order first visited
    int photoCount = 0;
};

struct TripTitle {
    std::string title;
    std::string subtitle;
    bool operator==(const TripTitle&) const = default;
};

class TripDetector {
public:
    // Below this many points nothing can be learnt about home.
    static constexpr size_t minPoints = 20;
    static constexpr double homeCellDegrees = 0.25;
    static constexpr double daySeconds = 86'400;
    static constexpr int64_t daysPerWeek = 7;
    // The busiest home cell must have been photographed in this many distinct
    // weeks before any home is trusted...
    static constexpr size_t minHomeWeeksLibrary = 3;
    // ...and in this many within one year before that year uses its own homes.
    static constexpr size_t minHomeWeeksYear = 5;
    // A cell is a home when its weeks reach max(ceil(strongest * fraction), floor).
    static constexpr double homeWeeksFraction = 0.5;
    static constexpr size_t homeWeeksFloor = 6;
    static constexpr double awayKm = 80;
    static constexpr double splitGapSeconds = 345'600;  // 4 days
    static constexpr int homeStreakEndingTrip = 3;
    static constexpr size_t minTripPoints = 6;
    static constexpr double minTripSeconds = 14'400;  // 4 hours
    static constexpr double stopCellDegrees = 0.4;
    static constexpr size_t smallTripPoints = 24;
    static constexpr int smallTripStopPoints = 2;
    static constexpr size_t stopPointsDivisor = 12;
    static constexpr size_t maxStops = 4;
    static constexpr double sampleSpreadKm = 4;
    // Capture times beyond this magnitude (about three million years) are
    // not real and would overflow day arithmetic; such points are skipped.
    static constexpr double largestTakenMagnitude = 1e14;

    // Trips in chronological order; empty when there are none. Points whose
    // time or position is not a finite, valid value are skipped.
    static std::vector<TripCandidate> detect(std::vector<GeoPoint> points);

    // Folds the place names of one stop's samples into one name: several
    // towns in a single region are named after the region; otherwise the
    // first place. Nothing for no places.
    static std::optional<PlaceName> merge(const std::vector<PlaceName>& places);

    // Title and subtitle from the place names of a trip's stops, in stop
    // order ("Lisbon & Porto" / "Portugal"); nothing when no place has any part.
    static std::optional<TripTitle> title(const std::vector<PlaceName>& places);

    // The title of a trip not yet named: "Trip in " + the month of its start.
    static std::string autoTitle(double start);

    static constexpr const char* andSeparator = " & ";
    static constexpr const char* commaSeparator = ", ";
    static constexpr const char* dotSeparator = " \u00B7 ";
    static constexpr const char* moreSuffix = " & more";
    static constexpr const char* autoTitlePrefix = "Trip in ";
};

}  // namespace vintrelle
