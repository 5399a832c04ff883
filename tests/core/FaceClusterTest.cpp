#include <gtest/gtest.h>

#include <cmath>

#include "Core/FaceClusterer.h"
#include "Core/FaceThresholds.h"
#include "FaceClusterFixture.h"

using namespace vintrelle;
using facecluster::axis;
using facecluster::Library;
using facecluster::vec;

namespace {

float below(float x) { return std::nextafter(x, 0.0f); }

}  // namespace

TEST(FaceCluster, NothingWithoutFullEmbeddings) {
    Library lib;
    const int64_t p = lib.person();
    lib.face(std::vector<float>(127, 0.1f), 0.9, p);
    lib.face({}, 0.9);
    lib.face(std::vector<float>(129, 0.1f), 0.9);
    EXPECT_FALSE(FaceClusterer::run(lib.db));
    EXPECT_EQ(lib.persons(), 1);
    EXPECT_FALSE(lib.coverOf(p));  // not even covers
}

TEST(FaceCluster, QualityGateOpensOrDefersAndSecondPassJoins) {
    Library lib;
    const int64_t first = lib.face(axis(0), 0.9);
    const int64_t atGate = lib.face(axis(30), FaceThresholds::openQuality);
    const int64_t loner = lib.face(axis(20), 0.24);
    // Matches nothing at first; matches once the weaker face below has moved the centroid.
    const int64_t late = lib.face(vec({{0, 0.3f}, {1, 0.9f}}, 10), 0.2);
    const int64_t weak = lib.face(vec({{0, 0.5f}, {1, 0.5f}, {2, 0.5f}, {3, 0.5f}}), 0.1);

    EXPECT_TRUE(FaceClusterer::run(lib.db));
    EXPECT_EQ(lib.persons(), 2);
    ASSERT_TRUE(lib.personOf(first));
    EXPECT_EQ(lib.personOf(weak), lib.personOf(first));
    EXPECT_EQ(lib.personOf(late), lib.personOf(first));
    ASSERT_TRUE(lib.personOf(atGate));
    EXPECT_NE(lib.personOf(atGate), lib.personOf(first));
    EXPECT_FALSE(lib.personOf(loner));  // too poor to found a person, and no person made for it

    // A second run finds nothing new to write.
    EXPECT_FALSE(FaceClusterer::run(lib.db));
}

TEST(FaceCluster, JoinThresholdIsInclusive) {
    for (float c : {FaceThresholds::join, below(FaceThresholds::join)}) {
        Library lib;
        const int64_t p = lib.person();
        lib.face(axis(0), 0.9, p);
        const int64_t f = lib.face(vec({{0, c}}), 0.9);
        EXPECT_TRUE(FaceClusterer::run(lib.db));
        if (c >= FaceThresholds::join) {
            EXPECT_EQ(lib.personOf(f), p);
            EXPECT_EQ(lib.persons(), 1);
        } else {
            // Opens its own person, and the two are not merged (their linkage is below the gate too).
            ASSERT_TRUE(lib.personOf(f));
            EXPECT_NE(lib.personOf(f), p);
            EXPECT_EQ(lib.persons(), 2);
        }
    }
}

TEST(FaceCluster, TopMatchJoinsALargeClusterBelowTheJoinCosine) {
    // Three members along axis 0 and three elsewhere: the centroid cosine of
    // a face at a on axis 0 is 3a/sqrt(12), about 0.38, between the gate and
    // the join threshold, while its three best sample matches are all a.
    // The mean of three matches at 0.44f rounds just below 0.44f in single
    // precision; the next float up clears it.
    const float clears = std::nextafter(FaceThresholds::topMatch, 1.0f);
    for (float a : {clears, FaceThresholds::topMatch}) {
        Library lib;
        const int64_t p = lib.person();
        for (int axisIndex : {0, 0, 0, 1, 2, 3}) lib.face(axis(axisIndex), 0.9, p);
        // Too poor to open a person: either it joins through the top match or stays alone.
        const int64_t f = lib.face(vec({{0, a}}, 100), 0.2);
        FaceClusterer::run(lib.db);
        if (a == clears) {
            EXPECT_EQ(lib.personOf(f), p);
        } else {
            EXPECT_FALSE(lib.personOf(f));
        }
    }
}

TEST(FaceCluster, LockedFacesAreNeverAssigned) {
    Library lib;
    const int64_t p = lib.person();
    lib.face(axis(0), 0.9, p);
    const int64_t locked = lib.face(axis(0), 0.95, std::nullopt, true);
    const int64_t lockedElsewhere = lib.face(axis(9), 0.95, std::nullopt, true);
    EXPECT_FALSE(FaceClusterer::run(lib.db));
    EXPECT_FALSE(lib.personOf(locked));
    EXPECT_FALSE(lib.personOf(lockedElsewhere));
    EXPECT_EQ(lib.persons(), 1);
}

TEST(FaceCluster, NamedPersonsAreNeverMergedAway) {
    Library lib;
    const int64_t ann = lib.person("Ann");
    const int64_t bob = lib.person("Bob");  // close enough to Ann (0.6) that an unnamed Bob would merge
    const int64_t u = lib.person();
    const int64_t w = lib.person();
    lib.face(axis(0), 0.9, ann);
    const int64_t bobsFace = lib.face(vec({{0, 0.6f}, {1, 0.8f}}), 0.8, bob);
    // More faces than either named person, and still merged into the one they match.
    const int64_t uFace = lib.face(axis(0), 0.95, u);
    const int64_t wFace = lib.face(axis(1), 0.95, w);
    for (int i = 0; i < 2; ++i) {
        lib.face(axis(0), 0.7, u);
        lib.face(axis(1), 0.7, w);
    }

    EXPECT_TRUE(FaceClusterer::run(lib.db));
    EXPECT_EQ(lib.personOf(bobsFace), bob);
    EXPECT_EQ(lib.personOf(uFace), ann);
    EXPECT_EQ(lib.personOf(wFace), bob);
    EXPECT_FALSE(lib.nameOf(u));
    EXPECT_FALSE(lib.nameOf(w));
    EXPECT_EQ(lib.persons(), 2);
}

TEST(FaceCluster, MergeThresholds) {
    struct Case {
        const char* what;
        std::vector<int> targetAxes;  // faces of the larger person, one per axis
        std::vector<float> other;     // the one face of the smaller person
        bool merges;
    };
    // Centroid (1,1,1,1)/2 against a face with 0.25 on those four axes: the
    // cosine is exactly 0.5 while every sample match is only 0.25.
    const auto quarter = [](float q, float spread) {
        return vec({{0, q}, {1, 0.25f}, {2, 0.25f}, {3, 0.25f}, {10, spread}, {11, 0.5f}, {12, 0.5f}});
    };
    // Centroid (2,1,1,1,1,1)/3: the face below has cosine about 0.42 and
    // sample matches 0.5, 0.5 and its value on axis 1.
    const std::vector<int> twoOnZero = {0, 0, 1, 2, 3, 4, 5};
    // Centroid (3,1,...)/4 (seven more axes) or /sqrt(21) (twelve more axes)
    // against 0.5 on axis 0: cosine 0.375, or 0.327 below the gate.
    const std::vector<int> norm4 = {0, 0, 0, 1, 2, 3, 4, 5, 6, 7};
    const std::vector<int> norm21 = {0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::vector<Case> cases = {
        {"cosine exactly 0.5, poor linkage", {0, 1, 2, 3}, quarter(0.25f, 0.5f), true},
        {"cosine just below 0.5, poor linkage", {0, 1, 2, 3}, quarter(0.2499f, 0.5001f), false},
        {"linkage exactly 0.42", twoOnZero, vec({{0, 0.5f}, {1, 0.26f}}, 100), true},
        {"linkage just below 0.42", twoOnZero, vec({{0, 0.5f}, {1, 0.2599f}}, 100), false},
        {"in the gate, strong linkage", norm4, vec({{0, 0.5f}}, 100), true},
        {"below the gate, strong linkage", norm21, vec({{0, 0.5f}}, 100), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Library lib;
        const int64_t big = lib.person();
        const int64_t small = lib.person();
        for (int a : c.targetAxes) lib.face(axis(a), 0.9, big);
        const int64_t f = lib.face(c.other, 0.9, small);
        EXPECT_EQ(FaceClusterer::run(lib.db), c.merges);
        EXPECT_EQ(lib.personOf(f), c.merges ? big : small);
        EXPECT_EQ(lib.persons(), c.merges ? 1 : 2);
    }
}

TEST(FaceCluster, NewGroupAbsorbingAPersonTakesThatPerson) {
    // Each new face misses the person's single face (cosine 0.39), but the
    // three together form a group whose centroid reaches it at 0.503.
    Library lib;
    const int64_t p = lib.person();
    lib.face(axis(0), 0.5, p);
    std::vector<int64_t> news;
    for (int i = 0; i < 3; ++i) news.push_back(lib.face(vec({{0, 0.39f}, {1, 0.5f}}, 2 + i), 0.9 - 0.1 * i));

    EXPECT_TRUE(FaceClusterer::run(lib.db));
    for (int64_t f : news) EXPECT_EQ(lib.personOf(f), p);
    EXPECT_EQ(lib.persons(), 1);  // no new person row
}

TEST(FaceCluster, CoversFilledOnlyWhenMissingAndOnlyAfterAWrite) {
    Library lib;
    const int64_t a = lib.person();
    const int64_t b = lib.person();
    const int64_t aSharp = lib.face(axis(0), 0.9, a, false, 0.1);
    const int64_t aLarge = lib.face(axis(0), 0.5, a, false, 0.3);  // best: quality x width 0.15 > 0.09
    lib.face(axis(5), 0.9, b);
    lib.db.setPersonCover(b, aSharp);  // any face id the user chose

    EXPECT_FALSE(FaceClusterer::run(lib.db));
    EXPECT_FALSE(lib.coverOf(a));

    lib.face(axis(0), 0.8, std::nullopt, false, 0.1);
    EXPECT_TRUE(FaceClusterer::run(lib.db));
    EXPECT_EQ(lib.coverOf(a), aLarge);
    EXPECT_EQ(lib.coverOf(b), aSharp);
}

TEST(FaceCluster, SuggestionsOrderLimitAndThreshold) {
    Library lib;
    const int64_t t = lib.person();
    lib.face(axis(0), 0.99, t);
    int rest = 100;  // each on its own axis besides axis 0, so they differ from one another
    auto other = [&](float c, double quality, float slack = 0) {
        const int64_t p = lib.person();
        lib.face(vec({{0, c}}, rest++, slack), quality, p);
        return p;
    };
    const int64_t weak = other(0.5f, 0.9);
    const int64_t strong = other(0.9f, 0.8);
    const int64_t tieLater = other(0.7f, 0.5);
    const int64_t tieEarlier = other(0.7f, 0.6);  // its best face sorts first, so it leads the tie
    // Cosine just under its dot product; the sample links hold exactly 0.36.
    const int64_t atThreshold = other(FaceThresholds::suggestion, 0.4, 1e-3f);
    other(below(FaceThresholds::suggestion), 0.4, 1e-3f);
    other(0.2f, 0.4);
    const int64_t faceless = lib.person();

    const std::vector<int64_t> all = {strong, tieEarlier, tieLater, weak, atThreshold};
    EXPECT_EQ(FaceClusterer::suggestions(lib.db, t, 10), all);
    EXPECT_EQ(FaceClusterer::suggestions(lib.db, t, 2), std::vector<int64_t>({strong, tieEarlier}));
    EXPECT_TRUE(FaceClusterer::suggestions(lib.db, t, 0).empty());
    EXPECT_TRUE(FaceClusterer::suggestions(lib.db, faceless, 4).empty());
    EXPECT_TRUE(FaceClusterer::suggestions(lib.db, 9999, 4).empty());
    // Symmetric enough to find the way back, and never the asked person.
    const auto back = FaceClusterer::suggestions(lib.db, strong, 10);
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(back.front(), t);
    EXPECT_EQ(std::count(back.begin(), back.end(), strong), 0);
}

TEST(FaceCluster, SuggestionsLinkSpreadClustersTheCentroidsMiss) {
    // Two people each seen in two nearly opposite looks (cosine -0.875), so
    // their centroids meet at only 0.28; yet every face of one matches three
    // faces of the other at 0.64.
    Library lib;
    const int64_t a = lib.person();
    const int64_t b = lib.person();
    const float u = -0.875f, v = 0.484123f;
    for (int i = 0; i < 3; ++i) {
        lib.face(axis(0), 0.9, a);
        lib.face(vec({{0, u}, {1, v}}), 0.9, a);
        lib.face(vec({{0, 0.64f}}, 10), 0.8, b);
        lib.face(vec({{0, 0.64f * u}, {1, 0.64f * v}}, 11), 0.8, b);
    }
    EXPECT_EQ(FaceClusterer::suggestions(lib.db, a, 4), std::vector<int64_t>({b}));
    EXPECT_EQ(FaceClusterer::suggestions(lib.db, b, 4), std::vector<int64_t>({a}));
}
