// The write-back runs on a plan made from a snapshot of the index; the user
// may rename or merge people on the main thread before it begins. These
// tests make those edits in that window.

#include <gtest/gtest.h>

#include "Core/Faces/FaceClusterer.h"
#include "FaceClusterFixture.h"

using namespace vintrelle;
using facecluster::axis;
using facecluster::Library;
using facecluster::vec;

namespace {

// A person with two faces on axis 0, and an unnamed person whose face (and a
// new face that prefers it) the run merges into the first: the new face
// matches the small person at 0.91 and the big one at 0.5; the two then
// meet at 0.665, inside the merge gate, with a linkage of 0.8.
struct MergeScene {
    Library lib;
    int64_t big = lib.person();
    int64_t small = lib.person();
    int64_t smallFace, newFace;
    MergeScene() {
        lib.face(axis(0), 0.9, big);
        lib.face(axis(0), 0.9, big);
        smallFace = lib.face(vec({{0, 0.8f}, {1, 0.6f}}), 0.8, small);
        newFace = lib.face(vec({{0, 0.5f}, {1, 0.85f}}, 10), 0.7);
    }
};

}  // namespace

TEST(FaceClusterWriteBack, MergesWhenNobodyInterferes) {
    MergeScene s;
    EXPECT_TRUE(FaceClusterer::run(s.lib.db));
    EXPECT_FALSE(s.lib.nameOf(s.small));
    EXPECT_EQ(s.lib.personOf(s.smallFace), s.big);
    EXPECT_EQ(s.lib.personOf(s.newFace), s.big);
}

TEST(FaceClusterWriteBack, PersonNamedMeanwhileIsNotMergedAway) {
    MergeScene s;
    EXPECT_TRUE(FaceClusterer::run(s.lib.db, [&] { s.lib.db.renamePerson(s.small, "Cleo"); }));
    EXPECT_EQ(s.lib.nameOf(s.small), "Cleo");
    EXPECT_EQ(s.lib.personOf(s.smallFace), s.small);
    // The new face matched Cleo's face, not the other person's: it stays with her.
    EXPECT_EQ(s.lib.personOf(s.newFace), s.small);
    EXPECT_EQ(s.lib.danglingFaces(), 0);
}

TEST(FaceClusterWriteBack, PersonMergedAwayMeanwhileGetsNoFaces) {
    Library lib;
    const int64_t a = lib.person();
    const int64_t b = lib.person("Bo");
    lib.face(axis(0), 0.9, a);
    lib.face(axis(5), 0.9, b);
    // Matches a at 0.9, and a and b merged at 0.92.
    const int64_t f = lib.face(vec({{0, 0.9f}, {5, 0.4f}}), 0.8);

    EXPECT_FALSE(FaceClusterer::run(lib.db, [&] { lib.db.mergePerson(a, b); }));
    EXPECT_FALSE(lib.personOf(f));
    EXPECT_EQ(lib.danglingFaces(), 0);

    // The next run places it with the person that now holds the faces it matched.
    EXPECT_TRUE(FaceClusterer::run(lib.db));
    EXPECT_EQ(lib.personOf(f), b);
}

TEST(FaceClusterWriteBack, AbsorbedPersonMergedAwayMeanwhile) {
    // New faces form a group that absorbs the unnamed person p; the user
    // merges p into q first. The group must not be written into p.
    Library lib;
    const int64_t p = lib.person();
    const int64_t q = lib.person("Quinn");
    const int64_t pFace = lib.face(axis(0), 0.5, p);
    const int64_t qFace = lib.face(axis(50), 0.5, q);
    std::vector<int64_t> news;
    for (const auto& e : facecluster::lookAlikes()) news.push_back(lib.face(e, 0.9 - 0.05 * double(news.size())));

    EXPECT_TRUE(FaceClusterer::run(lib.db, [&] { lib.db.mergePerson(p, q); }));
    EXPECT_EQ(lib.danglingFaces(), 0);
    EXPECT_FALSE(lib.nameOf(p));
    EXPECT_EQ(lib.personOf(pFace), q);
    EXPECT_EQ(lib.personOf(qFace), q);
    const auto group = lib.personOf(news[0]);
    ASSERT_TRUE(group);
    EXPECT_NE(group, q);
    for (int64_t f : news) EXPECT_EQ(lib.personOf(f), group);
}

TEST(FaceClusterWriteBack, FailedUpdateRollsBackAndReportsNothingWritten) {
    Library lib;
    lib.face(axis(0), 0.9);
    const int64_t refused = lib.face(axis(5), 0.8);
    lib.db.db().exec("CREATE TRIGGER refuse BEFORE UPDATE OF person_id ON faces WHEN NEW.id = " +
                     std::to_string(refused) + " BEGIN SELECT RAISE(ABORT, 'refused'); END");

    EXPECT_FALSE(FaceClusterer::run(lib.db));
    EXPECT_EQ(lib.persons(), 0);
    EXPECT_EQ(lib.count("SELECT COUNT(*) FROM faces WHERE person_id IS NOT NULL"), 0);
}

TEST(FaceClusterWriteBack, BusyDatabaseSkipsTheWriteBack) {
    Library lib;
    lib.face(axis(0), 0.9);
    // A second connection holds the write lock past the busy timeout.
    Database other(lib.dir / "library.sqlite");
    other.exec("PRAGMA busy_timeout=0");
    other.exec("BEGIN IMMEDIATE");
    lib.db.db().exec("PRAGMA busy_timeout=0");
    EXPECT_FALSE(FaceClusterer::run(lib.db));
    other.exec("ROLLBACK");
    EXPECT_EQ(lib.persons(), 0);
}
