// The whole work loop on labelled photos with the real face analyser: scan,
// trips, faces in batches, people, idle.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "Core/Faces/FaceEngine.h"
#include "Core/Engine/FacePass.h"
#include "Core/Engine/LibraryEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "fixtures/Patience.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

struct Recorder : EngineDelegate {
    std::vector<std::string> log;
    std::vector<EngineStatus> faceReports;
    EngineStatus last = EngineStatus::idle();
    void engineDidUpsert(const std::vector<Asset>&) override {}
    void engineDidRemove(const std::vector<int64_t>&) override {}
    void engineDidUpdateTrips() override { log.push_back("trips"); }
    void engineDidUpdatePeople() override { log.push_back("people"); }
    void engineDidChangeStatus(const EngineStatus& s) override {
        last = s;
        if (s.kind == EngineStatus::Kind::faces) faceReports.push_back(s);
        static const char* const names[] = {"scanning", "indexing", "faces", "idle"};
        if (log.empty() || log.back() != names[int(s.kind)]) log.push_back(names[int(s.kind)]);
    }
    void engineDidGoOffline() override { log.push_back("offline"); }
    void engineDidHalt(EngineHalt) override { log.push_back("halt"); }
};

TEST(FacePassEngine, LabelledPhotosGoThroughEveryStepOfTheLoop) {
    const std::string shared = fixtures::sharedDataDir();
    if (shared.empty() || !fs::is_directory(shared + "/faces/images")) GTEST_SKIP() << "no labelled photos";
    MediaProcessor::initialize();
    if (!FaceEngine::shared().model) GTEST_SKIP() << "face networks not installed";
    fixtures::OrdinaryBackgroundThreads ordinary;  // the analyses end beside other busy tests too

    fixtures::TempDir dir;
    const std::string root = dir / "Library";
    fs::create_directories(root);
    std::vector<fs::path> photos;
    for (const auto& e : fs::directory_iterator(shared + "/faces/images"))
        if (e.path().extension() == ".jpg") photos.push_back(e.path());
    std::sort(photos.begin(), photos.end());
    ASSERT_GE(photos.size(), 20u);
    for (size_t i = 0; i < 20; ++i) fs::copy_file(photos[i], root + "/" + photos[i].filename().string());

    LibraryPaths paths = LibraryPaths::resolve(root);
    paths.prepare();
    auto db = std::make_shared<LibraryDB>(paths.databasePath());
    auto rec = std::make_shared<Recorder>();
    ManualMainQueue mainQueue;
    LibraryEngine engine(paths, db, rec, mainQueue.poster());
    engine.start(true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
        mainQueue.waitAndDrain(20);
        if (!engine.isRunning() && mainQueue.drain() == 0 && rec->last.kind == EngineStatus::Kind::idle) break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "engine never went idle";
    }

    EXPECT_EQ(rec->faceReports, (std::vector<EngineStatus>{EngineStatus::faces(0, 20), EngineStatus::faces(18, 20),
                                                           EngineStatus::faces(20, 20)}));
    auto at = [&](const char* what) { return std::find(rec->log.begin(), rec->log.end(), what) - rec->log.begin(); };
    EXPECT_LT(at("indexing"), at("trips"));
    EXPECT_LT(at("trips"), at("faces"));
    EXPECT_LT(at("faces"), at("people"));
    EXPECT_EQ(rec->log.back(), "idle");

    EXPECT_EQ(db->db().scalarInt(FacePass::pendingCountSQL), 0);
    int faces = 0;
    db->db().forEachRow("SELECT id, length(embedding), person_id FROM faces", {}, [&](const Row& r) {
        ++faces;
        EXPECT_EQ(r.int64(1), 512);
        EXPECT_FALSE(r.isNull(2));
        EXPECT_TRUE(fs::is_regular_file(paths.faceURL(r.int64(0))));
    });
    // Nearly every labelled photo shows one clear face.
    EXPECT_GE(faces, 15);
    EXPECT_FALSE(db->loadPersons().empty());
}

}  // namespace
