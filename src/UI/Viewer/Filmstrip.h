#pragma once
// The strip of small thumbnails under the viewer's photo: the current asset in
// the middle, wider and ringed, as many neighbours on each side as the width
// allows (blank squares past the ends keep the current one centred), and its
// position ("12 of 345") in the corner. A click on a neighbour asks to step
// by its offset. The strip paints its cells itself: only 2k + 1 exist, so its
// cost follows the width, never the list.

#include <QCache>
#include <QLocale>
#include <QPixmap>
#include <QWidget>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/Index/AssetList.h"
#include "Core/Index/LibraryPaths.h"
#include "Core/Index/Models.h"
#include "Store/ThumbnailCache.h"

namespace vintrelle {

class Filmstrip : public QWidget {
    Q_OBJECT
public:
    static constexpr int stripHeight = 66;
    static constexpr qreal cellSide = 46, currentWidth = 58, spacing = 4;

    explicit Filmstrip(QWidget* parent = nullptr);
    ~Filmstrip() override;

    void setLibrary(const LibraryPaths& paths, std::shared_ptr<ThumbnailCache> thumbs);
    // The viewer's list and its current position.
    void setState(std::shared_ptr<const AssetList> assets, int64_t index);

    // The neighbours shown on each side at a width: (width / 50) / 2 when
    // width / 50 is above 3, else 2.
    static int neighboursFor(qreal width);
    // The cell of each offset from -k to k, centred in a strip of that width.
    static std::vector<QRectF> cells(qreal width, int k);
    // "i of N" with both numbers grouped by the locale.
    static QString counterText(int64_t index, size_t count, const QLocale& locale = QLocale());
    // The offset of the cell with an asset under a point, if any.
    std::optional<int> offsetAt(QPointF point) const;

    QSize sizeHint() const override { return {400, stripHeight}; }

signals:
    void stepRequested(int offset);

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void resizeEvent(QResizeEvent*) override;

private:
    const Asset* assetAt(int offset) const;
    std::optional<std::string> thumbOf(const Asset& asset) const;
    QPixmap cellPixmap(const std::string& path, QSizeF size);
    void requestThumbnails();

    LibraryPaths paths_;
    std::shared_ptr<ThumbnailCache> thumbs_;
    std::shared_ptr<const AssetList> assets_;
    int64_t index_ = 0;
    int k_ = 2;
    std::map<std::string, ThumbnailCache::Operation> pending_;
    QCache<QString, QPixmap> scaled_{200};
};

}  // namespace vintrelle
