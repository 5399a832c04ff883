#pragma once
// The screen of the places route: every geotagged photo and video of the
// open library on the world map, gathered into at most 96 bubbles by a
// fixed grid over the settled region. Clicking a bubble names the place
// (off the main thread, through the open library's place resolver) and
// opens the cluster's bounds as a place grid. Nothing geotagged: the empty
// state. Leaving the route discards the screen's state, so coming back
// fits the map to every geotagged asset again. Shown, the map takes the
// keyboard, so its keys work at once.

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/Index/Models.h"
#include "Core/Places/PlaceClusters.h"
#include "UI/Kit/PlaceLookup.h"

class QStackedLayout;

namespace vintrelle {

class AppModel;
class EmptyState;
class LibraryStore;
class MapWidget;
class PlaceBubbleLayer;

class PlacesScreen final : public QWidget {
    Q_OBJECT
public:
    // Names a coordinate off the main thread; none when the store has no
    // engine (then a click does nothing). Tests put a latched one in.
    using Lookup = placelookup::Lookup;
    using LookupSource = placelookup::Source;
    static LookupSource resolverLookup() { return placelookup::resolver(); }

    explicit PlacesScreen(AppModel& model, QWidget* parent = nullptr);
    ~PlacesScreen() override;

    void setLookupSource(LookupSource source) { lookupSource_ = std::move(source); }

    // For the window's diagnostics and tests.
    MapWidget* map() const { return map_; }
    bool showsEmptyState() const;
    // Fits the map to every geotagged asset, as on first appearance.
    void fitAll();
    // Centres the map on a coordinate at a zoom (1 … 18).
    void zoomTo(double lat, double lon, double zoom);
    // True when the map has come to rest: tiles, city names and covers in.
    bool isSettled() const;
    const std::vector<PlaceCluster>& clusters() const { return clusters_; }
    const std::optional<MapRegion>& region() const { return region_; }
    const std::optional<std::string>& opening() const { return opening_; }

    // A bubble's action: names the place, then opens it as a place route.
    // Ignored while another lookup runs.
    void open(const PlaceCluster& cluster);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void storeChanged();
    void routeChanged();
    void revisionChanged();
    void discardState();
    void refreshPoints();
    void showMapOrEmpty();
    // Gives the map the keyboard focus unless a text field has it.
    void focusMap();
    void movementEnded(const MapRegion& region);
    void recompute();
    void lookupFinished(const std::string& id, const std::weak_ptr<LibraryStore>& store, PlaceBox box,
                        const std::optional<PlaceName>& name);

    AppModel& model_;
    LookupSource lookupSource_;
    QStackedLayout* stack_ = nullptr;
    EmptyState* empty_ = nullptr;
    MapWidget* map_ = nullptr;
    PlaceBubbleLayer* bubbles_ = nullptr;

    std::weak_ptr<LibraryStore> store_;  // the store the points were taken from
    int pointsRevision_ = -1;
    std::vector<PlacePoint> points_;  // the store's assets with a map position, in store order
    std::optional<MapRegion> region_;  // where the clusters were computed for; none until the first fit
    std::vector<PlaceCluster> clusters_;
    std::optional<std::string> opening_;
    bool fitting_ = false;  // the camera moves because the screen fits it
};

}  // namespace vintrelle
