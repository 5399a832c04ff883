#include "UI/Collections/AlbumsScreen.h"

#include <QMenu>
#include <QPainter>

#include "App/AppModel.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "UI/Collections/CardPainting.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Icons.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

namespace {

constexpr qreal kRadius = 12, kGap = 9, kNamePx = 13, kCountPx = 11;
const ShadowSpec kRest{0.08, 6, {0, 2}};
const ShadowSpec kLifted{0.2, 14, {0, 7}};

QString qs(const std::string& s) { return QString::fromStdString(s); }

qreal nameHeight() { return QFontMetricsF(Fonts::font(kNamePx, QFont::DemiBold)).height(); }
qreal countHeight() { return QFontMetricsF(Fonts::font(kCountPx)).height(); }

}  // namespace

AlbumsScreen::AlbumsScreen(AppModel& model, QWidget* parent) : CollectionScreen(model, parent) {
    canvas()->setPadding(QMarginsF(padding, padding, padding, padding));
    attach();
}

void AlbumsScreen::follow(LibraryStore& s) {
    // The albums, and the assets behind their covers.
    for (auto signal : {&LibraryStore::albumsChanged, &LibraryStore::revisionChanged})
        connect(&s, signal, this, &AlbumsScreen::refresh);
}

void AlbumsScreen::newAlbum() { model_.setAlbumPrompt(AppModel::AlbumPrompt{}); }

void AlbumsScreen::rebuild(LibraryStore& s) {
    cards_.clear();
    if (s.albums().empty())
        return showEmpty(QStringLiteral("rectangle.stack"), QStringLiteral("Make an album"),
                         QStringLiteral("Trips and people sort themselves. Albums are for everything else: pick the "
                                        "photos you want and gather them under a name."),
                         QStringLiteral("New Album"), [this] { newAlbum(); });
    CollectionBlock grid = CollectionBlock::grid(0, columns, 26);
    for (const Album& a : s.albums()) {
        Card c{a, std::nullopt};
        // The cover is the item added last.
        if (!a.assetIDs.empty()) {
            if (const auto asset = s.asset(a.assetIDs.back()))
                c.cover = CoverRequest{s.paths().thumbURL(asset->id), pictureVersion(*asset)};
        }
        cards_[a.id] = std::move(c);
        grid.cards.push_back(card(a.id));
    }
    grid.cards.push_back(newAlbumTile());
    showList({std::move(grid)});
}

qreal AlbumsScreen::cardHeight(const CardKey&, qreal width) const {
    return width + kGap + nameHeight() + kGap + countHeight();
}

size_t AlbumsScreen::cardVersion(const CardKey& key) const {
    const auto it = cards_.find(key.id);
    if (key.kind != albumKind || it == cards_.end()) return 0;
    return qHashMulti(0, QByteArray::fromStdString(it->second.album.name), it->second.album.assetIDs.size());
}

qreal AlbumsScreen::overhang() const { return CardShadow::margin(kLifted); }

std::optional<std::pair<QRectF, CoverRequest>> AlbumsScreen::cover(const CardKey& key, const QSizeF& size) const {
    if (key.kind != albumKind) return std::nullopt;
    const auto it = cards_.find(key.id);
    if (it == cards_.end() || !it->second.cover) return std::nullopt;
    return std::pair{QRectF(0, 0, size.width(), size.width()), *it->second.cover};
}

void AlbumsScreen::paintCard(QPainter& p, const CardKey& key, const QRectF& r, const QPixmap& cover,
                             qreal coverOpacity, qreal hover, qreal) const {
    const QRectF square(r.topLeft(), QSizeF(r.width(), r.width()));
    const QRectF nameRect(r.left(), square.bottom() + kGap, r.width(), nameHeight());
    const QRectF countRect(r.left(), nameRect.bottom() + kGap, r.width(), countHeight());
    const QFont nameFont = Fonts::font(kNamePx, QFont::DemiBold);
    p.setFont(nameFont);
    if (key.kind == newAlbumKind) {
        // Stroked inside the edge, dashed 5 on, 5 off.
        const qreal w = 1.2;
        QColor stroke = Theme::ink3();
        stroke.setAlphaF(stroke.alphaF() * 0.6f);
        QPen pen(stroke, w);
        pen.setDashPattern({5 / w, 5 / w});
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(square.adjusted(w / 2, w / 2, -w / 2, -w / 2), kRadius - w / 2, kRadius - w / 2);
        const qreal side = Icons::sideFor(22);
        Icons::paint(p, QRectF(square.center() - QPointF(side / 2, side / 2), QSizeF(side, side)),
                     QStringLiteral("plus"), 22, Theme::ink2(), QFont::Light);
        p.setPen(Theme::ink2());
        p.drawText(nameRect, Qt::AlignLeft | Qt::AlignVCenter, tr("New Album"));
        return;
    }
    const auto it = cards_.find(key.id);
    if (it == cards_.end()) return;
    const Album& album = it->second.album;
    QPainterPath shape;
    shape.addRoundedRect(square, kRadius, kRadius);
    paintLiftShadow(p, square, kRadius, kRest, kLifted, hover);
    paintCover(p, shape, square, cover, 1, coverOpacity);
    p.setPen(QPen(Theme::line(), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(square.adjusted(0.5, 0.5, -0.5, -0.5), kRadius - 0.5, kRadius - 0.5);

    p.setPen(Theme::ink());
    p.drawText(nameRect, Qt::AlignLeft | Qt::AlignVCenter,
               QFontMetricsF(nameFont).elidedText(qs(album.name), Qt::ElideRight, r.width()));
    p.setFont(Fonts::font(kCountPx));
    p.setPen(Theme::ink2());
    p.drawText(countRect, Qt::AlignLeft | Qt::AlignVCenter,
               qs(Format::items((long long)album.assetIDs.size(), "item")));
}

void AlbumsScreen::activate(const CardKey& key) {
    if (key.kind == newAlbumKind) return newAlbum();
    model_.navigate(Route::album(key.id));
}

QMenu* AlbumsScreen::menu(const CardKey& key, QWidget* parent) {
    const auto it = cards_.find(key.id);
    if (key.kind != albumKind || it == cards_.end()) return nullptr;
    const int64_t id = key.id;
    auto* m = new QMenu(parent);
    connect(m->addAction(tr("Open")), &QAction::triggered, this, [this, id] { model_.navigate(Route::album(id)); });
    connect(m->addAction(tr("Rename\u2026")), &QAction::triggered, this, [this, id] {
        const auto album = store() ? store()->album(id) : std::nullopt;
        if (!album) return;
        AppModel::RenamePrompt prompt;
        prompt.target = {AppModel::RenamePrompt::Target::Kind::album, id};
        prompt.title = tr("Rename Album").toStdString();
        prompt.text = album->name;
        model_.setRenamePrompt(prompt);
    });
    m->addSeparator();
    connect(m->addAction(tr("Delete Album")), &QAction::triggered, this, [this, id] {
        if (LibraryStore* s = store()) s->deleteAlbum(id);
    });
    model_.closeWithLibrary(m);
    return m;
}

}  // namespace vintrelle
