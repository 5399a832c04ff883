#pragma once
// Web Mercator and the camera of a map view over it. Positions in the world
// are normalised to 0…1 (x east from −180°, y south from +85.0511°); at zoom
// z the world is 256·2^z logical pixels wide and high. Zoom is fractional.
// The world wraps east and west, as a globe turns: past ±180° the view shows
// the world again, one world-width over. North and south it ends.

#include <cmath>

namespace vintrelle {

// A latitude/longitude rectangle by its centre and its spans in degrees.
struct MapRegion {
    double centerLat = 0;
    double centerLon = 0;
    double spanLat = 0;
    double spanLon = 0;
    bool operator==(const MapRegion&) const = default;
};

namespace mercator {

// The latitude at which the square world ends: atan(sinh(π)).
inline constexpr double maxLatitude = 85.0511287798066;
inline constexpr double tileSize = 256;

inline double worldSize(double zoom) { return tileSize * std::exp2(zoom); }
double x(double lon);
double y(double lat);  // latitude clamped to ±maxLatitude
double lon(double x);
double lat(double y);

}  // namespace mercator

// The same longitude within −180 (included) and 180 (excluded).
double wrapLongitude(double lon);

struct ViewPoint {
    double x = 0;
    double y = 0;
};

// A camera (centre and zoom) over a viewport of logical pixels: zoom between
// the world fitting the viewport's width and maxZoom; the centre anywhere
// east or west (its normalised x kept within 0…1, the world repeating to
// either side) and vertically where the view shows no space beyond the
// poles' edges (a world shorter than the view is centred vertically).
//
// View and world positions convert without wrapping: a longitude east of
// 180° lies one world-width to the east of its twin below 180°, and a
// view point right of the world's copy gives such a longitude. What is
// drawn at a place draws every copy of it that the view shows.
class MapCamera {
public:
    static constexpr double maxZoom = 18;

    void setViewport(double width, double height);
    double width() const { return width_; }
    double height() const { return height_; }
    double minZoom() const;

    double zoom() const { return zoom_; }
    // Normalised centre.
    double centerX() const { return cx_; }
    double centerY() const { return cy_; }
    double centerLat() const { return mercator::lat(cy_); }
    double centerLon() const { return wrapLongitude(mercator::lon(cx_)); }

    void setCenter(double lat, double lon, double zoom);
    void setCenterNormalized(double x, double y, double zoom);
    // Moves the map with the pointer: content moves by (dx, dy) pixels.
    void panBy(double dx, double dy);
    // Zooms keeping the world position under the view point where it is.
    void zoomAbout(ViewPoint anchor, double zoom);
    // The camera that shows all of the region as large as it fits.
    void fit(const MapRegion& region);

    ViewPoint toView(double lat, double lon) const;
    ViewPoint toViewNormalized(double x, double y) const;
    // Latitude and longitude at a view point (the longitude unwrapped).
    void fromView(ViewPoint p, double& lat, double& lon) const;
    // Calls f with the view x of every copy of the world position at view x
    // `viewX` that lies within `margin` of the view, west to east.
    template <class F>
    void forEachCopy(double viewX, double margin, F&& f) const {
        const double w = worldSize();
        for (double x = viewX - std::floor((viewX + margin) / w) * w; x <= width_ + margin; x += w) f(x);
    }
    // What the view shows: centre (longitude wrapped), latitude span from
    // its top to its bottom edge (within the world) and longitude span
    // across its width (360° at most, the world being at least as wide).
    MapRegion region() const;
    double worldSize() const { return mercator::worldSize(zoom_); }
    // Metres per logical pixel at the centre.
    double metresPerPixel() const;

private:
    void clamp();
    double width_ = 256, height_ = 256;
    double cx_ = 0.5, cy_ = 0.5, zoom_ = 0;
};

}  // namespace vintrelle
