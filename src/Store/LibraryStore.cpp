#include "Store/LibraryStore.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <numeric>
#include <string_view>

#include <QThreadPool>

#include <sys/statvfs.h>

#include "Core/Engine/FacePass.h"
#include "Core/Engine/FolderWatcher.h"
#include "Core/Engine/LibraryEngine.h"
#include "Core/Faces/FaceEngine.h"
#include "Core/Index/IndexPutBack.h"
#include "Core/Index/LibraryLock.h"
#include "Core/Index/MarksCopy.h"
#include "Core/Index/MarksKeeper.h"
#include "Store/MainThread.h"
#include "Store/StoreText.h"

namespace vintrelle {

namespace fs = std::filesystem;

namespace {

constexpr int kJoinBoundMs = 5000;
// How long closing waits for the library to be still before writing back an
// index deleted under it: a library folder still being deleted is left be.
constexpr std::chrono::milliseconds kQuietBound{3000};
// A halted library looks this often whether it can go on; on a full disk it
// goes on once this much room has been made, and in any case every few looks.
constexpr std::chrono::milliseconds kRetryInterval{10'000};
constexpr uint64_t kRoomToGoOn = 1 << 20;
constexpr int kLooksBetweenRetries = 6;

uint64_t freeBytes(const std::string& folder) {
    struct statvfs st {};
    if (::statvfs(folder.c_str(), &st) != 0) return 0;
    return uint64_t(st.f_bavail) * uint64_t(st.f_frsize);
}

// Adds delta to the counts the asset is in.
void countIn(const Asset& a, int delta, int& favorites, int& videos) {
    favorites += a.favorite ? delta : 0;
    videos += a.kind == MediaKind::video ? delta : 0;
}

// Store order: newest capture first, the larger id first among equal times.
bool storeBefore(const Asset& a, const Asset& b) { return a.taken > b.taken || (a.taken == b.taken && a.id > b.id); }

void sortTrips(std::vector<Trip>& trips) {
    std::stable_sort(trips.begin(), trips.end(), [](const Trip& a, const Trip& b) { return a.start > b.start; });
}

// Sorts by moving each record once: the records are large, so the sort runs
// over small keys and the list is permuted at the end.
std::vector<Asset> sortedInStoreOrder(std::vector<Asset> list) {
    struct Key {
        double taken;
        int64_t id;
        size_t index;
    };
    std::vector<Key> keys;
    keys.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i) keys.push_back({list[i].taken, list[i].id, i});
    std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
        return a.taken > b.taken || (a.taken == b.taken && a.id > b.id);
    });
    std::vector<Asset> out;
    out.reserve(list.size());
    for (const Key& k : keys) out.push_back(std::move(list[k.index]));
    return out;
}

}  // namespace

// ---- opening and closing ---------------------------------------------------

std::shared_ptr<LibraryStore> LibraryStore::init(const std::string& root, const LibraryPaths::WritableCheck& writable) {
    std::optional<LibraryPaths> found = LibraryPaths::setUp(root, writable);
    if (!found) throw LibraryAway("The library folder is not there.");
    const LibraryPaths& paths = *found;
    // Before the index is touched: a library open in another process is left alone.
    auto lock = std::make_unique<LibraryLock>(paths.dataDir);
    // A rebuild cut short left its unfinished index beside the one in use.
    discardUnfinishedRebuild(paths);
    // An index a crash emptied would be made anew here, and taken for the library's.
    refuseEmptiedIndex(paths);
    refuseIndexNotAFile(paths);
    std::shared_ptr<LibraryDB> db;
    try {
        db = std::make_shared<LibraryDB>(paths.databasePath());
    } catch (const DBError&) {
        // The drive went after the data folder was set up (the folder gone,
        // or its mount point left empty): the index could not be opened for
        // want of the drive, not for a fault of its own.
        auto isDirectory = [](const std::string& p) {
            struct stat st {};
            return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        };
        if (!isDirectory(paths.root) || (paths.portable && !isDirectory(paths.dataDir)))
            throw LibraryAway("The library folder went.");
        throw;
    }
    auto store = std::make_shared<LibraryStore>(Token{}, paths, db);
    store->lock_ = std::move(lock);
    if (struct stat st {}; ::stat(paths.root.c_str(), &st) == 0) {
        store->openedDevice_ = st.st_dev;
        store->openedInode_ = st.st_ino;
    }
    // Damage may show on any statement of any thread; the store hears of it
    // on the main thread.
    std::weak_ptr<LibraryStore> weak = store;
    db->db().setDamageObserver([weak] {
        postToMainThread([weak] {
            if (auto s = weak.lock()) s->markDamaged();
        });
    });
    if (db->db().isDamaged()) store->markDamaged();
    store->marks_ = std::make_unique<MarksKeeper>(db, paths);
    store->marks_->setObserver([weak] {
        postToMainThread([weak] {
            auto s = weak.lock();
            if (!s || s->shutDown_) return;
            Batch batch(*s);
            s->assign(s->copyFault_, s->marks_->fault(), cCopyFault);
        });
    });
    store->engine_ = std::make_shared<LibraryEngine>(paths, db, std::weak_ptr<EngineDelegate>(store), qtMainPoster());
    return store;
}

LibraryStore::LibraryStore(Token, LibraryPaths paths, std::shared_ptr<LibraryDB> db)
    : paths_(std::move(paths)),
      db_(std::move(db)),
      thumbs_(std::make_shared<ThumbnailCache>()),
      background_(std::make_unique<QThreadPool>()) {
    background_->setMaxThreadCount(1);
    background_->setThreadPriority(QThread::LowPriority);
    retry_.setInterval(kRetryInterval);
    connect(&retry_, &QTimer::timeout, this, &LibraryStore::retryAfterHalt);
}

LibraryStore::~LibraryStore() {
    // The threads end before the database and the lists they report into.
    background_->clear();
    background_->waitForDone(kJoinBoundMs);
    if (marks_) marks_->close(std::chrono::milliseconds(kJoinBoundMs));
    watcher_.reset();
    if (engine_) engine_->stop();
    engine_.reset();
}

LibraryStore::Batch::~Batch() {
    if (--s_.batchDepth_ == 0) s_.flushSignals();
}

void LibraryStore::flushSignals() {
    const unsigned p = pending_;
    pending_ = 0;
    if (p & cAssets) emit assetsChanged();
    if (p & cTrips) emit tripsChanged();
    if (p & cPersons) emit personsChanged();
    if (p & cAlbums) emit albumsChanged();
    if (p & cStatus) emit statusChanged();
    if (p & cOffline) emit isOfflineChanged();
    if (p & cHalt) emit haltChanged();
    if (p & cDamaged) emit isDamagedChanged();
    if (p & cCopyFault) emit copyFaultChanged();
    if (p & cIndex) emit indexStandingChanged();
    if (p & cLoaded) emit hasLoadedChanged();
    if (p & cSuggestions) emit mergeSuggestionsChanged();
    if (p & cRevision) emit revisionChanged();
    if (p & cCollections) emit collectionsRevisionChanged();
}

void LibraryStore::raiseRevision() {
    ++revision_;
    pending_ |= cRevision;
}

void LibraryStore::raiseRevision(const std::vector<const Asset*>& gone, const std::vector<const Asset*>& came) {
    raiseRevision();
    lastChange_.revision = revision_;
    lastChange_.gone.clear();
    lastChange_.came.clear();
    for (const Asset* a : gone) lastChange_.gone.push_back(*a);
    for (const Asset* a : came) lastChange_.came.push_back(*a);
}

void LibraryStore::raiseCollectionsRevision() {
    ++collectionsRevision_;
    pending_ |= cCollections;
}

void LibraryStore::start(bool facesEnabled) {
    Batch batch(*this);
    applyFaceDataVersion();

    std::vector<Asset> loaded = db_->loadAssets();
    std::erase_if(loaded, [](const Asset& a) { return a.hidden; });
    setAssetsSorted(sortedInStoreOrder(std::move(loaded)));

    std::vector<Trip> trips = db_->loadTrips();
    sortTrips(trips);
    assign(trips_, std::move(trips), cTrips);
    assign(albums_, db_->loadAlbums(), cAlbums);
    reloadPeople();
    // The readers give empty lists on failure: a list read through damage
    // may lack what the index holds.
    loadedWhole_ = !db_->db().isDamaged();
    raiseRevision();
    assign(hasLoaded_, true, cLoaded);
    prepareSearch();

    // The callback holds the engine weakly, not the store, and hands each
    // batch over on the main thread.
    std::weak_ptr<LibraryEngine> engine = engine_;
    watcher_ = std::make_unique<FolderWatcher>(paths_.root, [engine](const std::vector<std::string>& changed,
                                                                     bool rescanNeeded) {
        postToMainThread([engine, changed, rescanNeeded] {
            if (auto e = engine.lock()) e->requestScan(rescanNeeded, changed);
        });
    });
    std::weak_ptr<LibraryStore> self = weak_from_this();
    watcher_->followIndex(paths_.databasePath(), [self] {
        postToMainThread([self] {
            if (auto s = self.lock()) s->indexPathChanged();
        });
    });
    watcher_->start();
    // The first scan writes into the index only once the copy of the marks
    // has judged it: it would make another library's index look like this
    // library's.
    if (marks_) marks_->open();
    if (engine_) {
        engine_->setFirstScanWait([watching = watcher_->untilWatching(),
                                   judged = marks_ ? marks_->untilJudged() : std::function<void()>()] {
            watching();
            if (judged) judged();
        });
        engine_->start(facesEnabled);
    }
}

void LibraryStore::marksChanged() {
    if (marks_ && hasLoaded_ && !shutDown_) marks_->changed();
}

std::optional<UserMade> LibraryStore::userMade() const {
    if (!loadedWhole_) return std::nullopt;
    UserMade made;
    for (const Asset& a : *assets_)
        if (a.favorite) made.favorites.push_back(a.path);
    for (const Album& album : albums_) {
        UserMade::MadeAlbum& m = made.albums.emplace_back(UserMade::MadeAlbum{album.id, album.name, {}, album.created});
        for (int64_t id : album.assetIDs)
            if (std::optional<Asset> a = asset(id)) m.paths.push_back(a->path);
    }
    for (const Person& p : persons_)
        if (!p.name.empty()) made.names.push_back({p.id, p.name});
    return made;
}

void LibraryStore::setAssetsSorted(std::vector<Asset> list) {
    if (!(*assets_ == list)) {
        assets_ = std::make_shared<const AssetList>(std::move(list));
        pending_ |= cAssets;
    }
    rebuildIndex();
}

bool LibraryStore::resetFaceData() {
    db_->resetPeople();
    // The crops belong to the faces: only when the faces are really gone may
    // their folder go, or a failed reset would leave faces without crops.
    try {
        if (db_->db().scalarInt("SELECT COUNT(*) FROM faces").value_or(1) != 0) return false;
    } catch (const DBError&) {
        return false;
    }
    std::error_code ec;
    fs::remove_all(paths_.dataDir + "/faces", ec);
    paths_.prepare();
    return true;
}

void LibraryStore::applyFaceDataVersion() {
    // Only reads that succeeded may lead to a reset: a failed read is not "no
    // version" nor "nobody named", and guessing would wipe named people.
    std::optional<std::string> version;
    bool named = false;
    try {
        db_->db().forEachRow("SELECT value FROM meta WHERE key=?", {"faceVersion"},
                             [&](const Row& r) { version = r.text(0); });
        if (version == FaceEngine::dataVersion) return;
        named = db_->db().scalarInt("SELECT EXISTS(SELECT 1 FROM persons WHERE name <> '')").value_or(0) != 0;
    } catch (const DBError&) {
        return;
    }
    if (!named && !resetFaceData()) return;
    if (named) {
        // The faces stay for their names; their prints say nothing next to
        // the new analyser's, and a photo read again matches them by place.
        try {
            const int64_t below = db_->db().scalarInt("SELECT COALESCE(MAX(id), 0) + 1 FROM faces").value_or(0);
            db_->setMeta(FacePass::olderPrintsKey, std::to_string(below));
        } catch (const DBError&) {
            return;
        }
    }
    db_->setMeta("faceVersion", FaceEngine::dataVersion);
}

void LibraryStore::shutdown() {
    // What the user made since the index was deleted is in it alone.
    if (!shutDown_ && !putBack_ && db_->db().standing() == Database::Standing::deleted &&
        (!watcher_ || watcher_->waitUntilQuiet(kQuietBound)))
        writeIndexBack();
    retry_.stop();
    if (watcher_) watcher_->stop();
    watcher_.reset();
    if (engine_) engine_->stop();
    thumbs_->cancelAllAndClear();
    background_->clear();
    // What changed last reaches the copy before the index closes.
    if (marks_) marks_->close(std::chrono::milliseconds(kJoinBoundMs));
    db_->db().close();
    lock_.reset();
    shutDown_ = true;
}

bool LibraryStore::folderReplaced() const {
    struct stat st {};
    if (openedInode_ == 0 || ::stat(paths_.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return st.st_dev != openedDevice_ || st.st_ino != openedInode_;
}

bool LibraryStore::indexDeleted() const { return db_->db().fileDeleted(); }

bool LibraryStore::folderStands() const {
    struct stat st {};
    if (::stat(paths_.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return openedInode_ == 0 || (st.st_dev == openedDevice_ && st.st_ino == openedInode_);
}

void LibraryStore::indexPathChanged() {
    if (shutDown_) return;
    lookAtIndex();
    emit dataFolderChanged();
}

void LibraryStore::lookAtIndex() {
    // Written back, the index is followed no further: the library is to be
    // opened again on it.
    if (shutDown_ || putBack_) return;
    Batch batch(*this);
    // A portable index goes with its library folder, and the folder gone, or
    // another in its place, is followed as such.
    const Database::Standing now =
        paths_.portable && !folderStands() ? Database::Standing::kept : db_->db().standing();
    assign(indexStanding_, now, cIndex);
    if (now != Database::Standing::deleted) assign(putBackFailed_, false, cIndex);
}

bool LibraryStore::putIndexBack() {
    if (putBack_) return true;
    if (shutDown_ || indexStanding_ != Database::Standing::deleted) return false;
    if (writeIndexBack()) return true;
    Batch batch(*this);
    assign(putBackFailed_, true, cIndex);
    return false;
}

void LibraryStore::keepIndexWritable() {
    // SQLite refuses every write to a file no longer at its path: a mark
    // made now would show, and be gone once the library opens again. Written
    // back at once, the index takes it; the change that deleted it settles
    // later, and the library opens again then.
    if (putBack_ || shutDown_ || db_->db().isStillAtItsPath()) return;
    lookAtIndex();
    if (indexStanding_ == Database::Standing::deleted) putIndexBack();
}

bool LibraryStore::writeIndexBack() {
    // Never into a library folder that is going, another one, or one left
    // with nothing in it (as a drive's mount point is when it is away).
    if (paths_.portable && (!folderStands() || LibraryPaths::holdsNothingButData(paths_.root))) return false;
    try {
        vintrelle::putIndexBack(db_->db(), paths_);
        putBack_ = true;
        return true;
    } catch (const DBError& e) {
        qWarning("The deleted index of %s could not be written again: %s", paths_.root.c_str(), e.what());
        return false;
    }
}

void LibraryStore::rescan() {
    {
        Batch batch(*this);
        assign(isOffline_, false, cOffline);
    }
    if (engine_) engine_->requestScan(true, {});
}

void LibraryStore::setFacesEnabled(bool on) {
    if (engine_) engine_->setFacesEnabled(on);
}

void LibraryStore::resetPeople() {
    keepIndexWritable();
    {
        Batch batch(*this);
        resetFaceData();
        reloadPeople();
    }
    // Analysis restarts even when the face switch is off.
    if (engine_) engine_->setFacesEnabled(true);
}

// ---- engine reports ----------------------------------------------------------

void LibraryStore::rebuildIndex() {
    const AssetList& list = *assets_;
    std::unordered_map<int64_t, double> taken;
    taken.reserve(list.size());
    int favorites = 0, videos = 0;
    list.forEach([&](const Asset& a) {
        taken[a.id] = a.taken;
        countIn(a, 1, favorites, videos);
    });
    takenOf_ = std::move(taken);
    favoriteCount_ = favorites;
    videoCount_ = videos;
    folders_.rebuild(list);
    months_.rebuild(list);
}

std::optional<size_t> LibraryStore::position(int64_t id) const {
    const auto it = takenOf_.find(id);
    if (it == takenOf_.end()) return std::nullopt;
    const size_t at = assets_->storeOrderBound(it->second, id);
    if (at >= assets_->size() || (*assets_)[at].id != id) return std::nullopt;
    return at;
}

void LibraryStore::countChange(const std::vector<const Asset*>& gone, const std::vector<const Asset*>& came) {
    for (const Asset* a : gone) countIn(*a, -1, favoriteCount_, videoCount_);
    for (const Asset* a : came) countIn(*a, 1, favoriteCount_, videoCount_);
    folders_.update(gone, came);
    months_.update(gone, came);
}

void LibraryStore::engineDidUpsert(const std::vector<Asset>& changed) {
    if (changed.empty()) return;
    Batch batch(*this);
    // The old records are read while the next list is made.
    const std::shared_ptr<const AssetList> before = assets_;
    const AssetList& list = *before;

    // One entry per id: of records repeated in a batch the last one holds.
    std::unordered_map<int64_t, size_t> lastOf;
    lastOf.reserve(changed.size());
    for (size_t i = 0; i < changed.size(); ++i) lastOf[changed[i].id] = i;

    // Does the list change at all? Only the changed records can tell.
    bool differs = false, moved = false;
    std::vector<size_t> dropped;
    std::vector<const Asset*> gone;
    std::vector<Asset> incoming;
    for (size_t i = 0; i < changed.size(); ++i) {
        const Asset& a = changed[i];
        if (lastOf[a.id] != i) continue;
        if (!a.hidden) incoming.push_back(a);
        const std::optional<size_t> at = position(a.id);
        if (!at) {
            differs |= !a.hidden;
            continue;
        }
        dropped.push_back(*at);
        // Records compare names by canonical equivalence, but a path is the
        // file's bytes: a rename between two spellings of one name is a move.
        const Asset& old = list[*at];
        gone.push_back(&old);
        differs |= a.hidden || !(old == a) || old.path != a.path || old.liveVideo != a.liveVideo;
        // The copy of the marks knows photos by their paths.
        moved |= old.path != a.path;
    }

    if (differs) {
        std::sort(dropped.begin(), dropped.end());
        std::stable_sort(incoming.begin(), incoming.end(), storeBefore);
        std::vector<size_t> at;
        at.reserve(incoming.size());
        std::vector<const Asset*> came;
        came.reserve(incoming.size());
        for (const Asset& a : incoming) {
            at.push_back(list.storeOrderBound(a.taken, a.id));
            came.push_back(&a);
        }
        countChange(gone, came);
        for (const Asset* old : gone) takenOf_.erase(old->id);
        for (const Asset& a : incoming) takenOf_[a.id] = a.taken;
        raiseRevision(gone, came);
        assets_ = std::make_shared<const AssetList>(list.edited(dropped, at, std::move(incoming)));
        pending_ |= cAssets;
    } else {
        raiseRevision({}, {});
    }

    for (const Asset& a : changed) thumbs_->remove(paths_.thumbURL(a.id));
    if (moved) marksChanged();
}

void LibraryStore::engineDidRemove(const std::vector<int64_t>& ids) {
    if (ids.empty()) return;
    Batch batch(*this);
    const std::unordered_set<int64_t> gone(ids.begin(), ids.end());

    const std::shared_ptr<const AssetList> before = assets_;
    std::vector<size_t> dropped;
    std::vector<const Asset*> records;
    for (int64_t id : gone) {
        if (const std::optional<size_t> at = position(id)) {
            dropped.push_back(*at);
            records.push_back(&(*before)[*at]);
        }
    }
    if (!dropped.empty()) {
        std::sort(dropped.begin(), dropped.end());
        countChange(records, {});
        for (const Asset* a : records) takenOf_.erase(a->id);
        assets_ = std::make_shared<const AssetList>(before->edited(dropped, {}, {}));
        pending_ |= cAssets;
    }

    std::vector<Album> albums = albums_;
    for (Album& album : albums)
        std::erase_if(album.assetIDs, [&](int64_t id) { return gone.count(id) != 0; });
    assign(albums_, std::move(albums), cAlbums);
    raiseRevision(records, {});
    marksChanged();
}

void LibraryStore::reloadTrips() {
    std::vector<Trip> trips = db_->loadTrips();
    sortTrips(trips);
    assign(trips_, std::move(trips), cTrips);
    marksChanged();
}

void LibraryStore::reloadAlbums() {
    assign(albums_, db_->loadAlbums(), cAlbums);
    noteListReadAfterDamage();
    marksChanged();
}

void LibraryStore::noteListReadAfterDamage() {
    // A list read again through damage may be empty where the index is not:
    // the lists no longer stand for what the index holds.
    if (db_->db().isDamaged()) loadedWhole_ = false;
}

void LibraryStore::engineDidUpdateTrips() {
    Batch batch(*this);
    reloadTrips();
    raiseCollectionsRevision();
}

void LibraryStore::engineDidUpdatePeople() { reloadPeople(); }

void LibraryStore::engineDidUpdateAlbums() {
    Batch batch(*this);
    reloadAlbums();
    raiseCollectionsRevision();
}

void LibraryStore::reloadPeople() {
    Batch batch(*this);
    assign(persons_, db_->loadPersons(), cPersons);
    std::unordered_map<int64_t, std::unordered_set<int64_t>> byPerson;
    for (const auto& [person, asset] : db_->personAssetPairs()) byPerson[person].insert(asset);
    personAssets_ = std::move(byPerson);
    noteListReadAfterDamage();
    // Names, hidden people and the faces of named ones: the screens' own
    // writes and the engine's grouping come here too.
    marksChanged();
    mergeSuggestions_.clear();
    pending_ |= cSuggestions;
    raiseCollectionsRevision();
}

void LibraryStore::engineDidChangeStatus(const EngineStatus& status) {
    Batch batch(*this);
    assign(status_, status, cStatus);
    // Any sign of life from the engine means the folder is back, and that a
    // run that halted goes on.
    if (status.kind != EngineStatus::Kind::idle) {
        assign(isOffline_, false, cOffline);
        assign(halt_, std::optional<EngineHalt>(), cHalt);
        retry_.stop();
    }
}

void LibraryStore::engineDidGoOffline() {
    Batch batch(*this);
    assign(isOffline_, true, cOffline);
    assign(status_, EngineStatus::idle(), cStatus);
}

void LibraryStore::engineDidHalt(EngineHalt why) {
    Batch batch(*this);
    assign(halt_, std::optional<EngineHalt>(why), cHalt);
    assign(status_, EngineStatus::idle(), cStatus);
    freeAtHalt_ = freeBytes(paths_.dataDir);
    retryTicks_ = 0;
    // A reader that cannot be started comes back only with a new
    // installation: the scans that follow it (a rescan, the folder's
    // changes, the next start) try again; looking every minute would not.
    // Photos read again later are read again by the engine itself.
    if (!shutDown_ && !isDamaged_ && why != EngineHalt::readerUnavailable && why != EngineHalt::readAgainLater)
        retry_.start();
}

void LibraryStore::retryAfterHalt() {
    if (!halt_ || shutDown_ || isDamaged_) {
        retry_.stop();
        return;
    }
    // Room made is seen at once; a disk that refused for another reason, or
    // a quota that the free space does not show, is tried now and then.
    const bool roomMade = *halt_ == EngineHalt::diskFull && freeBytes(paths_.dataDir) >= freeAtHalt_ + kRoomToGoOn;
    if (roomMade || ++retryTicks_ >= kLooksBetweenRetries) {
        retryTicks_ = 0;
        rescan();
    }
}

void LibraryStore::setRetryInterval(std::chrono::milliseconds interval) { retry_.setInterval(interval); }

bool LibraryStore::acceptsMarks() {
    keepIndexWritable();
    if (!isDamaged_) return true;
    emit marksRefused();
    return false;
}

void LibraryStore::markDamaged() {
    if (shutDown_) return;
    Batch batch(*this);
    assign(isDamaged_, true, cDamaged);
    assign(status_, EngineStatus::idle(), cStatus);
    retry_.stop();
}

}  // namespace vintrelle
