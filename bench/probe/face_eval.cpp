#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "Core/FaceEngine.h"
#include "Core/FaceThresholds.h"
#include "Core/Faces/FaceNets.h"
#include "Core/Faces/PhotoDecode.h"
#include "Core/Faces/Projection.h"
#include "Probe.h"

namespace {

using vintrelle::FaceEngine;

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

int faceEval(const probe::Args& argsIn) {
    probe::Args args = argsIn;
    const std::string images = probe::takeOption(args, "--images");
    const std::string pairsPath = probe::takeOption(args, "--pairs");
    const bool compare = std::find(args.begin(), args.end(), "--compare") != args.end();
    if (images.empty() || pairsPath.empty())
        return probe::fail("usage: vintrelle-probe face-eval --images DIR --pairs CSV [--compare]");
    auto& engine = FaceEngine::shared();
    if (!engine.model) return probe::fail("face model not loaded (run scripts/npm-assets.sh or set VINTRELLE_ASSETS)");
    const auto pairs = readPairs(pairsPath);
    if (pairs.empty()) return probe::fail("no pairs in " + pairsPath);

    // The raw network output of the largest accepted face of every image.
    std::map<std::string, std::vector<float>> raw;
    int noFace = 0;
    for (const auto& p : pairs)
        for (const auto& name : {p.a, p.b}) {
            if (raw.count(name)) continue;
            auto& slot = raw[name];
            auto image = vintrelle::faces::decodeUpright(images + "/" + name, 1600);
            if (!image) continue;
            std::optional<std::array<vintrelle::FacePoint, 4>> best;
            double bestWidth = 0;
            for (const auto& o : engine.observe(*image)) {
                auto src = FaceEngine::sourcePoints(o, image->width, image->height);
                if (src && o.box.width > bestWidth) {
                    best = src;
                    bestWidth = o.box.width;
                }
            }
            if (!best) {
                ++noFace;
                continue;
            }
            auto aligned = FaceEngine::align(*image, std::vector<vintrelle::FacePoint>(best->begin(), best->end()));
            if (!aligned) continue;
            cv::Mat rgb;
            cv::cvtColor(cv::Mat(112, 112, CV_8UC4, aligned->data()), rgb, cv::COLOR_RGBA2RGB);
            slot = engine.model->embedding->forward(rgb);
        }

    auto scoresWith = [&](const std::vector<float>& projection) {
        Scores s;
        std::map<std::string, std::vector<float>> emb;
        for (const auto& [name, r] : raw) {
            if (r.empty()) continue;
            if (projection.empty()) {
                std::vector<float> id(r.size() * r.size(), 0.f);
                for (size_t i = 0; i < r.size(); ++i) id[i * r.size() + i] = 1;
                emb[name] = vintrelle::faces::projectAndNormalize(id, r);
            } else {
                emb[name] = vintrelle::faces::projectAndNormalize(projection, r);
            }
        }
        for (const auto& p : pairs) (p.same ? s.same : s.different).push_back(cosine(emb[p.a], emb[p.b]));
        return s;
    };

    const Scores inForce = scoresWith(engine.model->projection);
    for (const auto& t : vintrelle::FaceThresholds::similarityThresholds)
        probe::emit({{"threshold", t.name}, {"value", round4(t.value)}, {"tar", round4(inForce.rate(inForce.same, t.value))},
                     {"far", round4(inForce.rate(inForce.different, t.value))}});
    if (compare) {
        auto line = [&](const std::string& name, const Scores& s) {
            probe::emit({{"projection", name}, {"auc", round4(s.auc())}, {"tar@far1%", round4(s.tarAtFar(0.01))},
                         {"tar@join", round4(s.rate(s.same, vintrelle::FaceThresholds::join))},
                         {"far@join", round4(s.rate(s.different, vintrelle::FaceThresholds::join))}});
        };
        line("none (256)", scoresWith({}));
        line("principal", inForce);
        for (uint32_t seed = 1; seed <= 8; ++seed)
            line("random seed " + std::to_string(seed), scoresWith(vintrelle::faces::randomOrthonormalProjection(128, 256, seed)));
    }
    const float join = vintrelle::FaceThresholds::join;
    probe::emit({{"join", round4(join)}, {"tar@join", round4(inForce.rate(inForce.same, join))},
                 {"far@join", round4(inForce.rate(inForce.different, join))}, {"auc", round4(inForce.auc())},
                 {"imagesWithoutFace", noFace}});
    return 0;
}

probe::Register reg("face-eval", "--images DIR --pairs CSV [--compare]", faceEval);

}  // namespace
