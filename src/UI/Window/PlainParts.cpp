#include "UI/Window/PlainParts.h"

#include <QApplication>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRadioButton>
#include <QVBoxLayout>

#include "App/AppModel.h"
#include "Store/LibraryStore.h"
#include "UI/Kit/Buttons.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Icons.h"
#include "UI/Kit/Labels.h"
#include "UI/Kit/Theme.h"
#include "UI/Window/RouteText.h"

namespace vintrelle {

// ---- top bar ------------------------------------------------------------------------

PlainTopBar::PlainTopBar(AppModel& model, std::shared_ptr<LibraryStore> store, QWidget* parent)
    : WindowDragArea(parent), model_(model), store_(std::move(store)) {
    setFixedHeight(stripHeight);
    auto* sidebar = new BarButton(QStringLiteral("sidebar.left"), tr("Show or hide the sidebar"), this);
    connect(sidebar, &BarButton::clicked, this, [this] { model_.setSidebarVisible(!model_.sidebarVisible()); });
    back_ = new BarButton(QStringLiteral("chevron.left"), tr("Back"), this);
    connect(back_, &BarButton::clicked, this, [this] { model_.back(); });

    // The titles let the pointer through, so they move the window too.
    auto* titles = new QWidget(this);
    titles->setAttribute(Qt::WA_TransparentForMouseEvents);
    title_ = new TextBlock({}, 17, QFont::Bold, ThemeColor::ink, titles);
    subtitle_ = new TextBlock({}, 11, QFont::Normal, ThemeColor::ink2, titles);
    subtitle_->setTabularDigits(true);
    auto* lines = new QVBoxLayout(titles);
    lines->setContentsMargins(6, 0, 0, 0);
    lines->setSpacing(1);
    lines->addWidget(title_);
    lines->addWidget(subtitle_);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 0, 12, 0);
    row->setSpacing(6);
    row->addWidget(sidebar);
    row->addWidget(back_);
    row->addWidget(titles, 1);

    for (auto signal : {&AppModel::routeChanged, &AppModel::backStackChanged, &AppModel::routeTitleChanged,
                        &AppModel::gridContentChanged, &AppModel::visibleSectionChanged, &AppModel::selectionChanged})
        connect(&model_, signal, this, &PlainTopBar::refresh);
    for (auto signal : {&LibraryStore::revisionChanged, &LibraryStore::collectionsRevisionChanged,
                        &LibraryStore::personsChanged})
        connect(store_.get(), signal, this, &PlainTopBar::refresh);
    refresh();
}

QString PlainTopBar::title() const { return title_->text(); }
QString PlainTopBar::subtitle() const { return subtitle_->text(); }

void PlainTopBar::refresh() {
    back_->setVisible(!model_.backStack().empty());
    title_->setText(routeTitleText(model_));
    subtitle_->setText(routeSubtitle(model_, *store_));
}

// ---- sidebar ------------------------------------------------------------------------

namespace {
constexpr int kRowHeight = 29, kRowGap = 1, kPadX = 10, kFirstRow = WindowDragArea::stripHeight + 8;
constexpr int kHeadingAbove = 20, kHeadingBelow = 6;
qreal headingHeight() { return QFontMetricsF(Fonts::font(10.5, QFont::DemiBold)).height(); }
}  // namespace

const std::vector<PlainSidebar::Row>& PlainSidebar::rows() {
    static const std::vector<Row> list{
        {Route::library(), QObject::tr("Library"), QStringLiteral("photo.on.rectangle.angled")},
        {Route::favorites(), QObject::tr("Favourites"), QStringLiteral("heart")},
        {Route::videos(), QObject::tr("Videos"), QStringLiteral("video")},
        {Route::recent(), QObject::tr("Recently Added"), QStringLiteral("clock")},
        {Route::trips(), QObject::tr("Trips"), QStringLiteral("suitcase"), true},
        {Route::people(), QObject::tr("People"), QStringLiteral("person.2")},
        {Route::places(), QObject::tr("Places"), QStringLiteral("map")},
        {Route::albums(), QObject::tr("Albums"), QStringLiteral("rectangle.stack")},
    };
    return list;
}

PlainSidebar::PlainSidebar(AppModel& model, QWidget* parent) : WindowDragArea(parent), model_(model) {
    setMouseTracking(true);
    setAutoFillBackground(false);
    connect(&model_, &AppModel::sidebarRouteChanged, this, qOverload<>(&QWidget::update));
}

QRect PlainSidebar::rowRect(int index) const {
    qreal y = kFirstRow;
    for (int i = 0; i < index; ++i) y += kRowHeight + kRowGap;
    for (int i = 0; i <= index && i < int(rows().size()); ++i)
        if (rows()[size_t(i)].headingBefore) y += kHeadingAbove + headingHeight() + kHeadingBelow;
    return QRect(kPadX, int(y), width() - 2 * kPadX, kRowHeight);
}

int PlainSidebar::rowAt(QPoint p) const {
    for (int i = 0; i < int(rows().size()); ++i)
        if (rowRect(i).contains(p)) return i;
    return -1;
}

void PlainSidebar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), Theme::sidebar());
    const Route highlighted = model_.sidebarRoute();
    for (int i = 0; i < int(rows().size()); ++i) {
        const Row& row = rows()[size_t(i)];
        const QRect r = rowRect(i);
        if (row.headingBefore) {
            QFont f = Fonts::font(10.5, QFont::DemiBold);
            f.setLetterSpacing(QFont::AbsoluteSpacing, 0.9);
            p.setFont(f);
            p.setPen(Theme::ink3());
            const qreal h = headingHeight();
            p.drawText(QRectF(r.left() + 9, r.top() - kHeadingBelow - h, r.width() - 18, h),
                       Qt::AlignLeft | Qt::AlignVCenter, tr("Collections").toUpper());
        }
        const bool selected = row.route == highlighted;
        const QColor fill = selected ? Theme::selected() : (i == hovered_ ? Theme::hover() : QColor(Qt::transparent));
        if (fill.alpha() > 0) {
            QPainterPath path;
            path.addRoundedRect(QRectF(r), 7, 7);
            p.fillPath(path, fill);
        }
        const QRectF icon(r.left() + 9, r.top(), 20, r.height());
        Icons::paint(p, icon, selected ? Icons::filled(row.symbol) : row.symbol, 12.5,
                     selected ? Theme::accent() : Theme::ink2(), QFont::Medium);
        p.setFont(Fonts::font(13, selected ? QFont::DemiBold : QFont::Normal));
        p.setPen(Theme::ink());
        const QRectF text(icon.right() + 8, r.top(), r.right() - 9 - icon.right() - 8, r.height());
        p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                   p.fontMetrics().elidedText(row.title, Qt::ElideMiddle, int(text.width())));
    }
}

void PlainSidebar::mouseMoveEvent(QMouseEvent* e) {
    const int row = rowAt(e->position().toPoint());
    if (row != hovered_) {
        hovered_ = row;
        update();
    }
    WindowDragArea::mouseMoveEvent(e);
}

void PlainSidebar::mousePressEvent(QMouseEvent* e) {
    const int row = rowAt(e->position().toPoint());
    if (row < 0 || e->button() != Qt::LeftButton) return WindowDragArea::mousePressEvent(e);
    e->accept();
    model_.navigate(rows()[size_t(row)].route);
}

void PlainSidebar::leaveEvent(QEvent*) {
    hovered_ = -1;
    update();
}

// ---- route screens ------------------------------------------------------------------

RoutePlaceholder::RoutePlaceholder(ScreenKind kind, AppModel& model, std::shared_ptr<LibraryStore> store,
                                   QWidget* parent)
    : EmptyState({}, {}, {}, std::nullopt, {}, parent), kind_(kind), model_(model), store_(std::move(store)) {
    for (auto signal : {&AppModel::routeChanged, &AppModel::activeSearchChanged, &AppModel::facesEnabledChanged})
        connect(&model_, signal, this, &RoutePlaceholder::refresh);
    for (auto signal : {&LibraryStore::statusChanged, &LibraryStore::hasLoadedChanged, &LibraryStore::revisionChanged,
                        &LibraryStore::collectionsRevisionChanged})
        connect(store_.get(), signal, this, &RoutePlaceholder::refresh);
    refresh();
}

void RoutePlaceholder::refresh() {
    LibraryStore& s = *store_;
    const bool idle = s.status().kind == EngineStatus::Kind::idle;
    switch (kind_) {
        case ScreenKind::trips:
            if (!idle)
                return set("suitcase", "Trips appear on their own",
                           "Vintrelle is still reading your photos. Once it knows where they were taken, your trips "
                           "will be waiting here.");
            if (s.geotagged().size() > 19)
                return set("suitcase", "No trips found yet",
                           "Every photo so far was taken close to home. When photos from somewhere further away show "
                           "up, they\u2019ll be gathered here.");
            return set("location.slash", "No trips found yet",
                       "Trips are worked out from where photos were taken, and these photos don\u2019t carry a "
                       "location. Photos from a phone usually do.");
        case ScreenKind::people:
            if (!model_.facesEnabled() && s.visiblePersons().empty())
                return set("person.2.slash", "Face grouping is off",
                           "Turn it on and Vintrelle will gather photos of the same person together. Everything "
                           "happens on this computer.",
                           QStringLiteral("Turn On"), [this] { model_.setFacesEnabled(true); });
            if (idle)
                return set("person.2", "No people found yet",
                           "Anyone who appears in at least three photos will show up here.");
            return set("person.2", "Getting to know your photos",
                       "Vintrelle is looking through your library. People who appear in a few photos will gather "
                       "here as it goes.");
        case ScreenKind::places:
            return set("map", "Nothing on the map yet",
                       "Photos that remember where they were taken will be pinned here. Most phone photos do; many "
                       "camera photos don\u2019t.");
        case ScreenKind::albums:
            return set("rectangle.stack", "Make an album",
                       "Trips and people sort themselves. Albums are for everything else: pick the photos you want "
                       "and gather them under a name.",
                       QStringLiteral("New Album"), [this] { model_.setAlbumPrompt(AppModel::AlbumPrompt{}); });
        case ScreenKind::assets: break;
    }
    const Route& route = model_.route();
    if (!model_.activeSearch().empty())
        return set("magnifyingglass",
                   QStringLiteral("Nothing matches \u201C") + QString::fromStdString(model_.activeSearch()) + u'\u201D',
                   "Try a file or folder name, a year or month, a trip, or the name you gave a person.");
    if (route.kind() == Route::Kind::album)
        return set("rectangle.stack", "This album is empty",
                   "Select photos anywhere in the library, then choose Add to Album.");
    if (route.kind() == Route::Kind::favorites)
        return set("heart", "No favourites yet",
                   "Open a photo and press F, or right-click any photo, to keep the ones you love within reach.");
    if (route.kind() == Route::Kind::videos)
        return set("video", "No videos here", "Videos in your folder will show up in this view.");
    if (idle && s.hasLoaded())
        return set("photo.on.rectangle.angled", "No photos in this folder",
                   "Vintrelle didn\u2019t find any photos or videos here. Add some to the folder and they\u2019ll "
                   "appear on their own.",
                   QStringLiteral("Look Again"), [this] { store_->rescan(); });
    set("photo.on.rectangle.angled", tr("Reading your photos\u2026"),
        tr("They\u2019ll start appearing here in a moment. You can keep using your computer; this runs quietly in "
           "the background."));
}

// ---- settings -----------------------------------------------------------------------

PlainSettings::PlainSettings(AppModel& model, QWidget* parent) : QWidget(parent, Qt::Window), model_(model) {
    setWindowTitle(tr("Settings"));
    setFixedWidth(500);
    auto* heading = new TextBlock(tr("Appearance"), 13, QFont::DemiBold, ThemeColor::ink, this);
    theme_ = new QButtonGroup(this);
    auto* choices = new QHBoxLayout;
    const std::pair<const char*, QString> options[] = {
        {"light", tr("Light")}, {"dark", tr("Dark")}, {"system", tr("Match System")}};
    int id = 0;
    for (const auto& [value, title] : options) {
        auto* button = new QRadioButton(title, this);
        theme_->addButton(button, id++);
        choices->addWidget(button);
    }
    choices->addStretch(1);
    connect(theme_, &QButtonGroup::idClicked, this, [this](int chosen) {
        static const char* values[] = {"light", "dark", "system"};
        model_.setAppearance(values[chosen]);
    });
    auto* footer = new TextBlock(tr("Vintrelle only ever reads your photos. It never edits, moves or deletes them."),
                                 11.5, QFont::Normal, ThemeColor::ink2, this);
    footer->setWordWrap(true);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(22, 22, 22, 22);
    column->setSpacing(10);
    column->addWidget(heading);
    column->addLayout(choices);
    column->addSpacing(12);
    column->addWidget(footer);
    connect(&model_, &AppModel::appearanceChanged, this, &PlainSettings::refresh);
    refresh();
}

void PlainSettings::refresh() {
    const std::string& a = model_.appearance();
    theme_->button(a == "light" ? 0 : a == "dark" ? 1 : 2)->setChecked(true);
}

}  // namespace vintrelle
