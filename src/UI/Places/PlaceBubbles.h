#pragma once
// The places map's clusters as bubbles: the cover photo in a 58 × 58
// rounded square (radius 11) with a white inner border and a soft shadow,
// a count badge at the top-right corner when it holds more than one photo,
// dimmed while its place is being looked up; drawn at every copy of the
// world the view shows. Covers load through the
// store's thumbnail cache and are scaled once, off the main thread, for the
// screen's device pixel ratio.

#include <QCache>
#include <QObject>
#include <QPixmap>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Core/Index/LibraryPaths.h"
#include "Core/Places/PlaceClusters.h"
#include "Store/ThumbnailCache.h"
#include "UI/Places/MapWidget.h"

namespace vintrelle {

class PlaceBubbleLayer final : public QObject, public MapOverlay {
    Q_OBJECT
public:
    static constexpr qreal side = 58;
    static constexpr qreal radius = 11;
    static constexpr qreal borderWidth = 2.5;
    static constexpr qreal dimmedOpacity = 0.6;

    explicit PlaceBubbleLayer(QObject* parent = nullptr);
    ~PlaceBubbleLayer() override;

    // Where covers come from; without a cache every bubble shows the placeholder.
    void setSource(std::shared_ptr<ThumbnailCache> thumbs, std::optional<LibraryPaths> paths);
    void setClusters(std::vector<PlaceCluster> clusters);
    const std::vector<PlaceCluster>& clusters() const { return clusters_; }
    // The id of the cluster being looked up (drawn dimmed), or none.
    void setOpening(std::optional<std::string> id);

    // The bubble's rectangle around its coordinate (the world's copy whose
    // longitudes are within ±180°).
    static QRectF bubbleRect(const PlaceCluster& c, const MapCamera& camera);
    // The topmost cluster at a point of the view.
    const PlaceCluster* clusterAt(QPointF at, const MapCamera& camera) const;
    // Every bubble the view shows, with its badge: labels keep clear of them.
    std::vector<QRectF> keepClear(const MapCamera& camera) const override;
    // Whether a cover is still loading or being scaled (for tools and tests).
    bool coversPending() const { return !loading_.empty(); }

    void paint(QPainter& p, const MapCamera& camera) override;
    bool hits(QPointF at, const MapCamera& camera) const override { return clusterAt(at, camera) != nullptr; }
    void click(QPointF at, const MapCamera& camera) override;

    // One bubble (without its shadow) from a decoded thumbnail: centre
    // square, rounded, white border. Any thread.
    static QImage renderCover(const QImage& thumbnail, qreal dpr);
    // The badge's capsule, its top-right corner at `topRight`.
    static void paintBadge(QPainter& p, QPointF topRight, int64_t count, const QColor& fill);

signals:
    void clicked(const vintrelle::PlaceCluster& cluster);
    // A cover arrived: paint again.
    void changed();

private:
    // The rectangles of a cluster's bubble at each copy within `margin` of the view.
    template <class F>
    static void forEachRect(const PlaceCluster& c, const MapCamera& camera, double margin, F&& f);
    QString coverKey(int64_t id, qreal dpr) const;
    void requestCover(int64_t id, qreal dpr);
    void paintBubble(QPainter& p, const PlaceCluster& c, const QRectF& r, qreal dpr);
    // One bubble, dimmed while its place is looked up.
    void paintCopy(QPainter& p, const PlaceCluster& c, const QRectF& r, qreal dpr);

    std::vector<PlaceCluster> clusters_;
    std::optional<std::string> opening_;
    std::shared_ptr<ThumbnailCache> thumbs_;
    std::optional<LibraryPaths> paths_;
    QCache<QString, QPixmap> covers_{300};
    std::set<QString> loading_;
    std::set<QString> failed_;
};

}  // namespace vintrelle
