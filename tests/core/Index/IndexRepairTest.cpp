// Damaged index files, damaged for real: garbage written over pages at
// several places of a real index. The damage is found, and the index made
// again keeps the damaged file as it was and carries over the user's own
// data from every row that still reads.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "Core/Index/IndexRepair.h"
#include "Core/Index/LibraryDB.h"
#include "fixtures/IndexDamage.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

constexpr int kAssets = 2000;

// An index as a library of kAssets photos leaves it: every photo read and
// with one face; the first three favourites, in an album in the order 3, 1,
// 2; a named person on photos 1 and 2; a dismissed trip and a renamed one.
void buildIndex(const std::string& path) {
    LibraryDB lib(path);
    Database& db = lib.db();
    db.transaction([&] {
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
        db.run("INSERT INTO persons(id, name, created) VALUES(1, 'Ada', 0), (2, '', 0)");
        db.run("INSERT INTO albums(id, name, created) VALUES(1, 'Summer', 1), (2, 'Empty', 2)");
        db.run("INSERT INTO album_assets(album_id, asset_id, added) VALUES(1, 3, 10), (1, 1, 11), (1, 2, 12)");
        db.run("INSERT INTO trips(id, title, custom_title, start, end, hidden) VALUES(1, 'June 2021', NULL, 1, 2, 1),"
               " (2, 'July 2021', 'Lisbon', 3, 4, 0)");
        db.run("INSERT INTO meta(key, value) VALUES('faceVersion', '2')");
    });
}

template <class T>
std::vector<T> column(Database& db, const std::string& sql) {
    return db.query(sql, {}, [](const Row& r) {
        if constexpr (std::is_same_v<T, std::string>) return r.text(0);
        else return r.int64(0);
    });
}

}  // namespace

TEST(IndexRepair, DamagedPagesAreFoundAndTheUsersOwnDataCarriedOver) {
    struct Place {
        const char* name;
        // The pages to spoil, and how many photo rows that loses.
        std::function<std::pair<std::vector<int64_t>, int>(const std::string& file)> spoil;
        bool opens;           // the damage leaves the file openable (the check finds it then)
        bool photosKept;      // the first photos, their favourites and album places survive
        bool facesComplete;   // every face row survives
        bool complete;        // every row of every table reads
    } places[] = {
        {"the first page: no database at all",
         [](const std::string&) { return std::pair{std::vector<int64_t>{1}, kAssets}; }, false, false, false, false},
        {"a leaf of the photos in the middle",
         [](const std::string& f) {
             const auto leaves = fixtures::leafPages(f, "assets");
             const int64_t page = leaves[leaves.size() / 2];
             return std::pair{std::vector<int64_t>{page}, int(fixtures::cellCount(f, page))};
         },
         true, true, true, false},
        {"the index of paths",
         [](const std::string& f) { return std::pair{fixtures::leafPages(f, "sqlite_autoindex_assets_1"), 0}; }, true,
         true, true, true},
        {"a leaf of the faces",
         [](const std::string& f) {
             const auto leaves = fixtures::leafPages(f, "faces");
             return std::pair{std::vector<int64_t>{leaves[leaves.size() / 2]}, 0};
         },
         true, true, false, false},
        {"the root of the photos",
         [](const std::string& f) { return std::pair{std::vector<int64_t>{fixtures::rootPage(f, "assets")}, kAssets}; },
         true, false, false, false},
    };
    for (const Place& place : places) {
        SCOPED_TRACE(place.name);
        fixtures::TempDir dir;
        const LibraryPaths paths{dir / "Lib", dir / "data", false};
        fs::create_directories(paths.dataDir);
        const std::string index = paths.databasePath();
        buildIndex(index);
        ASSERT_EQ(checkIndexFile(index), IndexHealth::sound);
        const auto [pages, lost] = place.spoil(index);
        ASSERT_FALSE(pages.empty());
        for (int64_t page : pages) fixtures::spoilPage(index, page);
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
        ASSERT_EQ(checkIndexFile(index), IndexHealth::sound);

        LibraryDB fresh(index);
        Database& db = fresh.db();
        EXPECT_EQ(db.scalarInt("SELECT COUNT(*) FROM assets"), kAssets - lost);
        EXPECT_EQ(db.scalarInt("SELECT COUNT(*) FROM assets WHERE meta_done=1"), 0) << "every photo is read again";
        if (place.opens) {
            // Names, albums and trips live on pages of their own here.
            EXPECT_EQ(column<std::string>(db, "SELECT name FROM persons ORDER BY id"),
                      (std::vector<std::string>{"Ada", ""}));
            EXPECT_EQ(column<std::string>(db, "SELECT name FROM albums ORDER BY created"),
                      (std::vector<std::string>{"Summer", "Empty"}));
            EXPECT_EQ(column<int64_t>(db, "SELECT id FROM trips WHERE hidden=1"), std::vector<int64_t>{1});
            EXPECT_EQ(column<std::string>(db, "SELECT custom_title FROM trips WHERE id=2"),
                      std::vector<std::string>{"Lisbon"});
            EXPECT_EQ(fresh.meta("faceVersion"), "2");
        }
        const auto favourites = column<int64_t>(db, "SELECT id FROM assets WHERE favorite=1 ORDER BY id");
        const auto album = column<int64_t>(db, "SELECT asset_id FROM album_assets WHERE album_id=1 ORDER BY added");
        const auto adas = column<int64_t>(db, "SELECT asset_id FROM faces WHERE person_id=1 ORDER BY asset_id");
        if (place.photosKept) {
            EXPECT_EQ(favourites, (std::vector<int64_t>{1, 2, 3}));
            EXPECT_EQ(album, (std::vector<int64_t>{3, 1, 2}));
            EXPECT_EQ(adas, (std::vector<int64_t>{1, 2}));
        } else {
            EXPECT_TRUE(favourites.empty());
            EXPECT_TRUE(album.empty()) << "members of photos that did not survive";
            EXPECT_TRUE(adas.empty());
        }
        // A photo whose face did not survive is looked at again; the others
        // keep their faces and the names on them.
        const int64_t faces = db.scalarInt("SELECT COUNT(*) FROM faces").value_or(-1);
        EXPECT_EQ(db.scalarInt("SELECT COUNT(*) FROM assets WHERE faces_done=1"), faces);
        if (place.facesComplete) EXPECT_EQ(faces, kAssets - lost);
        else EXPECT_LT(faces, kAssets - lost + (place.photosKept ? 0 : 1));
        // A new photo never takes the number of a lost one.
        if (place.opens) {
            EXPECT_GT(db.insert("INSERT INTO assets(path, kind, size, mtime) VALUES('new.jpg', 0, 1, 1)", {}), kAssets);
        }
    }
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
