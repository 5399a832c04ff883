#include "Core/Places/Mercator.h"

#include <algorithm>
#include <numbers>

namespace vintrelle {

namespace {
constexpr double pi = std::numbers::pi;
constexpr double earthCircumference = 40075016.686;  // metres at the equator, the projection's sphere
}  // namespace

namespace mercator {

double x(double lon) { return (lon + 180.0) / 360.0; }

double y(double lat) {
    const double phi = std::clamp(lat, -maxLatitude, maxLatitude) * pi / 180.0;
    return (1.0 - std::log(std::tan(phi) + 1.0 / std::cos(phi)) / pi) / 2.0;
}

double lon(double x) { return x * 360.0 - 180.0; }

double lat(double y) { return std::atan(std::sinh(pi * (1.0 - 2.0 * y))) * 180.0 / pi; }

}  // namespace mercator

double wrapLongitude(double lon) {
    if (lon >= -180 && lon < 180) return lon;
    if (!std::isfinite(lon)) return lon;
    double w = std::fmod(lon + 180, 360.0);
    if (w < 0) w += 360;
    return w >= 360 ? -180 : w - 180;  // a tiny negative remainder rounds up to 360
}

void MapCamera::setViewport(double width, double height) {
    width_ = std::max(width, 1.0), height_ = std::max(height, 1.0);
    clamp();
}

double MapCamera::minZoom() const { return std::log2(width_ / mercator::tileSize); }

void MapCamera::setCenter(double lat, double lon, double zoom) {
    setCenterNormalized(mercator::x(lon), mercator::y(lat), zoom);
}

void MapCamera::setCenterNormalized(double x, double y, double zoom) {
    if (std::isfinite(x)) cx_ = x;
    if (std::isfinite(y)) cy_ = y;
    if (std::isfinite(zoom)) zoom_ = zoom;
    clamp();
}

void MapCamera::panBy(double dx, double dy) {
    const double w = worldSize();
    setCenterNormalized(cx_ - dx / w, cy_ - dy / w, zoom_);
}

void MapCamera::zoomAbout(ViewPoint anchor, double zoom) {
    if (!std::isfinite(zoom)) return;
    const double w0 = worldSize();
    const double ax = cx_ + (anchor.x - width_ / 2) / w0, ay = cy_ + (anchor.y - height_ / 2) / w0;
    zoom_ = std::clamp(zoom, minZoom(), maxZoom);
    const double w1 = worldSize();
    cx_ = ax - (anchor.x - width_ / 2) / w1, cy_ = ay - (anchor.y - height_ / 2) / w1;
    clamp();
}

void MapCamera::fit(const MapRegion& r) {
    // East and west the region may reach across the 180° line: the world wraps.
    const double dx = std::clamp(r.spanLon / 360.0, 1e-12, 1.0);
    const double north = mercator::y(r.centerLat + r.spanLat / 2);
    const double south = mercator::y(r.centerLat - r.spanLat / 2);
    const double dy = std::max(south - north, 1e-12);
    const double zoom = std::log2(std::min(width_ / dx, height_ / dy) / mercator::tileSize);
    setCenterNormalized(mercator::x(wrapLongitude(r.centerLon)), (north + south) / 2, zoom);
}

ViewPoint MapCamera::toViewNormalized(double x, double y) const {
    const double w = worldSize();
    return {(x - cx_) * w + width_ / 2, (y - cy_) * w + height_ / 2};
}

ViewPoint MapCamera::toView(double lat, double lon) const {
    return toViewNormalized(mercator::x(lon), mercator::y(lat));
}

void MapCamera::fromView(ViewPoint p, double& lat, double& lon) const {
    const double w = worldSize();
    lon = mercator::lon(cx_ + (p.x - width_ / 2) / w);
    lat = mercator::lat(std::clamp(cy_ + (p.y - height_ / 2) / w, 0.0, 1.0));
}

MapRegion MapCamera::region() const {
    double north = 0, south = 0, west = 0, east = 0;
    fromView({0, 0}, north, west);
    fromView({width_, height_}, south, east);
    return {centerLat(), centerLon(), north - south, std::min(east - west, 360.0)};
}

double MapCamera::metresPerPixel() const {
    return earthCircumference * std::cos(centerLat() * pi / 180) / worldSize();
}

void MapCamera::clamp() {
    zoom_ = std::clamp(zoom_, minZoom(), maxZoom);
    const double w = worldSize();
    const double halfY = height_ / 2 / w;
    cx_ -= std::floor(cx_);
    if (cx_ >= 1) cx_ = 0;  // a tiny negative x rounds up to 1
    cy_ = halfY >= 0.5 ? 0.5 : std::clamp(cy_, halfY, 1 - halfY);
}

}  // namespace vintrelle
