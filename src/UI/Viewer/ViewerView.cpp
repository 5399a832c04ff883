#include "UI/Viewer/ViewerView.h"

#include <QAbstractButton>
#include <QEasingCurve>
#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "App/AppModel.h"
#include "Store/FullImageCache.h"
#include "Store/LibraryStore.h"
#include "UI/Kit/Icons.h"
#include "UI/Kit/Theme.h"
#include "UI/Viewer/Filmstrip.h"

namespace vintrelle {

// A round previous or next button over the photo; it fades with the pointer
// over the media.
class ViewerView::Arrow final : public QAbstractButton {
public:
    Arrow(const QString& symbol, const QString& help, ViewerView* owner, QWidget* parent)
        : QAbstractButton(parent), owner_(owner), symbol_(symbol) {
        setFixedSize(40, 40);
        setFocusPolicy(Qt::NoFocus);
        setCursor(Qt::ArrowCursor);
        setAccessibleName(help);
    }
    bool hitButton(const QPoint& pos) const override {
        return QLineF(pos, rect().center()).length() <= 20;  // the circle, not the corners
    }

protected:
    void paintEvent(QPaintEvent*) override {
        if (owner_->arrowOpacity_ <= 0) return;
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setOpacity(owner_->arrowOpacity_);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 115));
        p.drawEllipse(QRectF(rect()));
        Icons::paint(p, QRectF(rect()), symbol_, 15, Qt::white, QFont::DemiBold);
    }

private:
    ViewerView* owner_;
    QString symbol_;
};

// The top bar, the media and the filmstrip on a black stage, or on the
// window's canvas while the details are shown.
class ViewerView::MediaColumn final : public QWidget {
public:
    using QWidget::QWidget;
    bool detailsOn = false;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), detailsOn ? Theme::color(ThemeColor::canvas, this) : QColor(Qt::black));
    }
};

class ViewerView::MediaArea final : public QWidget {
public:
    using QWidget::QWidget;
    std::function<void(bool)> onHover;
    std::function<void()> onResize;

protected:
    void enterEvent(QEnterEvent*) override {
        if (onHover) onHover(true);
    }
    void leaveEvent(QEvent*) override {
        if (onHover) onHover(false);
    }
    void resizeEvent(QResizeEvent*) override {
        if (onResize) onResize();
    }
};

namespace {

// The rule and the panel's background; the panel itself sits on top.
class InfoColumn final : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), Theme::canvas());
        p.fillRect(QRect(0, 0, 1, height()), Theme::line());
    }
};

QEasingCurve easeOut() { return QEasingCurve(QEasingCurve::OutCubic); }

}  // namespace

ViewerView::ViewerView(AppModel& model, FullImageCache& fullImages, QWidget* parent)
    : QWidget(parent),
      model_(model),
      fullImages_(fullImages),
      column_(new MediaColumn(this)),
      topBar_(new ViewerTopBar(model, column_)),
      media_(new MediaArea(column_)),
      photo_(new ViewerPhoto(fullImages, media_)),
      filmstrip_(new Filmstrip(column_)),
      previous_(nullptr),
      next_(nullptr),
      infoColumn_(new InfoColumn(this)),
      details_(new QWidget(infoColumn_)) {
    previous_ = new Arrow("chevron.left", tr("Previous"), this, media_);
    next_ = new Arrow("chevron.right", tr("Next"), this, media_);

    auto* columnLayout = new QVBoxLayout(column_);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    columnLayout->setSpacing(0);
    columnLayout->addWidget(topBar_);
    columnLayout->addWidget(media_, 1);
    columnLayout->addWidget(filmstrip_);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(column_, 1);
    row->addWidget(infoColumn_);
    details_->setGeometry(1, 0, detailsWidth, 0);
    infoColumn_->setFixedWidth(0);
    infoColumn_->installEventFilter(this);

    media_->onHover = [this](bool on) { setArrowHover(on); };
    media_->onResize = [this] { layoutArrows(); };
    connect(previous_, &QAbstractButton::clicked, this, [this] { model_.stepViewer(-1); });
    connect(next_, &QAbstractButton::clicked, this, [this] { model_.stepViewer(1); });
    connect(filmstrip_, &Filmstrip::stepRequested, this, [this](int offset) {
        if (offset != 0) model_.stepViewer(offset);
    });
    connect(photo_, &ViewerPhoto::stageChanged, this, [this](ViewerPhoto::Stage stage) {
        if (stage == ViewerPhoto::Stage::full) emit fullImageShown(photo_->shownID());
    });

    arrowFade_.setDuration(arrowFadeMs);
    arrowFade_.setEasingCurve(easeOut());
    connect(&arrowFade_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        arrowOpacity_ = v.toDouble();
        previous_->update();
        next_->update();
    });
    detailsSlide_.setDuration(detailsMs);
    detailsSlide_.setEasingCurve(easeOut());
    connect(&detailsSlide_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& v) { infoColumn_->setFixedWidth(v.toInt()); });
    opacity_.setEasingCurve(easeOut());

    connect(&model_, &AppModel::viewerChanged, this, [this] {
        openOrClose();
        sync();
    });
    connect(&model_, &AppModel::storeChanged, this, [this] {
        connectStore();
        sync();
    });
    connect(&model_, &AppModel::showInfoChanged, this, [this] { applyDetails(true); });
    connect(&model_, &AppModel::isFullScreenChanged, topBar_, &ViewerTopBar::refresh);

    if (parent) {
        parent->installEventFilter(this);
        setGeometry(parent->rect());
    }
    hide();
    applyDetails(false);
    connectStore();
    if (model_.viewer()) {
        openOrClose();
        sync();
    }
}

ViewerView::~ViewerView() {
    for (const auto& c : storeConnections_) disconnect(c);
}

std::vector<Asset> ViewerView::neighbours(const ViewerState& state) {
    std::vector<Asset> out;
    const auto& list = *state.assets;
    if (state.index + 1 >= 0 && size_t(state.index + 1) < list.size()) out.push_back(list[size_t(state.index + 1)]);
    if (state.index - 1 >= 0 && size_t(state.index - 1) < list.size()) out.push_back(list[size_t(state.index - 1)]);
    return out;
}

QWidget* ViewerView::previousArrow() const { return previous_; }
QWidget* ViewerView::nextArrow() const { return next_; }

void ViewerView::setVideoPlayerFactory(VideoPlayerFactory factory) {
    videoFactory_ = std::move(factory);
    videoID_ = -1;
    sync();
}

void ViewerView::setLiveMovieFactory(ViewerPhoto::LiveMovieFactory factory) {
    photo_->setLiveMovieFactory(std::move(factory));
}

void ViewerView::setAssetActions(ViewerAssetActions actions) { topBar_->setActions(std::move(actions)); }

void ViewerView::connectStore() {
    for (const auto& c : storeConnections_) disconnect(c);
    storeConnections_.clear();
    store_ = model_.store();
    if (!store_) return;
    // A changed record (a favourite, new metadata, a new thumbnail) shows at once.
    storeConnections_.push_back(connect(store_.get(), &LibraryStore::assetsChanged, this, &ViewerView::sync));
    storeConnections_.push_back(connect(store_.get(), &LibraryStore::tripsChanged, topBar_, &ViewerTopBar::refresh));
}

void ViewerView::sync() {
    const std::optional<ViewerState>& state = model_.viewer();
    if (!state || !state->indexInList() || !model_.store()) {
        // A closing viewer keeps its picture until it has faded out.
        if (!closing_) {
            shown_.reset();
            photo_->clear();
            delete video_;
            videoID_ = -1;
        }
        return;
    }
    const std::shared_ptr<LibraryStore>& store = model_.store();
    const Asset asset = store->asset(state->current()->id).value_or(*state->current());
    shown_ = asset;
    topBar_->setAsset(store, asset);
    filmstrip_->setLibrary(store->paths(), store->thumbs());
    filmstrip_->setState(state->assets, state->index);

    if (asset.kind == MediaKind::video && videoFactory_) {
        photo_->clear();
        photo_->hide();
        if (!video_ || videoID_ != asset.id) {
            delete video_;
            video_ = videoFactory_(store->paths().root + "/" + asset.path, asset, media_);
            videoID_ = asset.id;
            if (video_) {
                video_->setGeometry(media_->rect());
                video_->show();
            }
        }
    } else {
        delete video_;
        videoID_ = -1;
        photo_->show();
        photo_->setPhoto(store->paths(), store->thumbs(), asset, neighbours(*state));
    }
    // No wrap: at the ends the arrow is not there at all.
    previous_->setVisible(state->index > 0);
    next_->setVisible(size_t(state->index + 1) < state->assets->size());
    layoutArrows();
    emit shownAssetChanged();
}

void ViewerView::layoutArrows() {
    const QRect r = media_->rect();
    photo_->setGeometry(r);
    if (video_) video_->setGeometry(r);
    const int y = r.center().y() - 20;
    previous_->move(14, y);
    next_->move(r.width() - 14 - 40, y);
    previous_->raise();
    next_->raise();
}

void ViewerView::setArrowHover(bool hovering) {
    arrowFade_.stop();
    arrowFade_.setStartValue(arrowOpacity_);
    arrowFade_.setEndValue(hovering ? 1.0 : 0.0);
    arrowFade_.start();
}

bool ViewerView::detailsShown() const { return model_.showInfo(); }
int ViewerView::detailsColumnWidth() const { return infoColumn_->width(); }

void ViewerView::applyDetails(bool animated) {
    const bool on = model_.showInfo();
    column_->detailsOn = on;
    Theme::setForcedAppearance(column_, on ? std::nullopt : std::optional<bool>(true));
    column_->update();
    const int target = on ? detailsWidth + 1 : 0;
    detailsSlide_.stop();
    if (!animated || isHidden()) {
        infoColumn_->setFixedWidth(target);
        return;
    }
    detailsSlide_.setStartValue(infoColumn_->width());
    detailsSlide_.setEndValue(target);
    detailsSlide_.start();
}

void ViewerView::fade(double to, int ms, std::function<void()> done) {
    opacity_.stop();
    disconnect(&opacity_, nullptr, this, nullptr);
    if (!effect_) {
        effect_ = new QGraphicsOpacityEffect(this);
        effect_->setOpacity(to > 0.5 ? 0.0 : 1.0);
        setGraphicsEffect(effect_);
    }
    opacity_.setDuration(ms);
    opacity_.setStartValue(effect_->opacity());
    opacity_.setEndValue(to);
    connect(&opacity_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        if (effect_) effect_->setOpacity(v.toDouble());
    });
    // The effect only lives for the fade: a still viewer paints directly.
    connect(&opacity_, &QVariantAnimation::finished, this, [this, done = std::move(done)] {
        setGraphicsEffect(nullptr);
        effect_ = nullptr;
        if (done) done();
    });
    opacity_.start();
}

void ViewerView::openOrClose() {
    const bool wanted = model_.viewer().has_value();
    if (wanted && (isHidden() || closing_)) {
        closing_ = false;
        if (parentWidget()) setGeometry(parentWidget()->rect());
        applyDetails(false);
        show();
        raise();
        fade(1.0, openMs, {});
    } else if (!wanted && !isHidden() && !closing_) {
        closing_ = true;
        fade(0.0, closeMs, [this] {
            hide();
            closing_ = false;
            sync();  // lets the pictures go
        });
    }
}

bool ViewerView::eventFilter(QObject* watched, QEvent* e) {
    if (watched == parentWidget() && e->type() == QEvent::Resize) setGeometry(parentWidget()->rect());
    if (watched == infoColumn_ && e->type() == QEvent::Resize)
        details_->setGeometry(1, 0, detailsWidth, infoColumn_->height());
    return QWidget::eventFilter(watched, e);
}

}  // namespace vintrelle
