// The networks built from the TF.js files against the outputs the packages
// they come from give for the same inputs (tests/fixtures/faces/golden.json,
// made by make_golden.cjs beside it).

#include <cmath>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Core/Faces/FaceNets.h"
#include "Core/Faces/TfjsWeights.h"
#include "fixtures/TempDir.h"

using namespace vintrelle::faces;

namespace {

nlohmann::json golden() {
    const auto path = std::filesystem::path(__FILE__).parent_path() / "../../fixtures/faces/golden.json";
    std::ifstream in(path);
    return nlohmann::json::parse(in);
}

// The integer pattern make_golden.cjs feeds every network.
cv::Mat goldenPattern(int size, int seed) {
    cv::Mat m(size, size, CV_32FC3);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            for (int c = 0; c < 3; ++c)
                m.ptr<float>(y)[x * 3 + c] = float((((x * x + 3 * y * y + 7 * x * y + seed * 101) >> 4) + 83 * c) & 255);
    return m;
}

bool haveModels() {
    const auto files = ModelFiles::inAssetFolder();
    return std::filesystem::exists(files.detector) && std::filesystem::exists(files.landmarks) &&
           std::filesystem::exists(files.recognition) && std::filesystem::exists(files.mobileface);
}

}  // namespace

TEST(FaceNets, DetectorMatchesReference) {
    if (!haveModels()) GTEST_SKIP() << "face weights not fetched (scripts/npm-assets.sh)";
    auto net = FaceDetector::load(ModelFiles::inAssetFolder().detector);
    ASSERT_TRUE(net);
    const auto g = golden()["detector"];
    std::vector<std::array<float, 4>> boxes;
    std::vector<float> scores;
    net->forward(goldenPattern(512, g["seed"]), boxes, scores);
    ASSERT_EQ(boxes.size(), 5118u);
    for (const auto& a : g["anchors"]) {
        const size_t i = a["index"];
        EXPECT_NEAR(scores[i], a["score"].get<float>(), 1e-3) << "anchor " << i;
        for (int k = 0; k < 4; ++k) EXPECT_NEAR(boxes[i][size_t(k)], a["box"][k].get<float>(), 1e-3) << "anchor " << i;
    }
}

// Every output of a face-api network within 1e-3 of the reference.
template <typename Net>
void expectMatchesReference(const std::string& manifest, const char* key, size_t outputs) {
    auto net = Net::load(manifest);
    ASSERT_TRUE(net);
    const auto g = golden()[key];
    const auto out = net->forward(goldenPattern(g["size"], g["seed"]));
    ASSERT_EQ(out.size(), outputs);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], g["output"][i].get<float>(), 1e-3) << i;
}

TEST(FaceNets, LandmarksMatchReference) {
    if (!haveModels()) GTEST_SKIP() << "face weights not fetched (scripts/npm-assets.sh)";
    expectMatchesReference<LandmarkNet>(ModelFiles::inAssetFolder().landmarks, "landmarks", 136);
}

TEST(FaceNets, EmbeddingMatchesReference) {
    if (!haveModels()) GTEST_SKIP() << "face weights not fetched (scripts/npm-assets.sh)";
    auto net = EmbeddingNet::load(ModelFiles::inAssetFolder().mobileface);
    ASSERT_TRUE(net);
    const auto g = golden()["embedding"];
    const auto out = net->forward(goldenPattern(112, g["seed"]));
    ASSERT_EQ(out.size(), 256u);
    double dot = 0, na = 0, nb = 0, worst = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        const double ref = g["output"][i].get<double>();
        dot += out[i] * ref;
        na += out[i] * out[i];
        nb += ref * ref;
        worst = std::max(worst, std::abs(out[i] - ref));
    }
    EXPECT_GE(dot / std::sqrt(na * nb), 0.999);
    EXPECT_LT(worst, 1e-2) << "largest difference of outputs of magnitude ~10";
}

TEST(FaceNets, RecognitionMatchesReference) {
    if (!haveModels()) GTEST_SKIP() << "face weights not fetched (scripts/npm-assets.sh)";
    expectMatchesReference<RecognitionNet>(ModelFiles::inAssetFolder().recognition, "recognition", 128);
}

TEST(TfjsWeights, BadFilesGiveNothing) {
    fixtures::TempDir dir;
    fixtures::writeFile(dir / "m.json", R"([{"paths":["w.bin"],"weights":[{"name":"a","shape":[4],"dtype":"float32"}]}])");
    fixtures::writeFile(dir / "w.bin", std::string(8, '\0'));  // 2 floats where 4 are declared
    EXPECT_FALSE(loadWeightsManifest(dir / "m.json"));
    EXPECT_FALSE(loadWeightsManifest(dir / "absent.json"));
    fixtures::writeFile(dir / "q.json",
                        R"([{"paths":["q.bin"],"weights":[{"name":"q","shape":[2,2],"dtype":"float32","quantization":{"dtype":"uint8","scale":0.5,"min":-1}}]}])");
    fixtures::writeFile(dir / "q.bin", std::string("\x00\x01\x02\xff", 4));
    auto w = loadWeightsManifest(dir / "q.json");
    ASSERT_TRUE(w);
    EXPECT_EQ((*w)["q"].values, (std::vector<float>{-1.f, -0.5f, 0.f, 126.5f}));
    EXPECT_EQ((*w)["q"].shape, (std::vector<int>{2, 2}));
}
