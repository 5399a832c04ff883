#include <gtest/gtest.h>

#include <cmath>

#include "Core/Faces/FaceClusterer.h"
#include "Core/Faces/FaceThresholds.h"
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
    // Matches nothing at first; matches once the weaker face below, which
    // joins at once, has moved the centroid towards it.
    const float j = FaceThresholds::join;
    const int64_t late = lib.face(vec({{0, j - 0.14f}}, 1), 0.2);
    const int64_t weak = lib.face(vec({{0, (1 + j) / 2}}, 1), 0.1);

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
    // a face at a on axis 0 is 3a/sqrt(12), between the gate and the join
    // threshold, while its three best sample matches are all a.
    const float clears = FaceThresholds::topMatch + 1e-4f;
    for (float a : {clears, FaceThresholds::topMatch - 1e-4f}) {
        ASSERT_GE(3 * a / std::sqrt(12.f), FaceThresholds::topMatchGate);
        ASSERT_LT(3 * a / std::sqrt(12.f), FaceThresholds::join);
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

TEST(FaceCluster, AFaceThatJoinedALookAlikeMovesToItsOwnNewPerson) {
    // The best-quality face of someone new matches a known person's centroid
    // at 0.41, before any face of its own person has opened a group; two
    // weaker faces of that person then open and join a group of their own,
    // which matches the first face at 0.86.
    Library lib;
    const int64_t known = lib.person();
    for (int i = 0; i < 3; ++i) lib.face(axis(0), 0.9, known);
    const int64_t first = lib.face(vec({{0, 0.41f}}, 1), 0.95);
    const int64_t second = lib.face(vec({{1, 0.9f}}, 2), 0.8);
    const int64_t third = lib.face(vec({{1, 0.9f}}, 3), 0.7);

    EXPECT_TRUE(FaceClusterer::run(lib.db));
    ASSERT_TRUE(lib.personOf(second));
    EXPECT_NE(lib.personOf(second), known);
    EXPECT_EQ(lib.personOf(third), lib.personOf(second));
    EXPECT_EQ(lib.personOf(first), lib.personOf(second));
    EXPECT_EQ(lib.persons(), 2);
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
    namespace T = FaceThresholds;
    struct Case {
        const char* what;
        std::vector<int> targetAxes;  // faces of the larger person, one per axis
        std::vector<float> other;     // the one face of the smaller person
        bool merges;
    };
    // Centroid (1,1,1,1)/2 against a face with c on those four axes: the
    // cosine is 2c while every sample match is only c, under the linkage.
    const auto spread = [](float c) { return vec({{0, c}, {1, c}, {2, c}, {3, c}}, 10); };
    // Centroid (2,1,1,1,1,1)/3 against (a, b): cosine and linkage (the mean
    // of the matches a, a, b) are both (2a + b) / 3, inside the merge gate.
    const std::vector<int> twoOnZero = {0, 0, 1, 2, 3, 4, 5};
    const float a = 1.25f * T::mergeLinkage;
    const auto linked = [&](float linkage) { return vec({{0, a}, {1, 3 * linkage - 2 * a}}, 100); };
    // Centroid (3,1,...,1) over k more axes against (1 + linkage)/2 on axis
    // 0: a strong linkage, and a cosine that k places inside or under the gate.
    const float strong = (1 + T::mergeLinkage) / 2;
    auto threeOnZero = [&](float low, float high) {
        for (int k = 1; k < 100; ++k)
            if (const float c = 3 * strong / std::sqrt(9.f + float(k)); c >= low && c < high) {
                std::vector<int> axes = {0, 0, 0};
                for (int i = 1; i <= k; ++i) axes.push_back(i);
                return axes;
            }
        return std::vector<int>{};
    };
    const std::vector<Case> cases = {
        {"cosine just over merge, poor linkage", {0, 1, 2, 3}, spread(T::merge / 2 + 1e-4f), true},
        {"cosine just under merge, poor linkage", {0, 1, 2, 3}, spread(T::merge / 2 - 1e-4f), false},
        {"linkage just over its threshold", twoOnZero, linked(T::mergeLinkage + 1e-4f), true},
        {"linkage just under its threshold", twoOnZero, linked(T::mergeLinkage - 1e-4f), false},
        {"in the gate, strong linkage", threeOnZero(T::mergeGate, T::merge), vec({{0, strong}}, 100), true},
        {"below the gate, strong linkage", threeOnZero(0, T::mergeGate), vec({{0, strong}}, 100), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Library lib;
        const int64_t big = lib.person();
        const int64_t small = lib.person();
        for (int ax : c.targetAxes) lib.face(axis(ax), 0.9, big);
        const int64_t f = lib.face(c.other, 0.9, small);
        EXPECT_EQ(FaceClusterer::run(lib.db), c.merges);
        EXPECT_EQ(lib.personOf(f), c.merges ? big : small);
        EXPECT_EQ(lib.persons(), c.merges ? 1 : 2);
    }
}

TEST(FaceCluster, NewGroupAbsorbingAPersonTakesThatPerson) {
    // Each new face misses the person's single face, but together they form
    // a group whose centroid reaches it.
    Library lib;
    const int64_t p = lib.person();
    lib.face(axis(0), 0.5, p);
    std::vector<int64_t> news;
    for (const auto& e : facecluster::lookAlikes()) news.push_back(lib.face(e, 0.9 - 0.05 * double(news.size())));

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
    const int64_t weak = other((FaceThresholds::suggestion + 0.7f) / 2, 0.9);
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

TEST(FaceCluster, PeopleSeenTogetherInOnePhotoAreNeverSuggested) {
    // Twins side by side in a group photo, and a third look-alike seen alone:
    // all match well above the suggestion score.
    Library lib;
    const int64_t group = lib.photo();
    const int64_t a = lib.person(), b = lib.person(), c = lib.person();
    lib.face(axis(0), 0.9, a, false, 0.2, group);
    lib.face(axis(0), 0.9, a);
    lib.face(vec({{0, 0.95f}}, 10), 0.8, b, false, 0.2, group);
    lib.face(vec({{0, 0.9f}}, 11), 0.7, c);
    EXPECT_EQ(FaceClusterer::suggestions(lib.db, a, 4), std::vector<int64_t>({c}));
    EXPECT_EQ(FaceClusterer::suggestions(lib.db, b, 4), std::vector<int64_t>({c}));
    EXPECT_EQ(FaceClusterer::suggestions(lib.db, c, 4), std::vector<int64_t>({a, b}));  // seen apart, both stay
}
