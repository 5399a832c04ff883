#include "Core/Index/IndexRepair.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <set>
#include <string_view>

#include "Core/Index/DataFiles.h"
#include "Core/Index/IndexSalvage.h"
#include "Core/Index/LibraryDB.h"
#include "Core/Index/LibraryLock.h"
#include "Core/Index/MarksCopy.h"
#include "Core/Index/MarksFile.h"

namespace vintrelle {

const char* const kIndexNotAFile = "Its index is not a file.";

namespace {

// The new index while it is made, and a copy of the damaged one while it is
// written, under names a rebuild cut short leaves behind to be taken away.
const char* const kBuilding = "library-rebuilding.sqlite";
const char* const kCopying = "library-rebuilding-kept.sqlite";
const char* const kKeptPrefix = "library-damaged-";

// The tables whose rows the user made, or which point at them.
const char* const kUserTables[] = {"assets", "persons", "faces", "trips", "albums", "album_assets"};
// Of those, the ones holding what the window's lists cannot count when it
// is lost: hidden photos (the window never lists them), hidden people,
// faces the user moved or locked, and trips renamed or dismissed. A row
// lost from any of them may have held such a thing.
const char* const kUncountedTables[] = {"assets", "persons", "faces", "trips"};

StepHook step;

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool regularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void removeWithJournal(const std::string& file) {
    for (const char* suffix : {"", "-journal"}) ::unlink((file + suffix).c_str());
}

std::string keptName(const std::string& dataDir) {
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = dataDir + "/" + kKeptPrefix + stamp;
    std::string name = base + ".sqlite";
    for (int i = 2; exists(name) || exists(name + "-journal"); ++i) name = base + "-" + std::to_string(i) + ".sqlite";
    return name;
}

// Gives the damaged file its kept name as well: a second name for the same
// file where the disk has them (nothing copied, no room needed), else a
// whole copy, named only once it is whole.
void keepUnder(const std::string& index, const std::string& kept, const std::string& dataDir) {
    if (::link(index.c_str(), kept.c_str()) == 0) return;
    const std::string copying = dataDir + "/" + kCopying;
    std::error_code ec;
    std::filesystem::copy_file(index, copying, std::filesystem::copy_options::overwrite_existing, ec);
    if (!ec) {
        syncToDisk(copying, false);
        if (std::rename(copying.c_str(), kept.c_str()) == 0) return;
        ec = std::error_code(errno, std::generic_category());
    }
    ::unlink(copying.c_str());
    throw fileError("Could not keep the damaged index", ec.value());
}

// A rebuild cut short after the damaged file took its kept name, and before
// the new index took the file's place, leaves one file under both names:
// written through the index's name, the "kept" copy would change with it,
// and each retry would add a name. Such a name is taken away, and the
// journal that went with it comes back; the file stays the index.
void dropKeptNamesOfIndex(const LibraryPaths& paths) {
    const std::string index = paths.databasePath();
    struct stat live {};
    if (::stat(index.c_str(), &live) != 0) return;
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(paths.dataDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with(kKeptPrefix) && name.ends_with(".sqlite")) names.push_back(it->path().string());
    }
    for (const std::string& kept : names) {
        struct stat st {};
        if (::lstat(kept.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != live.st_dev ||
            st.st_ino != live.st_ino)
            continue;
        if (exists(kept + "-journal") && !exists(index + "-journal"))
            std::rename((kept + "-journal").c_str(), (index + "-journal").c_str());
        ::unlink(kept.c_str());
    }
}

// The columns that hold ids of a table's rows: its own, and those pointing
// at them from other tables.
struct IdColumn {
    const char* table;
    const char* column;
    const char* of;  // the table whose ids it holds
};
const IdColumn kIdColumns[] = {
    {"assets", "id", "assets"},          {"faces", "id", "faces"},
    {"faces", "asset_id", "assets"},     {"faces", "person_id", "persons"},
    {"persons", "id", "persons"},        {"persons", "cover_face", "faces"},
    {"trips", "id", "trips"},            {"trips", "cover_asset", "assets"},
    {"albums", "id", "albums"},          {"album_assets", "album_id", "albums"},
    {"album_assets", "asset_id", "assets"},
    // Photos away for now come back under their own ids, with their faces
    // and people: no new row may take one of those.
    {"absent_assets", "id", "assets"},   {"absent_faces", "id", "faces"},
    {"absent_faces", "person_id", "persons"},
};
// Ids no count of rows reaches: a spoilt value, which no new row can meet.
constexpr int64_t kReachableIds = int64_t(1) << 53;

// Takes rows over into the new index. The salvage gives each row as the
// columns of ours it holds; a row the new index refuses (a row id or path
// that another row has taken) is lost, and its table not whole.
class Carrier {
public:
    explicit Carrier(Database& db) : db_(db) {}

    void take(const TableLayout& table, const std::vector<DBValue>& values) {
        if (table.name == "sqlite_sequence") {
            if (values.size() != 2) return unread(table);
            const auto* name = std::get_if<std::string>(&values[0].storage());
            const auto* seq = std::get_if<int64_t>(&values[1].storage());
            if (name && seq) sequences_[*name] = std::max(sequences_[*name], *seq);
            return;
        }
        noteIds(table, values);
        // Empty where ours may not be (a file of an older declaration): the
        // column takes its default rather than the row being lost.
        names_.clear();
        args_.clear();
        for (size_t i = 0; i < values.size(); ++i) {
            if (table.columns[i].notNull && std::holds_alternative<DBNull>(values[i].storage())) continue;
            names_ += (names_.empty() ? "\"" : ", \"") + table.columns[i].name + "\"";
            args_.push_back(values[i]);
        }
        if (args_.empty()) return unread(table);
        auto [insert, made] = inserts_.try_emplace(table.name + "(" + names_ + ")");
        if (made) {
            std::string marks;
            for (size_t i = 0; i < args_.size(); ++i) marks += i ? ", ?" : "?";
            insert->second = "INSERT OR IGNORE INTO " + insert->first + " VALUES(" + marks + ") RETURNING 1";
        }
        // A disk that cannot take the new index ends the rebuild.
        bool taken = false;
        db_.forEachRow(insert->second, args_, [&](const Row&) { taken = true; });
        if (!taken) unread(table);
    }

    // The highest row id each table had, by its counter, its rows, and the
    // rows of others that point at it, whether or not the rows came over:
    // a new row under a lower id could be taken for a lost one.
    const std::map<std::string, int64_t>& sequences() const { return sequences_; }
    // Tables some of whose rows were there but could not be taken.
    const std::set<std::string>& unreadTables() const { return unread_; }

private:
    void unread(const TableLayout& table) { unread_.insert(table.name); }

    void noteIds(const TableLayout& table, const std::vector<DBValue>& values) {
        for (size_t i = 0; i < values.size(); ++i)
            for (const IdColumn& c : kIdColumns) {
                if (table.name != c.table || table.columns[i].name != c.column) continue;
                const auto* id = std::get_if<int64_t>(&values[i].storage());
                if (id && *id > 0 && *id < kReachableIds) sequences_[c.of] = std::max(sequences_[c.of], *id);
            }
    }

    Database& db_;
    std::map<std::string, std::string> inserts_;  // by table and columns
    std::map<std::string, int64_t> sequences_;
    std::set<std::string> unread_;
    std::string names_;
    DBArgs args_;
};

// The favourites, albums and names the user made that the new index lacks.
// Against a copy of the marks newer than what the window showed, a mark the
// copy no longer holds was taken away since: it is not lost.
void countLost(Database& db, const UserMade& made, const Marks* newer, IndexRebuild& out) {
    for (const std::string& path : made.favorites) {
        if (db.scalarInt("SELECT favorite FROM assets WHERE path=?", {path}).value_or(0) == 1) continue;
        const MarkedFile* now = newer ? newer->file(path) : nullptr;
        if (!newer || (now && now->favorite)) ++out.lostFavorites;
    }
    for (const UserMade::MadeAlbum& album : made.albums) {
        std::string name = album.name;
        std::vector<std::string> paths = album.paths;
        if (newer) {
            const auto now = std::find_if(newer->albums.begin(), newer->albums.end(),
                                          [&](const MarkedAlbum& a) { return a.created == album.created; });
            if (now == newer->albums.end()) continue;
            name = now->name;
            std::set<std::string> still;
            for (const MarkedAlbum::Member& m : now->members) still.insert(m.path);
            std::erase_if(paths, [&](const std::string& p) { return !still.contains(p); });
        }
        // Its own row, or the one the copy of the marks made for it.
        const std::optional<int64_t> id = db.scalarInt(
            "SELECT id FROM albums WHERE (id=? OR created=?) AND name=? ORDER BY id=? DESC LIMIT 1",
            {album.id, album.created, name, album.id});
        if (!id) {
            ++out.lostAlbums;
            continue;
        }
        std::set<std::string> members;
        db.forEachRow("SELECT a.path FROM album_assets m JOIN assets a ON a.id = m.asset_id WHERE m.album_id=?", {*id},
                      [&](const Row& r) { members.insert(r.text(0)); });
        const auto missing = std::count_if(paths.begin(), paths.end(), [&](const std::string& p) { return !members.contains(p); });
        if (missing > 0) {
            ++out.incompleteAlbums;
            out.missingMembers += int(missing);
        }
    }
    for (const UserMade::Name& n : made.names) {
        if (db.scalarInt("SELECT EXISTS(SELECT 1 FROM persons p WHERE p.name=? AND "
                         "EXISTS(SELECT 1 FROM faces WHERE person_id=p.id))",
                         {n.name})
                .value_or(0))
            continue;
        if (!newer || std::any_of(newer->persons.begin(), newer->persons.end(),
                                  [&](const MarkedPerson& p) { return p.name == n.name; }))
            ++out.lostNames;
    }
}

// Looks at the progress callback between rows and steps: one that says to
// stop ends the rebuild, which then leaves everything as it was.
class Pacer {
public:
    explicit Pacer(const RebuildProgress& progress) : progress_(progress) {}
    // What the salvage reports, passed on.
    bool report(uint64_t done, uint64_t total) {
        done_ = done;
        total_ = total;
        if (progress_ && !progress_(done, total)) stopped_ = true;
        return !stopped_;
    }
    // Between steps, and now and then between rows.
    void check() {
        if (stopped_ || (progress_ && !progress_(done_, total_))) {
            stopped_ = true;
            throw RebuildStopped();
        }
    }
    void row() {
        if (++rows_ % 4096 == 0) check();
    }

private:
    const RebuildProgress& progress_;
    uint64_t done_ = 0, total_ = 0, rows_ = 0;
    bool stopped_ = false;
};

// Makes the new index at `building` from what of the library's index still
// reads, and from the copy of its marks.
void build(const LibraryPaths& paths, const std::string& building, const UserMade* made, Pacer& pacer,
           IndexRebuild& out) {
    const std::string index = paths.databasePath();
    const CopyFile copy = readCopyFile(marksCopyPath(paths));
    const bool present = exists(index);
    // No index made as if the library were new while a copy that may hold
    // its marks waits for a Vintrelle that can read it.
    if (!present && copy.state == CopyState::newer) throw DBError(kCopyNewer, SQLITE_NOTADB);
    // A spoiled copy gives what of it reads; only a whole one stands for
    // the index.
    bool haveCopy = copy.state == CopyState::readable || (copy.state == CopyState::spoiled && !copy.marks.empty());
    const bool copyWhole = copy.state == CopyState::readable;
    if (copy.state == CopyState::spoiled) {
        out.copySpoiled = true;
        out.copyAside = kSpoiledCopy;
    }
    pacer.check();
    LibraryDB fresh(building);
    Database& db = fresh.db();
    // Rows come in the order their pages lie, not the order references
    // need; what points at a row that did not survive is taken out below.
    db.exec("PRAGMA foreign_keys=OFF");
    std::vector<TableLayout> wanted = LibraryDB::schemaTables();
    wanted.push_back({"sqlite_sequence", {{"name", "TEXT", true, false}, {"seq", "INTEGER", true, false}}});
    SalvageResult found;
    db.transaction([&] {
        Carrier carrier(db);
        std::string current;
        found = salvageRows(
            index, wanted,
            [&](const TableLayout& table, const std::vector<DBValue>& values) {
                pacer.row();
                if (table.name != current) step("carrying " + (current = table.name));
                carrier.take(table, values);
            },
            [&](uint64_t done, uint64_t total) { return pacer.report(done, total); });
        pacer.check();
        found.incomplete.insert(carrier.unreadTables().begin(), carrier.unreadTables().end());
        // New rows never take the number of a lost one, whose thumbnail and
        // face pictures may still lie in the data folder.
        for (const auto& [name, seq] : carrier.sequences()) {
            db.run("UPDATE sqlite_sequence SET seq=? WHERE name=? AND seq<?", {seq, name, seq});
            db.run("INSERT INTO sqlite_sequence(name, seq) SELECT ?, ? "
                   "WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE name=?)",
                   {name, seq, name});
        }
        // An index and a copy of two libraries: the one whose photos are
        // here is this library's. Another library's rows are not carried
        // (its file is kept all the same), and another's copy is set aside.
        const std::optional<uint64_t> carriedIdentity = libraryIdentity(db);
        // A meta table read back without the identity its copy bears: the
        // index never bore it, so it is not the one the copy followed: from
        // before identities (and older than the copy, then), or another
        // library's written over this one's in place.
        const bool neverItsCopys = haveCopy && copy.identity && !carriedIdentity &&
                                   db.scalarInt("SELECT EXISTS(SELECT 1 FROM meta)").value_or(0) != 0;
        bool otherLibrary = false;
        if (haveCopy && copy.identity && (carriedIdentity ? *carriedIdentity != copy.identity : neverItsCopys)) {
            if (copyIsThisLibrarys(paths, photosNamedBy(db, readMarks(db)), copy.marks)) {
                otherLibrary = true;
                for (const TableLayout& t : LibraryDB::schemaTables())
                    if (t.name != "geocache") db.run("DELETE FROM " + t.name);
            } else if (carriedIdentity) {
                haveCopy = false;
                out.copySpoiled = false;
                out.copyAside = kOtherCopy;
            }
        }
        const bool ownIndex = present && !otherLibrary;
        if (const uint64_t identity = otherLibrary ? copy.identity : carriedIdentity.value_or(haveCopy ? copy.identity : 0))
            setLibraryIdentity(db, identity);
        const bool readAny =
            db.scalarInt("SELECT EXISTS(SELECT 1 FROM assets) OR EXISTS(SELECT 1 FROM persons) OR "
                         "EXISTS(SELECT 1 FROM albums) OR EXISTS(SELECT 1 FROM trips)")
                .value_or(0) != 0;
        // When the index's stamp is lost with its meta table, its file's
        // header still tells a copy of a later second to be the newer.
        const std::optional<double> indexStamp = marksChanged(db);
        const std::optional<int64_t> indexSecond = indexStamp ? std::nullopt : indexFileStampSecond(index);
        const double indexAtMost = indexStamp ? *indexStamp : indexSecond ? double(*indexSecond + 1) : 0;
        // The copy wins where both hold a value only when it is known to be
        // the newer: else the index is at least as new, as the copy follows it.
        const bool copyNewer =
            otherLibrary || neverItsCopys || (indexStamp ? *indexStamp < copy.changed : indexSecond && double(*indexSecond + 1) <= copy.changed);
        const bool copyWins = haveCopy && copyNewer;
        // A whole copy newer than the index stands for it whole: what the
        // index holds beyond it was taken away since.
        const bool copyStandsWhole = copyWins && copyWhole;
        // The copy stands for the index when it is at least as new: then
        // nothing the lost parts held is missing from it.
        const bool copyCurrent = haveCopy && copyWhole && (!indexStamp || *indexStamp <= copy.changed);

        // Members whose album was lost, and albums that lost members with
        // their photos: without the window's lists or a copy, what is known
        // of what was lost.
        const int albumsLost = int(db.scalarInt("SELECT COUNT(DISTINCT album_id) FROM album_assets WHERE "
                                                "album_id NOT IN (SELECT id FROM albums)")
                                       .value_or(0));
        int albumsIncomplete = 0, membersMissing = 0;
        db.forEachRow("SELECT COUNT(DISTINCT album_id), COUNT(*) FROM album_assets WHERE "
                      "asset_id NOT IN (SELECT id FROM assets) AND album_id IN (SELECT id FROM albums)",
                      {}, [&](const Row& r) {
                          albumsIncomplete = int(r.int64(0));
                          membersMissing = int(r.int64(1));
                      });
        // Links into rows that did not come back are cut before any row is
        // made: a new row must never be taken for the lost one they meant.
        // Members whose album row was lost stay until it is known whether
        // the copy brings their album back (under their album's id, or a
        // new one above it).
        db.run("DELETE FROM album_assets WHERE asset_id NOT IN (SELECT id FROM assets)");
        db.run("DELETE FROM faces WHERE asset_id NOT IN (SELECT id FROM assets)");
        db.run("UPDATE faces SET person_id=NULL WHERE person_id NOT IN (SELECT id FROM persons)");
        db.run("UPDATE persons SET cover_face=NULL WHERE cover_face NOT IN (SELECT id FROM faces)");
        db.run("UPDATE trips SET cover_asset=NULL WHERE cover_asset NOT IN (SELECT id FROM assets)");
        // A person is the faces grouped under them: one whose every face was
        // lost is listed nowhere, and would stand beside the one the copy
        // makes of them, under the same name.
        // One whose faces are all on photos away for now waits for them.
        db.run(LibraryDB::deleteFacelessPersons);
        Restored restored;
        if (haveCopy) {
            const bool membersWhole = ownIndex && !found.incomplete.contains("album_assets") &&
                                      !found.incomplete.contains("assets") && !found.incomplete.contains("albums");
            // The copy's row ids are this index's only when it followed it.
            restored = restoreMarks(db, copy.marks, {copyWins, membersWhole, copyWhole},
                                    otherLibrary || neverItsCopys ? nullptr : &copy.rows);
            out.fromCopy = restored.marks;
            pacer.check();
        }
        // Members whose album row was lost keep their album and its order,
        // under a plain name of its own, so that they can be found; unless
        // the copy brought their album back already.
        std::map<int64_t, std::set<int64_t>> held;
        for (const int64_t album : restored.albums)
            db.forEachRow("SELECT asset_id FROM album_assets WHERE album_id=?", {album},
                          [&](const Row& r) { held[album].insert(r.int64(0)); });
        const auto orphaned = db.query("SELECT album_id FROM album_assets WHERE album_id NOT IN (SELECT id FROM albums) "
                                       "AND asset_id IN (SELECT id FROM assets) GROUP BY album_id ORDER BY MIN(added)",
                                       {}, [](const Row& r) { return r.int64(0); });
        int recovered = 0;
        for (const int64_t album : copyStandsWhole ? std::vector<int64_t>{} : orphaned) {
            const std::vector<int64_t> members =
                db.query("SELECT asset_id FROM album_assets WHERE album_id=? AND asset_id IN (SELECT id FROM assets)",
                         {album}, [](const Row& r) { return r.int64(0); });
            if (std::any_of(held.begin(), held.end(), [&](const auto& h) {
                    return std::all_of(members.begin(), members.end(), [&](int64_t m) { return h.second.contains(m); });
                }))
                continue;
            db.run("INSERT INTO albums(id, name, created) SELECT ?, ?, MIN(added) FROM album_assets WHERE album_id=?",
                   {album, recovered ? "Recovered Album " + std::to_string(recovered + 1) : std::string("Recovered Album"),
                    album});
            ++recovered;
        }
        db.run("DELETE FROM album_assets WHERE album_id NOT IN (SELECT id FROM albums)");
        // Made again from the photos: every file is read anew.
        db.run("UPDATE assets SET meta_done=0");
        // Photos whose faces may have been lost are looked at again; those
        // whose faces came over keep them, and their names.
        if (found.incomplete.contains("faces"))
            db.run("UPDATE assets SET faces_done=0 WHERE id NOT IN (SELECT asset_id FROM faces)");
        // The marks now are the copy's and the file's together, newer than
        // either: the copy follows this index once it opens.
        setMarksChanged(db, std::max(nowSeconds(), std::nextafter(std::max(indexAtMost, haveCopy ? copy.changed : 0.0),
                                                                    1e300)));

        // A library without an index file has nothing to lose.
        out.complete = !ownIndex || found.incomplete.empty();
        out.nothingRead = ownIndex && !readAny && !haveCopy;
        auto lostFrom = [&](const auto& tables) {
            return ownIndex && !copyCurrent &&
                   std::any_of(std::begin(tables), std::end(tables),
                               [&](const char* t) { return found.incomplete.contains(t); });
        };
        // What the window showed of an index the copy is newer than was
        // taken away since, where the copy lacks it.
        if (made && !copyStandsWhole) {
            countLost(db, *made, copyWins ? &copy.marks : nullptr, out);
            out.listsCounted = true;
            out.uncounted = lostFrom(kUncountedTables);
        } else if (haveCopy) {
            // Whatever the copy holds is in: only what changed after it was
            // written can be missing, when the lost parts held it.
            out.uncounted = lostFrom(kUserTables);
        } else {
            out.lostAlbums = albumsLost;
            out.incompleteAlbums = albumsIncomplete;
            out.missingMembers = membersMissing;
            out.uncounted = lostFrom(kUserTables);
        }
        for (const TableLayout& t : LibraryDB::schemaTables())
            out.carried[t.name] = int(db.scalarInt("SELECT COUNT(*) FROM " + t.name).value_or(0));
    });
    db.close();
}

}  // namespace

IndexHealth checkIndexFile(const std::string& path) {
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(h);
        return IndexHealth::unknown;
    }
    sqlite3_busy_timeout(h, 5000);
    IndexHealth health = IndexHealth::unknown;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(h, "PRAGMA quick_check", -1, &stmt, nullptr);
    if (rc == SQLITE_OK && stmt) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(stmt, 0);
            health = text && std::string_view(reinterpret_cast<const char*>(text)) == "ok" ? IndexHealth::sound
                                                                                            : IndexHealth::damaged;
        }
    }
    const int primary = sqlite3_extended_errcode(h) & 0xff;
    if (health == IndexHealth::unknown && (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB))
        health = IndexHealth::damaged;
    sqlite3_finalize(stmt);
    sqlite3_close_v2(h);
    return health;
}

void refuseIndexNotAFile(const LibraryPaths& paths) {
    const std::string index = paths.databasePath();
    if (exists(index) && !regularFile(index)) throw DBError(kIndexNotAFile, SQLITE_NOTADB);
}

void discardUnfinishedRebuild(const LibraryPaths& paths) {
    removeWithJournal(paths.dataDir + "/" + kBuilding);
    ::unlink((paths.dataDir + "/" + kCopying).c_str());
    dropKeptNamesOfIndex(paths);
}

void setRebuildStepHook(std::function<void(std::string_view)> hook) { step.set(std::move(hook)); }

IndexRebuild rebuildIndex(const LibraryPaths& paths, const UserMade* made,
                          const std::function<bool(uint64_t done, uint64_t total)>& progress) {
    Pacer pacer(progress);
    LibraryLock lock(paths.dataDir);
    const std::string index = paths.databasePath();
    const std::string building = paths.dataDir + "/" + kBuilding;
    discardUnfinishedRebuild(paths);
    IndexRebuild out;
    // Until the new index takes its place, the damaged one stays where it
    // is, as it is: a rebuild that ends here leaves the library as it found it.
    bool kept = false, movedAside = false, journalMoved = false;
    try {
        build(paths, building, made, pacer, out);
        // SQLite leaves an emptied journal behind; nothing reads it.
        ::unlink((building + "-journal").c_str());
        syncToDisk(building, false);
        step("built");
        // The last moment a stop leaves nothing changed.
        pacer.check();

        if (regularFile(index)) {
            out.keptPath = keptName(paths.dataDir);
            keepUnder(index, out.keptPath, paths.dataDir);
            kept = true;
        } else if (exists(index)) {
            // No file (a folder, say) takes no second name, and no file can
            // take its place: it is moved aside whole. Ended before the new
            // index is in place, the library has no index, and its marks
            // come back from their copy.
            out.keptPath = keptName(paths.dataDir);
            if (std::rename(index.c_str(), out.keptPath.c_str()) != 0)
                throw fileError("Could not keep the damaged index", errno);
            movedAside = true;
        }
        step("kept");
        // A journal beside the damaged file belongs to it, and must not be
        // taken for the new file's.
        if (kept && exists(index + "-journal")) {
            if (std::rename((index + "-journal").c_str(), (out.keptPath + "-journal").c_str()) != 0)
                throw fileError("Could not keep the damaged index's journal", errno);
            journalMoved = true;
        }
        step("journal kept");
        if (std::rename(building.c_str(), index.c_str()) != 0) throw fileError("Could not put the new index in place", errno);
        syncToDisk(paths.dataDir, true);
    } catch (...) {
        if (journalMoved) std::rename((out.keptPath + "-journal").c_str(), (index + "-journal").c_str());
        if (kept) ::unlink(out.keptPath.c_str());
        if (movedAside) std::rename(out.keptPath.c_str(), index.c_str());
        discardUnfinishedRebuild(paths);
        throw;
    }
    step("placed");
    // The copy it could not use whole goes aside only now: a rebuild cut
    // short leaves it where it was, to be read again.
    if (!out.copyAside.empty()) {
        if (const int folder = ::open(paths.dataDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); folder >= 0) {
            const std::string name = setCopyAsideIn(folder, out.copyAside);
            if (!name.empty()) out.copyKeptPath = paths.dataDir + "/" + name;
            ::close(folder);
        }
    }
    return out;
}

// ---- on a thread of its own ------------------------------------------------------

struct RebuildWorker::State {
    LibraryPaths paths;
    std::optional<UserMade> made;
    MainPoster post;
    std::function<void(uint64_t, uint64_t)> progress;
    std::function<void(Outcome)> finished;

    std::atomic<bool> stopped{false};
    std::atomic<uint64_t> done{0}, total{0};
    std::atomic<bool> reportWaiting{false};
    std::chrono::steady_clock::time_point lastReport;
    std::mutex mutex;
    std::condition_variable cv;
    bool ended = false;

    static constexpr std::chrono::milliseconds kReportEvery{50};

    void run(const std::shared_ptr<State>& self) {
        Outcome outcome;
        try {
            outcome.done = rebuildIndex(paths, made ? &*made : nullptr, [&](uint64_t d, uint64_t t) {
                done = d;
                total = t;
                report(self);
                return !stopped.load();
            });
        } catch (const RebuildStopped&) {
        } catch (...) {
            outcome.failure = std::current_exception();
        }
        if (!stopped && post)
            post([self, outcome = std::move(outcome)]() mutable {
                if (!self->stopped && self->finished) self->finished(std::move(outcome));
            });
        std::lock_guard lock(mutex);
        ended = true;
        cv.notify_all();
    }

    // At most one report waits in the main queue, and they come a few times
    // a second at most: a file of millions of pages reports at every page.
    void report(const std::shared_ptr<State>& self) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastReport < kReportEvery || !post || reportWaiting.exchange(true)) return;
        lastReport = now;
        post([self] {
            self->reportWaiting = false;
            if (!self->stopped && self->progress) self->progress(self->done, self->total);
        });
    }
};

RebuildWorker::RebuildWorker(LibraryPaths paths, std::optional<UserMade> made, MainPoster post,
                             std::function<void(uint64_t, uint64_t)> progress, std::function<void(Outcome)> finished)
    : state_(std::make_shared<State>()), library_(paths.root) {
    state_->paths = std::move(paths);
    state_->made = std::move(made);
    state_->post = std::move(post);
    state_->progress = std::move(progress);
    state_->finished = std::move(finished);
    thread_ = std::thread([state = state_] { state->run(state); });
}

RebuildWorker::~RebuildWorker() { stop(); }

bool RebuildWorker::stop(std::chrono::milliseconds bound) {
    if (!thread_.joinable()) return true;
    state_->stopped = true;
    bool ended;
    {
        std::unique_lock lock(state_->mutex);
        ended = state_->ended;
    }
    if (!ended) step("stop asked");
    {
        std::unique_lock lock(state_->mutex);
        ended = state_->cv.wait_for(lock, bound, [&] { return state_->ended; });
    }
    if (ended) thread_.join();
    else thread_.detach();
    return ended;
}

}  // namespace vintrelle
