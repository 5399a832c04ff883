#include "App/AppModel.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSettings>
#include <QStringList>
#include <QVariant>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "App/DesktopServices.h"
#include "App/FileExport.h"
#include "App/FolderReturn.h"
#include "App/MountWatcher.h"
#include "App/PathText.h"
#include "App/PreUnmountWatcher.h"
#include "App/SystemAppearance.h"
#include "Core/Index/IndexRepair.h"
#include "Core/Index/LibraryLock.h"
#include "Core/Index/MarksCopy.h"
#include "Core/Places/PlaceClusters.h"
#include "Store/FullImageCache.h"
#include "Store/LibraryStore.h"
#include "Store/MainThread.h"

namespace vintrelle {

namespace fs = std::filesystem;

namespace {

const QString kLibraries = QStringLiteral("libraries");
const QString kLastLibrary = QStringLiteral("lastLibrary");
const QString kThumbSize = QStringLiteral("thumbSize");
const QString kShowInfo = QStringLiteral("showInfo");
const QString kFacesEnabled = QStringLiteral("facesEnabled");
const QString kAppearance = QStringLiteral("appearance");

bool isDirectory(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

// The last component of a path, ignoring trailing slashes.
std::string lastComponent(const std::string& path) {
    std::string_view p = path;
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    const size_t slash = p.rfind('/');
    if (slash == std::string_view::npos || p.size() == 1) return std::string(p);
    return std::string(p.substr(slash + 1));
}

// Absolute, without "." and ".." steps or a trailing slash; links are kept.
std::string standardized(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(path, ec);
    if (ec) p = path;
    std::string s = p.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// Every rebuild of grid content in the process takes the next token, so no
// two contents ever share one, whichever model made them.
int64_t contentToken = 0;

}  // namespace

QUrl fileUrl(const std::string& absolutePath) {
    return QUrl::fromEncoded("file://" + QByteArray::fromStdString(absolutePath).toPercentEncoding("/"),
                             QUrl::StrictMode);
}

// ---- construction and preferences --------------------------------------------

AppModel& AppModel::shared() {
    // Never released: nothing of it runs during static destruction.
    static AppModel* model =
        new AppModel(std::make_unique<QSettings>(QStringLiteral("Vintrelle"), QStringLiteral("Vintrelle")));
    return *model;
}

AppModel::AppModel(std::unique_ptr<QSettings> settings, QObject* parent)
    : QObject(parent),
      settings_(std::move(settings)),
      services_(std::make_shared<DesktopServices>()),
      exports_(std::make_unique<FileExports>()) {
    setFolderCheck(nullptr);
    lastActivationScan_ = desktop_.now();
    searchTimer_.setSingleShot(true);
    searchTimer_.setTimerType(Qt::PreciseTimer);
    connect(&searchTimer_, &QTimer::timeout, this, [this] { applySearch(); });
    lastRouteTitle_ = routeTitle();
    loadPreferences();
}

AppModel::~AppModel() = default;

void AppModel::loadPreferences() {
    Batch batch(*this);
    std::vector<std::string> libraries;
    for (const QString& path : settings_->value(kLibraries).toStringList()) libraries.push_back(pathFromText(path));
    setLibraries(std::move(libraries));

    // A stored size that is not a finite number counts as no size at all.
    if (settings_->contains(kThumbSize)) {
        bool ok = false;
        const double size = settings_->value(kThumbSize).toDouble(&ok);
        if (ok && std::isfinite(size)) setThumbSize(std::clamp(size, kMinThumbSize, kMaxThumbSize));
    }
    setShowInfo(settings_->value(kShowInfo).toBool());
    if (settings_->contains(kFacesEnabled)) setFacesEnabled(settings_->value(kFacesEnabled).toBool());
    setAppearance(settings_->value(kAppearance, QStringLiteral("light")).toString().toStdString());
}

void AppModel::saveLibraries() {
    QStringList list;
    for (const std::string& path : libraries_) list.push_back(pathText(path));
    settings_->setValue(kLibraries, list);
}

// ---- notification --------------------------------------------------------------

AppModel::Batch::~Batch() {
    if (--m_.batchDepth_ == 0) m_.flushSignals();
}

void AppModel::touch(Change change) {
    Batch batch(*this);
    pending_ |= change;
}

void AppModel::flushSignals() {
    // Signals may run slots that change the model again; each change then
    // makes a flush of its own.
    const uint32_t p = pending_;
    pending_ = 0;
    if (p == 0) return;
    if (p & cLibraries) emit librariesChanged();
    if (p & cStore) emit storeChanged();
    if (p & cLibraryPath) emit libraryPathChanged();
    if (p & cWaiting) emit waitingForPathChanged();
    if (p & cError) emit errorMessageChanged();
    if (p & cRebuildOffer) emit rebuildOfferChanged();
    if (p & cRebuilding) emit rebuildingChanged();
    if (p & cRoute) emit routeChanged();
    if (p & cBackStack) emit backStackChanged();
    if (p & cSearch) emit searchChanged();
    if (p & cActiveSearch) emit activeSearchChanged();
    if (p & cFocusToken) emit searchFocusTokenChanged();
    if (p & cThumbSize) emit thumbSizeChanged();
    if (p & cShowInfo) emit showInfoChanged();
    if (p & cSidebar) emit sidebarVisibleChanged();
    if (p & cAppearance) emit appearanceChanged();
    if (p & cFaces) emit facesEnabledChanged();
    if (p & cSelection) emit selectionChanged();
    if (p & cViewer) emit viewerChanged();
    if (p & cVisibleSection) emit visibleSectionChanged();
    if (p & cScroll) emit scrollRequestChanged();
    if (p & cVideoToken) emit videoToggleTokenChanged();
    if (p & cDropTargeted) emit isDropTargetedChanged();
    if (p & cFullScreen) emit isFullScreenChanged();
    if (p & cAlbumPrompt) emit albumPromptChanged();
    if (p & cRenamePrompt) emit renamePromptChanged();
    if (p & cDarkAppearance) emit darkAppearanceChanged();

    if (p & (cRoute | cBackStack)) {
        Route sidebar = sidebarRoute();
        if (!(sidebar == lastSidebarRoute_)) {
            lastSidebarRoute_ = std::move(sidebar);
            emit sidebarRouteChanged();
        }
    }
    if (p & (cRoute | cStore | cStoreCollections)) {
        std::string title = routeTitle();
        if (title != lastRouteTitle_) {
            lastRouteTitle_ = std::move(title);
            emit routeTitleChanged();
        }
    }
    if (p & (cRoute | cActiveSearch | cStore | cStoreRevision | cStoreCollections)) emit gridContentChanged();
}

// ---- setters -------------------------------------------------------------------

void AppModel::setLibraries(std::vector<std::string> v) { assign(libraries_, std::move(v), cLibraries); }

void AppModel::setStore(std::shared_ptr<LibraryStore> v) {
    Batch batch(*this);
    disconnect(revisionConnection_);
    disconnect(collectionsConnection_);
    disconnect(damageConnection_);
    disconnect(refusedConnection_);
    disconnect(offlineConnection_);
    disconnect(indexConnection_);
    store_ = std::move(v);
    ++storeGeneration_;
    contentCache_.reset();
    if (store_) {
        revisionConnection_ =
            connect(store_.get(), &LibraryStore::revisionChanged, this, [this] { touch(cStoreRevision); });
        collectionsConnection_ =
            connect(store_.get(), &LibraryStore::collectionsRevisionChanged, this, [this] { touch(cStoreCollections); });
        damageConnection_ = connect(store_.get(), &LibraryStore::isDamagedChanged, this, &AppModel::offerIndexRebuild);
        // A change asked for after the offer was turned down: the offer again,
        // with why nothing changed.
        refusedConnection_ = connect(store_.get(), &LibraryStore::marksRefused, this, [this] {
            if (!store_ || !libraryPath_) return;
            Batch batch(*this);
            setErrorMessage("The index of \u201c" + lastComponent(*libraryPath_) +
                            "\u201d is damaged: nothing can be changed until it is made again.");
            offerRebuild(*libraryPath_);
        });
        // The engine finds the folder gone offline also when it is another
        // folder now; the store is closed after its own report, not inside it.
        offlineConnection_ = connect(
            store_.get(), &LibraryStore::isOfflineChanged, this,
            [this, weak = std::weak_ptr<LibraryStore>(store_)] {
                if (storeIsStillOpen(weak) && store_->isOffline()) reopenIfReplaced();
            },
            Qt::QueuedConnection);
        indexConnection_ = connect(
            store_.get(), &LibraryStore::dataFolderChanged, this,
            [this, weak = std::weak_ptr<LibraryStore>(store_)] {
                if (storeIsStillOpen(weak)) reopenIfReplaced();
            },
            Qt::QueuedConnection);
    }
    pending_ |= cStore;
    watchForReturn();
}

void AppModel::setLibraryPath(std::optional<std::string> v) { assign(libraryPath_, std::move(v), cLibraryPath); }
void AppModel::setWaitingForPath(std::optional<std::string> v) {
    assign(waitingForPath_, std::move(v), cWaiting);
    watchForReturn();
}
void AppModel::setErrorMessage(std::optional<std::string> v) {
    Batch batch(*this);
    assign(rebuildOffer_, std::optional<std::string>(), cRebuildOffer);
    assign(errorMessage_, std::move(v), cError);
}
void AppModel::setRoute(Route v) { assign(route_, std::move(v), cRoute); }
void AppModel::setBackStack(std::vector<Route> v) { assign(backStack_, std::move(v), cBackStack); }

void AppModel::setSearch(std::string v) {
    Batch batch(*this);
    assign(search_, std::move(v), cSearch);
    scheduleSearch();
}

void AppModel::setActiveSearch(std::string v) { assign(activeSearch_, std::move(v), cActiveSearch); }
void AppModel::setSearchFocusToken(int64_t v) { assign(searchFocusToken_, v, cFocusToken); }

void AppModel::setThumbSize(double v) {
    Batch batch(*this);
    assign(thumbSize_, v, cThumbSize);
    settings_->setValue(kThumbSize, v);
}

void AppModel::setShowInfo(bool v) {
    Batch batch(*this);
    assign(showInfo_, v, cShowInfo);
    settings_->setValue(kShowInfo, v);
}

void AppModel::setSidebarVisible(bool v) { assign(sidebarVisible_, v, cSidebar); }

void AppModel::setAppearance(std::string v) {
    Batch batch(*this);
    assign(appearance_, std::move(v), cAppearance);
    settings_->setValue(kAppearance, QString::fromStdString(appearance_));
    applyAppearance();
}

void AppModel::setFacesEnabled(bool v) {
    Batch batch(*this);
    assign(facesEnabled_, v, cFaces);
    settings_->setValue(kFacesEnabled, v);
    if (store_) store_->setFacesEnabled(v);
}

void AppModel::setSelection(Selection v) { assign(selection_, std::move(v), cSelection); }
void AppModel::setViewer(std::optional<ViewerState> v) { assign(viewer_, std::move(v), cViewer); }
void AppModel::setVisibleSection(std::string v) { assign(visibleSection_, std::move(v), cVisibleSection); }

void AppModel::setScrollRequest(std::optional<ScrollRequest> v) {
    Batch batch(*this);
    scrollRequest_ = std::move(v);
    pending_ |= cScroll;
}

void AppModel::setVideoToggleToken(int64_t v) { assign(videoToggleToken_, v, cVideoToken); }
void AppModel::setIsDropTargeted(bool v) { assign(isDropTargeted_, v, cDropTargeted); }
void AppModel::setIsFullScreen(bool v) { assign(isFullScreen_, v, cFullScreen); }

void AppModel::setAlbumPrompt(std::optional<AlbumPrompt> v) {
    Batch batch(*this);
    albumPrompt_ = std::move(v);
    albumPromptStore_ = albumPrompt_ ? store_ : nullptr;
    pending_ |= cAlbumPrompt;
}

void AppModel::setRenamePrompt(std::optional<RenamePrompt> v) {
    Batch batch(*this);
    renamePrompt_ = std::move(v);
    renamePromptStore_ = renamePrompt_ ? store_ : nullptr;
    pending_ |= cRenamePrompt;
}

void AppModel::clearSelection() {
    Batch batch(*this);
    selection_.clear();
    pending_ |= cSelection;
}

void AppModel::raiseVideoToggleToken() {
    Batch batch(*this);
    ++videoToggleToken_;
    pending_ |= cVideoToken;
}

void AppModel::requestScroll(const std::string& section) {
    setScrollRequest(ScrollRequest{section, scrollRequest_ ? scrollRequest_->token + 1 : 1});
}

// ---- libraries -----------------------------------------------------------------

void AppModel::setFolderCheck(FolderCheck check) {
    if (!check) check = [this](const std::string& path) { return isReachable(path); };
    folderCheck_ = std::move(check);
}

void AppModel::addLibrary(const std::string& given) {
    Batch batch(*this);
    const std::string path = standardized(given);
    if (!isDirectory(path)) {
        setErrorMessage("\u201c" + lastComponent(path) + "\u201d is not a folder Vintrelle can open.");
        return;
    }
    if (std::find(libraries_.begin(), libraries_.end(), path) == libraries_.end()) {
        libraries_.push_back(path);
        pending_ |= cLibraries;
        saveLibraries();
    }
    openLibrary(path);
}

void AppModel::openLibrary(std::string path) {
    // Chosen again while open: nothing, unless its index is no longer the
    // folder's (see reopenIfReplaced).
    if (libraryPath_ == path && store_) {
        if (store_->folderStands()) {
            store_->lookAtIndex();
            if (store_->indexStanding() == Database::Standing::kept) return;
            return followIndex();
        }
        if (!store_->folderReplaced() && !store_->indexDeleted()) return;
    }
    // Chosen while its index is made again: it opens when that is done.
    if (rebuilding_ && rebuilding_->path == path) return;
    Batch batch(*this);
    stopRebuild();
    // Asked while the watch of its return is still there, which closing may end.
    noteIndexDeleted();
    const bool comingBack = stillComingBack(path);
    closeStore();
    setLibraryPath(path);
    settings_->setValue(kLastLibrary, pathText(path));
    resetNavigation();
    if (comingBack || !folderCheck_(path)) {
        setWaitingForPath(path);
        return;
    }
    setWaitingForPath(std::nullopt);
    try {
        std::shared_ptr<LibraryStore> store = LibraryStore::init(path);
        deletedWithIndex_.erase(path);
        setStore(store);
        rememberWhereSeen(path, *store);
        store->start(facesEnabled_);
        if (store->isDamaged()) offerIndexRebuild();
    } catch (const LibraryAway&) {
        // The folder went between the look above and the opening: its drive
        // is away, as if it had been missing at the look.
        closeStore();
        setWaitingForPath(path);
    } catch (const std::exception& e) {
        closeStore();
        // The statement that failed is for the log, not for the person.
        qWarning("Could not open %s: %s", path.c_str(), e.what());
        setErrorMessage("Couldn\u2019t open \u201c" + lastComponent(path) + "\u201d. " + openFailureReason(e));
        if (auto* db = dynamic_cast<const DBError*>(&e); db && db->isDamage()) offerRebuild(path);
        setLibraryPath(std::nullopt);
    }
}

void AppModel::closeStore() {
    Batch batch(*this);
    setViewer(std::nullopt);
    clearSelection();
    contentCache_.reset();
    // A prompt asked in this library must not be answered in the next one.
    if (albumPrompt_) setAlbumPrompt(std::nullopt);
    if (renamePrompt_) setRenamePrompt(std::nullopt);
    if (store_) {
        noteIndexDeleted();
        if (fullImages_) fullImages_->closeLibrary(store_->paths().root);
        store_->shutdown();
    }
    setStore(nullptr);
}

void AppModel::closeWithLibrary(QWidget* opened) {
    if (!opened) return;
    connect(this, &AppModel::storeChanged, opened, [this, opened, made = std::weak_ptr<LibraryStore>(store_)] {
        if (!storeIsStillOpen(made)) opened->close();
    });
}

FullImageCache& AppModel::fullImages() {
    if (!fullImages_) {
        fullImages_ = std::make_unique<FullImageCache>();
        // The shared model is never destroyed: its decoding threads stop when
        // the application quits, not during static destruction.
        if (QCoreApplication* app = QCoreApplication::instance())
            connect(app, &QCoreApplication::aboutToQuit, this, [this] { fullImages_->shutdown(); });
    }
    return *fullImages_;
}

void AppModel::resetNavigation() {
    Batch batch(*this);
    setRoute(Route::library());
    backStack_.clear();
    pending_ |= cBackStack;
    setSearch("");
    setActiveSearch("");
    clearSelection();
}

// ---- navigation ----------------------------------------------------------------

void AppModel::navigate(const Route& r) {
    if (r == route_ && backStack_.empty()) return;
    Batch batch(*this);
    backStack_.clear();
    pending_ |= cBackStack;
    setRoute(r);
    afterRouteChange();
}

void AppModel::push(const Route& r) {
    if (r == route_) return;
    Batch batch(*this);
    backStack_.push_back(route_);
    pending_ |= cBackStack;
    setRoute(r);
    afterRouteChange();
}

void AppModel::back() {
    Batch batch(*this);
    pending_ |= cBackStack;
    if (backStack_.empty()) return;
    Route previous = std::move(backStack_.back());
    backStack_.pop_back();
    setRoute(std::move(previous));
    afterRouteChange();
}

void AppModel::afterRouteChange() {
    Batch batch(*this);
    clearSelection();
    setVisibleSection("");
    if (!search_.empty()) setSearch("");
    setActiveSearch("");
}

Route AppModel::sidebarRoute() const {
    switch (route_.kind()) {
        case Route::Kind::trip: return Route::trips();
        case Route::Kind::person: return Route::people();
        case Route::Kind::place: return Route::places();
        default: return backStack_.empty() ? route_ : backStack_.front();
    }
}

std::string AppModel::routeTitle() const {
    if (!store_) return "Vintrelle";
    switch (route_.kind()) {
        case Route::Kind::library: return "Library";
        case Route::Kind::favorites: return "Favourites";
        case Route::Kind::videos: return "Videos";
        case Route::Kind::recent: return "Recently Added";
        case Route::Kind::trips: return "Trips";
        case Route::Kind::people: return "People";
        case Route::Kind::places: return "Places";
        case Route::Kind::albums: return "Albums";
        case Route::Kind::album: {
            const auto album = store_->album(route_.id());
            return album ? album->name : "Album";
        }
        case Route::Kind::trip: {
            const auto trip = store_->trip(route_.id());
            return trip ? trip->title() : "Trip";
        }
        case Route::Kind::person: {
            const auto person = store_->person(route_.id());
            if (!person) return "Person";
            return person->name.empty() ? "Unnamed Person" : person->name;
        }
        case Route::Kind::place: return route_.box().title;
        case Route::Kind::folder: return lastComponent(route_.path());
    }
    return {};
}

// ---- search --------------------------------------------------------------------

void AppModel::scheduleSearch() {
    // One timer, restarted by every assignment: typing applies once the keys
    // pause, clearing applies on the next turn of the event loop.
    pendingSearch_ = search_;
    searchTimer_.start(pendingSearch_.empty() ? 0 : kSearchDebounceMs);
}

void AppModel::applySearch() {
    if (activeSearch_ == pendingSearch_) return;
    Batch batch(*this);
    setActiveSearch(pendingSearch_);
    clearSelection();
}

// ---- viewer --------------------------------------------------------------------

void AppModel::open(const Asset& asset, std::shared_ptr<const AssetList> list) {
    if (!list) return;
    const auto it = std::find_if(list->begin(), list->end(), [&](const Asset& a) { return a.id == asset.id; });
    if (it == list->end()) return;
    const int64_t index = it - list->begin();
    setViewer(ViewerState{std::move(list), index});
}

void AppModel::open(const Asset& asset, const AssetList& list) {
    open(asset, std::make_shared<const AssetList>(list));
}

void AppModel::open(const Asset& asset, std::vector<Asset> list) {
    open(asset, std::make_shared<const AssetList>(std::move(list)));
}

bool AppModel::stepViewer(int64_t delta) {
    if (!viewer_) return false;
    const int64_t next = viewer_->index + delta;
    if (next < 0 || size_t(next) >= viewer_->assets->size()) return false;
    setViewer(ViewerState{viewer_->assets, next});
    return true;
}

void AppModel::closeViewer() {
    Batch batch(*this);
    if (viewer_) {
        if (const Asset* shown = viewer_->current()) setSelection(Selection{shown->id});
    }
    setViewer(std::nullopt);
}

void AppModel::focusSearch() {
    if (viewer_) return;
    Batch batch(*this);
    ++searchFocusToken_;
    pending_ |= cFocusToken;
}

// ---- grid content --------------------------------------------------------------

GridContentPtr AppModel::gridContent() const {
    if (!store_) return std::make_shared<const GridContent>();
    ContentKey key{route_, activeSearch_, storeGeneration_, store_->revision(), store_->collectionsRevision()};
    if (contentCache_ && contentCache_->first == key) return contentCache_->second;
    GridContentPtr content = untouchedContent(key, *store_);
    if (!content) content = buildContent(*store_);
    contentCache_.emplace(std::move(key), content);
    return content;
}

namespace {

// The test a route's assets pass, for the routes whose list is the store's
// list filtered (in store order); none for the others.
std::function<bool(const Asset&)> routeFilter(const Route& route, LibraryStore& store) {
    switch (route.kind()) {
        case Route::Kind::favorites: return [](const Asset& a) { return a.favorite; };
        case Route::Kind::videos: return [](const Asset& a) { return a.kind == MediaKind::video; };
        case Route::Kind::place:
            return [b = route.box()](const Asset& a) { return a.lat && a.lon && placeBoxContains(b, *a.lat, *a.lon); };
        case Route::Kind::folder:
            return [prefix = route.path() + "/"](const Asset& a) {
                return a.path.compare(0, prefix.size(), prefix) == 0;
            };
        case Route::Kind::trip:
            if (const auto trip = store.trip(route.id()))
                return [start = trip->start, end = trip->end](const Asset& a) {
                    return start <= a.taken && a.taken <= end;
                };
            return {};
        case Route::Kind::album:
            if (const auto album = store.album(route.id()))
                return [ids = std::unordered_set<int64_t>(album->assetIDs.begin(), album->assetIDs.end())](
                           const Asset& a) { return ids.count(a.id) != 0; };
            return {};
        default: return {};
    }
}

}  // namespace

GridContentPtr AppModel::untouchedContent(const ContentKey& key, LibraryStore& store) const {
    // A batch that brings nothing of this route (new photos of another folder
    // while a folder, the favourites or a trip are shown) leaves its content
    // as it was: it is shared anew instead of being built from the library.
    if (!contentCache_) return nullptr;
    const ContentKey& had = contentCache_->first;
    const AssetChange& change = store.lastChange();
    if (had.route != key.route || had.search != key.search || had.storeGeneration != key.storeGeneration ||
        had.collectionsRevision != key.collectionsRevision || had.revision + 1 != key.revision ||
        change.revision != key.revision)
        return nullptr;
    const auto pass = routeFilter(key.route, store);
    if (!pass || std::any_of(change.gone.begin(), change.gone.end(), pass) ||
        std::any_of(change.came.begin(), change.came.end(), pass))
        return nullptr;
    auto content = std::make_shared<GridContent>(*contentCache_->second);
    content->token = ++contentToken;
    return content;
}

GridContentPtr AppModel::buildContent(LibraryStore& store) const {
    const std::shared_ptr<const AssetList> all = store.sharedAssets();
    // The route's assets: the store's whole list, or the route's own; a
    // search then copies only what it keeps, so no record is copied twice.
    bool whole = false;
    std::vector<Asset> owned;
    Grouping grouping = Grouping::month;
    auto keep = [&](const std::function<bool(const Asset&)>& pass) {
        all->forEach([&](const Asset& a) {
            if (pass(a)) owned.push_back(a);
        });
    };

    switch (route_.kind()) {
        case Route::Kind::library: whole = true; break;
        case Route::Kind::favorites:
        case Route::Kind::videos:
        case Route::Kind::place: keep(routeFilter(route_, store)); break;
        case Route::Kind::recent:
            owned = store.recentlyAdded();
            grouping = Grouping::added;
            break;
        case Route::Kind::trip:
            grouping = Grouping::tripDays;
            if (const auto trip = store.trip(route_.id())) {
                const AssetRange run = store.range(trip->start, trip->end);
                if (run.size() == all->size()) whole = true;
                else owned = all->slice(run.lower, run.upper).toVector();
            }
            break;
        case Route::Kind::person: owned = store.assetsOf(route_.id()); break;
        case Route::Kind::album:
            grouping = Grouping::all;
            if (const auto album = store.album(route_.id())) {
                for (int64_t id : album->assetIDs)
                    if (auto a = store.asset(id)) owned.push_back(std::move(*a));
            }
            break;
        case Route::Kind::folder: owned = store.assetsInFolder(route_.path()); break;
        case Route::Kind::trips:
        case Route::Kind::people:
        case Route::Kind::places:
        case Route::Kind::albums: grouping = Grouping::all; break;
    }
    const bool searching = !activeSearch_.empty();
    if (searching && grouping != Grouping::tripDays && grouping != Grouping::all) grouping = Grouping::month;

    // The store's whole list, or what a search keeps of it, is shared as it
    // stands when its order is the sections' (trip days run oldest first);
    // the whole list's months are the store's, kept batch by batch.
    std::shared_ptr<const AssetList> flat;
    std::vector<Asset> list;
    if (whole && grouping != Grouping::tripDays) flat = searching ? store.search(all, activeSearch_) : all;
    else if (whole) list = searching ? store.search(*all, activeSearch_) : all->toVector();
    else list = searching ? store.search(owned, activeSearch_) : std::move(owned);

    auto content = std::make_shared<GridContent>();
    const std::vector<SectionRun> runs = flat == all && grouping == Grouping::month ? store.monthSections()
                                         : flat ? store.sectionRuns(*flat, grouping)
                                                : store.sectionRuns(list, grouping);
    content->sections.reserve(runs.size());
    for (const SectionRun& run : runs)
        content->sections.push_back(GridContent::Section{run.id, run.title, run.detail, run.begin, run.end});
    content->flat = flat ? std::move(flat) : std::make_shared<const AssetList>(std::move(list));
    content->token = ++contentToken;
    // The route's text is prefixed with its length, so no route and search
    // can spell another pair's key.
    const std::string routeText = route_.text();
    content->scrollKey = std::to_string(routeText.size()) + ":" + routeText + "|" + activeSearch_;
    return content;
}

// ---- prompts and actions -------------------------------------------------------

bool AppModel::storeIsStillOpen(const std::weak_ptr<LibraryStore>& of) const {
    const std::shared_ptr<LibraryStore> asked = of.lock();
    return asked && asked == store_;
}

bool AppModel::confirmAlbumPrompt(const QUuid& id, const std::string& name) {
    if (!albumPrompt_ || albumPrompt_->id != id || !storeIsStillOpen(albumPromptStore_)) return false;
    const std::vector<int64_t> assets = albumPrompt_->assetIDs;
    setAlbumPrompt(std::nullopt);
    store_->createAlbum(name, assets);
    return true;
}

bool AppModel::confirmRenamePrompt(const QUuid& id, std::string text) {
    if (!renamePrompt_ || renamePrompt_->id != id || !storeIsStillOpen(renamePromptStore_)) return false;
    const RenamePrompt::Target target = renamePrompt_->target;
    setRenamePrompt(std::nullopt);
    switch (target.kind) {
        case RenamePrompt::Target::Kind::album: store_->renameAlbum(target.id, text); break;
        case RenamePrompt::Target::Kind::person: store_->renamePerson(target.id, text); break;
        case RenamePrompt::Target::Kind::trip: store_->renameTrip(target.id, text); break;
    }
    return true;
}

// ---- damaged indexes ------------------------------------------------------------

std::string AppModel::openFailureReason(const std::exception& e) {
    const auto* db = dynamic_cast<const DBError*>(&e);
    if (!db) return "Its index couldn\u2019t be opened.";
    if (db->message == LibraryLock::heldElsewhere || db->message == kIndexEmpty || db->message == kIndexMissing ||
        db->message == kIndexNotAFile || db->message == kCopyNewer)
        return db->message;
    switch (db->kind()) {
        case DBError::Kind::damaged: return "Its index is damaged or was written by a newer Vintrelle.";
        case DBError::Kind::diskFull: return "The disk holding its index is full.";
        case DBError::Kind::busy: return "Its index is in use by another program. Try again in a moment.";
        case DBError::Kind::unwritable: return "Its index can\u2019t be opened for writing.";
        case DBError::Kind::diskError: return "The disk holding its index reported an error.";
        case DBError::Kind::other: break;
    }
    return "Its index couldn\u2019t be opened.";
}

void AppModel::offerRebuild(const std::string& path) { assign(rebuildOffer_, std::optional(path), cRebuildOffer); }

void AppModel::offerIndexRebuild() {
    if (!store_ || !store_->isDamaged() || !libraryPath_) return;
    Batch batch(*this);
    const std::string path = *libraryPath_;
    setErrorMessage("The index of \u201c" + lastComponent(path) + "\u201d is damaged.");
    offerRebuild(path);
}

void AppModel::rebuildIndex(std::string path) {
    if (rebuilding_) return;
    Batch batch(*this);
    setErrorMessage(std::nullopt);
    // What the window showed is what the new index is measured against.
    std::optional<UserMade> made;
    if (libraryPath_ == path && store_) made = store_->userMade();
    // Closed while its index is read and made again: nothing the user does
    // meanwhile can go into the damaged index and be lost with it.
    closeStore();
    // A drive that went away meanwhile: its index is made again when it is back.
    if (!folderCheck_(path)) {
        openLibrary(path);
        return;
    }
    setLibraryPath(path);
    setWaitingForPath(std::nullopt);
    assign(rebuilding_, std::optional(Rebuilding{path, 0, 0}), cRebuilding);
    QPointer<AppModel> self(this);
    rebuildWorker_ = std::make_unique<RebuildWorker>(
        LibraryPaths::resolve(path), std::move(made), qtMainPoster(),
        [self](uint64_t done, uint64_t total) {
            if (!self || !self->rebuilding_) return;
            self->assign(self->rebuilding_, std::optional(Rebuilding{self->rebuilding_->path, done, total}),
                         cRebuilding);
        },
        [self](RebuildWorker::Outcome outcome) {
            if (self) self->rebuildFinished(std::move(outcome));
        });
}

void AppModel::rebuildFinished(RebuildWorker::Outcome outcome) {
    if (!rebuilding_) return;
    Batch batch(*this);
    const std::string path = rebuilding_->path;
    rebuildWorker_.reset();
    assign(rebuilding_, std::optional<Rebuilding>(), cRebuilding);
    if (outcome.failure) {
        try {
            std::rethrow_exception(outcome.failure);
        } catch (const std::exception& e) {
            // The drive went during it: the library waits for it, and offers
            // the rebuild again once it is back.
            if (!folderCheck_(path)) {
                openLibrary(path);
                return;
            }
            qWarning("Could not rebuild the index of %s: %s", path.c_str(), e.what());
            setErrorMessage("Couldn\u2019t make the index of \u201c" + lastComponent(path) + "\u201d again. " +
                            openFailureReason(e));
        }
        return;
    }
    if (outcome.done->keptPath.empty())
        qInfo("Rebuilt the index of %s, %d marks from their copy; there was no damaged index to keep", path.c_str(),
              outcome.done->fromCopy);
    else
        qInfo("Rebuilt the index of %s, %d marks from their copy; the damaged one is kept as %s", path.c_str(),
              outcome.done->fromCopy, outcome.done->keptPath.c_str());
    openLibrary(path);
    if (!errorMessage_) setErrorMessage(rebuildReport(*outcome.done));
}

void AppModel::stopRebuild() {
    if (!rebuildWorker_) return;
    Batch batch(*this);
    rebuildWorker_->stop();
    rebuildWorker_.reset();
    assign(rebuilding_, std::optional<Rebuilding>(), cRebuilding);
}

void AppModel::leaveRebuildOf(std::string path) {
    if (!rebuilding_ || rebuilding_->path != path) return;
    Batch batch(*this);
    stopRebuild();
    // Left where it stands: a rebuild stopped changed nothing.
    setWaitingForPath(path);
}

std::optional<std::string> AppModel::rebuildReport(const IndexRebuild& done) {
    if (done.copySpoiled) {
        // What the copy could give was put back: said after what the index lost.
        IndexRebuild rest = done;
        rest.copySpoiled = false;
        std::string copy = "The copy of its favourites, albums, names and trip titles was damaged: what of it could be "
                           "read was put back, so some may be missing";
        copy += done.copyKeptPath.empty() ? "." : "; it is kept as \u201c" + lastComponent(done.copyKeptPath) + "\u201d.";
        const std::optional<std::string> report = rebuildReport(rest);
        return report ? *report + " " + copy : copy;
    }
    std::vector<std::string> lost;
    int total = 0;
    auto count = [&](int n, const char* one, const char* many) {
        if (n > 0) lost.push_back(std::to_string(n) + " " + (n == 1 ? one : many));
        total += n;
    };
    count(done.lostFavorites, "favourite", "favourites");
    count(done.lostAlbums, "album", "albums");
    count(done.lostNames, "name", "names");
    std::string list;
    for (size_t i = 0; i < lost.size(); ++i)
        list += (i == 0 ? "" : i + 1 == lost.size() ? " and " : ", ") + lost[i];
    const bool keptOne = !done.keptPath.empty();
    const std::string kept = "\u201c" + lastComponent(done.keptPath) + "\u201d";
    if (done.nothingRead) {
        const std::string none = "Nothing could be recovered: the damaged index could not be read, and no copy of its "
                                 "favourites, albums, names and trip titles was found. ";
        const std::string end = keptOne ? "; " + std::string(lost.empty() ? "it" : "the damaged index") +
                                              " is kept as " + kept + "."
                                        : ".";
        if (lost.empty()) return none + "Any it held are lost" + end;
        return none + list + (total == 1 ? " is" : " are") + " lost" + end;
    }
    std::vector<std::string> said;
    if (!lost.empty()) said.push_back(list + " could not be recovered");
    if (done.incompleteAlbums > 0) {
        const bool one = done.incompleteAlbums == 1;
        said.push_back(std::to_string(done.incompleteAlbums) + (one ? " album" : " albums") + " came back without " +
                       std::to_string(done.missingMembers) + " of " + (one ? "its" : "their") + " photos");
    }
    if (done.uncounted) {
        // What was counted is not said to be missing as well.
        const std::string what = done.listsCounted ? "some hidden people, faces taken out of people or trip titles"
                                                   : "some favourites, albums, names or trip titles";
        said.push_back(std::string(said.empty() ? "Parts" : "parts") + " of the damaged index could not be read, so " +
                       what + " may be missing" + (said.empty() ? "" : " too"));
    }
    if (said.empty()) return std::nullopt;
    std::string out;
    for (size_t i = 0; i < said.size(); ++i) out += (i ? "; " : "") + said[i];
    if (keptOne) out += done.uncounted ? "; it is kept as " + kept : "; the damaged index is kept as " + kept;
    return out + ".";
}

}  // namespace vintrelle
