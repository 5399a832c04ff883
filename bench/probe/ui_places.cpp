// vintrelle-probe ui --route places --zoom-to LAT,LON,Z: the map centred on a
// coordinate at a zoom (1 … 18) instead of fitted to every photo.

#include <cmath>
#include <cstdio>

#include "UI/Places/PlacesScreen.h"
#include "UI/Window/MainWindow.h"
#include "UI/Window/RootView.h"
#include "UiProbe.h"

namespace {

using namespace vintrelle;

probe::UiOption zoomTo("--zoom-to", "LAT,LON,Z", probe::UiStage::afterRoute,
                       [](probe::UiSession& s, const std::string& value) -> std::string {
                           double lat = 0, lon = 0, zoom = 0;
                           char tail = 0;
                           if (std::sscanf(value.c_str(), "%lf,%lf,%lf%c", &lat, &lon, &zoom, &tail) != 3 ||
                               !std::isfinite(lat) || !std::isfinite(lon) || std::abs(lat) > 90 ||
                               std::abs(lon) > 180 || zoom < 1 || zoom > 18)
                               return "bad --zoom-to " + value + " (LAT,LON,ZOOM with zoom 1 to 18)";
                           // The screen fits the map on its first settle; the centring comes after.
                           s.settle(60000);
                           auto* places = qobject_cast<PlacesScreen*>(s.window.root().screen());
                           if (!places) return "--zoom-to needs --route places";
                           places->zoomTo(lat, lon, zoom);
                           return {};
                       });

}  // namespace
