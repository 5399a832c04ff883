#include "Core/Engine/FacePass.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <map>
#include <tuple>

#include "Core/Faces/FaceNets.h"
#include "Core/Faces/FaceSuccession.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

std::vector<float> unitVector(int seed) {
    std::vector<float> v(128, 0.01f);
    v[size_t(seed % 128)] = 1;
    float n = 0;
    for (float x : v) n += x * x;
    for (float& x : v) x /= std::sqrt(n);
    return v;
}

// A unit print whose cosine with `e` is `cosine`.
std::vector<float> alike(const std::vector<float>& e, float cosine) {
    std::vector<float> other = unitVector(int(std::max_element(e.begin(), e.end()) - e.begin()) + 64);
    float along = 0, n = 0;
    for (size_t i = 0; i < e.size(); ++i) along += other[i] * e[i];
    for (size_t i = 0; i < e.size(); ++i) n += (other[i] - along * e[i]) * (other[i] - along * e[i]);
    std::vector<float> v(e.size());
    for (size_t i = 0; i < e.size(); ++i)
        v[i] = cosine * e[i] + std::sqrt(1 - cosine * cosine) * (other[i] - along * e[i]) / std::sqrt(n);
    return v;
}

class FacePassTest : public ::testing::Test {
protected:
    fixtures::TempDir dir;
    std::string root = dir / "Library";
    LibraryPaths paths;
    std::shared_ptr<LibraryDB> db;
    std::vector<EngineStatus> reports;
    std::vector<int64_t> clusteredAt;  // photos done when the clusterer ran
    std::atomic<int> analysed{0};
    std::function<void()> onAnalyse;   // runs inside the first analysis
    std::atomic<bool> giveWay{false};
    std::function<bool()> libraryGone;  // empty: the pass looks at the folder itself
    int peopleUpdates = 0;

    void SetUp() override {
        fs::create_directories(root);
        paths = LibraryPaths::resolve(root);
        paths.prepare();
        db = std::make_shared<LibraryDB>(paths.databasePath());
    }

    // Photos named p0.jpg, p1.jpg, ... copied from one small JPEG.
    void addPhotos(int n) {
        const std::string first = root + "/p0.jpg";
        ASSERT_TRUE(fixtures::makeJPEG(first, 64, 48));
        for (int i = 0; i < n; ++i) {
            std::string name = "p" + std::to_string(i) + ".jpg";
            if (i > 0) fs::copy_file(first, root + "/" + name);
            db->db().run("INSERT INTO assets(path, kind, size, mtime, taken, meta_done, thumb) VALUES(?,0,0,0,?,1,1)",
                         {name, double(1000 + i)});
            rescan(int64_t(i + 1));
        }
    }

    // What a scan does to a photo whose file changed: its size and time
    // taken anew, its faces to be looked at again.
    void rescan(int64_t asset) {
        const auto names = db->db().query("SELECT path FROM assets WHERE id=?", {asset},
                                          [](const Row& r) { return r.text(0); });
        ASSERT_EQ(names.size(), 1u);
        const std::string path = root + "/" + names.front();
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        db->db().run("UPDATE assets SET size=?, mtime=?, faces_done=0 WHERE id=?",
                     {int64_t(st.st_size), double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9, asset});
    }

    // One face per photo, with a small crop.
    std::vector<DetectedFace> fakeAnalyse(const Image&) {
        int n = analysed++;
        if (n == 0 && onAnalyse) onAnalyse();
        DetectedFace f;
        f.rect = {0.25, 0.25, 0.5, 0.5};
        f.quality = 0.75;
        f.embedding = unitVector(n);
        auto crop = std::make_shared<Image>(24, 24);
        std::fill(crop->rgba.begin(), crop->rgba.end(), uint8_t(200));
        f.crop = crop;
        return {f};
    }

    FacePass makePass() {
        FacePassHooks hooks;
        hooks.stopped = [] { return false; };
        hooks.shouldGiveWay = [this] { return giveWay.load(); };
        hooks.report = [this](const EngineStatus& s) { reports.push_back(s); };
        hooks.peopleUpdated = [this] { ++peopleUpdates; };
        hooks.libraryGone = libraryGone;
        return FacePass(paths, db, hooks, [this](const Image& im) { return fakeAnalyse(im); },
                        [this](LibraryDB&) {
                            clusteredAt.push_back(count("SELECT COUNT(*) FROM assets WHERE faces_done=1"));
                            return true;
                        });
    }

    int64_t count(const std::string& sql) { return db->db().scalarInt(sql).value_or(-1); }
    // Who is in which photo, as the people screens count it.
    std::vector<std::pair<int64_t, int64_t>> pairs() {
        auto out = db->personAssetPairs();
        std::sort(out.begin(), out.end());
        return out;
    }

    // Every crop file in the face folders, staged or final.
    std::vector<std::string> cropFiles(const std::string& dataDir) {
        std::vector<std::string> out;
        std::error_code ec;
        for (fs::recursive_directory_iterator it(dataDir + "/faces", ec), end; !ec && it != end; it.increment(ec))
            if (it->is_regular_file()) out.push_back(it->path().string());
        return out;
    }
};

TEST_F(FacePassTest, TwentyPhotosInTwoBatchesWithOneClusteringRun) {
    addPhotos(20);
    EXPECT_TRUE(makePass().run());
    EXPECT_EQ(reports, (std::vector<EngineStatus>{EngineStatus::faces(0, 20), EngineStatus::faces(18, 20),
                                                  EngineStatus::faces(20, 20)}));
    EXPECT_EQ(clusteredAt, std::vector<int64_t>{20});
    EXPECT_EQ(peopleUpdates, 1);
    EXPECT_EQ(count(FacePass::pendingCountSQL), 0);

    // Each face row has its little-endian embedding and, under its own id, its crop.
    auto faces = db->allFaces();
    ASSERT_EQ(faces.size(), 20u);
    size_t withEmbedding = 0;
    db->db().forEachRow("SELECT id, length(embedding), x, w FROM faces", {}, [&](const Row& r) {
        withEmbedding += r.int64(1) == 512;
        EXPECT_DOUBLE_EQ(r.dbl(2), 0.25);
        EXPECT_DOUBLE_EQ(r.dbl(3), 0.5);
        EXPECT_TRUE(fs::is_regular_file(paths.faceURL(r.int64(0))));
    });
    EXPECT_EQ(withEmbedding, 20u);
    ASSERT_EQ(faces[0].embedding.size(), 128u);
    float norm = 0;
    for (float x : faces[0].embedding) norm += x * x;
    EXPECT_NEAR(norm, 1.0f, 1e-5f);
    EXPECT_EQ(cropFiles(paths.dataDir).size(), 20u);

    // Nothing pending: no report and no clustering.
    reports.clear();
    clusteredAt.clear();
    EXPECT_TRUE(makePass().run());
    EXPECT_TRUE(reports.empty());
    EXPECT_TRUE(clusteredAt.empty());
}

// The pass fills the processors: its analyses run in the scheduler's idle
// class (or, where refused, at the lowest niceness), so the window and its
// picture loaders come first; the thread that runs the pass keeps its place.
TEST_F(FacePassTest, TheAnalysesRunBehindEveryOtherThread) {
    addPhotos(3);
    const int policyBefore = ::sched_getscheduler(0);
    const int niceBefore = ::getpriority(PRIO_PROCESS, ::gettid());
    int policy = -1, nice = -100;
    onAnalyse = [&] {
        policy = ::sched_getscheduler(0);
        nice = ::getpriority(PRIO_PROCESS, ::gettid());
    };
    EXPECT_TRUE(makePass().run());
    EXPECT_TRUE(policy == SCHED_IDLE || (policy == SCHED_OTHER && nice == 19)) << policy << ", nice " << nice;
    EXPECT_EQ(::sched_getscheduler(0), policyBefore);
    EXPECT_EQ(::getpriority(PRIO_PROCESS, ::gettid()), niceBefore);
}

TEST_F(FacePassTest, FourHundredPhotosClusterEveryHundredAndEightyAndAtTheEnd) {
    addPhotos(400);
    EXPECT_TRUE(makePass().run());
    EXPECT_EQ(clusteredAt, (std::vector<int64_t>{180, 360, 400}));
    EXPECT_EQ(reports.back(), EngineStatus::faces(400, 400));
    EXPECT_EQ(reports.size(), 1u + 23u);  // the start, then 22 full batches and one of 4
}

TEST_F(FacePassTest, AScanRequestDuringABatchSavesItAndGivesWay) {
    addPhotos(40);
    onAnalyse = [this] { giveWay = true; };
    EXPECT_FALSE(makePass().run());
    EXPECT_EQ(count("SELECT COUNT(*) FROM assets WHERE faces_done=1"), 18);
    EXPECT_EQ(count("SELECT COUNT(*) FROM faces"), 18);
    EXPECT_EQ(reports, (std::vector<EngineStatus>{EngineStatus::faces(0, 40), EngineStatus::faces(18, 40)}));
    EXPECT_TRUE(clusteredAt.empty());
}

// The workers start on the next batch before the current one is saved; when
// the pass gives way after saving it, what they found of the next is dropped
// with its crops, and its photos stay pending.
TEST_F(FacePassTest, GivingWayAfterABatchDropsWhatWasFoundOfTheNext) {
    addPhotos(40);
    FacePassHooks hooks;
    hooks.shouldGiveWay = [this] { return giveWay.load(); };
    hooks.report = [this](const EngineStatus& s) {
        reports.push_back(s);
        if (s.done > 0) giveWay = true;
    };
    EXPECT_FALSE(FacePass(paths, db, hooks, [this](const Image& im) { return fakeAnalyse(im); }, [](LibraryDB&) {
                     return false;
                 }).run());
    EXPECT_EQ(count("SELECT COUNT(*) FROM assets WHERE faces_done=1"), 18);
    EXPECT_EQ(count(FacePass::pendingCountSQL), 22);
    EXPECT_EQ(count("SELECT COUNT(*) FROM faces"), 18);
    EXPECT_EQ(cropFiles(paths.dataDir).size(), 18u);
}

TEST_F(FacePassTest, TheLibraryVanishingDuringABatchStoresNothing) {
    addPhotos(20);
    const std::string moved = dir / "Unplugged";
    onAnalyse = [&] { fs::rename(root, moved); };
    EXPECT_FALSE(makePass().run());
    EXPECT_EQ(count("SELECT COUNT(*) FROM faces"), 0);
    EXPECT_EQ(count(FacePass::pendingCountSQL), 20);
    // A worker may have staged a crop before the folder went; it went with
    // the folder, and the pass after it comes back sweeps it away.
    for (const std::string& crop : cropFiles(moved + "/.vintrelle"))
        EXPECT_TRUE(fs::path(crop).filename().string().starts_with(".incoming-")) << crop;
    EXPECT_TRUE(clusteredAt.empty());
    fs::rename(moved, root);
    onAnalyse = nullptr;
    EXPECT_TRUE(makePass().run());
    EXPECT_EQ(count(FacePass::pendingCountSQL), 0);
    EXPECT_EQ(cropFiles(paths.dataDir).size(), 20u);
}

// The engine knows more than the pass of when a library is gone: an empty
// mount point left by an unplugged drive is a folder all the same.
TEST_F(FacePassTest, TheEngineSayingTheLibraryIsGoneDuringABatchStoresNothing) {
    addPhotos(20);
    bool gone = false;
    libraryGone = [&] { return gone; };
    onAnalyse = [&] { gone = true; };
    EXPECT_FALSE(makePass().run());
    EXPECT_EQ(count("SELECT COUNT(*) FROM faces"), 0);
    EXPECT_EQ(count(FacePass::pendingCountSQL), 20);
    EXPECT_TRUE(cropFiles(paths.dataDir).empty());
}

// A photo gone since the scan is left to the scan that removes its row.
TEST_F(FacePassTest, AnUnreadablePhotoIsDoneWithoutFaces) {
    addPhotos(3);
    fixtures::writeFile(root + "/p1.jpg", "not a picture");
    rescan(2);
    fs::remove(root + "/p2.jpg");
    EXPECT_TRUE(makePass().run());
    EXPECT_EQ(count(FacePass::pendingCountSQL), 1);
    EXPECT_EQ(count("SELECT faces_done FROM assets WHERE id=2"), FacesState::done);
    EXPECT_EQ(count("SELECT COUNT(*) FROM faces"), 1);
    EXPECT_EQ(count("SELECT asset_id FROM faces"), 1);
}

// A photo whose file changed is read again with its faces still in place:
// each face found again keeps its row (and so its person, its lock and any
// cover that shows it), by its place with a print like it, or by its print
// alone; a face the photo no longer shows goes, and a face new to it, even
// where someone else stood (another photo saved over this one), gets no one.
TEST_F(FacePassTest, APhotoReadAgainKeepsWhatItsFacesWereGiven) {
    addPhotos(2);
    auto face = [&](int64_t asset, FaceRect r, int print, std::optional<int64_t> person, bool locked = false) {
        const int64_t id = db->db().insert(
            "INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id, locked) VALUES(?,?,?,?,?,?,?,?,?)",
            {asset, r.x, r.y, r.width, r.height, 0.5, LibraryDB::encodeEmbedding(unitVector(print)), person, locked});
        fs::create_directories(fs::path(paths.faceURL(id)).parent_path());
        fixtures::writeFile(paths.faceURL(id), "old crop");
        return id;
    };
    const int64_t anna = db->db().insert("INSERT INTO persons(name, created) VALUES('Anna', 0)", {});
    const int64_t bo = db->db().insert("INSERT INTO persons(name, created) VALUES('', 0)", {});
    const int64_t annas = face(1, {0.1, 0.1, 0.2, 0.2}, 1, anna);
    const int64_t lockedOut = face(1, {0.5, 0.1, 0.2, 0.2}, 2, std::nullopt, true);
    const int64_t bos = face(1, {0.1, 0.6, 0.2, 0.2}, 3, bo);
    const int64_t bosGone = face(1, {0.7, 0.1, 0.2, 0.2}, 4, bo);
    const int64_t bosElsewhere = face(2, {0.4, 0.4, 0.2, 0.2}, 3, bo);
    db->db().run("UPDATE persons SET cover_face=? WHERE id=?", {bosGone, bo});
    db->db().run("UPDATE assets SET faces_done=1 WHERE id=2");

    std::vector<DetectedFace> found(4);
    found[0] = {{0.11, 0.1, 0.2, 0.21}, 0, unitVector(1), std::make_shared<Image>(24, 24), 0};  // Anna, re-encoded
    found[0].embedding[50] += 0.3f;
    found[1] = {{0.7, 0.6, 0.2, 0.2}, 0, unitVector(2), nullptr, 0};   // cropped: elsewhere, the locked face's print
    found[2] = {{0.1, 0.6, 0.2, 0.2}, 0, unitVector(9), nullptr, 0};   // Bo's place, a stranger's print
    found[3] = {{0.2, 0.6, 0.2, 0.2}, 0, unitVector(10), nullptr, 0};  // beside Bo: someone new
    FacePassHooks hooks;
    hooks.peopleUpdated = [&] { ++peopleUpdates; };
    auto pass = [&] {
        return FacePass(paths, db, hooks, [&](const Image&) { return found; }, [](LibraryDB&) { return false; });
    };
    EXPECT_TRUE(pass().run());

    using Stored = std::tuple<int64_t, std::optional<int64_t>, bool, double>;  // id, person, locked, x
    auto facesOf = [&](int64_t asset) {
        return db->db().query("SELECT id, person_id, locked, x FROM faces WHERE asset_id=? ORDER BY id", {asset},
                              [](const Row& r) { return Stored{r.int64(0), r.optInt(1), r.int64(2) != 0, r.dbl(3)}; });
    };
    const int64_t added = bosElsewhere + 1;
    EXPECT_EQ(facesOf(1), (std::vector<Stored>{{annas, anna, false, 0.11},
                                               {lockedOut, std::nullopt, true, 0.7},
                                               {added, std::nullopt, false, 0.1},
                                               {added + 1, std::nullopt, false, 0.2}}));
    // Anna's picture renewed, the gone faces' pictures gone with them, and Bo
    // shown by his best face left.
    EXPECT_NE(fixtures::readFile(paths.faceURL(annas)), "old crop");
    EXPECT_FALSE(fs::exists(paths.faceURL(bos)));
    EXPECT_FALSE(fs::exists(paths.faceURL(bosGone)));
    EXPECT_FALSE(fs::exists(paths.faceURL(lockedOut)));  // found again without a picture
    EXPECT_EQ(db->db().scalarInt("SELECT cover_face FROM persons WHERE id=?", {bo}), bosElsewhere);
    EXPECT_EQ(peopleUpdates, 1);
    EXPECT_EQ(pairs(), (std::vector<std::pair<int64_t, int64_t>>{{anna, 1}, {bo, 2}}));

    // Changed again, and now unreadable: its faces keep their people and
    // locks, but count in nobody until the file changes again and is read.
    fixtures::writeFile(root + "/p0.jpg", "not a picture any more");
    rescan(1);
    EXPECT_TRUE(pass().run());
    EXPECT_EQ(facesOf(1).size(), 4u);
    EXPECT_EQ(count(FacePass::pendingCountSQL), 0);
    EXPECT_EQ(count("SELECT faces_done FROM assets WHERE id=1"), FacesState::held);
    EXPECT_EQ(pairs(), (std::vector<std::pair<int64_t, int64_t>>{{bo, 2}}));
    EXPECT_TRUE(db->faces(1, true).empty());
    EXPECT_EQ(peopleUpdates, 2);

    // Its picture back: Anna has it again.
    ASSERT_TRUE(fixtures::makeJPEG(root + "/p0.jpg", 64, 48));
    rescan(1);
    EXPECT_TRUE(pass().run());
    EXPECT_EQ(facesOf(1).front(), (Stored{annas, anna, false, 0.11}));
    EXPECT_EQ(pairs(), (std::vector<std::pair<int64_t, int64_t>>{{anna, 1}, {bo, 2}}));
}

// A face found again is the face it was when its print is as alike as an
// edit of the photo keeps it (a degraded copy, a crop that moves it), and
// someone new otherwise, however much alike and wherever it stands: a
// look-alike's photo saved over a named person's takes neither the name nor
// a lock, nor the place of a face taken out of a person.
TEST_F(FacePassTest, ALookAlikeTakesNoOnesFaceAndAnEditKeepsIt) {
    addPhotos(2);
    const int64_t anna = db->db().insert("INSERT INTO persons(name, created) VALUES('Anna', 0)", {});
    auto face = [&](int64_t asset, FaceRect r, int print, std::optional<int64_t> person, bool locked) {
        return db->db().insert(
            "INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id, locked) VALUES(?,?,?,?,?,?,?,?,?)",
            {asset, r.x, r.y, r.width, r.height, 0.5, LibraryDB::encodeEmbedding(unitVector(print)), person, locked});
    };
    const int64_t annas = face(1, {0.1, 0.1, 0.2, 0.2}, 1, anna, true);
    const int64_t takenOut = face(1, {0.5, 0.1, 0.2, 0.2}, 2, std::nullopt, true);
    const int64_t annasOther = face(2, {0.1, 0.1, 0.2, 0.2}, 1, anna, true);
    // p0 replaced by a look-alike's photo, p1 (green) by an edit of itself.
    ASSERT_TRUE(fixtures::makeJPEG(root + "/p1.jpg", 64, 48, {10, 200, 10}));
    rescan(1);
    rescan(2);

    const std::vector<DetectedFace> lookAlikes = {
        {{0.1, 0.1, 0.2, 0.2}, 0.9, alike(unitVector(1), 0.45f), nullptr, 0},  // at Anna's place
        {{0.3, 0.5, 0.2, 0.2}, 0.9, alike(unitVector(2), 0.45f), nullptr, 0}};  // elsewhere
    const std::vector<DetectedFace> edited = {
        {{0.3, 0.35, 0.4, 0.4}, 0.9, alike(unitVector(1), 0.7f), nullptr, 0}};  // cropped, half size, quality 50
    auto analyse = [&](const Image& im) {
        const uint8_t* corner = im.row(im.height - 1) + size_t(im.width - 1) * 4;  // clear of the darker quarter
        return corner[1] > 150 && corner[0] < 100 ? edited : lookAlikes;
    };
    EXPECT_TRUE(FacePass(paths, db, {}, analyse, [](LibraryDB&) { return false; }).run());

    using Stored = std::tuple<int64_t, std::optional<int64_t>, bool>;  // id, person, locked
    auto facesOf = [&](int64_t asset) {
        return db->db().query("SELECT id, person_id, locked FROM faces WHERE asset_id=? ORDER BY id", {asset},
                              [](const Row& r) { return Stored{r.int64(0), r.optInt(1), r.int64(2) != 0}; });
    };
    const int64_t added = annasOther + 1;
    EXPECT_EQ(facesOf(1), (std::vector<Stored>{{added, std::nullopt, false}, {added + 1, std::nullopt, false}}));
    EXPECT_EQ(facesOf(2), (std::vector<Stored>{{annasOther, anna, true}}));
    EXPECT_EQ(db->db().scalarInt("SELECT COUNT(*) FROM faces WHERE id IN (?, ?)", {annas, takenOut}), 0);
}

// Faces an earlier analyser found keep their people when their photo is
// read again, by their place alone: their prints say nothing next to
// today's. Once read, a face's print is today's, and its place alone no
// longer keeps someone else in it.
TEST_F(FacePassTest, FacesOfAnEarlierAnalyserAreKnownByTheirPlace) {
    addPhotos(1);
    const int64_t anna = db->db().insert("INSERT INTO persons(name, created) VALUES('Anna', 0)", {});
    const int64_t old = db->db().insert(
        "INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id, locked) VALUES(1,0.1,0.1,0.2,0.2,0.5,?,?,1)",
        {LibraryDB::encodeEmbedding(unitVector(40)), anna});
    db->db().run("UPDATE persons SET cover_face=? WHERE id=?", {old, anna});
    db->setMeta(FacePass::olderPrintsKey, std::to_string(old + 1));

    std::vector<DetectedFace> found(1);
    found[0] = {{0.1, 0.1, 0.2, 0.2}, 0.9, unitVector(7), std::make_shared<Image>(24, 24), 0};
    auto pass = [&] {
        return FacePass(paths, db, {}, [&](const Image&) { return found; }, [](LibraryDB&) { return false; });
    };
    EXPECT_TRUE(pass().run());
    auto faces = [&] {
        return db->db().query("SELECT id, person_id, locked FROM faces", {}, [](const Row& r) {
            return std::tuple<int64_t, std::optional<int64_t>, bool>{r.int64(0), r.optInt(1), r.int64(2) != 0};
        });
    };
    const auto kept = faces();
    ASSERT_EQ(kept.size(), 1u);
    const int64_t renewed = std::get<0>(kept[0]);
    EXPECT_GT(renewed, old);
    EXPECT_EQ(kept[0], (std::tuple<int64_t, std::optional<int64_t>, bool>{renewed, anna, true}));
    EXPECT_EQ(db->db().scalarInt("SELECT cover_face FROM persons WHERE id=?", {anna}), renewed);
    EXPECT_TRUE(fs::exists(paths.faceURL(renewed)));

    // Someone else's photo saved over it: the same place, a print as alike
    // as two strangers' come.
    ASSERT_TRUE(fixtures::makeJPEG(root + "/p0.jpg", 64, 48, {10, 200, 10}));
    rescan(1);
    found[0].embedding = alike(found[0].embedding, 0.45f);
    EXPECT_TRUE(pass().run());
    const auto now = faces();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(std::get<1>(now[0]), std::nullopt);
    EXPECT_FALSE(std::get<2>(now[0]));
}

// A file written while the pass reads it is not taken as read: what was
// found is of the picture halfway, and the photo waits for the scan that its
// writing brings. The pass does not go round on it meanwhile.
TEST_F(FacePassTest, APhotoWrittenWhileReadIsLeftForTheScan) {
    addPhotos(1);
    onAnalyse = [&] { ASSERT_TRUE(fixtures::makeJPEG(root + "/p0.jpg", 80, 60, {0, 0, 250})); };
    EXPECT_TRUE(makePass().run());
    EXPECT_EQ(analysed, 1);
    EXPECT_EQ(count(FacePass::pendingCountSQL), 1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM faces"), 0);
    EXPECT_TRUE(cropFiles(paths.dataDir).empty());
    // The scan sees it changed; then it is read whole.
    rescan(1);
    EXPECT_TRUE(makePass().run());
    EXPECT_EQ(count(FacePass::pendingCountSQL), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM faces"), 1);
}

// A photo turned by a quarter or a half keeps its faces, their people and
// locks, whichever way and back: the analyser here, like a real one, finds a
// face only upright, in a landscape picture.
TEST_F(FacePassTest, APhotoTurnedKeepsItsFacesWhicheverWayAndBack) {
    addPhotos(1);
    const FaceRect upright{0.1, 0.2, 0.3, 0.4};
    auto onlyUpright = [&](const Image& im) -> std::vector<DetectedFace> {
        // The darker quarter marks the picture's top left as it was made.
        auto dark = [&](int x, int y) { return im.row(y)[size_t(x) * 4] < 150; };
        if (im.width < im.height || !dark(1, 1)) return {};
        return {{upright, 0.8, unitVector(5), std::make_shared<Image>(24, 24), 0}};
    };
    auto pass = [&] {
        return FacePass(paths, db, {}, onlyUpright, [](LibraryDB&) { return false; });
    };
    EXPECT_TRUE(pass().run());
    ASSERT_EQ(count("SELECT COUNT(*) FROM faces"), 1);
    const int64_t face = count("SELECT id FROM faces");
    const int64_t anna = db->db().insert("INSERT INTO persons(name, created) VALUES('Anna', 0)", {});
    db->db().run("UPDATE faces SET person_id=?, locked=1", {anna});

    using Placed = std::tuple<int64_t, std::optional<int64_t>, bool, double, double, double, double>;
    auto stored = [&] {
        return db->db().query("SELECT id, person_id, locked, x, y, w, h FROM faces", {}, [](const Row& r) {
            return Placed{r.int64(0), r.optInt(1), r.int64(2) != 0, r.dbl(3), r.dbl(4), r.dbl(5), r.dbl(6)};
        });
    };
    auto expectAt = [&](const FaceRect& r) {
        const auto now = stored();
        ASSERT_EQ(now.size(), 1u);
        const auto& [id, person, locked, x, y, w, h] = now[0];
        EXPECT_EQ(id, face);
        EXPECT_EQ(person, anna);
        EXPECT_TRUE(locked);
        EXPECT_NEAR(x, r.x, 1e-9);
        EXPECT_NEAR(y, r.y, 1e-9);
        EXPECT_NEAR(w, r.width, 1e-9);
        EXPECT_NEAR(h, r.height, 1e-9);
    };
    // Turned by its orientation (a quarter each way, a half), by its pixels,
    // and back upright.
    for (int orientation : {6, 8, 3, 1}) {
        SCOPED_TRACE(orientation);
        fixtures::ExifTags exif;
        exif.orientation = orientation;
        ASSERT_TRUE(fixtures::makeJPEG(root + "/p0.jpg", 64, 48, {}, exif));
        rescan(1);
        EXPECT_TRUE(pass().run());
        const int turn = orientation == 6 ? 1 : orientation == 8 ? 3 : orientation == 3 ? 2 : 0;
        expectAt(turnedRect(upright, turn));
    }
}

// With the shared analyser, the sets of networks made for the workers stay
// while the pass only gives way to a scan, and are let go when it ends.
TEST_F(FacePassTest, TheSharedAnalysersExtraNetworksGoWhenThePassEnds) {
    const auto files = faces::ModelFiles::inAssetFolder();
    if (!fs::exists(files.detector) || !fs::exists(files.landmarks) || !fs::exists(files.embedding))
        GTEST_SKIP() << "face weights not fetched";
    FaceEngine& engine = FaceEngine::shared();
    addPhotos(FacePass::batchSize + 2);
    int setsAfterBatch = 0;
    FacePassHooks hooks;
    hooks.shouldGiveWay = [&] { return reports.size() > 1; };
    hooks.report = [&](const EngineStatus& s) {
        reports.push_back(s);
        setsAfterBatch = engine.networkSets();
    };
    EXPECT_FALSE(FacePass(paths, db, hooks).run());
    EXPECT_EQ(engine.networkSets(), setsAfterBatch);
    EXPECT_EQ(count(FacePass::pendingCountSQL), 2);

    hooks.shouldGiveWay = [] { return false; };
    EXPECT_TRUE(FacePass(paths, db, hooks).run());
    EXPECT_EQ(engine.networkSets(), 1);
    EXPECT_EQ(count(FacePass::pendingCountSQL), 0);
}

// A failing insert (a full disk) and a failing "done" mark both fail the
// whole batch: nothing of it is kept, no crop is left under an id the
// database will hand out again, and the pass ends instead of analysing the
// same photos forever.
class FacePassFailingSaveTest : public FacePassTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FacePassFailingSaveTest, EndsThePassAndLeavesNothingBehind) {
    addPhotos(40);
    db->db().exec(GetParam());
    EXPECT_TRUE(makePass().run());
    // The failed batch once, and at most the next, already under way when
    // the save failed; never the failed photos again.
    EXPECT_GE(analysed, 18);
    EXPECT_LE(analysed, 36);
    EXPECT_EQ(count("SELECT COUNT(*) FROM faces"), 0);
    EXPECT_EQ(count(FacePass::pendingCountSQL), 40);
    EXPECT_EQ(reports, std::vector<EngineStatus>{EngineStatus::faces(0, 40)});
    EXPECT_TRUE(cropFiles(paths.dataDir).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Triggers, FacePassFailingSaveTest,
    ::testing::Values("CREATE TRIGGER full BEFORE INSERT ON faces BEGIN SELECT RAISE(ABORT, 'disk full'); END",
                      "CREATE TRIGGER stuck BEFORE UPDATE OF faces_done ON assets BEGIN "
                      "SELECT RAISE(ABORT, 'disk I/O error'); END"));

}  // namespace
