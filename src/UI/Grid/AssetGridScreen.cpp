#include "UI/Grid/AssetGridScreen.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QThread>
#include <QVBoxLayout>

#include <cmath>
#include <utility>

#include "App/AppModel.h"
#include "Store/LibraryStore.h"
#include "UI/Grid/PhotoGridView.h"
#include "UI/Grid/SelectionBar.h"
#include "UI/Grid/YearScrubber.h"
#include "UI/Kit/EmptyState.h"
#include "UI/Kit/Labels.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

namespace {

// An indeterminate spinner of the regular control size; it turns only while
// it is on screen.
class Spinner : public QWidget {
public:
    explicit Spinner(QWidget* parent) : QWidget(parent) {
        setFixedSize(32, 32);
        turn_.setStartValue(0.0);
        turn_.setEndValue(360.0);
        turn_.setDuration(900);
        turn_.setLoopCount(-1);
        connect(&turn_, &QVariantAnimation::valueChanged, this, [this] { update(); });
    }

protected:
    void showEvent(QShowEvent*) override { turn_.start(); }
    void hideEvent(QHideEvent*) override { turn_.stop(); }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF ring = QRectF(rect()).adjusted(3, 3, -3, -3);
        QColor track = Theme::ink();
        track.setAlphaF(0.12f);
        p.setPen(QPen(track, 3));
        p.drawEllipse(ring);
        p.setPen(QPen(Theme::ink2(), 3, Qt::SolidLine, Qt::RoundCap));
        const int start = int(-turn_.currentValue().toReal() * 16);
        p.drawArc(ring, start, 100 * 16);
    }

private:
    QVariantAnimation turn_;
};

QWidget* makeProgressBlock(QWidget* parent) {
    auto* block = new QWidget(parent);
    auto* title = new TextBlock(AssetGridScreen::tr("Reading your photos…"), 22, QFont::Bold, ThemeColor::ink, block);
    auto* message = new TextBlock(AssetGridScreen::tr("They’ll start appearing here in a moment. You can keep using "
                                                      "your computer; this runs quietly in the background."),
                                  13, QFont::Normal, ThemeColor::ink2, block);
    message->setWordWrap(true);
    message->setAlignment(Qt::AlignHCenter);
    message->setMaximumWidth(360);
    auto* column = new QVBoxLayout(block);
    column->setSpacing(14);
    column->addStretch(1);
    column->addWidget(new Spinner(block), 0, Qt::AlignHCenter);
    column->addWidget(title, 0, Qt::AlignHCenter);
    column->addWidget(message, 0, Qt::AlignHCenter);
    column->addStretch(1);
    return block;
}

}  // namespace

AssetGridScreen::EmptyScreen AssetGridScreen::emptyScreen(const Route& route, const std::string& activeSearch,
                                                          const EngineStatus& status, bool hasLoaded,
                                                          std::optional<EngineHalt> halt, bool damaged) {
    if (!activeSearch.empty())
        return {QStringLiteral("magnifyingglass"),
                tr("Nothing matches “%1”").arg(QString::fromStdString(activeSearch)),
                tr("Try a file or folder name, a year or month, a trip, or the name you gave a person."),
                std::nullopt,
                false};
    // Favourites and albums are still in the damaged file: no view may
    // call itself empty until the rebuild has brought them over.
    if (damaged)
        return {QStringLiteral("externaldrive"), tr("The index is damaged"),
                tr("Your photos are safe. Choose Rebuild Index… in the library menu to read them again."),
                std::nullopt, false};
    switch (route.kind()) {
        case Route::Kind::album:
            return {QStringLiteral("rectangle.stack"), tr("This album is empty"),
                    tr("Select photos anywhere in the library, then choose Add to Album."), std::nullopt, false};
        case Route::Kind::favorites:
            return {QStringLiteral("heart"), tr("No favourites yet"),
                    tr("Open a photo and press F, or right-click any photo, to keep the ones you love within reach."),
                    std::nullopt, false};
        case Route::Kind::videos:
            return {QStringLiteral("video"), tr("No videos here"),
                    tr("Videos in your folder will show up in this view."), std::nullopt, false};
        default: break;
    }
    // The footer says why; the store goes on by itself once it can.
    if (halt == EngineHalt::diskFull)
        return {QStringLiteral("externaldrive"), tr("The disk holding the index is full"),
                tr("Vintrelle has found photos it can’t save yet. They’ll appear here on their own once there is "
                   "room."),
                std::nullopt, false};
    if (halt == EngineHalt::unwritable)
        return {QStringLiteral("externaldrive"), tr("The disk holding the index can’t be written"),
                tr("Vintrelle has found photos it can’t save yet. They’ll appear here on their own once it can be "
                   "written again."),
                std::nullopt, false};
    if (halt == EngineHalt::readerUnavailable)
        return {QStringLiteral("externaldrive"), tr("Vintrelle’s photo reader is missing"),
                tr("Some photos wait to be read. They’ll appear here once Vintrelle is installed again."),
                std::nullopt, false};
    if (halt == EngineHalt::readAgainLater)
        return {QStringLiteral("externaldrive"), tr("Some photos wait to be read again"),
                tr("Reading them was cut short, as happens when the computer runs short of memory. Vintrelle tries "
                   "again in a few minutes, and they’ll appear here on their own."),
                std::nullopt, false};
    if (status.kind == EngineStatus::Kind::idle && hasLoaded)
        return {QStringLiteral("photo.on.rectangle.angled"), tr("No photos in this folder"),
                tr("Vintrelle didn’t find any photos or videos here. Add some to the folder and they’ll appear on "
                   "their own."),
                tr("Look Again"), false};
    return {{}, {}, {}, std::nullopt, true};
}

std::optional<AssetGridScreen::HeaderChoice> AssetGridScreen::headerFor(const Route& route,
                                                                        const std::string& activeSearch,
                                                                        const LibraryStore& store) {
    if (!activeSearch.empty()) return std::nullopt;
    const int64_t id = route.id();
    switch (route.kind()) {
        case Route::Kind::trip:
            if (store.trip(id)) return HeaderChoice{RouteHeader::Kind::trip, id, TripHero::height};
            break;
        case Route::Kind::person:
            // The height follows the suggestions the row can show, not the
            // raw list, which may name people merged away since.
            if (store.person(id)) return HeaderChoice{RouteHeader::Kind::person, id, PersonHeader::heightFor(store, id)};
            break;
        case Route::Kind::album:
            if (store.album(id)) return HeaderChoice{RouteHeader::Kind::album, id, AlbumHeader::height};
            break;
        default: break;
    }
    return std::nullopt;
}

AssetGridScreen::AssetGridScreen(AppModel& model, std::shared_ptr<LibraryStore> store, QWidget* parent)
    : QWidget(parent), model_(model), store_(std::move(store)), content_(std::make_shared<const GridContent>()) {
    PhotoGridView::Callbacks callbacks;
    callbacks.open = [this](const Asset& asset) { model_.open(asset, grid_->content()->flat); };
    callbacks.selectionChanged = [this](const std::vector<int64_t>& ids) {
        model_.setSelection(AppModel::Selection(ids.begin(), ids.end()));
    };
    callbacks.visibleSectionChanged = [this](const std::string& title) {
        if (title != model_.visibleSection()) model_.setVisibleSection(title);
    };
    callbacks.contextMenu = [this](const Asset& asset, const std::vector<int64_t>& ids, const QPoint& at) {
        model_.showContextMenu(asset, ids, at);
    };
    // A request standing from an earlier screen is not replayed here.
    const auto& request = model_.scrollRequest();
    grid_ = new PhotoGridView(GridLibrary::of(*store_), std::move(callbacks),
                              request ? std::optional<int64_t>(request->token) : std::nullopt, this);
    setFocusProxy(grid_);

    emptyPage_ = new QWidget(this);
    auto* page = new QVBoxLayout(emptyPage_);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(0);
    headerSlot_ = new QVBoxLayout;
    headerSlot_->setContentsMargins(0, 0, 0, 0);
    page->addLayout(headerSlot_);
    empty_ = new EmptyState(QString(), QString(), QString(), std::nullopt, {}, emptyPage_);
    page->addWidget(empty_, 1);
    progress_ = makeProgressBlock(emptyPage_);
    page->addWidget(progress_, 1);
    emptyPage_->hide();

    scrubber_ = new YearScrubber(model_, this);
    scrubber_->attach(grid_->viewport());

    SelectionBar::Actions actions;
    actions.share = [this](const std::vector<int64_t>& ids) { model_.share(ids); };
    actions.exportCopy = [this](const std::vector<int64_t>& ids) { model_.exportCopies(ids); };
    actions.showInFiles = [this](const std::vector<int64_t>& ids) { model_.showInFiles(ids); };
    bar_ = new SelectionBar(model_, *store_, std::move(actions), this);
    bar_->hide();
    barAnimation_.setDuration(barAnimationMs);
    barAnimation_.setEasingCurve(QEasingCurve::OutCubic);
    connect(&barAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        barReveal_ = v.toReal();
        // In from below the bottom edge, fading in on the way.
        bar_->setReveal(barReveal_, (1 - barReveal_) * (bar_->height() + SelectionBar::bottomGap));
        if (barReveal_ <= 0 && !barWanted_) bar_->hide();
    });

    auto later = [this] { schedule(); };
    for (auto signal : {&AppModel::gridContentChanged, &AppModel::selectionChanged, &AppModel::thumbSizeChanged,
                        &AppModel::scrollRequestChanged, &AppModel::routeChanged, &AppModel::activeSearchChanged,
                        &AppModel::storeChanged})
        connect(&model_, signal, this, later);
    for (auto signal : {&LibraryStore::statusChanged, &LibraryStore::hasLoadedChanged, &LibraryStore::haltChanged,
                        &LibraryStore::isDamagedChanged,
                        &LibraryStore::mergeSuggestionsChanged, &LibraryStore::personsChanged,
                        &LibraryStore::tripsChanged, &LibraryStore::albumsChanged, &LibraryStore::revisionChanged,
                        &LibraryStore::collectionsRevisionChanged})
        connect(store_.get(), signal, this, later);

    pending_ = true;
    apply();
}

AssetGridScreen::~AssetGridScreen() {
    // The grid, the headers and the bar use the store: they go while it is
    // surely still there.
    // Some take siblings with them (the bar its shadow).
    std::vector<QPointer<QWidget>> children;
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) children.emplace_back(child);
    for (const QPointer<QWidget>& child : children) delete child.data();
}

void AssetGridScreen::schedule() {
    if (pending_) return;
    pending_ = true;
    QMetaObject::invokeMethod(this, [this] { apply(); }, Qt::QueuedConnection);
}

void AssetGridScreen::refreshNow() {
    pending_ = true;
    apply();
}

size_t AssetGridScreen::itemCount() const { return content_->flat->size(); }
bool AssetGridScreen::isShowingGrid() const { return !grid_->isHidden(); }
bool AssetGridScreen::isShowingEmptyState() const { return !emptyPage_->isHidden() && !empty_->isHidden(); }
bool AssetGridScreen::isShowingProgress() const { return !emptyPage_->isHidden() && !progress_->isHidden(); }

void AssetGridScreen::apply() {
    if (!pending_) return;
    pending_ = false;
    // Another library is open: the window replaces this screen; until then
    // it shows what it showed.
    if (model_.store() != store_) return;
    ++updates_;

    content_ = model_.gridContent();
    const Route& route = model_.route();
    const std::string& search = model_.activeSearch();
    const bool empty = content_->flat->empty();

    placeHeader(headerFor(route, search, *store_), !empty);
    // The page coming in is shown before the one going out is hidden, so
    // the keyboard passes between them rather than to the next field of the
    // window.
    if (empty) {
        grid_->setContent(content_);
        showEmpty(
            emptyScreen(route, search, store_->status(), store_->hasLoaded(), store_->halt(), store_->isDamaged()));
        emptyPage_->show();
        if (holdsKeyboard(grid_)) emptyPage_->setFocus(Qt::OtherFocusReason);
        grid_->hide();
    } else {
        const bool appearing = grid_->isHidden();
        grid_->setContent(content_);
        grid_->setThumbSize(model_.thumbSize());
        grid_->setSelection(model_.selection());
        if (const auto& request = model_.scrollRequest()) grid_->requestScroll(request->section, request->token);
        grid_->show();
        if (appearing) takeKeyboardIfFree();
        emptyPage_->hide();
        if (placeToRestore_) grid_->restorePlace(*std::exchange(placeToRestore_, std::nullopt));
    }
    placeToRestore_.reset();

    if (!empty && route.kind() == Route::Kind::library && search.empty()) scrubber_->setContent(content_);
    else scrubber_->setContent(std::make_shared<const GridContent>());

    const bool wantBar = !empty && !model_.selection().empty();
    // A bar on its way out keeps what it showed.
    if (wantBar) bar_->setIds(grid_->inGridOrder(model_.selection()));
    showBar(wantBar);
    placeOverlays();
}

void AssetGridScreen::showEmpty(const EmptyScreen& screen) {
    progress_->setVisible(screen.progress);
    empty_->setVisible(!screen.progress);
    if (screen.progress) return;
    std::function<void()> action;
    if (screen.action) {
        std::weak_ptr<LibraryStore> weak = store_;
        action = [weak] {
            if (auto store = weak.lock()) store->rescan();
        };
    }
    empty_->set(screen.symbol, screen.title, screen.message, screen.action, std::move(action));
}

bool AssetGridScreen::holdsKeyboard(const QWidget* part) const {
    const QWidget* holder = window()->focusWidget();
    return holder && (holder == part || part->isAncestorOf(holder));
}

void AssetGridScreen::takeKeyboardIfFree() {
    // The photos of a library still being read arrive after the screen was
    // given the keyboard: the grid takes it from the empty page, or from
    // the window resting it, never from anything else.
    const QWidget* holder = window()->focusWidget();
    if (!holder || holder == this || holder->isAncestorOf(this) || holdsKeyboard(emptyPage_))
        grid_->setFocus(Qt::OtherFocusReason);
}

std::optional<ScreenPlace> AssetGridScreen::place() const {
    if (grid_->isHidden()) return std::nullopt;
    return grid_->place();
}

void AssetGridScreen::restorePlace(const ScreenPlace& place) {
    placeToRestore_ = place;
    schedule();
}

// ---- header ---------------------------------------------------------------------

RouteHeader* AssetGridScreen::makeHeader(const HeaderChoice& choice) {
    switch (choice.kind) {
        case RouteHeader::Kind::trip: return new TripHero(model_, *store_, *store_->trip(choice.id));
        case RouteHeader::Kind::person: return new PersonHeader(model_, *store_, *store_->person(choice.id));
        case RouteHeader::Kind::album: return new AlbumHeader(model_, *store_, *store_->album(choice.id));
    }
    return nullptr;
}

void AssetGridScreen::updateHeaderRecord(const HeaderChoice& choice) {
    switch (choice.kind) {
        case RouteHeader::Kind::trip: static_cast<TripHero*>(header_.data())->setTrip(*store_->trip(choice.id)); break;
        case RouteHeader::Kind::person:
            static_cast<PersonHeader*>(header_.data())->setPerson(*store_->person(choice.id));
            break;
        case RouteHeader::Kind::album:
            static_cast<AlbumHeader*>(header_.data())->setAlbum(*store_->album(choice.id));
            break;
    }
}

void AssetGridScreen::placeHeader(const std::optional<HeaderChoice>& want, bool inGrid) {
    const bool keep = header_ && want && header_->kind() == want->kind && header_->recordID() == want->id &&
                      headerInGrid_ == inGrid;
    if (keep) {
        updateHeaderRecord(*want);
        if (headerHeight_ != want->height) {
            headerHeight_ = want->height;
            if (inGrid) grid_->setHeader(header_, headerHeight_);
            else header_->setFixedHeight(headerHeight_);
        }
        return;
    }
    // The grid owns the header it hosts: it lets it go itself.
    if (header_) {
        if (headerInGrid_) {
            grid_->setHeader(nullptr, 0);
        } else {
            header_->hide();
            header_->deleteLater();
        }
    }
    header_ = nullptr;
    headerHeight_ = 0;
    if (!want) return;
    header_ = makeHeader(*want);
    headerInGrid_ = inGrid;
    headerHeight_ = want->height;
    if (inGrid) {
        grid_->setHeader(header_, headerHeight_);
    } else {
        header_->setParent(emptyPage_);
        header_->setFixedHeight(headerHeight_);
        headerSlot_->addWidget(header_);
        header_->show();
    }
}

// ---- overlays -------------------------------------------------------------------

void AssetGridScreen::showBar(bool shown) {
    if (shown == barWanted_) return;
    barWanted_ = shown;
    if (shown) {
        bar_->show();
        bar_->raise();
    }
    barAnimation_.stop();
    barAnimation_.setStartValue(barReveal_);
    barAnimation_.setEndValue(shown ? 1.0 : 0.0);
    barAnimation_.start();
}

void AssetGridScreen::placeOverlays() {
    grid_->setGeometry(rect());
    emptyPage_->setGeometry(rect());
    bar_->place(rect());
}

void AssetGridScreen::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    placeOverlays();
}

bool AssetGridScreen::settle(int msecs) {
    QElapsedTimer t;
    t.start();
    auto still = [this] {
        return !pending_ && barAnimation_.state() != QAbstractAnimation::Running && (!header_ || !header_->isLoading());
    };
    for (;;) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (still()) {
            if (grid_->isHidden()) return true;
            if (!grid_->waitForThumbnails(int(std::max<qint64>(1, msecs - t.elapsed())))) return false;
            if (still()) return true;
        }
        if (t.elapsed() > msecs) return false;
        QThread::msleep(2);
    }
}

}  // namespace vintrelle
