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

TEST(FacesReadAgain, NamedPeopleKeepEveryFaceThroughTouchedAndReencodedPhotos) {
    const std::string shared = fixtures::sharedDataDir();
    if (shared.empty() || !fs::is_directory(shared + "/faces/images")) GTEST_SKIP() << "no labelled photos";
    MediaProcessor::initialize();
    if (!FaceEngine::shared().model) GTEST_SKIP() << "face networks not installed";

    Library lib;
    std::vector<fs::path> photos;
    for (const auto& e : fs::directory_iterator(shared + "/faces/images"))
        if (e.path().extension() == ".jpg") photos.push_back(e.path());
    std::sort(photos.begin(), photos.end());
    ASSERT_GE(photos.size(), 20u);
    photos.resize(20);
    for (const auto& p : photos) fs::copy_file(p, lib.root + "/" + p.filename().string());
    lib.engine->setFacesEnabled(true);
    lib.fullScan();

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
    // the faces are looked for again, they stay where they were.
    lib.engine->setFacesEnabled(false);
    for (const auto& p : photos) setMTime(lib.root + "/" + p.filename().string(), 1'700'000'000);
    lib.fullScan();
    EXPECT_EQ(lib.db->db().scalarInt(FacePass::pendingCountSQL), 20);
    EXPECT_EQ(facesOf(*lib.db), before);
    EXPECT_EQ(lib.db->loadPersons(), peopleBefore);

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

}  // namespace
