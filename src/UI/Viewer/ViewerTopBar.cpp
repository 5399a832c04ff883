#include "UI/Viewer/ViewerTopBar.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "App/ActionMenu.h"
#include "App/AppModel.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "UI/Kit/Buttons.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Icons.h"
#include "UI/Kit/Labels.h"

namespace vintrelle {

namespace {
QString qs(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

// "‹ Album name" on a resting fill: where the viewer was opened from.
class ViewerTopBar::BackButton final : public QAbstractButton {
public:
    explicit BackButton(QWidget* parent) : QAbstractButton(parent) {
        setToolTip(tr("Back (Esc)"));
        setAccessibleName(toolTip());
        setFocusPolicy(Qt::NoFocus);
        setFont(Fonts::font(13, QFont::Medium));
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    }
    QSize sizeHint() const override {
        const qreal w = 9 + Icons::sideFor(12) + 5 + QFontMetricsF(font()).horizontalAdvance(text()) + 9;
        return {int(std::ceil(w)), 28};
    }
    QSize minimumSizeHint() const override { return {int(9 + Icons::sideFor(12) + 9), 28}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const bool dark = Theme::isDark(this);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), 7, 7);
        p.fillPath(shape, Theme::color(isDown() ? ThemeColor::selected : ThemeColor::hover, dark));
        const QColor ink = Theme::color(ThemeColor::ink, dark);
        const qreal side = Icons::sideFor(12);
        Icons::paint(p, QRectF(9, (height() - side) / 2, side, side), "chevron.left", 12, ink, QFont::DemiBold);
        p.setPen(ink);
        p.setFont(font());
        const QRectF textBox(9 + side + 5, 0, width() - (9 + side + 5) - 9, height());
        p.drawText(textBox, Qt::AlignLeft | Qt::AlignVCenter,
                   QFontMetricsF(font()).elidedText(text(), Qt::ElideRight, textBox.width()));
    }
};

ViewerTopBar::ViewerTopBar(AppModel& model, QWidget* parent)
    : WindowDragArea(parent),
      model_(model),
      back_(new BackButton(this)),
      day_(new TextBlock({}, 13, QFont::DemiBold, ThemeColor::ink, this)),
      detail_(new TextBlock({}, 11, QFont::Normal, ThemeColor::ink2, this)),
      favourite_(new BarButton("heart", tr("Favourite (F)"), this)),
      share_(new BarButton("square.and.arrow.up", tr("Share"), this)),
      reveal_(new BarButton("folder", tr("Show in Files"), this)),
      more_(new BarButton("ellipsis", {}, this)),
      details_(new BarButton("info.circle", tr("Details (I)"), this)) {
    setFixedHeight(barHeight);
    setAttribute(Qt::WA_Hover);

    // The title block lets clicks through to the bar, which moves the window.
    auto* title = new QWidget(this);
    title->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* titleLayout = new QVBoxLayout(title);
    titleLayout->setContentsMargins(0, 0, 0, 0);
    titleLayout->setSpacing(1);
    for (TextBlock* t : {day_, detail_}) {
        t->setParent(title);
        t->setAlignment(Qt::AlignHCenter);
        titleLayout->addWidget(t, 0, Qt::AlignHCenter);
    }

    auto* row = new QHBoxLayout(this);
    // Native window decorations leave no buttons in the corner, so the bar
    // keeps the same margin on both sides.
    row->setContentsMargins(12, 0, 12, 0);
    row->setSpacing(4);
    row->addWidget(back_, 0, Qt::AlignVCenter);
    row->addSpacing(10);
    row->addStretch(1);
    row->addWidget(title, 0, Qt::AlignVCenter);
    row->addStretch(1);
    row->addSpacing(10);
    for (BarButton* b : {favourite_, share_, reveal_, more_, details_}) row->addWidget(b, 0, Qt::AlignVCenter);

    connect(back_, &QAbstractButton::clicked, this, [this] { model_.closeViewer(); });
    connect(favourite_, &QAbstractButton::clicked, this, [this] {
        if (asset_) model_.toggleFavorite(ids());
    });
    connect(share_, &QAbstractButton::clicked, this, [this] {
        if (asset_ && actions_.share) actions_.share(ids());
    });
    connect(reveal_, &QAbstractButton::clicked, this, [this] {
        if (!asset_ || !actions_.reveal) return;
        const QList<QUrl> urls = model_.urls(ids());
        if (!urls.isEmpty()) actions_.reveal(urls);
    });
    connect(more_, &QAbstractButton::clicked, this, [this] {
        QMenu* menu = makeOverflowMenu();
        menu->setAttribute(Qt::WA_DeleteOnClose);
        model_.closeWithLibrary(menu);
        menu->popup(more_->mapToGlobal(QPoint(0, more_->height() + 2)));
    });
    connect(details_, &QAbstractButton::clicked, this, [this] { model_.setShowInfo(!model_.showInfo()); });

    connect(&model_, &AppModel::routeTitleChanged, this, &ViewerTopBar::refresh);
    connect(&model_, &AppModel::showInfoChanged, this, &ViewerTopBar::refresh);
    // The model's own actions unless a test puts others in their place.
    ViewerAssetActions actions;
    actions.share = [this](const std::vector<int64_t>& i) { model_.share(i); };
    actions.reveal = [this](const QList<QUrl>&) { model_.showInFiles(ids()); };
    actions.openExternally = [this](const std::vector<int64_t>& i) { model_.openExternally(i); };
    actions.copyFiles = [this](const std::vector<int64_t>& i) { model_.copyFiles(i); };
    actions.exportCopy = [this](const std::vector<int64_t>& i) { model_.exportCopies(i); };
    setActions(std::move(actions));
}

void ViewerTopBar::setActions(ViewerAssetActions actions) {
    actions_ = std::move(actions);
    share_->setEnabled(bool(actions_.share));
    reveal_->setEnabled(bool(actions_.reveal));
}

std::vector<int64_t> ViewerTopBar::ids() const {
    if (!asset_) return {};
    return {asset_->id};
}

void ViewerTopBar::setAsset(std::shared_ptr<LibraryStore> store, const Asset& asset) {
    store_ = std::move(store);
    asset_ = asset;
    refresh();
}

QString ViewerTopBar::detail(const LibraryStore& store, const Asset& asset) {
    QString text = qs(WallClock::format(WallClock::Template::timeOnly, asset.taken));
    if (std::optional<Trip> trip = store.tripContaining(asset)) text += QStringLiteral("  \u00B7  ") + qs(trip->title());
    return text;
}

QAbstractButton* ViewerTopBar::backButton() const { return back_; }

QString ViewerTopBar::dayText() const { return day_->text(); }
QString ViewerTopBar::detailText() const { return detail_->text(); }

void ViewerTopBar::refresh() {
    back_->setText(qs(model_.routeTitle()));
    back_->updateGeometry();
    back_->update();
    const bool favourite = asset_ && asset_->favorite;
    favourite_->setSymbol(favourite ? "heart.fill" : "heart");
    favourite_->setTint(favourite ? std::optional<ColorRef>(ThemeColor::accent) : std::nullopt);
    details_->setTint(model_.showInfo() ? std::optional<ColorRef>(ThemeColor::accent) : std::nullopt);
    if (asset_ && store_) {
        day_->setText(qs(WallClock::format(WallClock::Template::dayLong, asset_->taken)));
        detail_->setText(detail(*store_, *asset_));
    } else {
        day_->setText({});
        detail_->setText({});
    }
}

QMenu* ViewerTopBar::makeOverflowMenu() {
    auto* menu = new QMenu(this);
    auto add = [&](const QString& title, const std::function<void(const std::vector<int64_t>&)>& action) {
        QAction* a = menu->addAction(title);
        a->setEnabled(bool(action));
        connect(a, &QAction::triggered, this, [this, action] {
            if (asset_ && action) action(ids());
        });
    };
    add(tr("Open in Default App"), actions_.openExternally);
    add(tr("Copy"), actions_.copyFiles);
    add(tr("Export a Copy\u2026"), actions_.exportCopy);
    menu->addSeparator();
    connect(menu->addAction(tr("New Album with This\u2026")), &QAction::triggered, this, [this] {
        if (!asset_) return;
        AppModel::AlbumPrompt prompt;
        prompt.assetIDs = ids();
        model_.setAlbumPrompt(prompt);
    });
    if (store_) {
        for (const Album& album : store_->albums()) {
            const QString name = QString::fromStdString(menuText(album.name));
            QAction* a = menu->addAction(tr("Add to \u201C%1\u201D").arg(name));
            connect(a, &QAction::triggered, this, [this, id = album.id, store = std::weak_ptr(store_)] {
                if (auto s = store.lock(); s && asset_) s->addToAlbum(id, ids());
            });
        }
    }
    return menu;
}

}  // namespace vintrelle
