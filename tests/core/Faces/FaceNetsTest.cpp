// The networks against the outputs the packages they come from give for the
// same inputs: the TF.js ones (tests/fixtures/faces/golden.json, made by
// make_golden.cjs beside it) and the ONNX embedding network as onnxruntime
// runs it (embedding_golden.json, made by make_embedding_golden.cjs); and
// the fixed map of the embedding's outputs.

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Core/Faces/FaceNets.h"
#include "Core/Faces/Projection.h"
#include "Core/Faces/TfjsWeights.h"
#include "fixtures/TempDir.h"

using namespace vintrelle::faces;

namespace {

nlohmann::json golden(const char* file = "golden.json") {
    const auto path = std::filesystem::path(__FILE__).parent_path() / "../../fixtures/faces" / file;
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
           std::filesystem::exists(files.embedding);
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

TEST(FaceNets, LandmarksMatchReference) {
    if (!haveModels()) GTEST_SKIP() << "face weights not fetched (scripts/npm-assets.sh)";
    auto net = LandmarkNet::load(ModelFiles::inAssetFolder().landmarks);
    ASSERT_TRUE(net);
    const auto g = golden()["landmarks"];
    const auto out = net->forward(goldenPattern(g["size"], g["seed"]));
    ASSERT_EQ(out.size(), 136u);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], g["output"][i].get<float>(), 1e-3) << i;
}

// The pattern as 8-bit RGB, as analysis hands the network its crops: the
// network's own input scaling must match the package's.
TEST(FaceNets, EmbeddingMatchesReference) {
    if (!haveModels()) GTEST_SKIP() << "face weights not fetched (scripts/npm-assets.sh)";
    auto net = EmbeddingNet::load(ModelFiles::inAssetFolder().embedding);
    ASSERT_TRUE(net);
    auto twin = net->twin();
    const auto g = golden("embedding_golden.json");  // held: a range over a temporary's member dangles
    for (const auto& c : g["cases"]) {
        cv::Mat rgb;
        goldenPattern(c["size"], c["seed"]).convertTo(rgb, CV_8UC3);
        for (EmbeddingNet* n : {net.get(), twin.get()}) {
            const auto out = n->forward(rgb);
            ASSERT_EQ(out.size(), size_t(EmbeddingNet::outputs));
            for (size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], c["output"][i].get<float>(), 1e-4) << i;
        }
    }
    EXPECT_FALSE(EmbeddingNet::load(ModelFiles::inAssetFolder().landmarks));  // not ONNX
}

// The map from 512 outputs to 128: orthonormal rows signed by their largest
// component, made the same way on every machine (stored embeddings depend on
// it), and close to the full outputs' cosines.
TEST(FaceNets, EmbeddingMapIsFixedAndKeepsCosines) {
    if (!haveModels()) GTEST_SKIP() << "face weights not fetched (scripts/npm-assets.sh)";
    auto net = EmbeddingNet::load(ModelFiles::inAssetFolder().embedding);
    ASSERT_TRUE(net);
    const auto& p = net->projection();
    constexpr size_t rows = EmbeddingNet::mappedSize, cols = EmbeddingNet::outputs;
    ASSERT_EQ(p.size(), rows * cols);
    for (size_t i = 0; i < rows; ++i) {
        const float* a = p.data() + i * cols;
        EXPECT_GT(*std::max_element(a, a + cols, [](float x, float y) { return std::abs(x) < std::abs(y); }), 0) << i;
        for (size_t j = i; j < rows; ++j) {
            double d = 0;
            for (size_t c = 0; c < cols; ++c) d += double(a[c]) * p[j * cols + c];
            EXPECT_NEAR(d, i == j ? 1 : 0, 1e-5) << i << " " << j;
        }
    }
    const auto cases = golden("embedding_golden.json")["cases"];
    const auto a = cases[0]["output"].get<std::vector<float>>(), b = cases[1]["output"].get<std::vector<float>>();
    const auto ma = projectAndNormalize(p, a), mb = projectAndNormalize(p, b);
    ASSERT_EQ(ma.size(), rows);
    double raw = 0, na = 0, nb = 0, mapped = 0;
    for (size_t i = 0; i < cols; ++i) {
        raw += double(a[i]) * b[i];
        na += double(a[i]) * a[i];
        nb += double(b[i]) * b[i];
    }
    for (size_t i = 0; i < rows; ++i) mapped += double(ma[i]) * mb[i];
    EXPECT_NEAR(mapped, raw / std::sqrt(na * nb), 0.05);
    // The first values of the first case's mapped embedding, as this map
    // gave them when libraries were first analysed with it.
    const float pinned[] = {0.046865f, 0.084661f, 0.121809f, -0.157162f};
    for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(ma[i], pinned[i], 1e-4) << i;
    EXPECT_TRUE(projectAndNormalize(p, std::vector<float>(cols, 0.f)).empty());
    EXPECT_TRUE(projectAndNormalize(p, std::vector<float>(cols - 1, 1.f)).empty());
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
