// An index deleted, moved, replaced, emptied or written over under its open
// connection is told apart, and one deleted is written back whole from the
// connection, which goes on on it. Real SQLite files in a temporary folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "Core/Index/IndexPutBack.h"
#include "Core/Index/LibraryDB.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

// A portable library's data folder with an index holding one favourite.
struct OpenIndex {
    fixtures::TempDir dir;
    LibraryPaths paths{dir / "Lib", dir / "Lib/.vintrelle", true};
    std::unique_ptr<LibraryDB> db;
    OpenIndex() {
        fs::create_directories(paths.dataDir + "/thumbs/00");
        db = std::make_unique<LibraryDB>(paths.databasePath());
        favourite("a.jpg");
    }
    Database& d() { return db->db(); }
    void favourite(const std::string& path) {
        d().run("INSERT INTO assets(path, kind, size, mtime, meta_done, thumb, favorite) VALUES(?,0,1,1,1,1,1)", {path});
    }
    // Another library's index, as a file of its own, with a history of its own.
    std::string otherIndex() {
        const std::string other = dir / "other.sqlite";
        LibraryDB db(other);
        for (const char* path : {"x.jpg", "y.jpg", "z.jpg"})
            db.db().run("INSERT INTO assets(path, kind, size, mtime) VALUES(?,0,1,1)", {std::string(path)});
        db.db().run("DELETE FROM assets WHERE path<>'z.jpg'");
        return other;
    }
};

// What a later opening of the file at the index's path finds.
int64_t count(const std::string& index, const std::string& where) {
    return LibraryDB(index).db().scalarInt("SELECT COUNT(*) FROM assets WHERE " + where).value_or(-1);
}

}  // namespace

TEST(IndexPutBack, WhatStandsAtTheIndexPathIsToldApart) {
    using S = Database::Standing;
    const std::pair<S, std::function<void(OpenIndex&)>> cases[] = {
        {S::kept, [](OpenIndex& i) { i.favourite("b.jpg"); }},
        {S::deleted, [](OpenIndex& i) { fs::remove_all(i.paths.dataDir); }},
        {S::moved, [](OpenIndex& i) { fs::rename(i.paths.databasePath(), i.dir / "aside.sqlite"); }},
        {S::replaced, [](OpenIndex& i) { fs::rename(i.otherIndex(), i.paths.databasePath()); }},
        {S::emptied, [](OpenIndex& i) { fs::resize_file(i.paths.databasePath(), 0); }},
        {S::overwritten,
         [](OpenIndex& i) { fs::copy_file(i.otherIndex(), i.paths.databasePath(), fs::copy_options::overwrite_existing); }},
    };
    for (const auto& [expected, change] : cases) {
        OpenIndex index;
        change(index);
        EXPECT_EQ(index.d().standing(), expected) << int(expected);
        // Once written over, the file is not the one opened, whatever it holds later.
        EXPECT_EQ(index.d().isStillAtItsPath(), expected == S::kept) << int(expected);
    }
}

TEST(IndexPutBack, ADeletedIndexIsWrittenBackWholeAndTheConnectionGoesOnOnIt) {
    OpenIndex index;
    const std::string path = index.paths.databasePath();
    fs::remove(path);
    // SQLite refuses to write a file no longer at its path: a mark made now
    // would be lost.
    EXPECT_THROW(index.favourite("b.jpg"), DBError);
    putIndexBack(index.d(), index.paths);
    index.favourite("b.jpg");
    EXPECT_EQ(index.d().standing(), Database::Standing::kept);
    EXPECT_EQ(count(path, "favorite=1 AND meta_done=1"), 2) << "the thumbnails stayed: nothing is read again";

    // The whole data folder gone, thumbnails with it: made again, and every
    // photo read anew, its mark kept.
    fs::remove_all(index.paths.dataDir);
    putIndexBack(index.d(), index.paths);
    EXPECT_EQ(count(path, "favorite=1 AND meta_done=0"), 2);

    // Another file in its place meanwhile is never written over, and the
    // connection stays as it was.
    fs::remove(path);
    const std::string other = index.otherIndex();
    fs::copy_file(other, path);
    EXPECT_THROW(putIndexBack(index.d(), index.paths), DBError);
    EXPECT_EQ(count(path, "path='z.jpg'"), 1);
    EXPECT_EQ(index.d().standing(), Database::Standing::replaced);
}
