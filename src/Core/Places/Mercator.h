#pragma once
// Web Mercator and the camera of a map view over it. Positions in the world
// are normalised to 0…1 (x east from −180°, y south from +85.0511°); at zoom
// z the world is 256·2^z logical pixels wide and high. Zoom is fractional.
// The world does not wrap: the view never shows beyond ±180°.

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

struct ViewPoint {
    double x = 0;
    double y = 0;
};

// A camera (centre and zoom) over a viewport of logical pixels, kept inside
// the world: zoom between the world fitting the viewport's width and
// maxZoom, and the centre where the view shows no space beyond the world's
// edges (a world shorter than the view is centred vertically).
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
    double centerLon() const { return mercator::lon(cx_); }

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
    // Latitude and longitude (as x, y = lon, lat) at a view point.
    void fromView(ViewPoint p, double& lat, double& lon) const;
    // What the view shows: centre, latitude span from its top to its bottom
    // edge and longitude span across its width (both within the world).
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
