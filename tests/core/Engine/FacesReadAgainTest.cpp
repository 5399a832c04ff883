// Photos whose files change without their pictures changing (touched,
// copied without their times, restored from a backup, re-encoded) are read
// again by the whole engine with the real face analyser: the people, the
// names and the faces taken out of people stay as the user left them.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include "Core/Engine/FacePass.h"
#include "Core/Faces/FaceEngine.h"
#include "Core/Faces/FaceSuccession.h"
#include "Core/Media/MediaProcessor.h"
#include "EngineFixture.h"

namespace {

using namespace enginetest;

// Every face: its photo, its person and whether it was taken out of one.
using Faces = std::map<int64_t, std::tuple<int64_t, std::optional<int64_t>, bool>>;

Faces facesOf(LibraryDB& db) {
    Faces out;
    db.db().forEachRow("SELECT id, asset_id, person_id, locked FROM faces", {}, [&](const Row& r) {
        out[r.int64(0)] = {r.int64(1), r.optInt(2), r.int64(3) != 0};
    });
    return out;
}

// Twenty labelled photos in a library, their faces found and grouped.
class FacesReadAgain : public ::testing::Test {
protected:
    fixtures::OrdinaryBackgroundThreads ordinary;  // the analyses end beside other busy tests too
    Library lib;
    std::vector<fs::path> photos;

    void SetUp() override {
        const std::string shared = fixtures::sharedDataDir();
        if (shared.empty() || !fs::is_directory(shared + "/faces/images")) GTEST_SKIP() << "no labelled photos";
        MediaProcessor::initialize();
        if (!FaceEngine::shared().model) GTEST_SKIP() << "face networks not installed";
        for (const auto& e : fs::directory_iterator(shared + "/faces/images"))
            if (e.path().extension() == ".jpg") photos.push_back(e.path());
        std::sort(photos.begin(), photos.end());
        ASSERT_GE(photos.size(), 20u);
        photos.resize(20);
        for (const auto& p : photos) fs::copy_file(p, lib.root + "/" + p.filename().string());
        lib.engine->setFacesEnabled(true);
        lib.fullScan();
    }
};

TEST_F(FacesReadAgain, NamedPeopleKeepEveryFaceThroughTouchedAndReencodedPhotos) {

    // The person seen most is named; one of their faces is taken out of them.
    auto people = lib.db->loadPersons();
    ASSERT_FALSE(people.empty());
    const Person named = *std::max_element(people.begin(), people.end(),
                                           [](const Person& a, const Person& b) { return a.faceCount < b.faceCount; });
    ASSERT_GE(named.faceCount, 3);
    lib.db->renamePerson(named.id, "Anna");
    lib.db->db().run("UPDATE faces SET person_id=NULL, locked=1 WHERE id=(SELECT MAX(id) FROM faces WHERE person_id=?)",
                     {named.id});
    const Faces before = facesOf(*lib.db);
    const auto peopleBefore = lib.db->loadPersons();
    auto annaKept = [&] {
        EXPECT_EQ(lib.db->db().scalarInt(FacePass::pendingCountSQL), 0);
        EXPECT_EQ(lib.db->loadPersons(), peopleBefore);  // Anna among them, with every photo
    };

    // Every photo touched, and read again while face analysis is off: until
    // the faces are looked for again they stay, with their people and locks,
    // but count in nobody, as the photos may show someone else now.
    lib.engine->setFacesEnabled(false);
    for (const auto& p : photos) setMTime(lib.root + "/" + p.filename().string(), 1'700'000'000);
    lib.fullScan();
    EXPECT_EQ(lib.db->db().scalarInt(FacePass::pendingCountSQL), 20);
    EXPECT_EQ(facesOf(*lib.db), before);
    EXPECT_TRUE(lib.db->loadPersons().empty());
    EXPECT_TRUE(lib.db->personAssetPairs().empty());

    // The same bytes give the same faces, people and locks.
    lib.engine->setFacesEnabled(true);
    lib.fullScan();
    EXPECT_EQ(facesOf(*lib.db), before);
    annaKept();

    // Anna's photos re-encoded: other bytes, the same faces.
    std::set<int64_t> annas;
    for (const auto& [face, f] : before)
        if (std::get<1>(f) == named.id || std::get<2>(f)) annas.insert(std::get<0>(f));
    for (const auto& [path, row] : lib.rows()) {
        if (!annas.count(row.id)) continue;
        ImageRef image = MediaProcessor::loadImage(lib.root + "/" + path, 4000);
        ASSERT_TRUE(image && MediaProcessor::writeJPEG(*image, lib.root + "/" + path, 0.7));
    }
    lib.fullScan();
    const Faces after = facesOf(*lib.db);
    for (const auto& [face, f] : before) {
        if (!annas.count(std::get<0>(f))) continue;
        ASSERT_TRUE(after.count(face)) << "face " << face << " lost";
        EXPECT_EQ(after.at(face), f);
    }
    annaKept();
}

// A named person's photos turned (their pixels by a quarter or a half each
// way, or their orientation) keep every face in the person, locked as the
// user left it, and back; a stranger's photo saved over one of them is the
// stranger's, and takes neither the name nor the lock.
TEST_F(FacesReadAgain, NamedLockedFacesFollowTheirPhotosTurnedButNotAStrangerSavedOverOne) {

    auto people = lib.db->loadPersons();
    ASSERT_FALSE(people.empty());
    const Person named = *std::max_element(people.begin(), people.end(),
                                           [](const Person& a, const Person& b) { return a.faceCount < b.faceCount; });
    ASSERT_GE(named.faceCount, 3);
    lib.db->renamePerson(named.id, "Anna");
    lib.db->db().run("UPDATE faces SET locked=1 WHERE person_id=?", {named.id});
    const Faces before = facesOf(*lib.db);
    std::set<int64_t> annas;
    for (const auto& [face, f] : before)
        if (std::get<1>(f) == named.id) annas.insert(std::get<0>(f));
    std::map<int64_t, std::string> pathOf;
    for (const auto& [path, row] : lib.rows()) pathOf[row.id] = lib.root + "/" + path;

    auto annaKeepsEveryFace = [&] {
        EXPECT_EQ(lib.db->db().scalarInt(FacePass::pendingCountSQL), 0);
        const Faces after = facesOf(*lib.db);
        for (const auto& [face, f] : before) {
            if (std::get<1>(f) != named.id) continue;
            ASSERT_TRUE(after.count(face)) << "face " << face << " lost";
            EXPECT_EQ(after.at(face), f);
        }
        int shown = 0;
        for (const Person& p : lib.db->loadPersons())
            if (p.id == named.id) shown = p.faceCount;
        EXPECT_EQ(shown, named.faceCount);
    };
    auto turnAll = [&](int quarters) {
        for (int64_t asset : annas) {
            ImageRef image = MediaProcessor::loadImage(pathOf[asset], 4000);
            ASSERT_TRUE(image);
            ASSERT_TRUE(MediaProcessor::writeJPEG(turnedImage(*image, quarters), pathOf[asset], 0.92));
        }
        lib.fullScan();
    };
    for (int quarters : {1, -1, -1, 1, 2, -2}) {
        SCOPED_TRACE("turned by " + std::to_string(quarters));
        turnAll(quarters);
        annaKeepsEveryFace();
    }
    for (int orientation : {6, 1, 8, 3, 1}) {
        SCOPED_TRACE("orientation " + std::to_string(orientation));
        for (int64_t asset : annas) {
            fixtures::ExifTags exif;
            exif.orientation = orientation;
            ASSERT_TRUE(fixtures::writeExif(pathOf[asset], exif));
        }
        lib.fullScan();
        annaKeepsEveryFace();
    }

    // A photo in which Anna is not, saved over one of hers.
    std::optional<int64_t> strangers;
    for (const auto& [asset, path] : pathOf) {
        if (annas.count(asset)) continue;
        const bool anyone = lib.db->db().scalarInt("SELECT COUNT(*) FROM faces WHERE asset_id=?", {asset}) > 0;
        if (anyone) strangers = asset;
    }
    ASSERT_TRUE(strangers);
    const int64_t replaced = *annas.begin();
    fs::copy_file(pathOf[*strangers], pathOf[replaced], fs::copy_options::overwrite_existing);
    lib.fullScan();
    EXPECT_EQ(lib.db->db().scalarInt(FacePass::pendingCountSQL), 0);
    EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM faces WHERE asset_id=? AND (person_id=? OR locked=1)",
                                     {replaced, named.id}),
              0)
        << "the stranger took Anna's name or lock";
    EXPECT_GT(lib.db->db().scalarInt("SELECT COUNT(*) FROM faces WHERE asset_id=?", {replaced}), 0);
}

}  // namespace
