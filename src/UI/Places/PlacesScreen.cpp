#include "UI/Places/PlacesScreen.h"

#include <QElapsedTimer>
#include <QStackedLayout>

#include "App/AppModel.h"
#include "App/KeyFilter.h"
#include "Store/LibraryStore.h"
#include "UI/Kit/EmptyState.h"
#include "UI/Places/MapWidget.h"
#include "UI/Places/PlaceBubbles.h"

namespace vintrelle {

PlacesScreen::PlacesScreen(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), lookupSource_(resolverLookup()) {
    stack_ = new QStackedLayout(this);
    empty_ = new EmptyState(QStringLiteral("map"), tr("Nothing on the map yet"),
                            tr("Photos that remember where they were taken will be pinned here. Most phone photos "
                               "do; many camera photos don\u2019t."));
    map_ = new MapWidget;
    bubbles_ = new PlaceBubbleLayer(this);
    map_->setOverlay(bubbles_);
    stack_->addWidget(empty_);
    stack_->addWidget(map_);

    connect(bubbles_, &PlaceBubbleLayer::changed, map_, qOverload<>(&QWidget::update));
    connect(bubbles_, &PlaceBubbleLayer::clicked, this, &PlacesScreen::open);
    connect(map_, &MapWidget::movementEnded, this, &PlacesScreen::movementEnded);
    connect(&model_, &AppModel::storeChanged, this, &PlacesScreen::storeChanged);
    connect(&model_, &AppModel::routeChanged, this, &PlacesScreen::routeChanged);
    storeChanged();
}

PlacesScreen::~PlacesScreen() { map_->setOverlay(nullptr); }

bool PlacesScreen::showsEmptyState() const { return stack_->currentWidget() == empty_; }

void PlacesScreen::storeChanged() {
    auto store = model_.store();
    if (auto old = store_.lock()) disconnect(old.get(), nullptr, this, nullptr);
    store_ = store;
    pointsRevision_ = -1;
    if (store) {
        connect(store.get(), &LibraryStore::revisionChanged, this, &PlacesScreen::revisionChanged);
        bubbles_->setSource(store->thumbs(), store->paths());
    } else {
        bubbles_->setSource(nullptr, std::nullopt);
    }
    discardState();
    refreshPoints();
    showMapOrEmpty();
    if (isVisible()) fitAll();
}

void PlacesScreen::routeChanged() {
    if (model_.route().kind() != Route::Kind::places) {
        discardState();
        return;
    }
    if (isVisible() && !region_) fitAll();
}

void PlacesScreen::revisionChanged() {
    refreshPoints();
    showMapOrEmpty();
    // New photos move no camera; the first ones bring the map and its fit.
    if (region_)
        recompute();
    else if (isVisible())
        fitAll();
}

void PlacesScreen::discardState() {
    region_.reset();
    clusters_.clear();
    opening_.reset();
    bubbles_->setClusters({});
    bubbles_->setOpening(std::nullopt);
}

void PlacesScreen::refreshPoints() {
    auto store = store_.lock();
    if (!store) {
        points_.clear();
        return;
    }
    if (store->revision() == pointsRevision_) return;
    points_ = placePoints(store->assets());
    pointsRevision_ = store->revision();
}

void PlacesScreen::showMapOrEmpty() { stack_->setCurrentWidget(points_.empty() ? static_cast<QWidget*>(empty_) : map_); }

void PlacesScreen::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refreshPoints();
    showMapOrEmpty();
    if (!region_) fitAll();
    focusMap();
}

void PlacesScreen::focusMap() {
    if (stack_->currentWidget() != map_ || !map_->isVisible()) return;
    // The arrows and + / − work at once; a text field being typed in keeps
    // the keyboard.
    const QWidget* focus = window()->focusWidget();
    if (focus && focus->isVisible() && isEditingText(focus)) return;
    map_->setFocus(Qt::OtherFocusReason);
}

void PlacesScreen::fitAll() {
    if (points_.empty()) return;
    fitting_ = true;
    map_->fitRegion(boundingRegion(points_));
    fitting_ = false;
}

void PlacesScreen::zoomTo(double lat, double lon, double zoom) {
    fitting_ = true;
    map_->setCenter(lat, lon, zoom);
    fitting_ = false;
}

bool PlacesScreen::isSettled() const {
    return showsEmptyState() || (map_->isSettled() && !bubbles_->coversPending());
}

void PlacesScreen::movementEnded(const MapRegion& region) {
    // Until the first fit the camera shows nobody's choice (a resize of a
    // screen not yet shown): the fit on appearance decides.
    if (!region_ && !fitting_) return;
    region_ = region;
    recompute();
}

void PlacesScreen::recompute() {
    if (!region_) return;
    clusters_ = clusterPlaces(points_, *region_);
    bubbles_->setClusters(clusters_);
}

void PlacesScreen::open(const PlaceCluster& cluster) {
    if (opening_) return;
    const std::shared_ptr<LibraryStore> store = model_.store();
    if (!store || !lookupSource_) return;
    Lookup lookup = lookupSource_(*store);
    if (!lookup) return;  // no engine, no resolver: nothing to ask
    opening_ = cluster.id;
    bubbles_->setOpening(opening_);

    std::weak_ptr<LibraryStore> weak = store;
    placelookup::start(this, std::move(lookup), cluster.lat, cluster.lon,
                       [this, weak, id = cluster.id, box = cluster.box](const std::optional<PlaceName>& name) {
                           lookupFinished(id, weak, box, name);
                       });
}

void PlacesScreen::lookupFinished(const std::string& id, const std::weak_ptr<LibraryStore>& weak, PlaceBox box,
                                  const std::optional<PlaceName>& name) {
    // Leaving the route or switching the library discarded the lookup.
    if (opening_ != id) return;
    opening_.reset();
    bubbles_->setOpening(std::nullopt);
    const auto store = weak.lock();
    if (!store || store != model_.store() || model_.route().kind() != Route::Kind::places) return;
    const auto display = name ? name->display() : std::nullopt;
    box.title = display ? *display : tr("Photos Taken Here").toStdString();
    model_.push(Route::place(std::move(box)));
}

}  // namespace vintrelle
