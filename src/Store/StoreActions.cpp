// The write side of the store: every change a user makes to the library's
// own data. Each action writes the index first and then reloads (or, for
// favourites, patches) what the screens read; none touches a photo file.

#include <QThreadPool>

#include <algorithm>

#include "Core/Faces/FaceClusterer.h"
#include "Store/LibraryStore.h"
#include "Store/MainThread.h"
#include "Store/StoreText.h"

namespace vintrelle {

void LibraryStore::setFavorite(const std::vector<int64_t>& ids, bool favorite) {
    if (!acceptsMarks()) return;
    Batch batch(*this);
    db_->setFavorite(ids, favorite);
    const std::shared_ptr<const AssetList> before = assets_;
    std::vector<size_t> flipped;
    for (int64_t id : ids)
        if (const std::optional<size_t> at = position(id); at && (*before)[*at].favorite != favorite)
            flipped.push_back(*at);
    std::sort(flipped.begin(), flipped.end());
    flipped.erase(std::unique(flipped.begin(), flipped.end()), flipped.end());
    if (!flipped.empty()) {
        // The flag plays no part in the order: each record is replaced where it stands.
        std::vector<Asset> edited;
        std::vector<const Asset*> gone, came;
        edited.reserve(flipped.size());
        for (size_t at : flipped) {
            gone.push_back(&(*before)[at]);
            edited.push_back((*before)[at]);
            edited.back().favorite = favorite;
        }
        for (const Asset& a : edited) came.push_back(&a);
        countChange(gone, came);
        raiseRevision(gone, came);
        assets_ = std::make_shared<const AssetList>(before->edited(flipped, flipped, std::move(edited)));
        pending_ |= cAssets;
    } else {
        raiseRevision({}, {});
    }
    marksChanged();
}

int64_t LibraryStore::createAlbum(const std::string& name, const std::vector<int64_t>& assets) {
    if (!acceptsMarks()) return 0;
    Batch batch(*this);
    std::string n = storetext::trimmed(name);
    if (n.empty()) n = "Untitled Album";
    const int64_t id = db_->createAlbum(n);
    if (!assets.empty()) db_->addToAlbum(id, assets);
    reloadAlbums();
    raiseCollectionsRevision();
    return id;
}

void LibraryStore::renameAlbum(int64_t id, const std::string& name) {
    const std::string n = storetext::trimmed(name);
    if (n.empty() || !acceptsMarks()) return;
    Batch batch(*this);
    db_->renameAlbum(id, n);
    reloadAlbums();
    raiseCollectionsRevision();
}

void LibraryStore::deleteAlbum(int64_t id) {
    if (!acceptsMarks()) return;
    Batch batch(*this);
    try {
        db_->db().run("DELETE FROM albums WHERE id=?", {id});
    } catch (const DBError&) {
    }
    reloadAlbums();
    raiseCollectionsRevision();
}

void LibraryStore::addToAlbum(int64_t id, const std::vector<int64_t>& assets) {
    if (!acceptsMarks()) return;
    Batch batch(*this);
    db_->addToAlbum(id, assets);
    reloadAlbums();
    raiseCollectionsRevision();
}

void LibraryStore::removeFromAlbum(int64_t id, const std::vector<int64_t>& assets) {
    if (!acceptsMarks()) return;
    Batch batch(*this);
    db_->removeFromAlbum(id, assets);
    reloadAlbums();
    raiseCollectionsRevision();
}

std::vector<int64_t> LibraryStore::namesakes(int64_t id, const std::string& name) {
    // The index, not the list: someone whose photos all changed, or who is
    // off the list while faces are off, still bears the name.
    std::vector<Person> people;
    try {
        people = db_->db().query("SELECT id, name FROM persons WHERE name <> '' ORDER BY id", {}, [](const Row& r) {
            Person p;
            p.id = r.int64(0);
            p.name = r.text(1);
            return p;
        });
    } catch (const DBError&) {
        people = persons_;
    }
    std::vector<int64_t> out;
    for (const Person& other : people)
        if (other.id != id && storetext::equalIgnoringCase(other.name, name)) out.push_back(other.id);
    return out;
}

void LibraryStore::renamePerson(int64_t id, const std::string& name) {
    if (!acceptsMarks()) return;
    Batch batch(*this);
    const std::string t = storetext::trimmed(name);
    db_->renamePerson(id, t);
    // The renamed person keeps its id and the typed spelling; each namesake's
    // faces move to it (two of one name, left by an earlier version, become one).
    if (!t.empty())
        for (int64_t other : namesakes(id, t)) db_->mergePerson(other, id);
    reloadPeople();
}

void LibraryStore::mergePerson(int64_t source, int64_t target) {
    if (source == target || !acceptsMarks()) return;
    Batch batch(*this);
    const auto from = person(source);
    const auto to = person(target);
    if (from && to && to->name.empty() && !from->name.empty()) db_->renamePerson(target, from->name);
    db_->mergePerson(source, target);
    reloadPeople();
}

void LibraryStore::removeFromPerson(int64_t person, const std::vector<int64_t>& assets) {
    if (!acceptsMarks()) return;
    Batch batch(*this);
    for (int64_t asset : assets) {
        try {
            // Locked, so grouping never puts these faces back into anyone.
            db_->db().run("UPDATE faces SET person_id=NULL, locked=1 WHERE person_id=? AND asset_id=?",
                          {person, asset});
        } catch (const DBError&) {
        }
    }
    db_->setPersonCover(person, db_->bestFace(person));
    try {
        db_->db().run(LibraryDB::deleteFacelessPersons);
    } catch (const DBError&) {
    }
    reloadPeople();
}

void LibraryStore::renameTrip(int64_t id, const std::string& title) {
    if (!trip(id) || !acceptsMarks()) return;
    Batch batch(*this);
    const std::string t = storetext::trimmed(title);
    // The engine may have renamed the trip or set its cover since the list was
    // loaded: decide against the row as it stands now, and write it back
    // before anyone else can.
    try {
        db_->db().transaction([&] {
            std::vector<Trip> rows = db_->loadTrips();
            auto row = std::find_if(rows.begin(), rows.end(), [&](const Trip& r) { return r.id == id; });
            if (row == rows.end()) return;
            if (t.empty() || t == row->autoTitle) row->customTitle.reset();
            else row->customTitle = t;
            db_->updateTrip(*row);
        });
    } catch (const DBError&) {
    }
    engineDidUpdateTrips();
}

void LibraryStore::loadSuggestions(int64_t person) {
    if (mergeSuggestions_.count(person) || shutDown_) return;
    std::weak_ptr<LibraryStore> weak = weak_from_this();
    std::shared_ptr<LibraryDB> db = db_;
    background_->start([weak, db, person] {
        std::vector<int64_t> ids;
        try {
            ids = FaceClusterer::suggestions(*db, person, 4);
        } catch (const DBError&) {
            return;  // the library closed meanwhile
        }
        postToMainThread([weak, person, ids = std::move(ids)] {
            if (auto self = weak.lock()) self->applySuggestions(person, ids);
        });
    });
}

void LibraryStore::setTripHidden(int64_t id, bool hidden) {
    if (!trip(id) || !acceptsMarks()) return;
    Batch batch(*this);
    try {
        db_->db().transaction([&] { db_->db().run("UPDATE trips SET hidden=? WHERE id=?", {hidden ? 1 : 0, id}); });
    } catch (const DBError&) {
    }
    engineDidUpdateTrips();
}

void LibraryStore::applySuggestions(int64_t person, const std::vector<int64_t>& ids) {
    if (shutDown_) return;
    Batch batch(*this);
    std::vector<int64_t> shown;
    for (int64_t id : ids) {
        if (auto p = this->person(id); p && !p->hidden) shown.push_back(id);
    }
    auto it = mergeSuggestions_.find(person);
    if (it != mergeSuggestions_.end() && it->second == shown) return;
    mergeSuggestions_[person] = std::move(shown);
    pending_ |= cSuggestions;
}

}  // namespace vintrelle
