#include "UI/Grid/SelectionBar.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "App/AppModel.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "App/ActionMenu.h"
#include "UI/Kit/Buttons.h"
#include "UI/Kit/CardShadow.h"
#include "UI/Kit/Labels.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

namespace {

const ShadowSpec barShadow{0.22, 18, {0, 6}};

// A 1-px rule 18 px high with 3 px on either side.
class BarDivider : public QWidget {
public:
    explicit BarDivider(QWidget* parent) : QWidget(parent) { setFixedSize(7, 18); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(QRectF(3, 0, 1, 18), Theme::line());
    }
};

}  // namespace

// The bar's shadow, painted beneath it from the cached blur.
class SelectionBarShadow : public QWidget {
public:
    explicit SelectionBarShadow(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    QRectF shape;  // the bar, in this widget's coordinates
    qreal opacity = 1;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setOpacity(opacity);
        CardShadow::paint(p, shape, SelectionBar::cornerRadius, barShadow);
    }
};

SelectionBar::SelectionBar(AppModel& model, LibraryStore& store, Actions actions, QWidget* parent)
    : QWidget(parent), model_(model), store_(store), actions_(std::move(actions)) {
    shadow_ = new SelectionBarShadow(parent);
    shadow_->hide();

    count_ = new TextBlock(QString(), 12.5, QFont::DemiBold, ThemeColor::ink, this);
    count_->setTabularDigits(true);
    auto* countBox = new QWidget(this);
    auto* countLayout = new QHBoxLayout(countBox);
    countLayout->setContentsMargins(10, 0, 6, 0);
    countLayout->addWidget(count_);

    favorite_ = new BarButton(QStringLiteral("heart"), tr("Add to Favourites"), this);
    album_ = new BarButton(QStringLiteral("rectangle.stack.badge.plus"), tr("Add to Album"), this);
    // A menu's label, plain: no fill under the pointer.
    album_->setHoverFill(false);
    share_ = new BarButton(QStringLiteral("square.and.arrow.up"), tr("Share"), this);
    export_ = new BarButton(QStringLiteral("arrow.down.to.line"), tr("Export a Copy…"), this);
    reveal_ = new BarButton(QStringLiteral("folder"), tr("Show in Files"), this);
    clear_ = new BarButton(QStringLiteral("xmark"), tr("Clear Selection (Esc)"), this);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(5, 5, 5, 5);
    row->setSpacing(4);
    row->setSizeConstraint(QLayout::SetFixedSize);
    row->addWidget(countBox);
    row->addWidget(new BarDivider(this));
    for (QWidget* w : {favorite_, album_, share_, export_, reveal_}) row->addWidget(w);
    row->addWidget(new BarDivider(this));
    row->addWidget(clear_);

    connect(favorite_, &BarButton::clicked, this, [this] { model_.toggleFavorite(ids_); });
    connect(album_, &BarButton::clicked, this, [this] {
        QMenu* menu = makeAlbumMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        model_.closeWithLibrary(menu);
        menu->popup(album_->mapToGlobal(QPoint(0, album_->height())));
    });
    auto forward = [this](BarButton* button, IdsAction SelectionBar::Actions::*action) {
        connect(button, &BarButton::clicked, this, [this, action] {
            if (actions_.*action) (actions_.*action)(ids_);
        });
    };
    forward(share_, &Actions::share);
    forward(export_, &Actions::exportCopy);
    forward(reveal_, &Actions::showInFiles);
    connect(clear_, &BarButton::clicked, this, [this] { model_.clearSelection(); });
    refresh();
}

SelectionBar::~SelectionBar() { delete shadow_.data(); }

bool SelectionBar::allFavorite(const LibraryStore& store, const std::vector<int64_t>& ids) {
    return std::all_of(ids.begin(), ids.end(), [&](int64_t id) {
        const auto a = store.asset(id);
        return a && a->favorite;
    });
}

QString SelectionBar::countText(size_t count) {
    return tr("%1 selected").arg(QString::fromStdString(Format::integer((long long)count)));
}

QString SelectionBar::text() const { return count_->text(); }

void SelectionBar::setIds(std::vector<int64_t> ids) {
    ids_ = std::move(ids);
    refresh();
}

void SelectionBar::refresh() {
    count_->setText(countText(ids_.size()));
    allFavorite_ = allFavorite(store_, ids_);
    favorite_->setSymbol(allFavorite_ ? QStringLiteral("heart.fill") : QStringLiteral("heart"));
    favorite_->setHelp(allFavorite_ ? tr("Remove from Favourites") : tr("Add to Favourites"));
    favorite_->setTint(allFavorite_ ? std::optional<ColorRef>(ThemeColor::accent) : std::nullopt);
    adjustSize();
    if (area_.isValid()) place(area_);
}

QMenu* SelectionBar::makeAlbumMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    const std::vector<int64_t> ids = ids_;
    menu->addAction(tr("New Album…"), this, [this, ids] { model_.setAlbumPrompt(AppModel::AlbumPrompt{{}, ids}); });
    if (!store_.albums().empty()) menu->addSeparator();
    for (const Album& album : store_.albums()) {
        const int64_t id = album.id;
        menu->addAction(QString::fromStdString(menuText(album.name)), this, [this, id, ids] {
            // The album may have been deleted while the menu was open.
            if (store_.album(id)) store_.addToAlbum(id, ids);
        });
    }
    return menu;
}

void SelectionBar::place(const QRect& area) {
    area_ = area;
    const QSize size = sizeHint();
    const int x = area.left() + (area.width() - size.width()) / 2;
    const int y = area.bottom() + 1 - int(bottomGap) - size.height() + int(std::lround(drop_));
    setGeometry(QRect(QPoint(x, y), size));
}

void SelectionBar::setReveal(qreal opacity, qreal drop) {
    opacity_ = std::clamp(opacity, 0.0, 1.0);
    drop_ = drop;
    if (opacity_ < 1) {
        if (!fadeEffect_) {
            fadeEffect_ = new QGraphicsOpacityEffect(this);
            setGraphicsEffect(fadeEffect_);
        }
        fadeEffect_->setOpacity(opacity_);
    } else if (fadeEffect_) {
        // Fully shown, the bar paints straight to the window again.
        setGraphicsEffect(nullptr);
        fadeEffect_ = nullptr;
    }
    if (shadow_) {
        shadow_->opacity = opacity_;
        shadow_->update();
    }
    if (area_.isValid()) place(area_);
}

void SelectionBar::syncShadow() {
    if (!shadow_) return;
    const int m = int(std::ceil(CardShadow::margin(barShadow)));
    shadow_->setGeometry(geometry().adjusted(-m, -m, m, m));
    shadow_->shape = QRectF(m, m, width(), height());
    shadow_->stackUnder(this);
}

void SelectionBar::moveEvent(QMoveEvent* e) {
    QWidget::moveEvent(e);
    syncShadow();
}

void SelectionBar::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    syncShadow();
}

void SelectionBar::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    syncShadow();
    if (shadow_) shadow_->show();
}

void SelectionBar::hideEvent(QHideEvent* e) {
    QWidget::hideEvent(e);
    if (shadow_) shadow_->hide();
}

void SelectionBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect());
    QPainterPath card;
    card.addRoundedRect(r, cornerRadius, cornerRadius);
    p.fillPath(card, Theme::card());
    // Stroked inside the border.
    p.setPen(QPen(Theme::line(), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius - 0.5, cornerRadius - 0.5);
}

}  // namespace vintrelle
