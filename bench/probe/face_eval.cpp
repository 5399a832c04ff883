// vintrelle-probe face-eval: true- and false-accept rates of the face
// embedding over labelled pairs, at every similarity threshold.
//   --compare  also the area under the curve and rates of the alternatives:
//              the recognition network without its mean descriptor taken
//              away, and mobileface (256 outputs, unprojected, under the
//              data-free principal projection and under random ones).
//   --mean DIR prints the mean raw recognition output over every accepted
//              face of the photos in DIR: how Faces/RecognitionMean.h was made.

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "Core/Faces/FaceEngine.h"
#include "Core/Faces/FaceThresholds.h"
#include "Core/Faces/FaceNets.h"
#include "Core/Media/MediaProcessor.h"
#include "Core/Faces/Projection.h"
#include "Probe.h"

namespace {

using vintrelle::FaceEngine;
using vintrelle::FaceObservation;
namespace faces = vintrelle::faces;
namespace T = vintrelle::FaceThresholds;

struct Pair {
    std::string a, b;
    bool same;
};

std::vector<Pair> readPairs(const std::string& path) {
    std::vector<Pair> pairs;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::stringstream ss(line);
        std::string a, b, same;
        if (!std::getline(ss, a, ',') || !std::getline(ss, b, ',') || !std::getline(ss, same, ',')) continue;
        if (same != "0" && same != "1") continue;  // the header
        pairs.push_back({a, b, same == "1"});
    }
    return pairs;
}

float cosine(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.empty() || a.size() != b.size()) return -1;
    float d = 0;
    for (size_t i = 0; i < a.size(); ++i) d += a[i] * b[i];
    return d;
}

struct Scores {
    std::vector<float> same, different;
    double rate(const std::vector<float>& v, float t) const {
        if (v.empty()) return 0;
        size_t n = 0;
        for (float s : v) n += s >= t;
        return double(n) / double(v.size());
    }
    double auc() const {
        double wins = 0;
        for (float s : same)
            for (float d : different) wins += s > d ? 1 : s == d ? 0.5 : 0;
        return same.empty() || different.empty() ? 0 : wins / (double(same.size()) * double(different.size()));
    }
    // True-accept rate at the lowest threshold whose false-accept rate is at most `far`.
    double tarAtFar(double far) const {
        std::vector<float> t = different;
        std::sort(t.begin(), t.end(), std::greater<>());
        const size_t allowed = size_t(std::floor(far * double(t.size())));
        const float threshold = allowed < t.size() ? std::nextafter(t[allowed], 2.f) : -1.f;
        return rate(same, threshold);
    }
};

double round4(double v) { return std::round(v * 10000) / 10000; }

cv::Mat rgbOf(const std::vector<uint8_t>& rgbx, int side) {
    cv::Mat rgb;
    cv::cvtColor(cv::Mat(side, side, CV_8UC4, const_cast<uint8_t*>(rgbx.data())), rgb, cv::COLOR_RGBA2RGB);
    return rgb;
}

// The raw recognition output of a face's chip; empty when it cannot be cut.
std::vector<float> rawRecognition(FaceEngine& engine, const vintrelle::Image& image, const FaceObservation& face) {
    const auto chip = FaceEngine::chip(image, face.outline);
    if (!chip) return {};
    return engine.model->recognition->forward(rgbOf(*chip, faces::RecognitionNet::inputSize));
}

std::vector<float> unitLength(std::vector<float> v) {
    std::vector<float> identity(v.size() * v.size(), 0.f);
    for (size_t i = 0; i < v.size(); ++i) identity[i * v.size() + i] = 1;
    return faces::projectAndNormalize(identity, v);
}

int meanDescriptor(FaceEngine& engine, const std::string& dir) {
    std::vector<double> sum;
    int n = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const auto image = vintrelle::MediaProcessor::loadImage(entry.path().string(), 1600);
        if (!image) continue;
        for (const auto& o : engine.observe(*image)) {
            if (!FaceEngine::sourcePoints(o, image->width, image->height)) continue;
            const auto raw = rawRecognition(engine, *image, o);
            if (raw.empty()) continue;
            sum.resize(raw.size(), 0.0);
            for (size_t i = 0; i < raw.size(); ++i) sum[i] += raw[i];
            ++n;
        }
    }
    if (n == 0) return probe::fail("no faces in " + dir);
    std::vector<double> mean;
    for (double v : sum) mean.push_back(std::round(v / n * 1e6) / 1e6);
    probe::emit({{"faces", n}, {"mean", mean}});
    return 0;
}

int faceEval(const probe::Args& argsIn) {
    probe::Args args = argsIn;
    const std::string images = probe::takeOption(args, "--images");
    const std::string pairsPath = probe::takeOption(args, "--pairs");
    const std::string meanOf = probe::takeOption(args, "--mean");
    const bool compare = std::find(args.begin(), args.end(), "--compare") != args.end();
    if (meanOf.empty() && (images.empty() || pairsPath.empty()))
        return probe::fail("usage: vintrelle-probe face-eval --images DIR --pairs CSV [--compare] | --mean DIR");
    auto& engine = FaceEngine::shared();
    if (!engine.model) return probe::fail("face model not loaded (run scripts/npm-assets.sh or set VINTRELLE_ASSETS)");
    if (!meanOf.empty()) return meanDescriptor(engine, meanOf);
    const auto pairs = readPairs(pairsPath);
    if (pairs.empty()) return probe::fail("no pairs in " + pairsPath);
    std::unique_ptr<faces::EmbeddingNet> mobileface;
    if (compare) {
        mobileface = faces::EmbeddingNet::load(faces::ModelFiles::inAssetFolder().mobileface);
        if (!mobileface) return probe::fail("mobileface not loaded (run scripts/npm-assets.sh)");
    }

    // Per image, the largest accepted face: its embedding as analysis makes
    // it, and for the comparison the raw outputs of both networks.
    std::map<std::string, std::vector<float>> inForce, recognitionRaw, mobileRaw;
    int noFace = 0;
    for (const auto& p : pairs)
        for (const auto& name : {p.a, p.b}) {
            if (inForce.count(name)) continue;
            auto& slot = inForce[name];
            auto image = vintrelle::MediaProcessor::loadImage(images + "/" + name, 1600);
            if (!image) continue;
            std::optional<FaceObservation> best;
            std::array<vintrelle::FacePoint, 4> points;
            for (const auto& o : engine.observe(*image)) {
                auto src = FaceEngine::sourcePoints(o, image->width, image->height);
                if (src && (!best || o.box.width > best->box.width)) {
                    best = o;
                    points = *src;
                }
            }
            if (!best) {
                ++noFace;
                continue;
            }
            if (auto chip = FaceEngine::chip(*image, best->outline))
                if (auto e = engine.embed(*chip)) slot = *e;
            if (!compare) continue;
            recognitionRaw[name] = rawRecognition(engine, *image, *best);
            if (auto aligned = FaceEngine::align(*image, std::vector<vintrelle::FacePoint>(points.begin(), points.end())))
                mobileRaw[name] = mobileface->forward(rgbOf(*aligned, 112));
        }

    auto scoresOf = [&](const std::map<std::string, std::vector<float>>& embeddings) {
        Scores s;
        for (const auto& p : pairs) (p.same ? s.same : s.different).push_back(cosine(embeddings.at(p.a), embeddings.at(p.b)));
        return s;
    };
    auto mapped = [&](const std::map<std::string, std::vector<float>>& raw, const std::vector<float>& projection) {
        std::map<std::string, std::vector<float>> out;
        for (const auto& [name, r] : raw) out[name] = projection.empty() ? unitLength(r) : faces::projectAndNormalize(projection, r);
        for (const auto& [name, e] : inForce) out.try_emplace(name);  // images without a face compare as -1
        return out;
    };

    const Scores scores = scoresOf(inForce);
    for (const auto& t : T::similarityThresholds)
        probe::emit({{"threshold", t.name}, {"value", round4(t.value)}, {"tar", round4(scores.rate(scores.same, t.value))},
                     {"far", round4(scores.rate(scores.different, t.value))}});
    if (compare) {
        // Rates at the thresholds in force, and at the thresholds the
        // mobileface comparison was first tuned to (join 0.40).
        auto line = [&](const std::string& name, const Scores& s) {
            probe::emit({{"embedding", name}, {"auc", round4(s.auc())}, {"tar@far1%", round4(s.tarAtFar(0.01))},
                         {"tar@join", round4(s.rate(s.same, T::join))}, {"far@join", round4(s.rate(s.different, T::join))},
                         {"tar@0.40", round4(s.rate(s.same, 0.40f))}, {"far@0.40", round4(s.rate(s.different, 0.40f))}});
        };
        line("recognition less mean (in force)", scores);
        line("recognition raw", scoresOf(mapped(recognitionRaw, {})));
        line("mobileface raw (256)", scoresOf(mapped(mobileRaw, {})));
        line("mobileface principal", scoresOf(mapped(mobileRaw, faces::principalProjection(mobileface->kernel, mobileface->scale, 128))));
        for (uint32_t seed = 1; seed <= 8; ++seed)
            line("mobileface random seed " + std::to_string(seed),
                 scoresOf(mapped(mobileRaw, faces::randomOrthonormalProjection(128, 256, seed))));
    }
    probe::emit({{"join", round4(T::join)}, {"tar@join", round4(scores.rate(scores.same, T::join))},
                 {"far@join", round4(scores.rate(scores.different, T::join))}, {"auc", round4(scores.auc())},
                 {"imagesWithoutFace", noFace}});
    return 0;
}

probe::Register reg("face-eval", "--images DIR --pairs CSV [--compare] | --mean DIR", faceEval);

}  // namespace
