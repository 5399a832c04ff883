#include "Core/Index/LibraryDB.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

#include "Core/Index/IndexRepair.h"

namespace vintrelle {

const char* const LibraryDB::schemaScript =
    "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT);\n"
    "CREATE TABLE IF NOT EXISTS assets (\n"
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "  path TEXT NOT NULL UNIQUE,\n"
    "  kind INTEGER NOT NULL,\n"
    "  size INTEGER NOT NULL,\n"
    "  mtime REAL NOT NULL,\n"
    "  taken REAL NOT NULL DEFAULT 0,\n"
    "  width INTEGER NOT NULL DEFAULT 0,\n"
    "  height INTEGER NOT NULL DEFAULT 0,\n"
    "  duration REAL NOT NULL DEFAULT 0,\n"
    "  lat REAL,\n"
    "  lon REAL,\n"
    "  camera TEXT,\n"
    "  lens TEXT,\n"
    "  iso INTEGER,\n"
    "  fnumber REAL,\n"
    "  exposure REAL,\n"
    "  focal REAL,\n"
    "  favorite INTEGER NOT NULL DEFAULT 0,\n"
    "  live_video TEXT,\n"
    "  hidden INTEGER NOT NULL DEFAULT 0,\n"
    "  thumb INTEGER NOT NULL DEFAULT 0,\n"
    "  meta_done INTEGER NOT NULL DEFAULT 0,\n"
    "  faces_done INTEGER NOT NULL DEFAULT 0,\n"
    "  added REAL NOT NULL DEFAULT 0\n"
    ");\n"
    "CREATE TABLE IF NOT EXISTS persons (\n"
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "  name TEXT NOT NULL DEFAULT '',\n"
    "  hidden INTEGER NOT NULL DEFAULT 0,\n"
    "  cover_face INTEGER,\n"
    "  created REAL NOT NULL DEFAULT 0\n"
    ");\n"
    "CREATE TABLE IF NOT EXISTS faces (\n"
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "  asset_id INTEGER NOT NULL REFERENCES assets(id) ON DELETE CASCADE,\n"
    "  x REAL,\n"
    "  y REAL,\n"
    "  w REAL,\n"
    "  h REAL,\n"
    "  quality REAL NOT NULL DEFAULT 0,\n"
    "  embedding BLOB,\n"
    "  person_id INTEGER,\n"
    "  locked INTEGER NOT NULL DEFAULT 0\n"
    ");\n"
    "CREATE INDEX IF NOT EXISTS faces_asset ON faces(asset_id);\n"
    "CREATE INDEX IF NOT EXISTS faces_person ON faces(person_id);\n"
    "CREATE TABLE IF NOT EXISTS trips (\n"
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "  title TEXT NOT NULL DEFAULT '',\n"
    "  custom_title TEXT,\n"
    "  subtitle TEXT NOT NULL DEFAULT '',\n"
    "  start REAL NOT NULL,\n"
    "  end REAL NOT NULL,\n"
    "  lat REAL NOT NULL DEFAULT 0,\n"
    "  lon REAL NOT NULL DEFAULT 0,\n"
    "  hidden INTEGER NOT NULL DEFAULT 0,\n"
    "  cover_asset INTEGER,\n"
    "  named INTEGER NOT NULL DEFAULT 0\n"
    ");\n"
    "CREATE TABLE IF NOT EXISTS albums (\n"
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "  name TEXT NOT NULL,\n"
    "  created REAL NOT NULL\n"
    ");\n"
    "CREATE TABLE IF NOT EXISTS album_assets (\n"
    "  album_id INTEGER NOT NULL REFERENCES albums(id) ON DELETE CASCADE,\n"
    "  asset_id INTEGER NOT NULL REFERENCES assets(id) ON DELETE CASCADE,\n"
    "  added REAL NOT NULL,\n"
    "  PRIMARY KEY (album_id, asset_id)\n"
    ");\n"
    "CREATE TABLE IF NOT EXISTS geocache (\n"
    "  key TEXT PRIMARY KEY,\n"
    "  locality TEXT,\n"
    "  admin TEXT,\n"
    "  country TEXT\n"
    ");\n"
    // The tables below keep the list of tables within the file's first page,
    // where a damaged index's rows are best found again: they are written
    // tight. Their shapes differ from those of the tables they keep rows of,
    // as rows on pages that no table leads to are told apart by their shape.
    //
    // What tells a file by its content, read while it was there: the print
    // stands for the row while the row's size and time are these.
    "CREATE TABLE IF NOT EXISTS asset_heads(asset_id INTEGER PRIMARY KEY REFERENCES assets(id) ON DELETE CASCADE,"
    "size INTEGER NOT NULL,mtime REAL NOT NULL,head INTEGER NOT NULL);\n"
    // Photos gone from the library, each with what the user made of it, kept
    // for a while in case the file comes back (AbsentFiles.h).
    "CREATE TABLE IF NOT EXISTS absent_assets(id INTEGER PRIMARY KEY,path TEXT NOT NULL,kind INTEGER NOT NULL,"
    "size INTEGER NOT NULL,mtime REAL NOT NULL,taken REAL NOT NULL,width INTEGER NOT NULL,height INTEGER NOT NULL,"
    "duration REAL NOT NULL,lat REAL,lon REAL,camera TEXT,lens TEXT,iso INTEGER,fnumber REAL,exposure REAL,"
    "focal REAL,favorite INTEGER NOT NULL,live_video TEXT,hidden INTEGER NOT NULL,thumb INTEGER NOT NULL,"
    "meta_done INTEGER NOT NULL,faces_done INTEGER NOT NULL,added REAL NOT NULL,head INTEGER,albums BLOB,"
    "left_at REAL NOT NULL);\n"
    "CREATE TABLE IF NOT EXISTS absent_faces(id INTEGER PRIMARY KEY,"
    "asset_id INTEGER NOT NULL REFERENCES absent_assets(id) ON DELETE CASCADE,x REAL,y REAL,w REAL,h REAL,"
    "quality REAL NOT NULL,embedding BLOB,person_id INTEGER,locked INTEGER NOT NULL,person_name TEXT);\n"
    "CREATE INDEX IF NOT EXISTS absent_faces_asset ON absent_faces(asset_id);\n"
    // A photo's album places are looked up by photo when it leaves.
    "CREATE INDEX IF NOT EXISTS album_assets_asset ON album_assets(asset_id);\n";

const char* const LibraryDB::deleteFacelessPersons =
    "DELETE FROM persons WHERE id NOT IN (SELECT DISTINCT person_id FROM faces WHERE person_id IS NOT NULL) "
    "AND id NOT IN (SELECT DISTINCT person_id FROM absent_faces WHERE person_id IS NOT NULL)";

const char* const LibraryDB::assetSelectProcessed =
    "SELECT id, path, kind, size, mtime, taken, width, height, duration, lat, lon, camera, lens, iso, fnumber,\n"
    "exposure, focal, favorite, live_video, hidden, thumb, added FROM assets WHERE meta_done=1";
const char* const LibraryDB::assetSelectById =
    "SELECT id, path, kind, size, mtime, taken, width, height, duration, lat, lon, camera, lens, iso, fnumber,\n"
    "exposure, focal, favorite, live_video, hidden, thumb, added FROM assets WHERE id=?";

double nowSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

namespace {

// SQLite's names compare without regard to ASCII case.
bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::vector<TableLayout> tableLayouts(Database& db) {
    std::vector<TableLayout> out;
    for (std::string& name : db.query("SELECT name FROM sqlite_master WHERE type='table' ORDER BY rowid", {},
                                      [](const Row& r) { return r.text(0); })) {
        TableLayout table{std::move(name), {}};
        int keys = 0;
        db.forEachRow("SELECT name, type, \"notnull\", pk FROM pragma_table_info(?) ORDER BY cid", {table.name},
                      [&](const Row& r) {
                          TableColumn c{r.text(0), r.text(1), r.int64(2) != 0, r.int64(3) == 1};
                          keys += r.int64(3) > 0 ? 1 : 0;
                          table.columns.push_back(std::move(c));
                      });
        // Only a lone INTEGER primary key is the row id under another name.
        for (TableColumn& c : table.columns) c.rowid = c.rowid && keys == 1 && sameName(c.type, "INTEGER");
        out.push_back(std::move(table));
    }
    return out;
}

const std::vector<TableLayout>& LibraryDB::schemaTables() {
    static const std::vector<TableLayout> tables = [] {
        Database scratch(":memory:");
        scratch.exec(schemaScript);
        std::vector<TableLayout> all = tableLayouts(scratch);
        std::erase_if(all, [](const TableLayout& t) { return t.name.starts_with("sqlite_"); });
        return all;
    }();
    return tables;
}

namespace {

// "IF NOT EXISTS" leaves a table as it is: one made by hand, or by something
// else, may lack columns, and then every insert into it fails while reads
// give nothing. Such an index is as good as damaged.
void requireSchemaColumns(const std::vector<TableLayout>& found) {
    for (const TableLayout& wanted : LibraryDB::schemaTables()) {
        const auto table =
            std::find_if(found.begin(), found.end(), [&](const TableLayout& t) { return sameName(t.name, wanted.name); });
        if (table == found.end()) continue;  // the script makes it whole
        for (const TableColumn& column : wanted.columns) {
            if (std::none_of(table->columns.begin(), table->columns.end(),
                             [&](const TableColumn& c) { return sameName(c.name, column.name); }))
                throw DBError("table " + wanted.name + " has no column named " + column.name, SQLITE_CORRUPT);
        }
    }
}

}  // namespace

LibraryDB::LibraryDB(const std::string& path) {
    auto db = std::make_unique<Database>(path);
    // Looked at before the script, so that an index turned away is left as
    // it was; a file that cannot be read at all fails in the script, which
    // says so.
    std::optional<std::vector<TableLayout>> present;
    try {
        present = tableLayouts(*db);
    } catch (const DBError&) {
    }
    if (present) requireSchemaColumns(*present);
    db->exec(schemaScript);
    if (!present) requireSchemaColumns(tableLayouts(*db));
    db_ = std::move(db);
    path_ = path;
}

bool LibraryDB::checkFile() {
    std::lock_guard lock(checkMutex_);
    if (sound_) return *sound_;
    switch (checkIndexFile(path_)) {
        case IndexHealth::sound: sound_ = true; break;
        case IndexHealth::damaged:
            sound_ = false;
            db_->markDamaged();
            break;
        case IndexHealth::unknown: return false;
    }
    return *sound_;
}

// ---- settings ------------------------------------------------------------

std::optional<std::string> LibraryDB::meta(const std::string& key) {
    try {
        auto rows = db_->query("SELECT value FROM meta WHERE key=?", {key}, [](const Row& r) { return r.text(0); });
        if (rows.empty()) return std::nullopt;
        return rows.front();
    } catch (const DBError&) {
        return std::nullopt;
    }
}

void LibraryDB::setMeta(const std::string& key, const std::string& value) {
    try {
        db_->run("INSERT INTO meta(key,value) VALUES(?,?) ON CONFLICT(key) DO UPDATE SET value=excluded.value",
                 {key, value});
    } catch (const DBError&) {
    }
}

// ---- assets --------------------------------------------------------------

Asset LibraryDB::decodeAsset(const Row& r) {
    Asset a;
    a.id = r.int64(0);
    a.path = r.text(1);
    a.kind = r.int64(2) == 1 ? MediaKind::video : MediaKind::photo;
    a.size = r.int64(3);
    a.mtime = r.dbl(4);
    a.taken = r.dbl(5);
    a.width = int(r.int64(6));
    a.height = int(r.int64(7));
    a.duration = r.dbl(8);
    a.lat = r.optDouble(9);
    a.lon = r.optDouble(10);
    a.camera = r.optText(11);
    a.lens = r.optText(12);
    if (!r.isNull(13)) a.iso = int(r.int64(13));
    a.fnumber = r.optDouble(14);
    a.exposure = r.optDouble(15);
    a.focal = r.optDouble(16);
    a.favorite = r.int64(17) != 0;
    a.liveVideo = r.optText(18);
    a.hidden = r.int64(19) != 0;
    a.thumbState = int(r.int64(20));
    a.added = r.dbl(21);
    return a;
}

std::vector<Asset> LibraryDB::loadAssetsChecked() {
    std::vector<Asset> out;
    db_->forEachRow(assetSelectProcessed, {}, [&](const Row& r) { out.push_back(decodeAsset(r)); });
    return out;
}

std::vector<Asset> LibraryDB::loadAssets() {
    try {
        return loadAssetsChecked();
    } catch (const DBError&) {
        return {};
    }
}

std::vector<Asset> LibraryDB::assets(const std::vector<int64_t>& ids) {
    std::vector<Asset> out;
    out.reserve(ids.size());
    for (int64_t id : ids) {
        try {
            bool first = true;
            db_->forEachRow(assetSelectById, {id}, [&](const Row& r) {
                if (first) out.push_back(decodeAsset(r));
                first = false;
            });
        } catch (const DBError&) {
        }
    }
    return out;
}

std::unordered_map<std::string, FileStat> LibraryDB::fileIndex(const std::optional<std::string>& prefix) {
    std::unordered_map<std::string, FileStat> out;
    // A print read when the file had another size or time is not its own.
    static const std::string select =
        "SELECT a.id, a.path, a.size, a.mtime, a.meta_done, h.head FROM assets a "
        "LEFT JOIN asset_heads h ON h.asset_id = a.id AND h.size = a.size AND h.mtime = a.mtime";
    auto add = [&](const Row& r) {
        out.emplace(r.text(1), FileStat{r.int64(0), r.int64(2), r.dbl(3), r.int64(4) != 0, r.optInt(5)});
    };
    // A few thousand rows at a time, in the order of the index that finds
    // them: the window's queries get in between. Only the scan, which asks,
    // moves or removes rows.
    constexpr int64_t kPiece = 8192;
    try {
        if (prefix && !prefix->empty())
            db_->forEachRowInPieces(select + " WHERE a.path > ? AND a.path < ? ORDER BY a.path LIMIT ?",
                                    {*prefix + "0"}, *prefix + "/", 1, kPiece, add);
        else
            db_->forEachRowInPieces(select + " WHERE a.id > ? ORDER BY a.id LIMIT ?", {}, INT64_MIN, 0, kPiece, add);
    } catch (const DBError&) {
        return {};
    }
    return out;
}

void LibraryDB::saveProcessed(const Asset& a) {
    db_->run(
        "UPDATE assets SET taken=?, width=?, height=?, duration=?, lat=?, lon=?, camera=?, lens=?, iso=?,\n"
        "    fnumber=?, exposure=?, focal=?, thumb=?, meta_done=1 WHERE id=?",
        {a.taken, a.width, a.height, a.duration, a.lat, a.lon, a.camera, a.lens, a.iso, a.fnumber, a.exposure,
         a.focal, a.thumbState, a.id});
}

void LibraryDB::deleteAssets(const std::vector<int64_t>& ids) {
    try {
        db_->transaction([&] {
            for (int64_t id : ids) db_->run("DELETE FROM assets WHERE id=?", {id});
        });
    } catch (const DBError&) {
    }
}

void LibraryDB::setFavorite(const std::vector<int64_t>& ids, bool favorite) {
    try {
        db_->transaction([&] {
            for (int64_t id : ids) db_->run("UPDATE assets SET favorite=? WHERE id=?", {favorite ? 1 : 0, id});
        });
    } catch (const DBError&) {
    }
}

std::vector<PendingFaceAsset> LibraryDB::pendingFaceAssets(int limit) {
    try {
        return db_->query(
            "SELECT id, path, size, mtime FROM assets WHERE kind=0 AND meta_done=1 AND faces_done=0 AND thumb=1\n"
            "ORDER BY taken DESC LIMIT ?",
            {limit}, [](const Row& r) { return PendingFaceAsset{r.int64(0), r.text(1), r.int64(2), r.dbl(3)}; });
    } catch (const DBError&) {
        return {};
    }
}

// ---- places --------------------------------------------------------------

std::optional<PlaceName> LibraryDB::cachedPlace(const std::string& key) {
    try {
        auto rows = db_->query("SELECT locality, admin, country FROM geocache WHERE key=?", {key},
                               [](const Row& r) { return PlaceName{r.optText(0), r.optText(1), r.optText(2)}; });
        if (rows.empty()) return std::nullopt;
        return rows.front();
    } catch (const DBError&) {
        return std::nullopt;
    }
}

void LibraryDB::cachePlace(const std::string& key, const PlaceName& p) {
    try {
        db_->run("INSERT OR REPLACE INTO geocache(key, locality, admin, country) VALUES(?,?,?,?)",
                 {key, p.locality, p.admin, p.country});
    } catch (const DBError&) {
    }
}

// ---- people and faces ----------------------------------------------------

std::vector<float> LibraryDB::decodeEmbedding(const DBBlob& blob) {
    std::vector<float> v(blob.size() / 4);
    for (size_t i = 0; i < v.size(); ++i) {
        uint32_t bits = uint32_t(blob[4 * i]) | uint32_t(blob[4 * i + 1]) << 8 | uint32_t(blob[4 * i + 2]) << 16 |
                        uint32_t(blob[4 * i + 3]) << 24;
        std::memcpy(&v[i], &bits, 4);
    }
    return v;
}

DBBlob LibraryDB::encodeEmbedding(const std::vector<float>& v) {
    DBBlob out(v.size() * 4);
    for (size_t i = 0; i < v.size(); ++i) {
        uint32_t bits;
        std::memcpy(&bits, &v[i], 4);
        for (int b = 0; b < 4; ++b) out[4 * i + size_t(b)] = uint8_t(bits >> (8 * b));
    }
    return out;
}

std::vector<Person> LibraryDB::loadPersons() {
    try {
        return db_->query(
            "SELECT p.id, p.name, p.hidden, p.cover_face, COUNT(DISTINCT f.asset_id)\n"
            "FROM persons p JOIN faces f ON f.person_id = p.id\n"
            "JOIN assets a ON a.id = f.asset_id AND a.faces_done = 1\n"
            "GROUP BY p.id",
            {}, [](const Row& r) {
                return Person{r.int64(0), r.text(1), r.int64(2) != 0, r.optInt(3), int(r.int64(4))};
            });
    } catch (const DBError&) {
        return {};
    }
}

std::vector<FaceRecord> LibraryDB::allFaces() {
    try {
        return db_->query("SELECT f.id, f.asset_id, f.person_id, f.locked, f.quality, f.embedding FROM faces f "
                          "JOIN assets a ON a.id = f.asset_id AND a.faces_done = 1",
                          {},
                          [](const Row& r) {
                              return FaceRecord{r.int64(0), r.int64(1), r.optInt(2), r.int64(3) != 0, r.dbl(4),
                                                decodeEmbedding(r.blob(5))};
                          });
    } catch (const DBError&) {
        return {};
    }
}

std::optional<int64_t> LibraryDB::bestFace(int64_t person) {
    try {
        // A face of a photo that changed since shows someone only if nobody else can.
        auto rows = db_->query("SELECT f.id FROM faces f JOIN assets a ON a.id = f.asset_id WHERE f.person_id=? "
                               "ORDER BY a.faces_done = 1 DESC, f.quality * f.w DESC LIMIT 1",
                               {person},
                               [](const Row& r) { return r.int64(0); });
        if (rows.empty()) return std::nullopt;
        return rows.front();
    } catch (const DBError&) {
        return std::nullopt;
    }
}

void LibraryDB::setPersonCover(int64_t person, std::optional<int64_t> face) {
    try {
        db_->run("UPDATE persons SET cover_face=? WHERE id=?", {face, person});
    } catch (const DBError&) {
    }
}

std::vector<std::pair<int64_t, int64_t>> LibraryDB::personAssetPairs() {
    try {
        return db_->query("SELECT DISTINCT f.person_id, f.asset_id FROM faces f "
                          "JOIN assets a ON a.id = f.asset_id AND a.faces_done = 1 WHERE f.person_id IS NOT NULL",
                          {},
                          [](const Row& r) { return std::pair<int64_t, int64_t>(r.int64(0), r.int64(1)); });
    } catch (const DBError&) {
        return {};
    }
}

std::vector<FaceRef> LibraryDB::faces(int64_t asset, bool countedOnly) {
    try {
        return db_->query(countedOnly ? "SELECT f.id, f.person_id FROM faces f JOIN assets a ON a.id = f.asset_id "
                                        "AND a.faces_done = 1 WHERE f.asset_id=? ORDER BY f.x"
                                      : "SELECT id, person_id FROM faces WHERE asset_id=? ORDER BY x",
                          {asset},
                          [](const Row& r) { return FaceRef{r.int64(0), r.optInt(1)}; });
    } catch (const DBError&) {
        return {};
    }
}

void LibraryDB::renamePerson(int64_t id, const std::string& name) {
    try {
        db_->run("UPDATE persons SET name=? WHERE id=?", {name, id});
    } catch (const DBError&) {
    }
}

void LibraryDB::mergePerson(int64_t source, int64_t target) {
    try {
        db_->transaction([&] {
            // faces.person_id has no foreign key: merging into a person that
            // is gone (a stale drag) would leave the faces pointing nowhere
            // and lose the source person with its name.
            if (source == target || !db_->scalarInt("SELECT COUNT(*) FROM persons WHERE id=?", {target}).value_or(0))
                return;
            db_->run("UPDATE faces SET person_id=? WHERE person_id=?", {target, source});
            db_->run("UPDATE absent_faces SET person_id=? WHERE person_id=?", {target, source});
            db_->run("DELETE FROM persons WHERE id=?", {source});
        });
    } catch (const DBError&) {
    }
}

void LibraryDB::resetPeople() {
    try {
        db_->transaction([&] {
            db_->run("DELETE FROM faces");
            db_->run("DELETE FROM persons");
            db_->run("UPDATE assets SET faces_done=0");
            db_->run("DELETE FROM absent_faces");
            db_->run("UPDATE absent_assets SET faces_done=0");
        });
    } catch (const DBError&) {
    }
}

// ---- trips ---------------------------------------------------------------

namespace {
DBArgs tripValues(const Trip& t) {
    return {t.autoTitle, t.customTitle, t.subtitle, t.start, t.end, t.lat, t.lon, t.hidden ? 1 : 0, t.coverAssetID,
            t.named ? 1 : 0};
}
}  // namespace

std::vector<Trip> LibraryDB::loadTripsChecked() {
    return db_->query(
        "SELECT id, title, custom_title, subtitle, start, end, lat, lon, hidden, cover_asset, named FROM trips", {},
        [](const Row& r) {
            return Trip{r.int64(0), r.text(1), r.optText(2), r.text(3),          r.dbl(4),        r.dbl(5),
                        r.dbl(6),   r.dbl(7),  r.int64(8) != 0, r.optInt(9), r.int64(10) != 0};
        });
}

std::vector<Trip> LibraryDB::loadTrips() {
    try {
        return loadTripsChecked();
    } catch (const DBError&) {
        return {};
    }
}

int64_t LibraryDB::insertTrip(const Trip& t) {
    try {
        return db_->insert(
            "INSERT INTO trips(title, custom_title, subtitle, start, end, lat, lon, hidden, cover_asset, named)\n"
            "VALUES(?,?,?,?,?,?,?,?,?,?)",
            tripValues(t));
    } catch (const DBError&) {
        return 0;
    }
}

void LibraryDB::updateTrip(const Trip& t) {
    try {
        DBArgs args = tripValues(t);
        args.emplace_back(t.id);
        db_->run(
            "UPDATE trips SET title=?, custom_title=?, subtitle=?, start=?, end=?, lat=?, lon=?, hidden=?,\n"
            "    cover_asset=?, named=? WHERE id=?",
            args);
    } catch (const DBError&) {
    }
}

// ---- albums --------------------------------------------------------------

std::vector<Album> LibraryDB::loadAlbums() {
    std::vector<Album> albums;
    try {
        albums = db_->query("SELECT id, name, created FROM albums ORDER BY created", {},
                            [](const Row& r) { return Album{r.int64(0), r.text(1), r.dbl(2), {}}; });
    } catch (const DBError&) {
        return {};
    }
    std::unordered_map<int64_t, size_t> index;
    for (size_t i = 0; i < albums.size(); ++i) index[albums[i].id] = i;
    try {
        db_->forEachRow("SELECT album_id, asset_id FROM album_assets ORDER BY added", {}, [&](const Row& r) {
            if (auto it = index.find(r.int64(0)); it != index.end()) albums[it->second].assetIDs.push_back(r.int64(1));
        });
    } catch (const DBError&) {
        for (auto& a : albums) a.assetIDs.clear();
    }
    return albums;
}

int64_t LibraryDB::createAlbum(const std::string& name) {
    try {
        return db_->insert("INSERT INTO albums(name, created) VALUES(?,?)", {name, nowSeconds()});
    } catch (const DBError&) {
        return 0;
    }
}

void LibraryDB::renameAlbum(int64_t id, const std::string& name) {
    try {
        db_->run("UPDATE albums SET name=? WHERE id=?", {name, id});
    } catch (const DBError&) {
    }
}

void LibraryDB::addToAlbum(int64_t album, const std::vector<int64_t>& assets) {
    double now = nowSeconds();
    try {
        db_->transaction([&] {
            // Two adds within the same fraction of a second must still keep
            // their order: start after the album's latest member.
            db_->forEachRow("SELECT MAX(added) FROM album_assets WHERE album_id=?", {album}, [&](const Row& r) {
                if (!r.isNull(0)) now = std::max(now, r.dbl(0) + 0.0001);
            });
            // Only ids that still exist: a foreign-key failure is not ignored by
            // OR IGNORE and would roll the whole batch back.
            for (size_t i = 0; i < assets.size(); ++i) {
                db_->run(
                    "INSERT OR IGNORE INTO album_assets(album_id, asset_id, added) "
                    "SELECT ?, id, ? FROM assets WHERE id=?",
                    {album, now + double(i) * 0.0001, assets[i]});
            }
        });
    } catch (const DBError&) {
    }
}

void LibraryDB::removeFromAlbum(int64_t album, const std::vector<int64_t>& assets) {
    try {
        db_->transaction([&] {
            for (int64_t a : assets) db_->run("DELETE FROM album_assets WHERE album_id=? AND asset_id=?", {album, a});
        });
    } catch (const DBError&) {
    }
}

}  // namespace vintrelle
