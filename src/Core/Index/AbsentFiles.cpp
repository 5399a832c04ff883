#include "Core/Index/AbsentFiles.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>

#include "Core/Index/LibraryDB.h"

namespace vintrelle {

namespace {

// The columns an asset row and its absent copy share, in this order.
constexpr const char* kAssetColumns =
    "kind, size, mtime, taken, width, height, duration, lat, lon, camera, lens, iso, fnumber, exposure, focal, "
    "favorite, live_video, hidden";

// A photo's place in an album: the album, and the time that orders it there.
struct AlbumPlace {
    int64_t album = 0;
    double added = 0;
};

// As 16 bytes each: the album id and the time, both little-endian.
DBBlob encodePlaces(const std::vector<AlbumPlace>& places) {
    DBBlob out;
    out.reserve(places.size() * 16);
    for (const AlbumPlace& p : places) {
        uint64_t words[2];
        std::memcpy(&words[0], &p.album, 8);
        std::memcpy(&words[1], &p.added, 8);
        for (uint64_t w : words)
            for (int b = 0; b < 8; ++b) out.push_back(uint8_t(w >> (8 * b)));
    }
    return out;
}

std::vector<AlbumPlace> decodePlaces(const DBBlob& blob) {
    std::vector<AlbumPlace> out;
    for (size_t at = 0; at + 16 <= blob.size(); at += 16) {
        uint64_t words[2] = {0, 0};
        for (int w = 0; w < 2; ++w)
            for (int b = 0; b < 8; ++b) words[w] |= uint64_t(blob[at + size_t(w) * 8 + size_t(b)]) << (8 * b);
        AlbumPlace p;
        std::memcpy(&p.album, &words[0], 8);
        std::memcpy(&p.added, &words[1], 8);
        out.push_back(p);
    }
    return out;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

int64_t headPrint(const uint8_t* bytes, size_t count) {
    // 64-bit FNV-1a, then the count: a stored value, so it may never change.
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < count; ++i) {
        h ^= bytes[i];
        h *= 0x100000001b3ull;
    }
    h ^= uint64_t(count);
    h *= 0x100000001b3ull;
    int64_t out;
    std::memcpy(&out, &h, sizeof out);
    return out;
}

void recordHead(Database& db, int64_t id, int64_t size, double mtime, int64_t head) {
    db.run("INSERT OR REPLACE INTO asset_heads(asset_id, size, mtime, head) "
           "SELECT id, size, mtime, ? FROM assets WHERE id=? AND size=? AND abs(mtime - ?) <= 1.0",
           {head, id, size, mtime});
}

void setAside(Database& db, int64_t id, double now) {
    db.transaction([&] {
        std::vector<AlbumPlace> places;
        db.forEachRow("SELECT album_id, added FROM album_assets WHERE asset_id=?", {id},
                      [&](const Row& r) { places.push_back({r.int64(0), r.dbl(1)}); });
        db.run("DELETE FROM absent_assets WHERE id=?", {id});
        db.run(std::string("INSERT INTO absent_assets(id, path, ") + kAssetColumns +
                   ", thumb, meta_done, faces_done, added, head, albums, left_at) SELECT id, path, " + kAssetColumns +
                   ", thumb, meta_done, faces_done, added, (SELECT h.head FROM asset_heads h WHERE h.asset_id = "
                   "assets.id AND h.size = assets.size AND h.mtime = assets.mtime), ?, ? FROM assets WHERE id=?",
               {places.empty() ? DBValue() : DBValue(encodePlaces(places)), now, id});
        db.run("INSERT OR REPLACE INTO absent_faces(id, asset_id, x, y, w, h, quality, embedding, person_id, locked, "
               "person_name) SELECT f.id, f.asset_id, f.x, f.y, f.w, f.h, f.quality, f.embedding, f.person_id, "
               "f.locked, p.name FROM faces f LEFT JOIN persons p ON p.id = f.person_id WHERE f.asset_id=?",
               {id});
        db.run("DELETE FROM assets WHERE id=?", {id});
    });
}

std::vector<AbsentFile> absentFiles(Database& db) {
    // A few thousand at a time: the window's queries get in between.
    std::vector<AbsentFile> out;
    db.forEachRowInPieces("SELECT id, path, size, mtime, head, left_at, favorite <> 0 OR albums IS NOT NULL OR "
                          "EXISTS(SELECT 1 FROM absent_faces f WHERE f.asset_id = absent_assets.id AND "
                          "(f.person_id IS NOT NULL OR f.locked <> 0)) FROM absent_assets WHERE id > ? ORDER BY id "
                          "LIMIT ?",
                          {}, INT64_MIN, 0, 4096, [&](const Row& r) {
                              out.push_back({r.int64(0), r.text(1), r.int64(2), r.dbl(3), r.optInt(4), r.dbl(5),
                                             r.int64(6) != 0});
                          });
    return out;
}

bool hasMarks(Database& db, int64_t id) {
    return db.scalarInt("SELECT favorite <> 0 OR EXISTS(SELECT 1 FROM album_assets WHERE asset_id = assets.id) OR "
                        "EXISTS(SELECT 1 FROM faces f WHERE f.asset_id = assets.id AND (f.person_id IS NOT NULL "
                        "OR f.locked <> 0)) FROM assets WHERE id=?",
                        {id})
               .value_or(0) != 0;
}

AbsentPictures absentPictures(Database& db, const LibraryPaths& paths, int64_t id) {
    const std::vector<int64_t> faces =
        db.query("SELECT id FROM absent_faces WHERE asset_id=?", {id}, [](const Row& r) { return r.int64(0); });
    AbsentPictures out;
    // A photo that had none (it could not be read) has nothing to lose.
    const bool hadThumbnail =
        db.scalarInt("SELECT thumb FROM absent_assets WHERE id=?", {id}).value_or(0) == 1;
    out.thumbnail = !hadThumbnail || exists(paths.thumbURL(id));
    out.faces = true;
    for (int64_t face : faces) out.faces = out.faces && exists(paths.faceURL(face));
    return out;
}

BroughtBack bringBack(Database& db, int64_t id, const std::string& path, const AbsentPictures& pictures) {
    BroughtBack out;
    db.transaction([&] {
        if (!db.scalarInt("SELECT EXISTS(SELECT 1 FROM absent_assets WHERE id=?)", {id}).value_or(0)) return;
        // Ids are never handed out twice, but an index made again from a
        // damaged one may have lost count of them: the pictures named by an
        // id another row took are that row's.
        const bool ownID = db.scalarInt("SELECT NOT EXISTS(SELECT 1 FROM assets WHERE id=?)", {id}).value_or(0) != 0;
        const bool ownFaceIDs = db.scalarInt("SELECT NOT EXISTS(SELECT 1 FROM absent_faces a JOIN faces f "
                                             "ON f.id = a.id WHERE a.asset_id=?)",
                                             {id})
                                    .value_or(0) != 0;
        const bool thumbnail = ownID && pictures.thumbnail;
        const bool faces = ownID && ownFaceIDs && pictures.faces;
        out.id = db.insert(std::string("INSERT INTO assets(id, path, ") + kAssetColumns +
                               ", thumb, meta_done, faces_done, added) "
                               "SELECT ?, ?, " +
                               kAssetColumns +
                               ", CASE WHEN ? THEN thumb ELSE 0 END, CASE WHEN ? THEN meta_done ELSE 0 END, "
                               "CASE WHEN ? THEN faces_done ELSE 0 END, added FROM absent_assets WHERE id=?",
                           {ownID ? DBValue(id) : DBValue(), path, thumbnail, thumbnail, faces, id});
        out.read = db.scalarInt("SELECT meta_done FROM assets WHERE id=?", {out.id}).value_or(0) == 0;
        // A person gone meanwhile (an index made again without it) comes
        // back by name; a face of nobody named keeps its lock, and no one.
        db.run("INSERT INTO persons(name, created) SELECT DISTINCT person_name, ? FROM absent_faces WHERE asset_id=? "
               "AND person_name <> '' AND person_id NOT IN (SELECT id FROM persons) "
               "AND person_name NOT IN (SELECT name FROM persons)",
               {nowSeconds(), id});
        db.run("INSERT INTO faces(id, asset_id, x, y, w, h, quality, embedding, person_id, locked) "
               "SELECT CASE WHEN ? THEN id END, ?, x, y, w, h, quality, embedding, "
               "CASE WHEN person_id IN (SELECT id FROM persons) THEN person_id ELSE "
               "(SELECT p.id FROM persons p WHERE p.name = person_name AND p.name <> '' ORDER BY p.id LIMIT 1) END, "
               "locked FROM absent_faces WHERE asset_id=? ORDER BY id",
               {ownFaceIDs, out.id, id});
        // Its places in the albums still there, where they were in each.
        std::vector<AlbumPlace> places;
        db.forEachRow("SELECT albums FROM absent_assets WHERE id=? AND albums IS NOT NULL", {id},
                      [&](const Row& r) { places = decodePlaces(r.blob(0)); });
        for (const AlbumPlace& place : places)
            db.run("INSERT OR IGNORE INTO album_assets(album_id, asset_id, added) SELECT id, ?, ? FROM albums "
                   "WHERE id=?",
                   {out.id, place.added, place.album});
        db.run("INSERT OR REPLACE INTO asset_heads(asset_id, size, mtime, head) "
               "SELECT ?, size, mtime, head FROM absent_assets WHERE id=? AND head IS NOT NULL",
               {out.id, id});
        db.run("DELETE FROM absent_assets WHERE id=?", {id});
    });
    return out;
}

Forgotten forgetAbsent(Database& db, double before, size_t most) {
    Forgotten out;
    db.transaction([&] {
        const std::vector<int64_t> ids = db.query("SELECT id FROM absent_assets WHERE left_at < ? LIMIT ?",
                                                  {before, int64_t(most)}, [](const Row& r) { return r.int64(0); });
        out.more = ids.size() == most;
        for (int64_t id : ids) {
            if (!db.scalarInt("SELECT EXISTS(SELECT 1 FROM assets WHERE id=?)", {id}).value_or(1))
                out.assets.push_back(id);
            db.forEachRow("SELECT f.id FROM absent_faces f WHERE f.asset_id=? AND NOT EXISTS(SELECT 1 FROM faces g "
                          "WHERE g.id = f.id)",
                          {id}, [&](const Row& r) { out.faces.push_back(r.int64(0)); });
            db.run("DELETE FROM absent_faces WHERE asset_id=?", {id});
            db.run("DELETE FROM absent_assets WHERE id=?", {id});
        }
        if (out.more) return;
        // Faces of photos an index made again from a damaged one lost.
        db.run("DELETE FROM absent_faces WHERE NOT EXISTS(SELECT 1 FROM absent_assets a WHERE a.id = "
               "absent_faces.asset_id)");
        db.run(LibraryDB::deleteFacelessPersons);
    });
    return out;
}

}  // namespace vintrelle
