#pragma once
// The application's one state object: the known libraries and the open
// store, where the main column is, search, selection, the open viewer, the
// two name prompts and the preferences that outlive a run. Every screen reads
// it and changes it through the operations below. Main thread only.
//
// Each observed value has its own change signal, emitted only when the value
// changed, except `store`, `scrollRequest` and the two prompts, which signal
// on every assignment, and the in-place operations (emptying the selection or
// back stack, raising a token), which always signal. Within one operation
// every value is updated before any signal goes out.

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QUuid>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "App/ActionMenu.h"
#include "App/GridContent.h"
#include "App/LaunchRequest.h"
#include "App/Route.h"
#include "App/ViewerState.h"
#include "Core/Index/IndexRepair.h"
#include "Core/Index/Models.h"

class QPoint;
class QSettings;
class QWidget;
typedef struct _GVolumeMonitor GVolumeMonitor;

namespace vintrelle {

class DesktopServices;
class FileExports;
class FolderReturnWatch;
class FullImageCache;
class LibraryStore;
class MountWatcher;
class PreUnmountWatcher;
class SystemAppearance;

// The file URL of an absolute path, percent-encoded from its bytes: a name
// that is not UTF-8 would come back from a QString as U+FFFD, a file that does
// not exist.
QUrl fileUrl(const std::string& absolutePath);

// A request to the grid to scroll to a section. The grid serves each token
// once, and takes the request standing when it is made as served: the model
// keeps the last request after its grid is gone.
struct ScrollRequest {
    std::string section;  // the id of a grid section
    int64_t token = 0;    // distinct for each request
    bool operator==(const ScrollRequest&) const = default;
};

class AppModel final : public QObject {
    Q_OBJECT

public:
    // A pending "New Album" prompt.
    struct AlbumPrompt {
        QUuid id = QUuid::createUuid();
        std::vector<int64_t> assetIDs;  // in order
    };

    // A pending rename of an album, a person or a trip.
    struct RenamePrompt {
        struct Target {
            enum class Kind { album, person, trip };
            Kind kind = Kind::album;
            int64_t id = 0;
            bool operator==(const Target&) const = default;
        };
        QUuid id = QUuid::createUuid();
        Target target;
        std::string title;  // the sheet's heading
        std::string text;   // the field's initial text
    };

    using Selection = std::unordered_set<int64_t>;
    // Whether a library folder can be opened now; `isReachable` unless
    // replaced.
    using FolderCheck = std::function<bool(const std::string& path)>;
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Shows the folder panel and answers with the chosen folder, or with
    // nothing when the user cancels. Installed by the window, which owns the
    // panel (see the kFolderPanel texts); tests answer directly.
    using FolderChooser = std::function<void(std::function<void(std::optional<std::string>)> answer)>;

    // What the start-up and the drive, activation and appearance observers
    // take from the desktop. Tests give their own tables, volume monitor,
    // folders, clock and bus; empty texts and null mean the system's.
    struct Desktop {
        QString mountInfoPath;       // /proc/self/mountinfo
        QString fstabPath;           // /etc/fstab
        GVolumeMonitor* volumeMonitor = nullptr;  // GIO's, which tells before an unmount
        std::string applicationDir;  // the executable's folder
        std::string homeDir;         // the user's home folder
        Clock now = [] { return std::chrono::steady_clock::now(); };
        std::function<QDBusConnection()> bus = [] { return QDBusConnection::sessionBus(); };
    };

    static constexpr double kMinThumbSize = 72;
    static constexpr double kMaxThumbSize = 320;
    static constexpr int kSearchDebounceMs = 180;
    static constexpr int kReopenAfterMountMs = 1000;
    // The folder panel: one existing folder, no new folders.
    static constexpr const char* kFolderPanelButton = "Add Folder";
    static constexpr const char* kFolderPanelMessage =
        "Choose the folder that holds your photos. Every subfolder is included.";
    static constexpr std::chrono::seconds kActivationScanInterval{45};

    // The one instance of the running application, on the user's settings;
    // made on first use and never released. Needs the application object.
    static AppModel& shared();

    // Reads the preferences from `settings` and writes some of them back.
    explicit AppModel(std::unique_ptr<QSettings> settings, QObject* parent = nullptr);
    ~AppModel() override;

    // ---- observed values, in declaration order ----
    const std::vector<std::string>& libraries() const { return libraries_; }
    const std::shared_ptr<LibraryStore>& store() const { return store_; }
    const std::optional<std::string>& libraryPath() const { return libraryPath_; }
    const std::optional<std::string>& waitingForPath() const { return waitingForPath_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }
    // The library whose damaged index the error message offers to make
    // again; it goes with the message.
    const std::optional<std::string>& rebuildOffer() const { return rebuildOffer_; }
    // A library whose index is being made again, and how far that is (pages
    // of the damaged file looked at, of all; 0 of 0 until known).
    struct Rebuilding {
        std::string path;
        uint64_t done = 0;
        uint64_t total = 0;
        bool operator==(const Rebuilding&) const = default;
    };
    const std::optional<Rebuilding>& rebuilding() const { return rebuilding_; }
    const Route& route() const { return route_; }
    const std::vector<Route>& backStack() const { return backStack_; }
    const std::string& search() const { return search_; }
    const std::string& activeSearch() const { return activeSearch_; }
    int64_t searchFocusToken() const { return searchFocusToken_; }
    double thumbSize() const { return thumbSize_; }
    bool showInfo() const { return showInfo_; }
    bool sidebarVisible() const { return sidebarVisible_; }
    const std::string& appearance() const { return appearance_; }
    bool facesEnabled() const { return facesEnabled_; }
    const Selection& selection() const { return selection_; }
    const std::optional<ViewerState>& viewer() const { return viewer_; }
    const std::string& visibleSection() const { return visibleSection_; }
    const std::optional<ScrollRequest>& scrollRequest() const { return scrollRequest_; }
    int64_t videoToggleToken() const { return videoToggleToken_; }
    bool isDropTargeted() const { return isDropTargeted_; }
    bool isFullScreen() const { return isFullScreen_; }
    const std::optional<AlbumPrompt>& albumPrompt() const { return albumPrompt_; }
    const std::optional<RenamePrompt>& renamePrompt() const { return renamePrompt_; }

    // Setters: the preference setters save on every assignment (the slider
    // and the size commands keep thumbSize within its bounds); `search`
    // schedules its debounced copy into `activeSearch` on every assignment;
    // `appearance` is applied and `facesEnabled` handed to the open store on
    // every assignment. `libraries` is saved only by the library operations.
    void setLibraries(std::vector<std::string> v);
    void setStore(std::shared_ptr<LibraryStore> v);
    void setLibraryPath(std::optional<std::string> v);
    void setWaitingForPath(std::optional<std::string> v);
    // Any assignment withdraws the rebuild offer of the message it replaces.
    void setErrorMessage(std::optional<std::string> v);
    void setRoute(Route v);
    void setBackStack(std::vector<Route> v);
    void setSearch(std::string v);
    void setActiveSearch(std::string v);
    void setSearchFocusToken(int64_t v);
    void setThumbSize(double v);
    void setShowInfo(bool v);
    void setSidebarVisible(bool v);
    void setAppearance(std::string v);
    void setFacesEnabled(bool v);
    void setSelection(Selection v);
    void setViewer(std::optional<ViewerState> v);
    void setVisibleSection(std::string v);
    void setScrollRequest(std::optional<ScrollRequest> v);
    void setVideoToggleToken(int64_t v);
    void setIsDropTargeted(bool v);
    void setIsFullScreen(bool v);
    // A prompt belongs to the library open when it is set.
    void setAlbumPrompt(std::optional<AlbumPrompt> v);
    void setRenamePrompt(std::optional<RenamePrompt> v);

    // In-place changes; they always signal.
    void clearSelection();
    void raiseVideoToggleToken();
    // Asks the grid to scroll to a section, with a token no request had.
    void requestScroll(const std::string& section);

    // ---- libraries ----
    // Adds a folder to `libraries` (saved) and opens it; a path that is not a
    // folder sets the error message instead.
    void addLibrary(const std::string& path);
    // Switches the window to the library at `path`: closes the open one,
    // remembers the path as "lastLibrary", resets navigation, and opens the
    // store, or waits when the folder cannot be reached. The path is taken
    // by value: callers hand in `waitingForPath` or an entry of `libraries`,
    // which this changes.
    void openLibrary(std::string path);
    // Closes the open store, if any: viewer, selection, prompts and the
    // cached grid content go with it. `libraryPath` stays.
    void closeStore();
    // A menu or sheet opened for the library open now: it closes once that
    // library closes or another takes its place, so that nothing of one
    // library is offered while another is open.
    void closeWithLibrary(QWidget* opened);
    // Forgets a library folder (its files and data folder stay). When it is
    // the one shown, the first reachable remaining library opens, or none:
    // the window never waits for a drive of a forgotten library. The caller
    // passes the path the user chose, not whichever library is shown when
    // the confirmation is answered; a copy, as the list it may come from
    // changes here.
    void removeLibrary(std::string path);
    // Makes the damaged index of the library at `path` again, off the main
    // thread: the damaged file stays in the data folder, the new index takes
    // over what of it still reads (favourites, albums, people, trips), the
    // copy of the marks fills in what it lost, and every photo is read
    // again. The library is closed meanwhile (`rebuilding` says how far it
    // is) and opened once it is done; what could not be recovered is then
    // said in the error message. Opening another library, removing this one
    // or its drive going stops it, leaving the damaged index as it was. A
    // copy, as the offer it comes from goes here.
    void rebuildIndex(std::string path);
    // Stops a rebuild under way (at quit), waiting a few seconds at most.
    void stopRebuild();
    // What a rebuild lost, as a sentence; nothing when all came over.
    static std::optional<std::string> rebuildReport(const IndexRebuild& done);
    // Says that the open library's index is damaged, offering to make it
    // again; nothing while it is sound. Runs by itself when the damage shows.
    void offerIndexRebuild();
    // What a person can do about a failure to open a library's index, as
    // the second sentence of the could-not-open message; never SQL.
    static std::string openFailureReason(const std::exception& e);
    // Whether a library folder can be opened now: a folder, and not the empty
    // mount point of a drive that is away (see MountWatcher), nor a folder
    // left where its drive mounts while the drive is away (isLeftByItsDrive).
    bool isReachable(const std::string& path) const;
    void setFolderCheck(FolderCheck check);
    // Asks for a folder with the panel and adds it; nothing on cancel, or
    // while no window has installed a panel.
    void chooseFolder();
    void setFolderChooser(FolderChooser chooser) { folderChooser_ = std::move(chooser); }

    // ---- start-up, drives, activation and appearance ----
    // Before bootstrap; replaces the desktop's tables, folders, clock and bus.
    void setDesktop(Desktop desktop);
    // The start-up, once the application object exists: applies the
    // appearance, installs the drive and activation observers, adds the
    // portable libraries found beside the executable, then opens what the
    // launch asked for, else the remembered library when it is listed and
    // reachable, else the first reachable listed one, else waits for the
    // remembered or first listed one (writing nothing).
    void bootstrap(const LaunchRequest& launch = {});
    // What a launch (or a later launch handed over by SingleInstance) asks
    // for: the "-library" folder is added (or the not-a-folder message
    // shown); else the first of the folders that is a folder is added and
    // the rest are ignored. False when it asked for nothing that opened.
    bool openLaunchRequest(const LaunchRequest& launch);
    // The drive watcher, after bootstrap (null before).
    MountWatcher* mountWatcher() const { return mounts_.get(); }
    // Puts `appearance` into effect: "light", "dark", or anything else to
    // follow the desktop's preference. Runs on every assignment of
    // `appearance` and whenever the desktop's preference changes.
    void applyAppearance();
    // The look in effect, which the window applies to its theme.
    bool darkAppearance() const { return darkAppearance_; }

    // ---- navigation ----
    void navigate(const Route& r);  // a top-level route: the back stack empties
    void push(const Route& r);      // drill down from the current route
    void back();
    // The sidebar row to highlight.
    Route sidebarRoute() const;
    // The title of the current route for the top bar and the viewer.
    std::string routeTitle() const;

    // ---- viewer and search field ----
    // Opens the viewer on the first asset of `list` with asset's id; nothing
    // when the list does not hold it. The window fades it in over 0.18 s.
    void open(const Asset& asset, std::shared_ptr<const AssetList> list);
    void open(const Asset& asset, const AssetList& list);
    void open(const Asset& asset, std::vector<Asset> list);
    // Shows the asset `delta` places on; false (nothing changes) when that
    // lies outside the list or no viewer is open.
    bool stepViewer(int64_t delta);
    // Selects the shown asset and closes the viewer (faded out over 0.16 s).
    void closeViewer();
    void focusSearch();

    // ---- grid ----
    // What the grid of the current route shows under the search in force;
    // shared and immutable, rebuilt (with a new token) only when the route,
    // the search, the store or one of its revisions changed.
    GridContentPtr gridContent() const;

    // ---- prompts and cheap actions ----
    // The window's sheet confirms the prompt it shows; nothing happens (false)
    // when that prompt is no longer pending or its library is no longer open.
    bool confirmAlbumPrompt(const QUuid& id, const std::string& name);
    // The text is a copy: it may be the prompt's own, which goes first.
    bool confirmRenamePrompt(const QUuid& id, std::string text);
    // Clears the favourite flag when every id is a favourite already, else
    // sets it on all of them.
    void toggleFavorite(const std::vector<int64_t>& ids);
    // The files of the ids the open store holds, in the given order; a file
    // whose stored path would leave the library folder is left out.
    QList<QUrl> urls(const std::vector<int64_t>& ids) const;

    // ---- asset actions ----
    // Each takes asset ids in the caller's order, skips those the open store
    // does not hold, and does nothing without a store. Photos are only read.
    static constexpr int kMaxOpened = 20;
    // The first kMaxOpened files, each in its default application.
    void openExternally(const std::vector<int64_t>& ids);
    // The files on the clipboard; the clipboard stays as it was when none resolves.
    void copyFiles(const std::vector<int64_t>& ids);
    // A small menu at the pointer: "Email…", "Copy", and "Open With…" for a
    // single file; nothing while no window of the application is active.
    void share(const std::vector<int64_t>& ids);
    // Asks for a folder, then copies the files and their live-photo movies
    // into it off the main thread, never over an existing file. Shows the
    // folder when all were copied, else the count of failures as the error
    // message.
    void exportCopies(const std::vector<int64_t>& ids);
    // The files in the file manager, all selected.
    void showInFiles(const std::vector<int64_t>& ids);
    // Asks for the name of a new album holding the ids.
    void askNewAlbum(const std::vector<int64_t>& ids);
    void addToAlbum(int64_t album, const std::vector<int64_t>& ids);
    // These two also empty the selection, with or without a store.
    void removeFromAlbum(int64_t album, const std::vector<int64_t>& ids);
    void removeFromPerson(int64_t person, const std::vector<int64_t>& ids);
    void useAsTripCover(int64_t trip, int64_t asset);
    // Opens the viewer on the asset within the current grid content.
    void openInGrid(const Asset& asset);

    // The grid's context menu for a right-click on `asset`, acting on
    // `selection` (ids in grid order); empty without a store. Its items act
    // only while the library it was made in is still open.
    ActionMenu contextMenu(const Asset& asset, const std::vector<int64_t>& selection);
    // Pops the context menu up at a screen position (nothing when empty).
    void showContextMenu(const Asset& asset, const std::vector<int64_t>& selection, const QPoint& globalPos);

    // The desktop behind the actions; the real one unless replaced.
    void setDesktopServices(std::shared_ptr<DesktopServices> services);
    DesktopServices& services() const { return *services_; }
    // Exports still copying.
    size_t runningExports() const;
    // At quit: stops every export after abandoning the file it is copying,
    // whose temporary goes with it; waits a few seconds at most.
    void stopFileWork();

    // The viewer's decoded full images, kept across openings of the viewer
    // for the whole run; closing a library drops its images.
    FullImageCache& fullImages();

signals:
    void librariesChanged();
    void storeChanged();
    void libraryPathChanged();
    void waitingForPathChanged();
    void errorMessageChanged();
    void rebuildOfferChanged();
    void rebuildingChanged();
    void routeChanged();
    void backStackChanged();
    void searchChanged();
    void activeSearchChanged();
    void searchFocusTokenChanged();
    void thumbSizeChanged();
    void showInfoChanged();
    void sidebarVisibleChanged();
    void appearanceChanged();
    void facesEnabledChanged();
    void selectionChanged();
    void viewerChanged();
    void visibleSectionChanged();
    void scrollRequestChanged();
    void videoToggleTokenChanged();
    void isDropTargetedChanged();
    void isFullScreenChanged();
    void albumPromptChanged();
    void renamePromptChanged();
    void darkAppearanceChanged();
    // Derived values: sidebarRoute() and routeTitle() changed; gridContent()
    // may give new content (its route, search, store or store revisions moved).
    void sidebarRouteChanged();
    void routeTitleChanged();
    void gridContentChanged();

private:
    enum Change : uint32_t {
        cLibraries = 1u << 0,
        cStore = 1u << 1,
        cLibraryPath = 1u << 2,
        cWaiting = 1u << 3,
        cError = 1u << 4,
        cRoute = 1u << 5,
        cBackStack = 1u << 6,
        cSearch = 1u << 7,
        cActiveSearch = 1u << 8,
        cFocusToken = 1u << 9,
        cThumbSize = 1u << 10,
        cShowInfo = 1u << 11,
        cSidebar = 1u << 12,
        cAppearance = 1u << 13,
        cFaces = 1u << 14,
        cSelection = 1u << 15,
        cViewer = 1u << 16,
        cVisibleSection = 1u << 17,
        cScroll = 1u << 18,
        cVideoToken = 1u << 19,
        cDropTargeted = 1u << 20,
        cFullScreen = 1u << 21,
        cAlbumPrompt = 1u << 22,
        cRenamePrompt = 1u << 23,
        cStoreRevision = 1u << 24,
        cStoreCollections = 1u << 25,
        cDarkAppearance = 1u << 26,
        cRebuildOffer = 1u << 27,
        cRebuilding = 1u << 28,
    };
    // Collects the changes of one operation and signals them when the
    // outermost operation ends.
    class Batch {
    public:
        explicit Batch(AppModel& m) : m_(m) { ++m_.batchDepth_; }
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        AppModel& m_;
    };
    template <class T>
    void assign(T& field, T value, Change change) {
        Batch batch(*this);
        if (field == value) return;
        field = std::move(value);
        pending_ |= change;
    }
    void touch(Change change);
    void flushSignals();

    void loadPreferences();
    void saveLibraries();
    void resetNavigation();
    void afterRouteChange();
    void scheduleSearch();
    void applySearch();
    bool storeIsStillOpen(const std::weak_ptr<LibraryStore>& of) const;
    std::vector<Asset> resolve(const std::vector<int64_t>& ids) const;
    ActionMenu shareMenu(const std::vector<int64_t>& ids, const QList<QUrl>& files);
    void popUpLibraryMenu(const ActionMenu& items, const QPoint& globalPos);
    void startExport(const std::vector<int64_t>& ids, const std::string& destination);
    // A menu item's function, run only while this model and the library the
    // menu was made in are still there; once that library has closed, the
    // item may still empty the selection.
    enum class Closed { nothing, clearSelection };
    std::function<void()> guarded(std::function<void(AppModel&)> action, Closed closed = Closed::nothing);

    void installObservers();
    void discoverPortableLibraries();
    void volumeWillUnmount(const std::string& mountPoint);
    void checkStillReachable();
    // The open library's folder became another folder under its index (a
    // drive mounted over the mount point it was opened on): the library opens
    // again, on the index of the folder there now, or waits for its drive.
    // An index deleted with its folder waits for the folder to come back.
    // With the folder standing, its index is followed (followIndex).
    void reopenIfReplaced();
    // The open library's folder stands, but its index does not: deleted, it
    // is written back from the store and the library opens again on it (or,
    // when it cannot be written, the store stays open, saying so); another
    // file in its place, or the file emptied or written over by another
    // program, is never taken for the library's without the checks of
    // opening: the library opens again.
    void followIndex();
    // The folder whose return is watched for: the open library's while its
    // index is deleted, else the one the window waits for. The watch starts,
    // moves to another folder or ends to match.
    std::optional<std::string> returnAwaited() const;
    void watchForReturn();
    // The watched folder has been still: opened once returned().
    void lookForReturn();
    // Remembers the open library's folder when it was deleted with the index
    // in it.
    void noteIndexDeleted();
    // The open library's index went with its folder (the folder gone, or
    // another in its place).
    bool indexDeletedWithFolder() const;
    // A folder deleted with its index that is back, but not yet whole: it is
    // not opened (a new index made in it would be written over by the index
    // the copy brings later, while open) until returned().
    bool stillComingBack(const std::string& path);
    // The awaited folder is back whole: the watch of its return has found
    // the whole folder still, and it holds its index, or photos (a new index
    // is made for them).
    bool returned(const std::string& path);
    // A folder that holds nothing of a library (nothing at all, or only a
    // data folder left in it), is no mount point itself, and either sits
    // where the desktop mounts drives (volumeRoot) or lies on another device
    // than the library folder did when it was last opened: its drive is
    // away, and nothing may be made in it.
    bool isLeftByItsDrive(const std::string& path) const;
    // Remembers the device of the open library's folder, and forgets it.
    void rememberWhereSeen(const std::string& path, const LibraryStore& store);
    void forgetWhereSeen(const std::string& path);
    void volumeDidMount();
    void appBecameActive();
    void offerRebuild(const std::string& path);
    void rebuildFinished(RebuildWorker::Outcome outcome);
    // Stops the rebuild when it is of a library about to be left.
    void leaveRebuildOf(std::string path);

    struct ContentKey {
        Route route;
        std::string search;
        uint64_t storeGeneration = 0;
        int revision = 0;
        int collectionsRevision = 0;
        bool operator==(const ContentKey&) const = default;
    };
    GridContentPtr buildContent(LibraryStore& store) const;
    // The cached content again, under a new token, when the change that made
    // this revision brought nothing the route shows; none otherwise.
    GridContentPtr untouchedContent(const ContentKey& key, LibraryStore& store) const;

    std::unique_ptr<QSettings> settings_;
    std::shared_ptr<DesktopServices> services_;
    std::unique_ptr<FileExports> exports_;
    std::unique_ptr<FullImageCache> fullImages_;
    FolderCheck folderCheck_;
    FolderChooser folderChooser_;
    Desktop desktop_;
    std::unique_ptr<MountWatcher> mounts_;
    std::unique_ptr<PreUnmountWatcher> preUnmount_;
    std::unique_ptr<FolderReturnWatch> returnWatch_;
    // Library folders deleted with their index while open, until opened again.
    std::set<std::string> deletedWithIndex_;
    // Asked only while the appearance follows the desktop.
    std::unique_ptr<SystemAppearance> systemAppearance_;
    bool darkAppearance_ = false;
    std::chrono::steady_clock::time_point lastActivationScan_;

    std::vector<std::string> libraries_;
    std::shared_ptr<LibraryStore> store_;
    std::optional<std::string> libraryPath_;
    std::optional<std::string> waitingForPath_;
    std::optional<std::string> errorMessage_;
    std::optional<std::string> rebuildOffer_;
    std::optional<Rebuilding> rebuilding_;
    std::unique_ptr<RebuildWorker> rebuildWorker_;
    Route route_;
    std::vector<Route> backStack_;
    std::string search_;
    std::string activeSearch_;
    int64_t searchFocusToken_ = 0;
    double thumbSize_ = 150.0;
    bool showInfo_ = false;
    bool sidebarVisible_ = true;
    std::string appearance_ = "light";
    bool facesEnabled_ = true;
    Selection selection_;
    std::optional<ViewerState> viewer_;
    std::string visibleSection_;
    std::optional<ScrollRequest> scrollRequest_;
    int64_t videoToggleToken_ = 0;
    bool isDropTargeted_ = false;
    bool isFullScreen_ = false;
    std::optional<AlbumPrompt> albumPrompt_;
    std::optional<RenamePrompt> renamePrompt_;

    // The library each prompt was asked in.
    std::weak_ptr<LibraryStore> albumPromptStore_;
    std::weak_ptr<LibraryStore> renamePromptStore_;
    // Raised on every assignment of `store`, so content cached for one store
    // is never served for another, whatever their revisions.
    uint64_t storeGeneration_ = 0;
    QMetaObject::Connection revisionConnection_;
    QMetaObject::Connection collectionsConnection_;
    QMetaObject::Connection damageConnection_;
    QMetaObject::Connection refusedConnection_;
    QMetaObject::Connection offlineConnection_;
    QMetaObject::Connection indexConnection_;
    mutable std::optional<std::pair<ContentKey, GridContentPtr>> contentCache_;
    QTimer searchTimer_;
    std::string pendingSearch_;

    // Last values of the derived signals, so they signal only on change.
    Route lastSidebarRoute_;
    std::string lastRouteTitle_;

    uint32_t pending_ = 0;
    int batchDepth_ = 0;
};

}  // namespace vintrelle
