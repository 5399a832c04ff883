#pragma once
// The observable, main-thread model of one open library that every screen
// reads: the index loaded into memory, kept current by the engine's reports,
// with the lookups, folder tree, grid sections and user actions built on it.
//
// Each observed value has its own change signal, emitted only when the value
// changed (the two revision counters always); within one operation every
// value is updated before any signal goes out, and the revision signals go
// out last, so a slot always reads a consistent store.

#include <QObject>
#include <QTimer>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Core/Engine/EngineTypes.h"
#include "Core/Index/AssetList.h"
#include "Core/Index/IndexRepair.h"
#include "Core/Index/LibraryDB.h"
#include "Core/Index/LibraryPaths.h"
#include "Core/Index/MarksKeeper.h"
#include "Core/Index/Models.h"
#include "Core/Search/AssetSearch.h"
#include "Store/FolderTree.h"
#include "Store/MonthSections.h"
#include "Store/ThumbnailCache.h"

class QThreadPool;

namespace vintrelle {

class FolderWatcher;
class LibraryEngine;
class LibraryLock;

// The library folder is not there (its drive is away, or went while the
// library was being opened): nothing was made for it, and the caller waits
// for the drive rather than reporting an error.
struct LibraryAway : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct GridSection {
    std::string id;
    std::string title;
    std::string detail;
    std::vector<Asset> assets;
    bool operator==(const GridSection&) const = default;
};

// 0 by month of capture, 1 trip days, 2 by day added, anything else one section.
enum class Grouping : int { month = 0, tripDays = 1, added = 2, all = 3 };

// The records a change of the asset list took out and put in (a changed
// record is in both), and the revision it made.
struct AssetChange {
    int revision = -1;
    std::vector<Asset> gone;
    std::vector<Asset> came;
};

// Half-open range of positions in LibraryStore::assets().
struct AssetRange {
    size_t lower = 0;
    size_t upper = 0;
    size_t size() const { return upper - lower; }
    bool empty() const { return upper == lower; }
};

class LibraryStore final : public QObject,
                           public EngineDelegate,
                           public std::enable_shared_from_this<LibraryStore> {
    Q_OBJECT
    Q_PROPERTY(int revision READ revision NOTIFY revisionChanged)
    Q_PROPERTY(int collectionsRevision READ collectionsRevision NOTIFY collectionsRevisionChanged)
    Q_PROPERTY(bool isOffline READ isOffline NOTIFY isOfflineChanged)
    Q_PROPERTY(bool hasLoaded READ hasLoaded NOTIFY hasLoadedChanged)

    struct Token {};

public:
    // Opens the library at root: prepares its data folder, opens the index and
    // makes the (idle) engine. Throws DBError when the index cannot be opened,
    // or with LibraryLock::heldElsewhere when another process has it open;
    // LibraryAway when the library folder is not there.
    static std::shared_ptr<LibraryStore> init(const std::string& root,
                                              const LibraryPaths::WritableCheck& writable = {});
    LibraryStore(Token, LibraryPaths paths, std::shared_ptr<LibraryDB> db);
    ~LibraryStore() override;

    void start(bool facesEnabled);
    void shutdown();
    // The library folder is there, but is another folder than the one the
    // store opened on: a drive mounted over the empty mount point it was
    // opened on, or a folder put in its place. The index open is not that
    // folder's (the engine goes offline on it); the library must be opened
    // again to reach the folder's own.
    bool folderReplaced() const;
    // The index open was deleted (with its library folder, perhaps to be put
    // back from a backup): the engine indexes nothing more into it, and the
    // library must be opened again, on the folder's own index once that is
    // back.
    bool indexDeleted() const;
    // The device the library folder was on when opened; 0 when unknown.
    dev_t openedDevice() const { return openedDevice_; }
    // The library folder is there, and is the one the store opened on.
    bool folderStands() const;

    // What stands at the index's path (Database::Standing), as last looked
    // at while the library folder stands: deleted, alone or with its data
    // folder, the index lives on in the connection alone. Looked at once
    // changes there have settled, and by lookAtIndex().
    Database::Standing indexStanding() const { return indexStanding_; }
    void lookAtIndex();
    // The deleted index could not be written again; the next change at its
    // path, or closing, tries again.
    bool indexPutBackFailed() const { return putBackFailed_; }
    // Writes the deleted index again at its path, from the connection that
    // holds it, which goes on on it: true when done (now or before), the
    // library then to be opened again.
    bool putIndexBack();
    void rescan();
    void setFacesEnabled(bool on);
    void resetPeople();

    // Owned services.
    const LibraryPaths& paths() const { return paths_; }
    LibraryDB& db() { return *db_; }
    const std::shared_ptr<ThumbnailCache>& thumbs() const { return thumbs_; }
    LibraryEngine* engine() const { return engine_.get(); }
    // Keeps the second copy of the marks following the index.
    MarksKeeper& marksKeeper() const { return *marks_; }

    // Observed values. The asset list is an immutable snapshot that a change
    // replaces with the next one, sharing what did not change: a screen
    // keeps the snapshot it read instead of copying every record, and a
    // reference from assets() is good until the next change.
    const AssetList& assets() const { return *assets_; }
    std::shared_ptr<const AssetList> sharedAssets() const { return assets_; }
    int revision() const { return revision_; }
    // What the last change of the list was, when it made the current
    // revision: a view derived from the list at the revision before can tell
    // whether it is touched. Not kept for changes that reload everything.
    const AssetChange& lastChange() const { return lastChange_; }
    const std::vector<Trip>& trips() const { return trips_; }
    const std::vector<Person>& persons() const { return persons_; }
    const std::vector<Album>& albums() const { return albums_; }
    int collectionsRevision() const { return collectionsRevision_; }
    const EngineStatus& status() const { return status_; }
    bool isOffline() const { return isOffline_; }
    // The last run stopped because the index or a thumbnail could not be
    // written; cleared when the engine starts again. While it stands the
    // store retries by itself now and then (on a full disk, once room has
    // been made).
    const std::optional<EngineHalt>& halt() const { return halt_; }
    // The index file is damaged: the engine writes nothing more into it, and
    // the library can only be read as it is until its index is made again.
    bool isDamaged() const { return isDamaged_; }
    // Whether what the user makes may be written: not into a damaged index,
    // where it could be lost with the damage and no copy can follow it; the
    // library can only be read until its index is made again. Says so
    // (marksRefused) when it may not. An index deleted a moment ago is
    // written back first, so the mark has a file to go into. The user's
    // actions below ask it first; a screen that writes a mark itself asks
    // it too.
    bool acceptsMarks();
    // Why the copy of the marks cannot follow the index, while it cannot.
    MarksKeeper::Fault copyFault() const { return copyFault_; }
    bool hasLoaded() const { return hasLoaded_; }
    // The favourites, albums and names the library shows, for measuring a
    // new index against; nothing when loading met damage, as the lists may
    // then lack what the index held.
    std::optional<UserMade> userMade() const;
    const std::map<int64_t, std::vector<int64_t>>& mergeSuggestions() const { return mergeSuggestions_; }

    // Engine reports (main thread).
    void engineDidUpsert(const std::vector<Asset>& changed) override;
    void engineDidRemove(const std::vector<int64_t>& ids) override;
    void engineDidUpdateTrips() override;
    void engineDidUpdatePeople() override;
    void engineDidUpdateAlbums() override;
    void engineDidChangeStatus(const EngineStatus& status) override;
    void engineDidGoOffline() override;
    void engineDidHalt(EngineHalt why) override;
    void reloadPeople();

    // How often a halted library looks whether it can go on (for tests).
    void setRetryInterval(std::chrono::milliseconds interval);

    // Lookups and derived lists.
    std::optional<Asset> asset(int64_t id) const;
    // Where the asset with this id is in assets(); none when it is not listed.
    std::optional<size_t> position(int64_t id) const;
    std::optional<Trip> trip(int64_t id) const;
    std::optional<Person> person(int64_t id) const;
    std::optional<Album> album(int64_t id) const;
    std::optional<Trip> tripContaining(const Asset& asset) const;
    std::vector<Asset> recentlyAdded() const;
    std::vector<Asset> assetsOf(int64_t personID) const;
    std::vector<Asset> assetsInFolder(const std::string& folder) const;
    std::vector<Asset> geotagged() const;
    int photoCount() const { return int(assets_->size()) - videoCount_; }
    int favoriteCount() const { return favoriteCount_; }
    std::vector<Trip> visibleTrips() const;
    std::vector<Person> visiblePersons() const;
    std::vector<Person> hiddenPersons() const;
    std::vector<Person> peopleIn(const Asset& asset);
    std::optional<int64_t> coverID(const Trip& trip);
    // Kept current with the list: reading it costs nothing.
    const std::vector<FolderNode>& folderTree() const { return folders_.nodes(); }
    std::vector<GridSection> sections(const std::vector<Asset>& list, Grouping grouping) const;
    // The same sections without copying a record: `list` is put into section
    // order in place (trip days run oldest first) and each section names its run.
    std::vector<SectionRun> sectionRuns(std::vector<Asset>& list, Grouping grouping) const;
    // The runs of a list already in section order (trip days oldest first).
    std::vector<SectionRun> sectionRuns(const std::vector<Asset>& list, Grouping grouping) const;
    std::vector<SectionRun> sectionRuns(const AssetList& list, Grouping grouping) const;
    // The runs of the whole list by month, as sectionRuns(assets(), month)
    // gives them, kept up to date batch by batch.
    const std::vector<SectionRun>& monthSections() { return months_.runs(*assets_); }
    // Positions of the assets with from <= taken <= to.
    AssetRange range(double from, double to) const;
    // The assets of `list` that pass every term of the search text, in order.
    std::vector<Asset> search(const std::vector<Asset>& list, std::string_view query);
    std::vector<Asset> search(const AssetList& list, std::string_view query);
    // The same for a shared list: the list itself when every asset passes.
    std::shared_ptr<const AssetList> search(const std::shared_ptr<const AssetList>& list, std::string_view query);

    // User actions: each writes the index, then brings the lists up to date.
    void setFavorite(const std::vector<int64_t>& ids, bool favorite);
    int64_t createAlbum(const std::string& name, const std::vector<int64_t>& assets);
    void renameAlbum(int64_t id, const std::string& name);
    void deleteAlbum(int64_t id);
    void addToAlbum(int64_t id, const std::vector<int64_t>& assets);
    void removeFromAlbum(int64_t id, const std::vector<int64_t>& assets);
    void renamePerson(int64_t id, const std::string& name);
    void mergePerson(int64_t source, int64_t target);
    void removeFromPerson(int64_t person, const std::vector<int64_t>& assets);
    void renameTrip(int64_t id, const std::string& title);
    // Computes up to four people who may be the same as `person` in the
    // background and stores them in mergeSuggestions; nothing when known.
    void loadSuggestions(int64_t person);
    // Dismisses a trip the store holds ("This isn't a trip") or brings it
    // back. Only the hidden flag is written, so a title, span or cover the
    // engine wrote since the list was loaded stays; then the trips reload.
    void setTripHidden(int64_t id, bool hidden);

signals:
    void assetsChanged();
    void tripsChanged();
    void personsChanged();
    void albumsChanged();
    void statusChanged();
    void isOfflineChanged();
    void haltChanged();
    void isDamagedChanged();
    void copyFaultChanged();
    // A change of what the user made was refused: the index is damaged.
    void marksRefused();
    void hasLoadedChanged();
    void mergeSuggestionsChanged();
    void revisionChanged();
    void collectionsRevisionChanged();
    void indexStandingChanged();
    // Changes at the index's path have settled, whatever they were (the
    // library folder may have gone with them).
    void dataFolderChanged();

private:
    enum Change : unsigned {
        cAssets = 1u << 0,
        cTrips = 1u << 1,
        cPersons = 1u << 2,
        cAlbums = 1u << 3,
        cStatus = 1u << 4,
        cOffline = 1u << 5,
        cLoaded = 1u << 6,
        cSuggestions = 1u << 7,
        cRevision = 1u << 8,
        cCollections = 1u << 9,
        cHalt = 1u << 10,
        cDamaged = 1u << 11,
        cCopyFault = 1u << 12,
        cIndex = 1u << 13,
    };
    // Collects the changes of one operation and signals them when the
    // outermost operation ends.
    class Batch {
    public:
        explicit Batch(LibraryStore& s) : s_(s) { ++s_.batchDepth_; }
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        LibraryStore& s_;
    };
    template <class T>
    void assign(T& field, T value, Change change) {
        if (field == value) return;
        field = std::move(value);
        pending_ |= change;
    }
    void flushSignals();
    void raiseRevision();
    void raiseCollectionsRevision();
    void rebuildIndex();
    // Brings the counts, the folder tree and the month sections along with
    // records leaving and entering the list.
    void countChange(const std::vector<const Asset*>& gone, const std::vector<const Asset*>& came);
    // Raises the revision for a change of these records.
    void raiseRevision(const std::vector<const Asset*>& gone, const std::vector<const Asset*>& came);
    void applyFaceDataVersion();
    bool resetFaceData();
    void reloadTrips();
    void reloadAlbums();
    void noteListReadAfterDamage();
    void setAssetsSorted(std::vector<Asset> list);
    SearchSources searchSources() const;
    // Positions in `list` of the assets that pass the search.
    std::vector<size_t> searchPositions(const std::vector<Asset>& list, std::string_view query);
    std::vector<size_t> searchPositions(const std::shared_ptr<const AssetList>& list, std::string_view query);
    void applySuggestions(int64_t person, const std::vector<int64_t>& ids);
    // Everyone in the index but `id` whose name is `name` ignoring case.
    std::vector<int64_t> namesakes(int64_t id, const std::string& name);
    void markDamaged();
    void retryAfterHalt();
    void indexPathChanged();
    // Writes the deleted index back (see putIndexBack); whether it was.
    bool writeIndexBack();
    // Before a user action writes: an index deleted a moment ago, whose
    // deletion has not settled yet, is written back first.
    void keepIndexWritable();
    // The marks may have changed: their copy follows (once loaded; the
    // opening writes it as it stands).
    void marksChanged();
    // Folds the loaded assets for search on the background thread, so the
    // first search of the session does not fold them on the main thread.
    void prepareSearch();

    std::unique_ptr<LibraryLock> lock_;  // first: released after everything else
    LibraryPaths paths_;
    std::shared_ptr<LibraryDB> db_;
    std::shared_ptr<ThumbnailCache> thumbs_;
    std::shared_ptr<LibraryEngine> engine_;
    std::unique_ptr<MarksKeeper> marks_;
    std::unique_ptr<FolderWatcher> watcher_;  // after the engine: its callback reaches the engine
    // The library folder the store opened on (0: not known).
    dev_t openedDevice_ = 0;
    ino_t openedInode_ = 0;
    // Capture time of every listed id: with the id it is the asset's sort
    // key, so its position is a binary search away however the list shifts.
    std::unordered_map<int64_t, double> takenOf_;
    std::unordered_map<int64_t, std::unordered_set<int64_t>> personAssets_;
    FolderTree folders_;
    MonthSections months_;
    int favoriteCount_ = 0;
    int videoCount_ = 0;
    AssetChange lastChange_;
    std::unordered_map<int64_t, std::pair<int, std::optional<int64_t>>> coverCache_;
    AssetSearch searcher_;  // keeps the folded paths and names between keystrokes

    // Never edited: a change makes the next snapshot, and whoever holds the
    // old one keeps reading it as it was.
    std::shared_ptr<const AssetList> assets_ = std::make_shared<const AssetList>();
    int revision_ = 0;
    std::vector<Trip> trips_;
    std::vector<Person> persons_;
    std::vector<Album> albums_;
    int collectionsRevision_ = 0;
    EngineStatus status_ = EngineStatus::idle();
    bool isOffline_ = false;
    std::optional<EngineHalt> halt_;
    bool isDamaged_ = false;
    MarksKeeper::Fault copyFault_ = MarksKeeper::Fault::none;
    Database::Standing indexStanding_ = Database::Standing::kept;
    bool putBackFailed_ = false;
    bool putBack_ = false;  // the index was written back, and the connection is on it
    bool hasLoaded_ = false;
    bool loadedWhole_ = false;  // start() read every list without meeting damage
    std::map<int64_t, std::vector<int64_t>> mergeSuggestions_;

    std::unique_ptr<QThreadPool> background_;  // suggestions, search folds; waited for on closing
    QTimer retry_;
    uint64_t freeAtHalt_ = 0;  // bytes free on the index's disk when the run halted
    int retryTicks_ = 0;

    unsigned pending_ = 0;
    int batchDepth_ = 0;
    bool shutDown_ = false;
};

}  // namespace vintrelle
