#include "Store/LibraryStore.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <numeric>
#include <string_view>

#include <QThreadPool>

#include "Core/Engine/FolderWatcher.h"
#include "Core/Engine/LibraryEngine.h"
#include "Core/Faces/FaceEngine.h"
#include "Core/Index/LibraryLock.h"
#include "Store/MainThread.h"
#include "Store/StoreText.h"

namespace vintrelle {

namespace fs = std::filesystem;

namespace {

constexpr int kJoinBoundMs = 5000;

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

// Where each incoming record goes: before the old record at that position.
std::vector<size_t> insertionPoints(const std::vector<Asset>& list, const std::vector<Asset>& incoming) {
    std::vector<size_t> at(incoming.size());
    for (size_t j = 0; j < incoming.size(); ++j)
        at[j] = size_t(std::lower_bound(list.begin(), list.end(), incoming[j], storeBefore) - list.begin());
    return at;
}

// Takes the records at the sorted positions `dropped` out of the sorted list
// and merges the sorted `incoming` in, moving every record at most once: the
// records are large and the list long, so the data moved is what costs.
// Returns the positions whose record is new or moved.
std::vector<size_t> mergeInPlace(std::vector<Asset>& list, const std::vector<size_t>& dropped,
                                 std::vector<Asset>& incoming) {
    const size_t n = list.size(), k = incoming.size();
    constexpr size_t none = std::numeric_limits<size_t>::max();
    const std::vector<size_t> at = insertionPoints(list, incoming);
    size_t first = n;
    if (!dropped.empty()) first = dropped.front();
    if (k > 0) first = std::min(first, at.front());
    if (first == n && k == 0) return {};

    // Where each old record ends up; positions are monotonic, so records
    // moving left can go in one forward sweep and the others in one backward.
    std::vector<size_t> target(n - first, none);
    for (size_t i = first, d = 0, j = 0; i < n; ++i) {
        while (d < dropped.size() && dropped[d] < i) ++d;
        if (d < dropped.size() && dropped[d] == i) continue;
        while (j < k && at[j] <= i) ++j;
        target[i - first] = i - d + j;
    }
    const size_t size = n - dropped.size() + k;
    if (size > n) list.resize(size);
    std::vector<size_t> changed;
    for (size_t i = first; i < n; ++i) {
        const size_t t = target[i - first];
        if (t != none && t < i) {
            list[t] = std::move(list[i]);
            changed.push_back(t);
        }
    }
    for (size_t i = n; i-- > first;) {
        const size_t t = target[i - first];
        if (t != none && t > i) {
            list[t] = std::move(list[i]);
            changed.push_back(t);
        }
    }
    for (size_t j = 0; j < k; ++j) {
        const size_t dropsBefore = size_t(std::lower_bound(dropped.begin(), dropped.end(), at[j]) - dropped.begin());
        const size_t t = at[j] - dropsBefore + j;
        list[t] = std::move(incoming[j]);
        changed.push_back(t);
    }
    if (size < n) list.resize(size);
    return changed;
}

// The same merge into a new list, for when the old one is shared and must
// stay as it is: each kept record is copied once, `changed` gets the
// positions whose record is new or moved.
std::vector<Asset> mergedCopy(const std::vector<Asset>& list, const std::vector<size_t>& dropped,
                              std::vector<Asset>& incoming, std::vector<size_t>& changed) {
    const std::vector<size_t> at = insertionPoints(list, incoming);
    std::vector<Asset> out;
    out.reserve(list.size() - dropped.size() + incoming.size());
    size_t d = 0, j = 0;
    auto takeIncoming = [&](size_t before) {
        for (; j < incoming.size() && at[j] <= before; ++j) {
            changed.push_back(out.size());
            out.push_back(std::move(incoming[j]));
        }
    };
    for (size_t i = 0; i < list.size(); ++i) {
        takeIncoming(i);
        if (d < dropped.size() && dropped[d] == i) {
            ++d;
            continue;
        }
        if (out.size() != i) changed.push_back(out.size());
        out.push_back(list[i]);
    }
    takeIncoming(std::numeric_limits<size_t>::max());
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
}

LibraryStore::~LibraryStore() {
    // The threads end before the database and the lists they report into.
    background_->clear();
    background_->waitForDone(kJoinBoundMs);
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
    if (p & cLoaded) emit hasLoadedChanged();
    if (p & cSuggestions) emit mergeSuggestionsChanged();
    if (p & cRevision) emit revisionChanged();
    if (p & cCollections) emit collectionsRevisionChanged();
}

void LibraryStore::raiseRevision() {
    ++revision_;
    pending_ |= cRevision;
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
    raiseRevision();
    assign(hasLoaded_, true, cLoaded);

    // The callback holds the engine weakly, not the store, and hands each
    // batch over on the main thread.
    std::weak_ptr<LibraryEngine> engine = engine_;
    watcher_ = std::make_unique<FolderWatcher>(paths_.root, [engine](const std::vector<std::string>& changed,
                                                                     bool rescanNeeded) {
        postToMainThread([engine, changed, rescanNeeded] {
            if (auto e = engine.lock()) e->requestScan(rescanNeeded, changed);
        });
    });
    watcher_->start();
    if (engine_) {
        engine_->setFirstScanWait(watcher_->untilWatching());
        engine_->start(facesEnabled);
    }
}

void LibraryStore::setAssetsSorted(std::vector<Asset> list) {
    if (!(*assets_ == list)) {
        assets_ = std::make_shared<std::vector<Asset>>(std::move(list));
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
    db_->setMeta("faceVersion", FaceEngine::dataVersion);
}

void LibraryStore::shutdown() {
    if (watcher_) watcher_->stop();
    watcher_.reset();
    if (engine_) engine_->stop();
    thumbs_->cancelAllAndClear();
    background_->clear();
    db_->db().close();
    lock_.reset();
    shutDown_ = true;
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
    {
        Batch batch(*this);
        resetFaceData();
        reloadPeople();
    }
    // Analysis restarts even when the face switch is off.
    if (engine_) engine_->setFacesEnabled(true);
}

// ---- engine reports ----------------------------------------------------------

void LibraryStore::rebuildIndex(size_t from) {
    const std::vector<Asset>& list = *assets_;
    if (from == 0) {
        std::unordered_map<int64_t, size_t> index;
        index.reserve(list.size());
        for (size_t i = 0; i < list.size(); ++i) index[list[i].id] = i;
        position_ = std::move(index);
        return;
    }
    // Entries before the first moved position are still right.
    for (size_t i = from; i < list.size(); ++i) position_[list[i].id] = i;
}

void LibraryStore::engineDidUpsert(const std::vector<Asset>& changed) {
    if (changed.empty()) return;
    Batch batch(*this);

    // Does the list change at all? Only the changed records can tell.
    const std::vector<Asset>& list = *assets_;
    bool differs = false;
    std::vector<size_t> dropped;
    for (const Asset& a : changed) {
        auto it = position_.find(a.id);
        if (it == position_.end() || it->second >= list.size()) {
            differs |= !a.hidden;
            continue;
        }
        dropped.push_back(it->second);
        // Records compare names by canonical equivalence, but a path is the
        // file's bytes: a rename between two spellings of one name is a move.
        const Asset& old = list[it->second];
        differs |= a.hidden || !(old == a) || old.path != a.path || old.liveVideo != a.liveVideo;
    }

    if (differs) {
        std::sort(dropped.begin(), dropped.end());
        dropped.erase(std::unique(dropped.begin(), dropped.end()), dropped.end());
        std::vector<Asset> incoming;
        for (const Asset& a : changed)
            if (!a.hidden) incoming.push_back(a);
        std::stable_sort(incoming.begin(), incoming.end(), storeBefore);

        for (const Asset& a : changed) position_.erase(a.id);
        std::vector<size_t> moved;
        if (assets_.use_count() == 1) {
            moved = mergeInPlace(*assets_, dropped, incoming);
        } else {
            assets_ = std::make_shared<std::vector<Asset>>(mergedCopy(*assets_, dropped, incoming, moved));
        }
        for (size_t at : moved) position_[(*assets_)[at].id] = at;
        pending_ |= cAssets;
    }

    for (const Asset& a : changed) thumbs_->remove(paths_.thumbURL(a.id));
    raiseRevision();
}

void LibraryStore::engineDidRemove(const std::vector<int64_t>& ids) {
    if (ids.empty()) return;
    Batch batch(*this);
    const std::unordered_set<int64_t> gone(ids.begin(), ids.end());

    const size_t n = assets_->size();
    size_t first = n;
    for (int64_t id : ids) {
        auto it = position_.find(id);
        if (it != position_.end() && it->second < n) first = std::min(first, it->second);
    }
    if (first < n) {
        if (assets_.use_count() == 1) {
            std::vector<Asset>& list = *assets_;
            size_t write = first;
            for (size_t read = first; read < n; ++read) {
                if (gone.count(list[read].id)) continue;
                if (write != read) list[write] = std::move(list[read]);
                ++write;
            }
            list.resize(write);
        } else {
            auto kept = std::make_shared<std::vector<Asset>>();
            kept->reserve(n);
            for (const Asset& a : *assets_)
                if (!gone.count(a.id)) kept->push_back(a);
            assets_ = std::move(kept);
        }
        for (int64_t id : ids) position_.erase(id);
        rebuildIndex(first);
        pending_ |= cAssets;
    }

    std::vector<Album> albums = albums_;
    for (Album& album : albums)
        std::erase_if(album.assetIDs, [&](int64_t id) { return gone.count(id) != 0; });
    assign(albums_, std::move(albums), cAlbums);
    raiseRevision();
}

void LibraryStore::reloadTrips() {
    std::vector<Trip> trips = db_->loadTrips();
    sortTrips(trips);
    assign(trips_, std::move(trips), cTrips);
}

void LibraryStore::reloadAlbums() { assign(albums_, db_->loadAlbums(), cAlbums); }

void LibraryStore::engineDidUpdateTrips() {
    Batch batch(*this);
    reloadTrips();
    raiseCollectionsRevision();
}

void LibraryStore::engineDidUpdatePeople() { reloadPeople(); }

void LibraryStore::reloadPeople() {
    Batch batch(*this);
    assign(persons_, db_->loadPersons(), cPersons);
    std::unordered_map<int64_t, std::unordered_set<int64_t>> byPerson;
    for (const auto& [person, asset] : db_->personAssetPairs()) byPerson[person].insert(asset);
    personAssets_ = std::move(byPerson);
    mergeSuggestions_.clear();
    pending_ |= cSuggestions;
    raiseCollectionsRevision();
}

void LibraryStore::engineDidChangeStatus(const EngineStatus& status) {
    Batch batch(*this);
    assign(status_, status, cStatus);
    // Any sign of life from the engine means the folder is back.
    if (status.kind != EngineStatus::Kind::idle) assign(isOffline_, false, cOffline);
}

void LibraryStore::engineDidGoOffline() {
    Batch batch(*this);
    assign(isOffline_, true, cOffline);
    assign(status_, EngineStatus::idle(), cStatus);
}

}  // namespace vintrelle
