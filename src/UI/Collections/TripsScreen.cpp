#include "UI/Collections/TripsScreen.h"

#include <QMenu>
#include <QPainter>

#include "App/AppModel.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "UI/Collections/CardPainting.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Theme.h"
#include "UI/Kit/Labels.h"

namespace vintrelle {

namespace {

constexpr qreal kAspect = 1.5, kRadius = 14, kInset = 16, kLineGap = 3;
constexpr qreal kTitlePx = 22, kDetailPx = 11.5, kHoverZoom = 0.035;
const ShadowSpec kRest{0.1, 8, {0, 3}};
const ShadowSpec kLifted{0.22, 16, {0, 8}};

QString qs(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

std::vector<TripsScreen::YearGroup> TripsScreen::groupByYear(const std::vector<Trip>& trips) {
    std::vector<YearGroup> groups;
    for (const Trip& t : trips) {
        const int year = WallClock::civil(WallClock::dayNumber(t.start)).y;
        if (groups.empty() || groups.back().year != year) groups.push_back({year, {}});
        groups.back().trips.push_back(t);
    }
    return groups;
}

TripsScreen::TripsScreen(AppModel& model, QWidget* parent) : CollectionScreen(model, parent) {
    canvas()->setPadding(QMarginsF(28, 0, 28, 40));
    attach();
}

void TripsScreen::follow(LibraryStore& s) {
    // The trip list, the engine's status, and the assets behind the counts,
    // covers and the number of geotagged photos.
    for (auto signal : {&LibraryStore::tripsChanged, &LibraryStore::statusChanged, &LibraryStore::revisionChanged,
                        &LibraryStore::collectionsRevisionChanged})
        connect(&s, signal, this, &TripsScreen::refresh);
}

void TripsScreen::rebuild(LibraryStore& s) {
    const std::vector<Trip> visible = s.visibleTrips();
    std::vector<Trip> dismissed;
    for (const Trip& t : s.trips())
        if (t.hidden) dismissed.push_back(t);
    groups_.clear();
    cards_.clear();
    buttonBlock_ = -1;

    if (visible.empty() && dismissed.empty()) {
        if (s.status().kind != EngineStatus::Kind::idle)
            return showEmpty(QStringLiteral("suitcase"), QStringLiteral("Trips appear on their own"),
                             QStringLiteral("Vintrelle is still reading your photos. Once it knows where they were "
                                            "taken, your trips will be waiting here."));
        if (s.geotagged().size() > 19)
            return showEmpty(QStringLiteral("suitcase"), QStringLiteral("No trips found yet"),
                             QStringLiteral("Every photo so far was taken close to home. When photos from somewhere "
                                            "further away show up, they\u2019ll be gathered here."));
        return showEmpty(QStringLiteral("location.slash"), QStringLiteral("No trips found yet"),
                         QStringLiteral("Trips are worked out from where photos were taken, and these photos don\u2019t "
                                        "carry a location. Photos from a phone usually do."));
    }

    const auto addCard = [&](const Trip& t) {
        Card c{t, qs(t.title()), {}, std::nullopt};
        c.detail = tr("%1  ·  %2").arg(qs(WallClock::rangeString(t.start, t.end)),
                                         qs(Format::items((long long)s.range(t.start, t.end).size(), "item")));
        if (const auto id = s.coverID(t)) {
            if (const auto a = s.asset(*id)) c.cover = CoverRequest{s.paths().thumbURL(*id), pictureVersion(*a)};
        }
        cards_[t.id] = std::move(c);
        return card(t.id);
    };
    constexpr ColumnSpec columns{290, 460, 20};
    constexpr qreal rowSpacing = 20;

    std::vector<CollectionBlock> blocks;
    groups_ = groupByYear(visible);
    for (const YearGroup& g : groups_) {
        blocks.push_back(CollectionBlock::header(26, QString::number(g.year),
                                                 qs(Format::items((long long)g.trips.size(), "trip"))));
        CollectionBlock cards = CollectionBlock::grid(14, columns, rowSpacing);
        for (const Trip& t : g.trips) cards.cards.push_back(addCard(t));
        blocks.push_back(std::move(cards));
    }
    if (!dismissed.empty()) {
        const QString label = showDismissed_
                                  ? tr("Hide dismissed trips")
                                  : tr("Show %1").arg(qs(Format::items((long long)dismissed.size(), "dismissed trip")));
        buttonBlock_ = int(blocks.size());
        blocks.push_back(CollectionBlock::button(30, label, [this] {
            showDismissed_ = !showDismissed_;
            refresh();
        }));
        if (showDismissed_) {
            CollectionBlock cards = CollectionBlock::grid(14, columns, rowSpacing, 0.6);
            for (const Trip& t : dismissed) cards.cards.push_back(addCard(t));
            blocks.push_back(std::move(cards));
        }
    }
    showList(std::move(blocks));
}

QPushButton* TripsScreen::dismissedButton() const { return canvas()->button(buttonBlock_); }

QString TripsScreen::titleOf(int64_t trip) const {
    const auto it = cards_.find(trip);
    return it == cards_.end() ? QString() : it->second.title;
}

QString TripsScreen::detailOf(int64_t trip) const {
    const auto it = cards_.find(trip);
    return it == cards_.end() ? QString() : it->second.detail;
}

// ---- cards --------------------------------------------------------------------------

qreal TripsScreen::cardHeight(const CardKey&, qreal width) const { return width / kAspect; }

size_t TripsScreen::cardVersion(const CardKey& key) const {
    const auto it = cards_.find(key.id);
    return it == cards_.end() ? 0 : qHashMulti(0, it->second.title, it->second.detail);
}

qreal TripsScreen::overhang() const { return CardShadow::margin(kLifted); }

std::optional<std::pair<QRectF, CoverRequest>> TripsScreen::cover(const CardKey& key, const QSizeF& size) const {
    const auto it = cards_.find(key.id);
    if (it == cards_.end() || !it->second.cover) return std::nullopt;
    return std::pair{QRectF(QPointF(0, 0), size), *it->second.cover};
}

void TripsScreen::paintCard(QPainter& p, const CardKey& key, const QRectF& r, const QPixmap& cover,
                            qreal coverOpacity, qreal hover, qreal) const {
    const auto it = cards_.find(key.id);
    if (it == cards_.end()) return;
    const Card& c = it->second;
    QPainterPath shape;
    shape.addRoundedRect(r, kRadius, kRadius);
    paintLiftShadow(p, r, kRadius, kRest, kLifted, hover);
    paintCover(p, shape, r, cover, 1 + kHoverZoom * hover, coverOpacity);

    QLinearGradient shade(r.topLeft(), r.bottomLeft());
    shade.setColorAt(0.35, QColor(0, 0, 0, 0));
    shade.setColorAt(1.0, QColor(0, 0, 0, int(0.74 * 255 + 0.5)));
    p.fillPath(shape, shade);

    // The two texts stand on the card's bottom edge, 16 px in.
    const qreal width = r.width() - 2 * kInset;
    const QFont titleFont = Fonts::font(kTitlePx, QFont::Bold);
    const QFont detailFont = Fonts::font(kDetailPx, QFont::Medium);
    const QFontMetricsF tm(titleFont), dm(detailFont);
    const QStringList lines = wrapLines(c.title, titleFont, width, 2);
    qreal y = r.bottom() - kInset - dm.height();
    QColor white(Qt::white);
    p.setFont(detailFont);
    white.setAlphaF(0.84f);
    p.setPen(white);
    p.drawText(QPointF(r.left() + kInset, y + dm.ascent()), dm.elidedText(c.detail, Qt::ElideRight, width));
    y -= kLineGap + tm.height() * lines.size();
    p.setFont(titleFont);
    p.setPen(Qt::white);
    for (const QString& line : lines) {
        p.drawText(QPointF(r.left() + kInset, y + tm.ascent()), line);
        y += tm.height();
    }
}

void TripsScreen::activate(const CardKey& key) { model_.push(Route::trip(key.id)); }

QMenu* TripsScreen::menu(const CardKey& key, QWidget* parent) {
    const auto it = cards_.find(key.id);
    if (it == cards_.end()) return nullptr;
    const int64_t id = key.id;
    const bool dismissed = it->second.trip.hidden;
    auto* m = new QMenu(parent);
    connect(m->addAction(tr("Open")), &QAction::triggered, this, [this, id] { model_.push(Route::trip(id)); });
    connect(m->addAction(tr("Rename Trip\u2026")), &QAction::triggered, this, [this, id] {
        // The title as it stands when the sheet opens, not as the card had it.
        const auto t = store() ? store()->trip(id) : std::nullopt;
        if (!t) return;
        AppModel::RenamePrompt prompt;
        prompt.target = {AppModel::RenamePrompt::Target::Kind::trip, id};
        prompt.title = tr("Rename Trip").toStdString();
        prompt.text = t->title();
        model_.setRenamePrompt(prompt);
    });
    m->addSeparator();
    connect(m->addAction(dismissed ? tr("Bring Back") : tr("This Isn\u2019t a Trip")), &QAction::triggered, this,
            [this, id, dismissed] { setHidden(id, !dismissed); });
    model_.closeWithLibrary(m);
    return m;
}

void TripsScreen::setHidden(int64_t trip, bool hidden) {
    if (LibraryStore* s = store()) s->setTripHidden(trip, hidden);
}

}  // namespace vintrelle
