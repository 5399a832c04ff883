// Face analyses on many threads at once, again and again, while the extra
// sets of networks are let go between and during them: every result must be
// the one a single thread computes. The labelled photos when the shared data
// folder is there, else generated pictures with landmarks laid on them, so
// that every network runs either way.
//
// VINTRELLE_STRESS_CYCLES sets the number of rounds.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <thread>

#include "Core/Faces/FaceEngine.h"
#include "Core/Faces/FaceNets.h"
#include "Core/Media/MediaProcessor.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

struct Case {
    ImageRef image;
    std::vector<FaceObservation> landmarks;  // analysed besides what the detector finds
    std::vector<DetectedFace> found;         // by one thread, before the rounds
};

// A picture with texture, and one upright face's landmarks on it.
Case generated(int seed) {
    auto img = std::make_shared<Image>(900 + 50 * seed, 700);
    for (int y = 0; y < img->height; ++y)
        for (int x = 0; x < img->width; ++x) {
            uint8_t* p = img->row(y) + size_t(x) * 4;
            p[0] = uint8_t((x * (3 + seed)) ^ y);
            p[1] = uint8_t((y * 5 + x) >> 1);
            p[2] = uint8_t(x + y * seed);
            p[3] = 255;
        }
    FaceObservation f;
    f.box = {0.3, 0.3, 0.3, 0.35};
    auto ring = [](double cx, double cy) {
        return std::vector<FacePoint>{{cx - 4, cy}, {cx, cy + 3}, {cx + 4, cy}, {cx, cy - 3}};
    };
    f.rightEye = ring(380, 430);
    f.leftEye = ring(480 + 4 * seed, 432);
    f.outerLips = {{390, 330}, {430, 322}, {470, 330}, {430, 338}};
    f.nose = {432, 380};
    f.confidence = 0.95;
    f.frontality = 0.9;
    return {img, {f}, {}};
}

std::vector<FaceObservation> joined(std::vector<FaceObservation> a, const std::vector<FaceObservation>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(FaceStress, ParallelAnalysesAgreeWithOneThread) {
    const auto files = faces::ModelFiles::inAssetFolder();
    if (!fs::exists(files.detector) || !fs::exists(files.landmarks) || !fs::exists(files.embedding))
        GTEST_SKIP() << "face weights not fetched";
    MediaProcessor::initialize();
    FaceEngine& engine = FaceEngine::shared();
    ASSERT_TRUE(engine.model);

    std::vector<Case> cases;
    const std::string shared = fixtures::sharedDataDir();
    if (!shared.empty())
        for (const char* name : {"img1.jpg", "img27.jpg", "img57.jpg", "img10.jpg"})
            if (ImageRef image = MediaProcessor::loadImage(shared + "/faces/images/" + name, 1600))
                cases.push_back({image, {}, {}});
    for (int seed = 0; seed < 3; ++seed) cases.push_back(generated(seed));
    for (Case& c : cases) c.found = engine.analyze(*c.image, joined(engine.observe(*c.image), c.landmarks));
    engine.releaseWorkingMemory();

    const char* env = std::getenv("VINTRELLE_STRESS_CYCLES");
    const int rounds = env && *env ? std::max(1, std::atoi(env)) : 3;
    const int threads = int(std::max(4u, std::thread::hardware_concurrency()));
    std::atomic<int> mismatches{0};
    for (int round = 0; round < rounds; ++round) {
        std::latch start(threads + 1);
        std::atomic<int> running{threads};
        std::vector<std::jthread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                start.arrive_and_wait();
                for (size_t k = 0; k < cases.size(); ++k) {
                    const Case& c = cases[(k + size_t(t)) % cases.size()];
                    const auto found = engine.analyze(*c.image, joined(engine.observe(*c.image), c.landmarks));
                    bool same = found.size() == c.found.size();
                    for (size_t i = 0; same && i < found.size(); ++i)
                        same = found[i].embedding == c.found[i].embedding && found[i].quality == c.found[i].quality &&
                               found[i].rect.x == c.found[i].rect.x && found[i].rect.y == c.found[i].rect.y;
                    if (!same) ++mismatches;
                }
                --running;
            });
        // Letting go of idle sets while others are in use must leave those alone.
        start.arrive_and_wait();
        while (running > 0) {
            engine.releaseWorkingMemory();
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    }
    EXPECT_EQ(mismatches, 0);
    engine.releaseWorkingMemory();
    EXPECT_EQ(engine.networkSets(), 1);
}
