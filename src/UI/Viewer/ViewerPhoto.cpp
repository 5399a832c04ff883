#include "UI/Viewer/ViewerPhoto.h"

#include <QAbstractButton>
#include <QPainter>
#include <QPainterPath>

#include "UI/Kit/Fonts.h"
#include "UI/Kit/Icons.h"
#include "UI/Viewer/ZoomableImage.h"

namespace vintrelle {

// The capsule that plays and stops a live photo: white on translucent black,
// readable on any photo and in either appearance.
class ViewerPhoto::LiveControl final : public QAbstractButton {
public:
    explicit LiveControl(QWidget* parent) : QAbstractButton(parent) {
        setToolTip(tr("Play the Live Photo"));
        setAccessibleName(toolTip());
        setFocusPolicy(Qt::NoFocus);
        setCursor(Qt::ArrowCursor);
        resize(sizeHint());
    }
    void setPlaying(bool playing) {
        playing_ = playing;
        update();
    }
    QSize sizeHint() const override {
        const QFont f = Fonts::font(10.5, QFont::Bold);
        const qreal text = QFontMetricsF(f).horizontalAdvance(label()) + 0.6 * (label().size() - 1);
        return {int(std::ceil(9 + Icons::sideFor(11) + 5 + text + 9)), 24};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath capsule;
        capsule.addRoundedRect(QRectF(rect()), height() / 2.0, height() / 2.0);
        p.fillPath(capsule, QColor(0, 0, 0, 128));
        const qreal side = Icons::sideFor(11);
        Icons::paint(p, QRectF(9, (height() - side) / 2, side, side), playing_ ? "stop.fill" : "livephoto", 11,
                     Qt::white, QFont::DemiBold);
        QFont f = Fonts::font(10.5, QFont::Bold);
        f.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
        p.setFont(f);
        p.setPen(Qt::white);
        p.drawText(QRectF(9 + side + 5, 0, width(), height()), Qt::AlignLeft | Qt::AlignVCenter, label());
    }

private:
    static QString label() { return QStringLiteral("LIVE"); }
    bool playing_ = false;
};

ViewerPhoto::ViewerPhoto(FullImageCache& fullImages, QWidget* parent)
    : QWidget(parent), fullImages_(fullImages), zoom_(new ZoomableImage(this)), live_(new LiveControl(this)) {
    live_->move(14, 14);
    live_->hide();
    connect(live_, &QAbstractButton::clicked, this, [this] { setPlayingLive(!playingLive_); });
}

ViewerPhoto::~ViewerPhoto() { cancelLoads(); }

void ViewerPhoto::cancelLoads() {
    if (thumbLoad_) thumbLoad_->cancel();
    thumbLoad_.reset();
    fullImages_.cancel(fullTicket_);
    fullImages_.cancel(prefetchTicket_);
    fullTicket_ = prefetchTicket_ = 0;
}

void ViewerPhoto::clear() {
    cancelLoads();
    setPlayingLive(false);
    shown_.reset();
    neighbours_.clear();
    image_ = QImage();
    stage_ = Stage::none;
    zoom_->setImage(QImage(), -1);
    updateLiveControl();
}

void ViewerPhoto::setPhoto(const LibraryPaths& paths, std::shared_ptr<ThumbnailCache> thumbs, const Asset& asset,
                           std::vector<Asset> neighbours) {
    const FullImageCache::Key key = FullImageCache::keyFor(paths.root, asset);
    if (shown_ && FullImageCache::keyFor(paths_.root, *shown_) == key) {
        shown_ = asset;  // a new record of the same picture (a favourite flag)
        updateLiveControl();
        return;
    }
    cancelLoads();
    setPlayingLive(false);
    paths_ = paths;
    thumbs_ = std::move(thumbs);
    shown_ = asset;
    neighbours_ = std::move(neighbours);
    nextNeighbour_ = 0;
    stage_ = Stage::none;
    image_ = QImage();
    updateLiveControl();

    if (auto full = fullImages_.cached(key)) {
        setPicture(*full, Stage::full);
        prefetchNext();
        return;
    }
    const std::string thumbFile = paths_.thumbURL(asset.id);
    std::optional<QImage> thumb = thumbs_ ? thumbs_->cached(thumbFile) : std::nullopt;
    setPicture(thumb.value_or(QImage()), thumb ? Stage::thumbnail : Stage::none);
    if (!thumb && thumbs_ && asset.thumbState == 1) {
        thumbLoad_ = thumbs_->load(thumbFile, [this](const QImage& img) {
            thumbLoad_.reset();
            if (stage_ == Stage::none && !img.isNull()) setPicture(img, Stage::thumbnail);
        });
    }
    // The full image is asked for at once, not after the thumbnail: the two
    // decode side by side, and the thumbnail never replaces the full image.
    fullTicket_ = fullImages_.load(key, fileOf(asset), [this](const QImage& img) {
        fullTicket_ = 0;
        if (!img.isNull()) setPicture(img, Stage::full);
        prefetchNext();
    });
}

void ViewerPhoto::setPicture(const QImage& image, Stage stage) {
    image_ = image;
    stage_ = stage;
    if (stage == Stage::full && thumbLoad_) {
        thumbLoad_->cancel();
        thumbLoad_.reset();
    }
    zoom_->setImage(image, shownID());
    emit stageChanged(stage);
}

void ViewerPhoto::prefetchNext() {
    while (nextNeighbour_ < neighbours_.size()) {
        const Asset& n = neighbours_[nextNeighbour_++];
        if (n.kind == MediaKind::video) continue;
        const FullImageCache::Key key = FullImageCache::keyFor(paths_.root, n);
        if (fullImages_.cached(key)) continue;
        prefetchTicket_ = fullImages_.load(
            key, fileOf(n),
            [this](const QImage&) {
                prefetchTicket_ = 0;
                prefetchNext();
            },
            FullImageCache::Priority::prefetch);
        return;
    }
}

// ---- live photo ----------------------------------------------------------------

QAbstractButton* ViewerPhoto::liveControl() const { return live_; }

void ViewerPhoto::setLiveMovieFactory(LiveMovieFactory factory) {
    liveFactory_ = std::move(factory);
    updateLiveControl();
}

void ViewerPhoto::updateLiveControl() {
    const bool live = liveFactory_ && shown_ && shown_->liveVideo && !shown_->liveVideo->empty();
    live_->setVisible(live);
    live_->raise();
    if (!live) setPlayingLive(false);
}

void ViewerPhoto::setPlayingLive(bool on) {
    if (on && !(liveFactory_ && shown_ && shown_->liveVideo)) on = false;
    if (on == playingLive_) return;
    playingLive_ = on;
    live_->setPlaying(on);
    if (liveMovie_) {
        // A stop silences the movie at once; only when its own end report is
        // what stops it does it go after that call has returned.
        if (finishingLive_) liveMovie_->deleteLater();
        else delete liveMovie_;
        liveMovie_ = nullptr;
    }
    if (on) {
        const int generation = ++liveGeneration_;
        liveMovie_ = liveFactory_(
            paths_.root + "/" + *shown_->liveVideo,
            [this, generation] {
                if (generation != liveGeneration_ || !playingLive_) return;  // a movie stopped before
                finishingLive_ = true;
                setPlayingLive(false);
                finishingLive_ = false;
            },
            this);
        if (liveMovie_) {
            liveMovie_->setAttribute(Qt::WA_TransparentForMouseEvents);
            liveMovie_->setGeometry(rect());
            liveMovie_->show();
            live_->raise();
        }
    }
}

void ViewerPhoto::resizeEvent(QResizeEvent*) {
    zoom_->setGeometry(rect());
    if (liveMovie_) liveMovie_->setGeometry(rect());
}

}  // namespace vintrelle
