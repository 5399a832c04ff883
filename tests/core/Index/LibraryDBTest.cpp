#include <gtest/gtest.h>

#include "Core/Index/LibraryDB.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

namespace {

struct LibraryDBTest : ::testing::Test {
    fixtures::TempDir dir;
    std::unique_ptr<LibraryDB> db = std::make_unique<LibraryDB>(dir / "library.sqlite");

    int64_t addAsset(const std::string& path, bool processed = true, int kind = 0) {
        int64_t id = db->db().insert("INSERT INTO assets(path, kind, size, mtime, added) VALUES(?,?,?,?,?)",
                                     {path, kind, 100, 1.5, 2.5});
        if (processed) db->db().run("UPDATE assets SET meta_done=1 WHERE id=?", {id});
        return id;
    }
    // A face found in the photo, which is then done.
    int64_t addFace(int64_t asset, std::optional<int64_t> person, double quality = 0.5, double x = 0.1) {
        const int64_t id = db->db().insert(
            "INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id) VALUES(?,?,?,?,?,?,?,?)",
            {asset, x, 0.1, 0.2, 0.2, quality, LibraryDB::encodeEmbedding(std::vector<float>(128, 0.5f)), person});
        db->db().run("UPDATE assets SET faces_done=1 WHERE id=?", {asset});
        return id;
    }
    int64_t addPerson(const std::string& name = "") {
        return db->db().insert("INSERT INTO persons(name, created) VALUES(?, 0)", {name});
    }
    int64_t count(const std::string& table) { return db->db().scalarInt("SELECT COUNT(*) FROM " + table).value_or(-1); }
};

}  // namespace

TEST_F(LibraryDBTest, KeyedRowsAreReplacedAndSurviveReopening) {
    addAsset("a.jpg");
    EXPECT_FALSE(db->meta("faceVersion"));
    db->setMeta("faceVersion", "1");
    db->setMeta("faceVersion", "2");
    EXPECT_EQ(count("meta"), 1);
    // A place without any part is remembered as such, not as a miss.
    db->cachePlace("38.72,-9.14", PlaceName{});
    ASSERT_TRUE(db->cachedPlace("38.72,-9.14").has_value());
    EXPECT_FALSE(db->cachedPlace("38.72,-9.14")->display().has_value());
    db->cachePlace("38.72,-9.14", PlaceName{"Lisbon", std::nullopt, "Portugal"});
    EXPECT_FALSE(db->cachedPlace("0.00,0.00").has_value());

    // Opening again runs the schema again without touching a row.
    db.reset();
    db = std::make_unique<LibraryDB>(dir / "library.sqlite");
    EXPECT_EQ(count("assets"), 1);
    EXPECT_EQ(db->meta("faceVersion"), "2");
    EXPECT_EQ(db->cachedPlace("38.72,-9.14"), (PlaceName{"Lisbon", std::nullopt, "Portugal"}));
}

TEST_F(LibraryDBTest, SchemaFailureOnNonDatabaseFile) {
    fixtures::writeFile(dir / "junk.sqlite", std::string(4096, 'x'));
    try {
        LibraryDB bad(dir / "junk.sqlite");
        FAIL() << "opened a junk file";
    } catch (const DBError& e) {
        EXPECT_NE(e.message.find(" \u2014 CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT);\nCREATE TABLE"),
                  std::string::npos)
            << e.message;
    }
}

TEST_F(LibraryDBTest, CascadesFromAssetsAndAlbums) {
    int64_t a = addAsset("a.jpg");
    int64_t p = addPerson();
    addFace(a, p);
    int64_t album = db->createAlbum("Trip");
    db->addToAlbum(album, {a});
    db->deleteAssets({a});
    EXPECT_EQ(count("faces"), 0);
    EXPECT_EQ(count("album_assets"), 0);
    EXPECT_EQ(count("persons"), 1);  // no cascade on persons
    int64_t b = addAsset("b.jpg");
    db->addToAlbum(album, {b});
    db->db().run("DELETE FROM albums WHERE id=?", {album});
    EXPECT_EQ(count("album_assets"), 0);
}

TEST_F(LibraryDBTest, FolderPrefixBoundaries) {
    for (auto p : {"2021/a.jpg", "2021/x/b.jpg", "2021.jpg", "2021-old/c.jpg", "2021 x/d.jpg", "2021", "20210/e.jpg",
                   "other/f.jpg"})
        addAsset(p, false);
    auto idx = db->fileIndex(std::string("2021"));
    EXPECT_EQ(idx.size(), 2u);
    EXPECT_TRUE(idx.count("2021/a.jpg"));
    EXPECT_TRUE(idx.count("2021/x/b.jpg"));
    EXPECT_FALSE(idx.at("2021/a.jpg").done);
    EXPECT_EQ(db->fileIndex(std::string("")).size(), 8u);
    EXPECT_EQ(db->fileIndex(std::nullopt).size(), 8u);
}

TEST_F(LibraryDBTest, AssetsByIdKeepsOrderSkipsMissingAndDecodesOddKind) {
    int64_t a = addAsset("a.jpg");
    int64_t b = addAsset("b.mov", false, 1);
    db->db().run("UPDATE assets SET kind=7 WHERE id=?", {a});
    auto list = db->assets({b, a, 99});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].id, b);
    EXPECT_EQ(list[0].kind, MediaKind::video);
    EXPECT_EQ(list[1].kind, MediaKind::photo);
    EXPECT_EQ(db->loadAssets().size(), 1u);  // only processed rows
    // One lookup per id given, a repeated id included.
    list = db->assets({a, a, b});
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].id, a);
    EXPECT_EQ(list[2].id, b);
}

TEST_F(LibraryDBTest, SaveProcessedWritesEveryMetadataFieldAndNothingElse) {
    const int64_t id = addAsset("a.jpg", false);
    Asset x = db->assets({id}).at(0);
    x.taken = 1e9;
    x.width = 4000;
    x.height = 3000;
    x.duration = 1.5;
    x.lat = 38.72;
    x.lon = -9.14;
    x.camera = "Canon EOS R5";
    x.iso = 200;
    x.fnumber = 2.8;
    x.exposure = 0.004;
    x.focal = 35;
    x.thumbState = 1;
    Asset written = x;
    written.path = "elsewhere.jpg";  // path, size, times and flags belong to the scan and the user
    written.size = 7;
    written.added = 9;
    written.favorite = true;
    db->saveProcessed(written);
    EXPECT_EQ(db->loadAssets(), std::vector<Asset>{x});
}

TEST_F(LibraryDBTest, ClosedDatabase) {
    addAsset("a.jpg");
    db->db().close();
    EXPECT_TRUE(db->loadAssets().empty());
    EXPECT_TRUE(db->loadPersons().empty());
    EXPECT_THROW(db->saveProcessed(Asset{}), DBError);  // the one writer that reports
    EXPECT_THROW(db->loadAssetsChecked(), DBError);
    db->setFavorite({1}, true);  // writers stay silent
}

TEST_F(LibraryDBTest, EmbeddingBlobDecoding) {
    std::vector<float> v(128);
    for (int i = 0; i < 128; ++i) v[size_t(i)] = float(i) * 0.25f - 3.0f;
    DBBlob blob = LibraryDB::encodeEmbedding(v);
    ASSERT_EQ(blob.size(), 512u);
    // Little-endian on disk whatever the host: 1.0f is 00 00 80 3f.
    DBBlob one = LibraryDB::encodeEmbedding({1.0f});
    EXPECT_EQ(one, (DBBlob{0x00, 0x00, 0x80, 0x3f}));
    EXPECT_EQ(LibraryDB::decodeEmbedding(blob), v);
    blob.push_back(0xff);  // 513 bytes: the partial float is ignored
    EXPECT_EQ(LibraryDB::decodeEmbedding(blob), v);
    int64_t a = addAsset("a.jpg");
    db->db().run("INSERT INTO faces(asset_id, embedding) VALUES(?, NULL)", {a});
    db->db().run("UPDATE assets SET faces_done=1 WHERE id=?", {a});
    auto faces = db->allFaces();
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_TRUE(faces[0].embedding.empty());
}

TEST_F(LibraryDBTest, PersonsCountAssetsNotFacesAndHideEmptyOnes) {
    int64_t a = addAsset("a.jpg"), b = addAsset("b.jpg");
    int64_t p = addPerson("Anna"), q = addPerson();
    addFace(a, p, 0.5, 0.1);
    addFace(a, p, 0.9, 0.5);
    addFace(b, p);
    auto persons = db->loadPersons();
    ASSERT_EQ(persons.size(), 1u);
    EXPECT_EQ(persons[0].faceCount, 2);
    EXPECT_EQ(persons[0].name, "Anna");
    EXPECT_FALSE(db->bestFace(q).has_value());
    auto faces = db->faces(a);
    ASSERT_EQ(faces.size(), 2u);
    db->mergePerson(p, q);
    persons = db->loadPersons();
    ASSERT_EQ(persons.size(), 1u);
    EXPECT_EQ(persons[0].id, q);
    EXPECT_EQ(count("persons"), 1);
    db->resetPeople();
    EXPECT_EQ(count("faces"), 0);
    EXPECT_EQ(db->db().scalarInt("SELECT COUNT(*) FROM assets WHERE faces_done=0"), 2);
}

TEST_F(LibraryDBTest, MergeIntoAGonePersonOrItselfKeepsTheSource) {
    int64_t a = addAsset("a.jpg");
    int64_t anna = addPerson("Anna");
    addFace(a, anna);
    db->mergePerson(anna, 4242);  // target deleted meanwhile
    db->mergePerson(anna, anna);
    auto persons = db->loadPersons();
    ASSERT_EQ(persons.size(), 1u);
    EXPECT_EQ(persons[0].id, anna);
    EXPECT_EQ(persons[0].name, "Anna");
}

TEST_F(LibraryDBTest, TripsRoundTrip) {
    Trip t;
    t.id = 999;
    t.autoTitle = "Lisbon";
    t.subtitle = "Portugal";
    t.start = 10;
    t.end = 20;
    t.coverAssetID = 4;
    int64_t id = db->insertTrip(t);
    EXPECT_NE(id, 999);
    auto trips = db->loadTrips();
    ASSERT_EQ(trips.size(), 1u);
    t.id = id;
    EXPECT_EQ(trips[0], t);
    t.customTitle = "Honeymoon";
    t.hidden = true;
    db->updateTrip(t);
    EXPECT_EQ(db->loadTrips()[0], t);
}

TEST_F(LibraryDBTest, AlbumsKeepOrderIgnoreDuplicatesAndSkipVanishedAssets) {
    int64_t a1 = addAsset("1.jpg"), a2 = addAsset("2.jpg"), a3 = addAsset("3.jpg");
    int64_t empty = db->createAlbum("Empty");
    int64_t album = db->createAlbum("Seven");
    db->addToAlbum(album, {a3, a1, a2});
    db->addToAlbum(album, {a1});
    // An id deleted meanwhile must not roll back the others.
    db->addToAlbum(album, {});
    int64_t gone = addAsset("gone.jpg");
    db->deleteAssets({gone});
    int64_t a4 = addAsset("4.jpg");
    db->addToAlbum(album, {gone, a4});
    auto albums = db->loadAlbums();
    ASSERT_EQ(albums.size(), 2u);
    EXPECT_EQ(albums[0].id, empty);
    EXPECT_TRUE(albums[0].assetIDs.empty());
    EXPECT_EQ(albums[1].assetIDs, (std::vector<int64_t>{a3, a1, a2, a4}));
    db->removeFromAlbum(album, {a1});
    EXPECT_EQ(db->loadAlbums()[1].assetIDs, (std::vector<int64_t>{a3, a2, a4}));
}

TEST_F(LibraryDBTest, PendingFaceAssetsNewestFirst) {
    int64_t a = addAsset("a.jpg"), b = addAsset("b.jpg");
    addAsset("c.mov", true, 1);
    db->db().run("UPDATE assets SET thumb=1");
    db->db().run("UPDATE assets SET taken=5 WHERE id=?", {a});
    db->db().run("UPDATE assets SET taken=9 WHERE id=?", {b});
    auto pending = db->pendingFaceAssets(10);
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].id, b);
}
