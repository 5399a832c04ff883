#pragma once
// A library in a temporary folder with a real index, opened through the store.

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Core/Index/LibraryDB.h"
#include "Core/Engine/LibraryEngine.h"
#include "Store/LibraryStore.h"
#include "fixtures/Patience.h"
#include "fixtures/TempDir.h"

namespace storetest {

using namespace vintrelle;

inline Asset makeAsset(int64_t id, const std::string& path, double taken) {
    Asset a;
    a.id = id;
    a.path = path;
    a.taken = taken;
    a.size = 1000 + id;
    a.mtime = 1.6e9;
    a.added = 1.7e9;
    a.width = 4000;
    a.height = 3000;
    a.thumbState = 1;
    return a;
}

// Writes a processed row with the asset's own id.
inline void insertAsset(LibraryDB& db, const Asset& a) {
    db.db().run(
        "INSERT INTO assets(id, path, kind, size, mtime, taken, width, height, duration, lat, lon, favorite, hidden, "
        "thumb, added, meta_done) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,1)",
        {a.id, a.path, int(a.kind), a.size, a.mtime, a.taken, a.width, a.height, a.duration, a.lat, a.lon,
         a.favorite, a.hidden, a.thumbState, a.added});
}

inline int64_t insertPerson(LibraryDB& db, int64_t id, const std::string& name) {
    return db.db().insert("INSERT INTO persons(id, name, created) VALUES(?,?,0)", {id, name});
}

// A face found in the photo, which is then done.
inline int64_t insertFace(LibraryDB& db, int64_t asset, std::optional<int64_t> person, double quality = 0.5) {
    const int64_t id = db.db().insert(
        "INSERT INTO faces(asset_id, x, y, w, h, quality, person_id) VALUES(?,0.1,0.1,0.2,0.2,?,?)",
        {asset, quality, person});
    db.db().run("UPDATE assets SET faces_done=1 WHERE id=?", {asset});
    return id;
}

// The engine is told to stop before the store starts it, so it never works:
// these tests alone decide what the index holds.
struct Library {
    fixtures::TempDir dir;
    std::shared_ptr<LibraryStore> store;

    Library() {
        store = LibraryStore::init(dir.path());
        store->engine()->stop();
    }
    LibraryDB& db() { return store->db(); }
    void add(const std::vector<Asset>& assets) {
        for (const Asset& a : assets) insertAsset(db(), a);
    }
};

// Runs queued main-thread work until done() holds or the time runs out.
inline bool spinUntil(const std::function<bool()>& done, int timeoutMs = fixtures::patientMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Records which change signals a store emitted, in order.
struct SignalLog {
    std::vector<std::string> names;
    QObject context;  // disconnects when the log goes
    explicit SignalLog(LibraryStore& s) {
        auto on = [&](auto signal, const char* name) {
            QObject::connect(&s, signal, &context, [this, name] { names.push_back(name); });
        };
        on(&LibraryStore::assetsChanged, "assets");
        on(&LibraryStore::tripsChanged, "trips");
        on(&LibraryStore::personsChanged, "persons");
        on(&LibraryStore::albumsChanged, "albums");
        on(&LibraryStore::statusChanged, "status");
        on(&LibraryStore::isOfflineChanged, "offline");
        on(&LibraryStore::hasLoadedChanged, "hasLoaded");
        on(&LibraryStore::mergeSuggestionsChanged, "suggestions");
        on(&LibraryStore::revisionChanged, "revision");
        on(&LibraryStore::collectionsRevisionChanged, "collectionsRevision");
    }
    bool has(const std::string& n) const { return std::find(names.begin(), names.end(), n) != names.end(); }
};

template <class List>
inline std::vector<int64_t> ids(const List& list) {
    std::vector<int64_t> out;
    for (const Asset& a : list) out.push_back(a.id);
    return out;
}

}  // namespace storetest
