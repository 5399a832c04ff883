// A named person's photo with another person's photo saved over it, read by
// the whole engine with the real face analyser: the labelled photos' two
// closest strangers (one at the same place, one elsewhere in the picture)
// take neither the name nor the lock of the face they replace, even where
// faces of an earlier analyser were known once by their place; the photo
// saved again at half its size and JPEG quality 50 keeps both.

#include <gtest/gtest.h>

#include <filesystem>

#include "Core/Engine/FacePass.h"
#include "Core/Faces/FaceEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "EngineFixture.h"

namespace {

using namespace enginetest;

TEST(LookAlike, TakesNeitherTheNameNorTheLockOfTheFaceItReplaces) {
    const std::string shared = fixtures::sharedDataDir();
    if (shared.empty() || !fs::is_directory(shared + "/faces/images")) GTEST_SKIP() << "no labelled photos";
    MediaProcessor::initialize();
    if (!FaceEngine::shared().model) GTEST_SKIP() << "face networks not installed";
    const std::string images = shared + "/faces/images/";

    // Three copies of one photo of Anna, her face named and locked in.
    Library lib;
    for (const char* name : {"a1.jpg", "a2.jpg", "a3.jpg"}) fs::copy_file(images + "img35.jpg", lib.root + "/" + name);
    lib.engine->setFacesEnabled(true);
    lib.fullScan();
    const auto people = lib.db->loadPersons();
    ASSERT_EQ(people.size(), 1u);
    const int64_t anna = people.front().id;
    lib.db->renamePerson(anna, "Anna");
    lib.db->db().run("UPDATE faces SET locked=1");

    // The faces made of an earlier analyser's prints, then read again by
    // today's: known by their place, once.
    lib.db->setMeta(FacePass::olderPrintsKey,
                    std::to_string(lib.db->db().scalarInt("SELECT MAX(id) + 1 FROM faces").value_or(0)));
    for (const char* name : {"a1.jpg", "a2.jpg", "a3.jpg"}) setMTime(lib.root + "/" + name, 1'700'000'000);
    lib.fullScan();
    auto faceOf = [&](const std::string& name) {
        return lib.db->db().query(
            "SELECT f.id, f.person_id, f.locked FROM faces f JOIN assets a ON a.id=f.asset_id WHERE a.path=?", {name},
            [](const Row& r) { return std::tuple<int64_t, std::optional<int64_t>, bool>{r.int64(0), r.optInt(1), r.int64(2) != 0}; });
    };
    std::map<std::string, int64_t> annas;
    for (const char* name : {"a1.jpg", "a2.jpg", "a3.jpg"}) {
        const auto f = faceOf(name);
        ASSERT_EQ(f.size(), 1u) << name;
        EXPECT_EQ(std::get<1>(f[0]), anna) << name;
        EXPECT_TRUE(std::get<2>(f[0])) << name;
        annas[name] = std::get<0>(f[0]);
    }

    // a1: a stranger whose face stands where Anna's stood, its print 0.38
    // like hers; a3: Anna's photo at half size and quality 50.
    fs::copy_file(images + "img29.jpg", lib.root + "/a1.jpg", fs::copy_options::overwrite_existing);
    const ImageRef full = MediaProcessor::loadImage(images + "img35.jpg", 1 << 15);
    ASSERT_TRUE(full);
    const ImageRef half = MediaProcessor::loadImage(images + "img35.jpg", std::max(full->width, full->height) / 2);
    ASSERT_TRUE(half && MediaProcessor::writeJPEG(*half, lib.root + "/a3.jpg", 0.5));
    lib.fullScan();
    using Face = std::tuple<int64_t, std::optional<int64_t>, bool>;
    const auto a1 = faceOf("a1.jpg");
    ASSERT_EQ(a1.size(), 1u);
    EXPECT_NE(std::get<0>(a1[0]), annas["a1.jpg"]);
    EXPECT_NE(std::get<1>(a1[0]), anna) << "the stranger took Anna's name";
    EXPECT_FALSE(std::get<2>(a1[0])) << "the stranger took Anna's lock";
    EXPECT_EQ(faceOf("a3.jpg"), std::vector<Face>{Face(annas["a3.jpg"], anna, true)});

    // a2: a stranger elsewhere in the picture, 0.42 like Anna, as alike as
    // a face joins a person. Grouping may place it in her by that likeness;
    // it is a new face all the same, and not locked in.
    fs::copy_file(images + "img33.jpg", lib.root + "/a2.jpg", fs::copy_options::overwrite_existing);
    lib.fullScan();
    const auto a2 = faceOf("a2.jpg");
    ASSERT_EQ(a2.size(), 1u);
    EXPECT_NE(std::get<0>(a2[0]), annas["a2.jpg"]);
    EXPECT_FALSE(std::get<2>(a2[0])) << "the stranger took Anna's lock";
    EXPECT_EQ(lib.db->db().scalarInt(FacePass::pendingCountSQL), 0);
}

}  // namespace
