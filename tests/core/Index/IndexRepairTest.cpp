// Damaged index files, damaged for real: garbage written over pages at
// several places of a real index. The damage is found, and the index made
// again keeps the damaged file as it was and carries over the user's own
// data from every row that still reads.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "Core/Index/IndexRepair.h"
#include "Core/Index/LibraryDB.h"
#include "Core/Index/MarksCopy.h"
#include "Core/Index/MarksFile.h"
#include "Core/Index/MarksKeeper.h"
#include "fixtures/IndexDamage.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

constexpr int kAssets = 2000;

// An index as a library of kAssets photos leaves it: every photo read and
// with one face; the first three favourites, in an album in the order 3, 1,
// 2; a named person on photos 1 and 2; a dismissed trip and a renamed one.
// With `userFirst` the user's own rows are written first, so that they lie
// on the first pages of the file.
void buildIndex(const std::string& path, bool userFirst = false) {
    LibraryDB lib(path);
    Database& db = lib.db();
    auto user = [&] {
        db.run("INSERT INTO persons(id, name, created) VALUES(1, 'Ada', 0), (2, '', 0)");
        db.run("INSERT INTO albums(id, name, created) VALUES(1, 'Summer', 1), (2, 'Empty', 2)");
        db.run("INSERT INTO album_assets(album_id, asset_id, added) VALUES(1, 3, 10), (1, 1, 11), (1, 2, 12)");
        db.run("INSERT INTO trips(id, title, custom_title, start, end, hidden) VALUES(1, 'June 2021', NULL, 1, 2, 1),"
               " (2, 'July 2021', 'Lisbon', 3, 4, 0)");
        db.run("INSERT INTO meta(key, value) VALUES('faceVersion', '2')");
    };
    if (userFirst) db.exec("PRAGMA foreign_keys=OFF");
    db.transaction([&] {
        if (userFirst) user();
        for (int i = 1; i <= kAssets; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "2021/Summer holidays/IMG_%05d.JPG", i);
            db.run("INSERT INTO assets(id, path, kind, size, mtime, taken, favorite, thumb, meta_done, faces_done, added)"
                   " VALUES(?,?,0,?,1.6e9,?,?,1,1,1,1.7e9)",
                   {i, name, 1000 + i, 1.6e9 + i, i <= 3 ? 1 : 0});
            std::optional<int64_t> person;
            if (i <= 2) person = 1;
            else if (i == 3) person = 2;
            db.run("INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id) VALUES(?,0.1,0.1,0.2,0.2,0.9,?,?)",
                   {i, LibraryDB::encodeEmbedding(std::vector<float>(128, float(i))), person});
        }
        if (!userFirst) user();
    });
}

template <class T>
std::vector<T> column(Database& db, const std::string& sql) {
    return db.query(sql, {}, [](const Row& r) {
        if constexpr (std::is_same_v<T, std::string>) return r.text(0);
        else return r.int64(0);
    });
}

int64_t pagesOf(const std::string& file) { return Database(file).scalarInt("PRAGMA page_count").value_or(0); }

}  // namespace

TEST(IndexRepair, DamagedPagesAreFoundAndEveryRowThatStillLiesWholeIsCarriedOver) {
    struct Place {
        const char* name;
        bool userFirst;
        // Spoils the file; gives how many photo rows that loses.
        std::function<int(const std::string& file)> spoil;
        bool opens;          // the damage leaves the file openable (the check finds it then)
        bool userKept;       // favourites, album order, names and trips all come back
        bool facesComplete;  // every face row of a photo that came back comes back
        bool complete;       // every row of every table is found
    } places[] = {
        {"the header", false, [](const std::string& f) { fixtures::spoilBytes(f, 0, 100); return 0; }, false, true, true,
         true},
        {"the list of tables", false, [](const std::string& f) { fixtures::spoilPage(f, 1, 100); return 0; }, false,
         true, true, true},
        {"the whole first page", false, [](const std::string& f) { fixtures::spoilPage(f, 1); return 0; }, false, true,
         true, true},
        {"the root of the photos", false,
         [](const std::string& f) { fixtures::spoilPage(f, fixtures::rootPage(f, "assets")); return 0; }, true, true,
         true, true},
        {"the file cut in half", true,
         [](const std::string& f) {
             const int64_t kept = pagesOf(f) / 2;
             const int64_t rows = Database(f).scalarInt("SELECT SUM(ncell) FROM dbstat WHERE name='assets' AND "
                                                        "pagetype='leaf' AND pageno<=?", {kept}).value_or(0);
             fs::resize_file(f, uintmax_t(kept * fixtures::pageSize(f)));
             return kAssets - int(rows);
         },
         false, true, false, false},
        {"a leaf of the photos in the middle", false,
         [](const std::string& f) {
             const auto leaves = fixtures::leafPages(f, "assets");
             const int64_t page = leaves[leaves.size() / 2];
             const int lost = int(fixtures::cellCount(f, page));
             fixtures::spoilPage(f, page);
             return lost;
         },
         true, true, true, false},
        {"the index of paths", false,
         [](const std::string& f) {
             for (int64_t page : fixtures::leafPages(f, "sqlite_autoindex_assets_1")) fixtures::spoilPage(f, page);
             return 0;
         },
         true, true, true, true},
        {"a leaf of the faces", false,
         [](const std::string& f) {
             const auto leaves = fixtures::leafPages(f, "faces");
             fixtures::spoilPage(f, leaves[leaves.size() / 2]);
             return 0;
         },
         true, true, false, false},
    };
    for (const Place& place : places) {
        SCOPED_TRACE(place.name);
        fixtures::TempDir dir;
        const LibraryPaths paths{dir / "Lib", dir / "data", false};
        fs::create_directories(paths.dataDir);
        const std::string index = paths.databasePath();
        buildIndex(index, place.userFirst);
        ASSERT_EQ(checkIndexFile(index), IndexHealth::sound);
        const int lost = place.spoil(index);
        const std::string damaged = fixtures::readFile(index);

        // Found: the file either does not open, or the check finds it.
        if (place.opens) {
            EXPECT_NO_THROW(LibraryDB{index});
            EXPECT_EQ(checkIndexFile(index), IndexHealth::damaged);
        } else {
            try {
                LibraryDB{index};
                ADD_FAILURE() << "a damaged index opened";
            } catch (const DBError& e) {
                EXPECT_TRUE(e.isDamage()) << e.message;
            }
        }
        EXPECT_EQ(fixtures::readFile(index), damaged) << "looking changed the damaged file";

        const IndexRebuild done = rebuildIndex(paths);
        EXPECT_EQ(fixtures::readFile(done.keptPath), damaged) << "the damaged file was not kept as it was";
        EXPECT_EQ(fs::path(done.keptPath).parent_path(), fs::path(paths.dataDir));
        EXPECT_EQ(done.complete, place.complete);
        // Nothing the user made can be counted from the file alone: what
        // may be lost is said as such.
        EXPECT_EQ(done.uncounted, !place.complete);
        EXPECT_EQ(done.lostAlbums, 0);
        ASSERT_EQ(checkIndexFile(index), IndexHealth::sound);
        for (const auto& e : fs::directory_iterator(paths.dataDir))
            EXPECT_FALSE(e.path().filename().string().starts_with("library-rebuilding")) << "left behind: " << e.path();

        LibraryDB fresh(index);
        Database& db = fresh.db();
        EXPECT_EQ(db.scalarInt("SELECT COUNT(*) FROM assets"), kAssets - lost);
        EXPECT_EQ(done.carried.at("assets"), kAssets - lost);
        EXPECT_EQ(db.scalarInt("SELECT COUNT(*) FROM assets WHERE meta_done=1"), 0) << "every photo is read again";
        if (place.userKept) {
            EXPECT_EQ(column<std::string>(db, "SELECT name FROM persons ORDER BY id"),
                      (std::vector<std::string>{"Ada", ""}));
            EXPECT_EQ(column<std::string>(db, "SELECT name FROM albums ORDER BY created"),
                      (std::vector<std::string>{"Summer", "Empty"}));
            EXPECT_EQ(column<int64_t>(db, "SELECT id FROM trips WHERE hidden=1"), std::vector<int64_t>{1});
            EXPECT_EQ(column<std::string>(db, "SELECT custom_title FROM trips WHERE id=2"),
                      std::vector<std::string>{"Lisbon"});
            EXPECT_EQ(fresh.meta("faceVersion"), "2");
            EXPECT_EQ(column<int64_t>(db, "SELECT id FROM assets WHERE favorite=1 ORDER BY id"),
                      (std::vector<int64_t>{1, 2, 3}));
            EXPECT_EQ(column<int64_t>(db, "SELECT asset_id FROM album_assets WHERE album_id=1 ORDER BY added"),
                      (std::vector<int64_t>{3, 1, 2}));
            EXPECT_EQ(column<int64_t>(db, "SELECT asset_id FROM faces WHERE person_id=1 ORDER BY asset_id"),
                      (std::vector<int64_t>{1, 2}));
        }
        // A photo whose face did not survive is looked at again; the others
        // keep their faces and the names on them.
        const int64_t faces = db.scalarInt("SELECT COUNT(*) FROM faces").value_or(-1);
        EXPECT_EQ(db.scalarInt("SELECT COUNT(*) FROM assets WHERE faces_done=1"), faces);
        if (place.facesComplete) EXPECT_EQ(faces, kAssets - lost);
        else EXPECT_LT(faces, kAssets - lost);
        // A new photo never takes the number of a lost one.
        EXPECT_GT(db.insert("INSERT INTO assets(path, kind, size, mtime) VALUES('new.jpg', 0, 1, 1)", {}), kAssets);
    }
}

// An index whose table lacks columns of ours (made by hand, or by another
// program) takes no inserts: it is turned away as damaged, left as it was,
// and made again with its rows taken over column by column.
TEST(IndexRepair, AnIndexLackingColumnsIsDamageAndItsRowsComeOverByName) {
    fixtures::TempDir dir;
    const LibraryPaths paths{dir / "Lib", dir / "data", false};
    fs::create_directories(paths.dataDir);
    const std::string index = paths.databasePath();
    {
        Database db(index);
        db.exec("CREATE TABLE assets (path TEXT NOT NULL UNIQUE, id INTEGER PRIMARY KEY AUTOINCREMENT, "
                "kind INTEGER NOT NULL, size INTEGER NOT NULL, mtime REAL NOT NULL, taken REAL, hidden INTEGER);"
                "INSERT INTO assets(id, path, kind, size, mtime, taken, hidden) VALUES"
                " (7, 'a.jpg', 0, 10, 1.5, 2.5, 0), (9, 'b.mov', 1, 20, 3.5, NULL, 1);");
    }
    const std::string before = fixtures::readFile(index);
    try {
        LibraryDB{index};
        ADD_FAILURE() << "an index lacking columns opened";
    } catch (const DBError& e) {
        EXPECT_TRUE(e.isDamage()) << e.message;
        EXPECT_NE(e.message.find("table assets has no column named "), std::string::npos) << e.message;
    }
    EXPECT_EQ(fixtures::readFile(index), before) << "turning it away changed it";

    const IndexRebuild done = rebuildIndex(paths);
    EXPECT_TRUE(done.complete);
    LibraryDB fresh(index);
    EXPECT_EQ(column<std::string>(fresh.db(), "SELECT path || ' ' || id || ' ' || kind || ' ' || size || ' ' || "
                                              "hidden || ' ' || favorite FROM assets ORDER BY id"),
              (std::vector<std::string>{"a.jpg 7 0 10 0 0", "b.mov 9 1 20 1 0"}));
    // A NOT NULL column of ours that the file left empty keeps the default.
    EXPECT_EQ(fresh.db().scalarInt("SELECT COUNT(*) FROM assets WHERE taken=0"), 1);
}

// Damage that shows on a live connection, whichever statement meets it.
TEST(IndexRepair, DamageMetByAnyStatementIsReportedOnce) {
    fixtures::TempDir dir;
    const std::string index = dir / "library.sqlite";
    buildIndex(index);
    const auto leaves = fixtures::leafPages(index, "assets");
    Database db(index);
    int reports = 0;
    db.setDamageObserver([&] { ++reports; });
    EXPECT_EQ(db.scalarInt("SELECT COUNT(*) FROM assets"), kAssets);
    EXPECT_FALSE(db.isDamaged());

    fixtures::spoilPage(index, leaves[leaves.size() / 2]);
    fixtures::bumpChangeCounter(index);
    try {
        db.run("UPDATE assets SET favorite=1");
        ADD_FAILURE() << "a write through damaged pages succeeded";
    } catch (const DBError& e) {
        EXPECT_EQ(e.kind(), DBError::Kind::damaged) << e.message;
    }
    EXPECT_TRUE(db.isDamaged());
    EXPECT_TRUE(db.faults().damaged);
    EXPECT_THROW(db.run("UPDATE assets SET favorite=0"), DBError);
    EXPECT_EQ(reports, 1);
}

// Rows a stray writer left: a row of no values, or too few for the columns
// its table needs, is garbage, never read past its end. Its table is said to
// be incomplete, and the whole rows beside it still come over.
TEST(IndexRepair, RowsTooShortForTheirTableAreGarbageAndTheirNeighboursComeOver) {
    fixtures::TempDir dir;
    const LibraryPaths paths{dir / "Lib", dir / "data", false};
    fs::create_directories(paths.dataDir);
    const std::string index = paths.databasePath();
    buildIndex(index);
    using namespace std::string_literals;
    const std::string none = "\x01"s, oneNull = "\x02\x00"s;
    // (album 1, photo 3, added 10) and ('assets', 5000).
    fixtures::writeTableLeaf(index, fixtures::rootPage(index, "album_assets"),
                             {none, oneNull, "\x04\x01\x01\x01\x01\x03\x0a"s});
    fixtures::writeTableLeaf(index, fixtures::rootPage(index, "sqlite_sequence"),
                             {none, oneNull, "\x03\x19\x02"s + "assets" + "\x13\x88"s});

    const IndexRebuild done = rebuildIndex(paths);
    EXPECT_FALSE(done.complete);
    EXPECT_TRUE(done.uncounted) << "album members were lost unsaid";
    LibraryDB fresh(index);
    EXPECT_EQ(column<int64_t>(fresh.db(), "SELECT asset_id FROM album_assets"), std::vector<int64_t>{3});
    EXPECT_GT(fresh.db().insert("INSERT INTO assets(path, kind, size, mtime) VALUES('new.jpg', 0, 1, 1)", {}), 5000);
}

// Against what the window showed, favourites, albums and names are counted;
// what it never lists (hidden photos and people, faces moved or locked, trip
// titles and dismissals) is not, so a lost row of photos, people, faces or
// trips may have held some, and is said to.
TEST(IndexRepair, LossesTheWindowCannotCountAreSaidToBeMaybeMissing) {
    auto path = [](int i) {
        char name[64];
        std::snprintf(name, sizeof name, "2021/Summer holidays/IMG_%05d.JPG", i);
        return std::string(name);
    };
    const UserMade made{{path(1), path(2), path(3)},
                        {{1, "Summer", {path(3), path(1), path(2)}}, {2, "Empty", {}}},
                        {{1, "Ada"}}};
    struct Place {
        const char* table;
        bool middleLeaf;  // else its root
        bool uncounted;
        int lostAlbums, lostNames;
    } places[] = {
        {"assets", true, true, 0, 0},   {"faces", true, true, 0, 0},  {"persons", false, true, 0, 1},
        {"trips", false, true, 0, 0},   {"albums", false, false, 2, 0},
    };
    for (const Place& place : places) {
        SCOPED_TRACE(place.table);
        fixtures::TempDir dir;
        const LibraryPaths paths{dir / "Lib", dir / "data", false};
        fs::create_directories(paths.dataDir);
        buildIndex(paths.databasePath());
        const auto leaves = fixtures::leafPages(paths.databasePath(), place.table);
        fixtures::spoilPage(paths.databasePath(), place.middleLeaf ? leaves[leaves.size() / 2]
                                                                   : fixtures::rootPage(paths.databasePath(), place.table));
        const IndexRebuild done = rebuildIndex(paths, &made);
        EXPECT_EQ(done.uncounted, place.uncounted);
        EXPECT_EQ(done.lostFavorites, 0);
        EXPECT_EQ(done.lostAlbums, place.lostAlbums);
        EXPECT_EQ(done.lostNames, place.lostNames);
    }
}

namespace {

// A user's index, made once: each case spoils a copy of it.
const std::string& userIndex() {
    static fixtures::TempDir dir;
    static const std::string bytes = [] {
        fixtures::buildUserIndex(dir / "library.sqlite");
        return fixtures::readFile(dir / "library.sqlite");
    }();
    return bytes;
}

// A library holding a copy of the user's index.
struct UserLibrary {
    fixtures::TempDir dir;
    LibraryPaths paths{dir / "Lib", dir / "data", false};
    UserLibrary() {
        fs::create_directories(paths.dataDir);
        fixtures::writeFile(paths.databasePath(), userIndex());
    }
};

struct Rebuilt {
    fixtures::UserMarks before, after;
    IndexRebuild done;
};

// A copy of the user's index spoilt by `spoil`, and made again.
Rebuilt rebuiltAfter(const fixtures::TempDir& dir, const std::function<void(const std::string&)>& spoil) {
    const LibraryPaths paths{dir / "Lib", dir / "data", false};
    fs::create_directories(paths.dataDir);
    fixtures::writeFile(paths.databasePath(), userIndex());
    Rebuilt out;
    out.before = fixtures::userMarks(paths.databasePath());
    spoil(paths.databasePath());
    out.done = rebuildIndex(paths);
    out.after = fixtures::userMarks(paths.databasePath());
    return out;
}

}  // namespace

// One byte of the list of tables or of the header, or pages that traded
// places, or one field of a page: SQLite's own recovery gets every mark back
// from each, and so does the rebuild. Where it cannot vouch that nothing was
// lost, it says so.
TEST(IndexRepair, WhatTheUserMadeComesBackFromOneSpoiltByteOrPagesThatTradedPlaces) {
    auto header = [](int64_t offset, std::string bytes) {
        return [=](const std::string& f) { fixtures::writeBytes(f, offset, bytes); };
    };
    auto rename = [](std::string from, std::string to) {
        return [=](const std::string& f) {
            const int64_t at = fixtures::findBytes(f, from);
            ASSERT_GT(at, 0) << from;
            ASSERT_LT(at, fixtures::pageSize(f)) << "not in the list of tables";
            fixtures::writeBytes(f, at, to);
        };
    };
    auto trade = [](std::function<int64_t(const std::string&)> a, std::function<int64_t(const std::string&)> b) {
        return [=](const std::string& f) { fixtures::swapPages(f, a(f), b(f)); };
    };
    auto root = [](const char* table) { return [=](const std::string& f) { return fixtures::rootPage(f, table); }; };
    auto pageCount = [](double times) {
        return [=](const std::string& f) {
            const int64_t pages = int64_t(double(fs::file_size(f)) / fixtures::pageSize(f) * times);
            fixtures::writeBytes(f, 28, {char(pages >> 24), char(pages >> 16), char(pages >> 8), char(pages)});
        };
    };
    struct Damage {
        const char* name;
        std::function<void(const std::string&)> spoil;
        bool complete;  // the rebuild can vouch for every row
    } damages[] = {
        {"a column's name (favorite)", rename("favorite INTEGER", "favoritf INTEGER"), true},
        {"a column's name (a person's name)", rename("name TEXT NOT NULL DEFAULT ''", "namf TEXT NOT NULL DEFAULT ''"), true},
        {"the page size, 8192", header(16, std::string("\x20\x00", 2)), true},
        {"the page size, 2048", header(16, std::string("\x08\x00", 2)), true},
        {"one reserved byte", header(20, std::string("\x01", 1)), true},
        {"64 reserved bytes", header(20, std::string("\x40", 1)), true},
        {"the count of pages, halved", pageCount(0.5), true},
        {"the count of pages, doubled", pageCount(2), true},
        {"the roots of the albums and their members", trade(root("albums"), root("album_assets")), false},
        {"a leaf of the faces and the root of the row id counters",
         trade([](const std::string& f) { return fixtures::leafPages(f, "faces")[5]; }, root("sqlite_sequence")), false},
        {"one bit of the start of an album page's cells, upwards",
         [](const std::string& f) {
             const int64_t page = fixtures::rootPage(f, "albums");
             fixtures::flipBit(f, (page - 1) * fixtures::pageSize(f) + 6, 3);
         },
         true},
        {"one bit of the start of an album page's cells, downwards",
         [](const std::string& f) {
             const int64_t page = fixtures::rootPage(f, "album_assets");
             const int64_t at = (page - 1) * fixtures::pageSize(f) + 5;
             const int high = static_cast<unsigned char>(fixtures::readFile(f)[size_t(at)]);
             ASSERT_GT(high, 0);
             int bit = 7;
             while (!(high & (1 << bit))) --bit;
             fixtures::flipBit(f, at, bit);
         },
         true},
        {"one bit of the count of cells of a leaf of the photos",
         [](const std::string& f) {
             const auto leaves = fixtures::leafPages(f, "assets");
             fixtures::flipBit(f, (leaves[leaves.size() / 3] - 1) * fixtures::pageSize(f) + 3, 7);
         },
         false},
        {"one bit of one cell pointer of a leaf of the photos",
         [](const std::string& f) {
             const auto leaves = fixtures::leafPages(f, "assets");
             const auto cells = fixtures::cells(f, leaves[leaves.size() / 2]);
             ASSERT_GT(cells.size(), 20u);
             fixtures::flipBit(f, cells[10].first + 1, 2);
         },
         true},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        fixtures::TempDir dir;
        const Rebuilt r = rebuiltAfter(dir, damage.spoil);
        ASSERT_EQ(r.before.favorites.size(), 74u);
        EXPECT_EQ(r.after, r.before) << fixtures::marksDifference(r.before, r.after);
        EXPECT_EQ(r.done.complete, damage.complete);
        EXPECT_EQ(r.done.carried.at("assets"), 1522);
        EXPECT_EQ(r.done.lostAlbums, 0);
    }
}

// What cannot come over whole is said to be lost, and what of it can come
// over does: a face whose row id was spoilt into another's (its photo is
// looked at again), a row whose overflow page is lost (what its first part
// holds stays), and members of an album whose row is lost (they stay
// together, in their order, in an album of their own).
TEST(IndexRepair, WhatCannotComeOverWholeIsSaidToBeLostAndWhatCanOfItComesOver) {
    {
        SCOPED_TRACE("a face's row id spoilt into the one before it");
        fixtures::TempDir dir;
        std::string photo;
        const Rebuilt r = rebuiltAfter(dir, [&](const std::string& f) {
            const auto cells = fixtures::cells(f, fixtures::leafPages(f, "faces")[3]);
            size_t j = 1;
            {
                Database db(f);
                for (; j < cells.size(); ++j) {
                    const int64_t id = fixtures::rowidOf(f, cells[j].second);
                    const auto alone = db.query("SELECT a.path FROM faces f JOIN assets a ON a.id = f.asset_id "
                                                "WHERE f.id=? AND (SELECT COUNT(*) FROM faces g WHERE g.asset_id=a.id)=1",
                                                {id}, [](const Row& row) { return row.text(0); });
                    if (!alone.empty()) {
                        photo = alone[0];
                        break;
                    }
                }
            }
            ASSERT_LT(j, cells.size());
            fixtures::setRowid(f, cells[j].second, fixtures::rowidOf(f, cells[j - 1].second));
        });
        EXPECT_FALSE(r.done.complete);
        EXPECT_TRUE(r.done.uncounted) << "a face was lost unsaid";
        LibraryDB fresh(dir / "data/library.sqlite");
        EXPECT_EQ(fresh.db().scalarInt("SELECT faces_done FROM assets WHERE path=?", {photo}), 0)
            << "a photo whose face was lost is never looked at again";
        EXPECT_EQ(fresh.db().scalarInt("SELECT COUNT(*) FROM faces f JOIN assets a ON a.id = f.asset_id WHERE a.path=?",
                                       {photo}),
                  0);
    }
    {
        SCOPED_TRACE("the overflow page of a long row");
        fixtures::TempDir dir;
        const Rebuilt r = rebuiltAfter(dir, [](const std::string& f) {
            const int64_t still =
                Database(f).scalarInt("SELECT id FROM assets WHERE path LIKE '%/IMG_LONG.HEIC'").value_or(0);
            const int64_t overflow = fixtures::overflowPage(f, "assets", still);
            ASSERT_GT(overflow, 0);
            fixtures::spoilPage(f, overflow);
        });
        // Its path and favourite lie in its first part; the movie's path
        // does not, and the movie is a photo of its own again.
        EXPECT_EQ(r.after.favorites, r.before.favorites);
        EXPECT_FALSE(r.done.complete);
        EXPECT_TRUE(r.done.uncounted);
        LibraryDB fresh(dir / "data/library.sqlite");
        EXPECT_EQ(fresh.db().scalarInt("SELECT COUNT(*) FROM assets WHERE path LIKE '%/IMG_LONG.HEIC' AND "
                                       "favorite=1 AND live_video IS NULL"),
                  1);
    }
    {
        SCOPED_TRACE("the overflow page of a face taken out of a person");
        // Pages small enough that a face's print spills over.
        fixtures::TempDir dir;
        const LibraryPaths paths{dir / "Lib", dir / "data", false};
        fs::create_directories(paths.dataDir);
        int64_t face = 0;
        {
            LibraryDB lib(paths.databasePath());
            Database& db = lib.db();
            db.run("INSERT INTO assets(id, path, kind, size, mtime, meta_done, faces_done) VALUES(1, 'a.jpg', 0, 1, 1, 1, 1)");
            face = db.insert("INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, locked) "
                             "VALUES(1, 0.1, 0.1, 0.2, 0.2, 0.9, ?, 1)",
                             {LibraryDB::encodeEmbedding(std::vector<float>(128, 0.5f))});
            db.exec("PRAGMA page_size=512; VACUUM");
        }
        const int64_t overflow = fixtures::overflowPage(paths.databasePath(), "faces", face);
        ASSERT_GT(overflow, 0);
        fixtures::spoilPage(paths.databasePath(), overflow);
        const IndexRebuild done = rebuildIndex(paths);
        EXPECT_FALSE(done.complete);
        LibraryDB fresh(paths.databasePath());
        EXPECT_EQ(column<std::string>(fresh.db(), "SELECT id || ' ' || locked || ' ' || IFNULL(person_id, 'none') FROM faces"),
                  std::vector<std::string>{std::to_string(face) + " 1 none"})
            << "the lock lies in no byte of its own, past the print";
    }
    {
        SCOPED_TRACE("the albums' page");
        fixtures::TempDir dir;
        const Rebuilt r = rebuiltAfter(dir, [](const std::string& f) { fixtures::spoilPage(f, fixtures::rootPage(f, "albums")); });
        ASSERT_EQ(r.before.albums.size(), 2u);
        ASSERT_EQ(r.before.albums[0].first, "Family");
        // Made first, Summer's members come first.
        const decltype(r.before.albums) recovered{{"Recovered Album", r.before.albums[1].second},
                                                  {"Recovered Album 2", r.before.albums[0].second}};
        EXPECT_EQ(r.after.albums, recovered);
        EXPECT_EQ(r.done.lostAlbums, 2) << "the albums' names are lost";
        EXPECT_FALSE(r.done.complete);
        auto rest = r.after;
        rest.albums = r.before.albums;
        EXPECT_EQ(rest, r.before) << fixtures::marksDifference(r.before, rest);
    }
}

namespace {

// Each face known by its print (every print of the user's index is its
// own), with the photo it is on and the name of its person.
std::map<DBBlob, std::pair<std::string, std::string>> facesByPrint(const std::string& index) {
    std::map<DBBlob, std::pair<std::string, std::string>> out;
    Database db(index);
    db.forEachRow("SELECT f.embedding, a.path, COALESCE(p.name, '') FROM faces f JOIN assets a ON a.id = f.asset_id "
                  "LEFT JOIN persons p ON p.id = f.person_id",
                  {}, [&](const Row& r) { out[r.blob(0)] = {r.text(1), r.text(2)}; });
    return out;
}

}  // namespace

// The row id counters lost with the newest photos: the marks the copy puts
// back take rows of their own, never the ids that members and faces of the
// lost rows still name, so nothing lands on another photo.
TEST(IndexRepair, MarksPutBackNeverLandOnAnotherPhoto) {
    const UserLibrary library;
    const LibraryPaths& paths = library.paths;
    const std::string index = paths.databasePath();
    {
        auto db = std::make_shared<LibraryDB>(index);
        // The newest photos, the last leaf of the photos: favourites, in
        // both albums, with faces of named people and of others.
        Database& d = db->db();
        const std::vector<int64_t> albums = d.query("SELECT id FROM albums ORDER BY id", {}, [](const Row& r) { return r.int64(0); });
        const std::vector<int64_t> people = d.query("SELECT id FROM persons ORDER BY id", {}, [](const Row& r) { return r.int64(0); });
        std::vector<int64_t> added;
        for (int i = 0; i < 40; ++i) {
            const int64_t id = d.insert("INSERT INTO assets(path, kind, size, mtime, taken, thumb, meta_done, faces_done, "
                                        "added) VALUES(?, 0, ?, 1.7e9, 1.7e9, 1, 1, 1, 1.8e9)",
                                        {"2023/Newest/IMG_" + std::to_string(i) + ".JPG", 3'000'000 + i});
            added.push_back(id);
            d.run("INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id) VALUES(?,0.3,0.3,0.2,0.2,0.8,?,?)",
                  {id, LibraryDB::encodeEmbedding(std::vector<float>(128, 0.001f * float(i + 1))), people[size_t(i) % people.size()]});
        }
        // Someone only the newest photos show.
        const int64_t zoe = d.insert("INSERT INTO persons(name, created) VALUES('Zoe', 1.8e9)", {});
        for (size_t i = 30; i < added.size(); ++i)
            d.run("INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id) VALUES(?,0.6,0.3,0.2,0.2,0.8,?,?)",
                  {added[i], LibraryDB::encodeEmbedding(std::vector<float>(128, -0.001f * float(i + 1))), zoe});
        db->setFavorite({added.begin(), added.begin() + 10}, true);
        db->addToAlbum(albums[0], {added.rbegin(), added.rbegin() + 15});
        db->addToAlbum(albums[1], {added.begin() + 20, added.end()});
        MarksKeeper keeper(db, paths);
        keeper.open();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
    }
    const fixtures::UserMarks before = fixtures::userMarks(index);
    const auto facesBefore = facesByPrint(index);
    std::map<std::string, int64_t> idsBefore;
    Database(index).forEachRow("SELECT path, id FROM assets", {},
                               [&](const Row& r) { idsBefore[r.text(0)] = r.int64(1); });
    const int64_t highest = Database(index).scalarInt("SELECT MAX(id) FROM assets").value_or(0);
    const auto leaves = fixtures::leafPages(index, "assets");
    fixtures::spoilPage(index, leaves.back());
    fixtures::spoilPage(index, fixtures::rootPage(index, "sqlite_sequence"));

    const IndexRebuild done = rebuildIndex(paths);
    fixtures::UserMarks after = fixtures::userMarks(index);
    // The movies of live photos are paired again from their files.
    after.hidden = before.hidden;
    EXPECT_EQ(after, before) << fixtures::marksDifference(before, after);
    EXPECT_GT(done.fromCopy, 0) << "the lost leaf held no mark";
    int moved = 0;
    for (const auto& [print, where] : facesByPrint(index)) {
        const auto was = facesBefore.find(print);
        if (was == facesBefore.end() || was->second.first != where.first) {
            ++moved;
        } else if (!where.second.empty()) {
            EXPECT_EQ(where.second, was->second.second);
        }
    }
    EXPECT_EQ(moved, 0) << "faces on another photo";
    LibraryDB fresh(index);
    Database& db = fresh.db();
    EXPECT_EQ(db.scalarInt("SELECT COUNT(*) FROM (SELECT name FROM persons WHERE name<>'' GROUP BY name "
                           "HAVING COUNT(*) > 1)"),
              0)
        << "a named person made twice";
    // Rows made anew take ids above every id the damaged file named.
    int remade = 0;
    db.forEachRow("SELECT path, id FROM assets", {}, [&](const Row& r) {
        const auto was = idsBefore.find(r.text(0));
        if (was == idsBefore.end() || was->second == r.int64(1)) return;
        ++remade;
        EXPECT_GT(r.int64(1), highest) << r.text(0);
    });
    EXPECT_GT(remade, 0);
    EXPECT_GT(db.insert("INSERT INTO assets(path, kind, size, mtime) VALUES('new.jpg', 0, 1, 1)", {}), highest);
}

namespace {

// What the window shows of an index: its favourites, albums and names.
UserMade shownIn(const std::string& index) {
    Database db(index);
    UserMade made;
    db.forEachRow("SELECT path FROM assets WHERE favorite=1", {}, [&](const Row& r) { made.favorites.push_back(r.text(0)); });
    db.forEachRow("SELECT id, name, created FROM albums", {}, [&](const Row& r) {
        UserMade::MadeAlbum album{r.int64(0), r.text(1), {}, r.dbl(2)};
        Database& d = db;
        d.forEachRow("SELECT a.path FROM album_assets m JOIN assets a ON a.id = m.asset_id WHERE m.album_id=? "
                     "ORDER BY m.added",
                     {album.id}, [&](const Row& m) { album.paths.push_back(m.text(0)); });
        made.albums.push_back(std::move(album));
    });
    db.forEachRow("SELECT id, name FROM persons WHERE name<>''", {},
                  [&](const Row& r) { made.names.push_back({r.int64(0), r.text(1)}); });
    return made;
}

// The page a row of a table begins on.
int64_t pageOf(const std::string& file, const std::string& table, int64_t rowid) {
    return fixtures::rowPlaces(file, table).at(rowid).front().first / fixtures::pageSize(file) + 1;
}

}  // namespace

// An album whose row came back without some of its photos is incomplete,
// not lost; favourites are counted against the window's lists where it
// showed them, and only what it never lists is said to be maybe missing.
TEST(IndexRepair, AnAlbumMissingPhotosIsIncompleteNotLost) {
    for (const bool window : {true, false}) {
        SCOPED_TRACE(window ? "with the window's lists" : "without them");
        const UserLibrary library;
        const LibraryPaths& paths = library.paths;
        const std::string index = paths.databasePath();
        const UserMade made = shownIn(index);
        // The leaf of a photo in the middle of the first album.
        const int64_t leaf = pageOf(index, "assets", 150);
        int64_t members = 0, favourites = 0;
        std::set<int64_t> albums;
        {
            Database db(index);
            for (const auto& [id, places] : fixtures::rowPlaces(index, "assets")) {
                if (places.front().first / fixtures::pageSize(index) + 1 != leaf) continue;
                db.forEachRow("SELECT album_id FROM album_assets WHERE asset_id=?", {id}, [&](const Row& r) {
                    albums.insert(r.int64(0));
                    ++members;
                });
                favourites += db.scalarInt("SELECT favorite FROM assets WHERE id=?", {id}).value_or(0);
            }
        }
        ASSERT_GT(members, 1);
        fixtures::spoilPage(index, leaf);

        const IndexRebuild done = rebuildIndex(paths, window ? &made : nullptr);
        EXPECT_EQ(done.lostAlbums, 0);
        EXPECT_EQ(done.incompleteAlbums, int(albums.size()));
        EXPECT_EQ(done.missingMembers, members);
        EXPECT_EQ(done.lostFavorites, window ? favourites : 0);
        EXPECT_EQ(done.listsCounted, window);
        EXPECT_TRUE(done.uncounted);
    }
}

// An older index put back (from a backup) and made again: what the window
// showed of it and the newer copy no longer holds was taken away since,
// and is not counted lost; what the copy holds and the new index lacks is.
TEST(IndexRepair, AMarkTakenAwaySinceTheIndexIsNotCountedLost) {
    const UserLibrary library;
    const LibraryPaths& paths = library.paths;
    const std::string index = paths.databasePath();
    // A photo of an album whose leaf holds a favourite too.
    int64_t member = 0, favourite = 0, album = 0;
    {
        LibraryDB lib(index);
        Database& db = lib.db();
        setMarksChanged(db, 1.8e9);
        db.forEachRow("SELECT m.asset_id, m.album_id FROM album_assets m ORDER BY m.added", {}, [&](const Row& r) {
            if (favourite) return;
            const int64_t leaf = pageOf(index, "assets", r.int64(0));
            Database& d = db;
            d.forEachRow("SELECT id FROM assets WHERE favorite=1", {}, [&](const Row& f) {
                if (!favourite && pageOf(index, "assets", f.int64(0)) == leaf) favourite = f.int64(0);
            });
            if (favourite) member = r.int64(0), album = r.int64(1);
        });
    }
    ASSERT_GT(favourite, 0);
    const std::string older = fixtures::readFile(index);
    const UserMade shown = shownIn(index);

    // Since: the favourite and the member taken away, an album and a
    // person renamed, and the copy written.
    {
        LibraryDB lib(index);
        Database& db = lib.db();
        lib.setFavorite({favourite}, false);
        db.run("DELETE FROM album_assets WHERE album_id=? AND asset_id=?", {album, member});
        db.run("UPDATE albums SET name='Renamed since' WHERE id<>?", {album});
        db.run("UPDATE persons SET name='Renamed since' WHERE name='Ana'");
        setMarksChanged(db, 1.8e9 + 100);
        writeMarksCopy(marksCopyPath(paths), readMarks(db));
    }
    fixtures::writeFile(index, older);
    fixtures::spoilPage(index, pageOf(index, "assets", member));

    const IndexRebuild done = rebuildIndex(paths, &shown);
    EXPECT_EQ(done.lostFavorites, 0);
    EXPECT_EQ(done.lostAlbums, 0);
    EXPECT_EQ(done.incompleteAlbums, 0);
    EXPECT_EQ(done.lostNames, 0);

    // The copy as old as the index: the same is lost, and counted.
    fixtures::writeFile(index, older);
    {
        LibraryDB lib(index);
        writeMarksCopy(marksCopyPath(paths), readMarks(lib.db()));
        lib.db().run("DELETE FROM assets WHERE id=?", {favourite});
        writeMarksCopy(marksCopyPath(paths), readMarks(lib.db()));
    }
    fixtures::writeFile(index, older);
    fixtures::spoilPage(index, pageOf(index, "assets", member));
    EXPECT_EQ(rebuildIndex(paths, &shown).lostFavorites, 1);
}
