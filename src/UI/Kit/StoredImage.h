#pragma once
// A stored thumbnail or face crop filling its widget: the placeholder colour
// always, the picture cropped over it once it is there. A picture already in
// the thumbnail cache shows at once; one that must be decoded fades in when it
// arrives. Each (path, revision) is one load: a new one, hiding or
// reappearing starts over, and a result that arrives for an older load is
// dropped (generation counter), so a slow decode never replaces a newer
// picture. Until a new picture arrives the previous one stays; only a missing
// path clears it.

#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QVariantAnimation>
#include <QPainterPath>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>

#include "Store/ThumbnailCache.h"

namespace vintrelle {

class StoredImage : public QWidget {
    Q_OBJECT
public:
    explicit StoredImage(QWidget* parent = nullptr);
    ~StoredImage() override;

    // path: a thumbnail or face-crop file, or none for the placeholder only;
    // cache: the library's, shared, never owned here; revision: a counter
    // whose change reloads the picture.
    void setSource(std::optional<std::string> path, std::shared_ptr<ThumbnailCache> cache, int revision);

    // Shapes the picture and the placeholder take (callers draw borders).
    void setCornerRadius(qreal radius);
    void setCircular(bool circular);

    QImage image() const { return image_; }
    bool isFading() const { return fade_.state() == QAbstractAnimation::Running; }
    bool isLoading() const { return pending_.has_value(); }

signals:
    // A picture (or the absence of one) was taken in; repaint follows.
    void imageChanged();

protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;
    void hideEvent(QHideEvent*) override;

private:
    void run();
    void cancel();
    void take(const QImage& image, bool fade);
    QPainterPath shape() const;
    QPixmap filled(const QImage& image, QPixmap& slot, qint64& slotKey) const;

    std::optional<std::string> path_;
    std::shared_ptr<ThumbnailCache> cache_;
    QString key_;  // path + "#" + revision
    bool started_ = false;
    int generation_ = 0;
    std::optional<ThumbnailCache::Operation> pending_;

    QImage image_;
    QImage previous_;  // shown under image_ while it fades in
    QVariantAnimation fade_;
    qreal radius_ = 0;
    bool circular_ = false;

    mutable QPixmap scaled_, scaledPrevious_;
    mutable qint64 scaledKey_ = 0, scaledPreviousKey_ = 0;
};

}  // namespace vintrelle
