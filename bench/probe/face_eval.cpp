// vintrelle-probe face-eval: true- and false-accept rates of the face
// embedding over labelled pairs, at every similarity threshold, and its
// area under the curve and true-accept rate at a 1 % false-accept rate.
//   --compare  the same for the alternatives measured when the embedding
//              was chosen: the network's raw 512 outputs; the four-point
//              alignment of the design against the five-point one; and
//              other data-free maps to 128 values (sums of four outputs,
//              random orthonormal maps), with how far each moves the
//              cosines of the raw outputs.

#include <cmath>
#include <filesystem>
#include <functional>
#include <map>

#include <opencv2/imgproc.hpp>

#include "Core/Faces/FaceEngine.h"
#include "Core/Faces/FaceThresholds.h"
#include "Core/Faces/FaceNets.h"
#include "Core/Media/MediaProcessor.h"
#include "LabelledPairs.h"
#include "Probe.h"

namespace {

using vintrelle::FaceEngine;
using vintrelle::FaceObservation;
namespace faces = vintrelle::faces;
namespace T = vintrelle::FaceThresholds;

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

// out = P · in (P row-major, rows x in.size()), scaled to unit length.
std::vector<float> project(const std::vector<float>& p, const std::vector<float>& in) {
    if (in.empty() || p.size() % in.size() != 0) return {};
    std::vector<float> out(p.size() / in.size(), 0.f);
    double sumSq = 0;
    for (size_t r = 0; r < out.size(); ++r) {
        for (size_t i = 0; i < in.size(); ++i) out[r] += p[r * in.size() + i] * in[i];
        sumSq += double(out[r]) * out[r];
    }
    if (!(sumSq > 0)) return {};
    for (float& v : out) v = float(v / std::sqrt(sumSq));
    return out;
}

std::vector<float> identity(size_t n) {
    std::vector<float> p(n * n, 0.f);
    for (size_t i = 0; i < n; ++i) p[i * n + i] = 1;
    return p;
}

// Sums of four adjacent outputs.
std::vector<float> adjacentSums() {
    std::vector<float> p(128 * 512, 0.f);
    for (size_t r = 0; r < 128; ++r)
        for (size_t k = 0; k < 4; ++k) p[r * 512 + 4 * r + k] = 1;
    return p;
}

// A random orthonormal 128 x 512 map from a fixed seed (Gram-Schmidt over
// Gaussian rows).
std::vector<float> randomOrthonormal(uint32_t seed) {
    cv::RNG rng(seed);
    cv::Mat m(128, 512, CV_64F);
    rng.fill(m, cv::RNG::NORMAL, 0, 1);
    for (int r = 0; r < m.rows; ++r) {
        for (int q = 0; q < r; ++q) m.row(r) -= m.row(r).dot(m.row(q)) * m.row(q);
        m.row(r) /= cv::norm(m.row(r));
    }
    std::vector<float> p;
    m.reshape(1, 1).convertTo(p, CV_32F);
    return p;
}

// Sums of four outputs 128 apart.
std::vector<float> stridedSums() {
    std::vector<float> p(128 * 512, 0.f);
    for (size_t r = 0; r < 128; ++r)
        for (size_t k = 0; k < 4; ++k) p[r * 512 + r + 128 * k] = 1;
    return p;
}

int faceEval(const probe::Args& argsIn) {
    probe::Args args = argsIn;
    const std::string images = probe::takeOption(args, "--images");
    const std::string pairsPath = probe::takeOption(args, "--pairs");
    const bool compare = std::find(args.begin(), args.end(), "--compare") != args.end();
    if (images.empty() || pairsPath.empty()) return probe::fail("usage: vintrelle-probe face-eval --images DIR --pairs CSV [--compare]");
    auto& engine = FaceEngine::shared();
    if (!engine.model) return probe::fail("face model not loaded (run scripts/npm-assets.sh or set VINTRELLE_ASSETS)");
    const auto pairs = probe::readPairs(pairsPath);
    if (pairs.empty()) return probe::fail("no pairs in " + pairsPath);

    // Per image, the largest accepted face: its embedding as analysis makes
    // it, and for the comparison the raw outputs after each alignment.
    std::map<std::string, std::vector<float>> inForce, raw5, raw4;
    int noFace = 0;
    for (const auto& p : pairs)
        for (const auto& name : {p.a, p.b}) {
            if (inForce.count(name)) continue;
            auto& slot = inForce[name];
            auto image = vintrelle::MediaProcessor::loadImage(images + "/" + name, 1600);
            if (!image) continue;
            std::optional<FaceObservation> best;
            std::vector<vintrelle::FacePoint> points;
            for (const auto& o : engine.observe(*image)) {
                auto src = FaceEngine::sourcePoints(o, image->width, image->height);
                if (src && (!best || o.box.width > best->box.width)) {
                    best = o;
                    points.assign(src->begin(), src->end());
                }
            }
            if (!best) {
                ++noFace;
                continue;
            }
            points.push_back(best->nose);
            const auto aligned = FaceEngine::align(*image, points);
            if (!aligned) continue;
            if (auto e = engine.embed(*aligned)) slot = *e;
            if (!compare) continue;
            raw5[name] = engine.model->embedding->forward(rgbOf(*aligned, faces::EmbeddingNet::inputSize));
            points.pop_back();
            if (const auto four = FaceEngine::align(*image, points))
                raw4[name] = engine.model->embedding->forward(rgbOf(*four, faces::EmbeddingNet::inputSize));
        }

    auto scoresOf = [&](const std::map<std::string, std::vector<float>>& embeddings) {
        Scores s;
        for (const auto& p : pairs) (p.same ? s.same : s.different).push_back(cosine(embeddings.at(p.a), embeddings.at(p.b)));
        return s;
    };
    auto mapped = [&](const std::map<std::string, std::vector<float>>& raw, const std::function<std::vector<float>(const std::vector<float>&)>& map) {
        std::map<std::string, std::vector<float>> out;
        for (const auto& [name, r] : raw) out[name] = map(r);
        for (const auto& [name, e] : inForce) out.try_emplace(name);  // images without a face compare as -1
        return out;
    };
    // How far a map moves the cosines of the raw outputs: the mean and the
    // largest change over every two faces, labelled or not.
    auto deviation = [&](const std::map<std::string, std::vector<float>>& raw, const std::map<std::string, std::vector<float>>& m) {
        double sum = 0, most = 0;
        size_t n = 0;
        for (auto a = raw.begin(); a != raw.end(); ++a)
            for (auto b = std::next(a); b != raw.end(); ++b) {
                const double d = std::abs(double(cosine(m.at(a->first), m.at(b->first))) -
                                          cosine(project(identity(512), a->second), project(identity(512), b->second)));
                sum += d;
                most = std::max(most, d);
                ++n;
            }
        return std::pair(round4(sum / double(std::max<size_t>(n, 1))), round4(most));
    };
    auto line = [&](const std::string& name, const Scores& s, std::optional<std::pair<double, double>> moved = std::nullopt) {
        double sameMean = 0, differentMean = 0;
        for (float v : s.same) sameMean += v / double(s.same.size());
        for (float v : s.different) differentMean += v / double(s.different.size());
        const float sameMin = s.same.empty() ? 0 : *std::min_element(s.same.begin(), s.same.end());
        const float differentMax = s.different.empty() ? 0 : *std::max_element(s.different.begin(), s.different.end());
        probe::emit({{"embedding", name}, {"auc", round4(s.auc())}, {"tar@far1%", round4(s.tarAtFar(0.01))},
                     {"tar@join", round4(s.rate(s.same, T::join))}, {"far@join", round4(s.rate(s.different, T::join))},
                     {"tar@0.40", round4(s.rate(s.same, 0.40f))}, {"far@0.40", round4(s.rate(s.different, 0.40f))},
                     {"sameMean", round4(sameMean)}, {"differentMean", round4(differentMean)}, {"sameMin", round4(sameMin)},
                     {"differentMax", round4(differentMax)}});
        if (moved) probe::emit({{"embedding", name}, {"cosineChangeMean", moved->first}, {"cosineChangeMax", moved->second}});
    };

    const Scores scores = scoresOf(inForce);
    for (const auto& t : T::similarityThresholds)
        probe::emit({{"threshold", t.name}, {"value", round4(t.value)}, {"tar", round4(scores.rate(scores.same, t.value))},
                     {"far", round4(scores.rate(scores.different, t.value))}});
    if (compare) {
        auto compared = [&](const std::string& name, const std::map<std::string, std::vector<float>>& raw,
                            const std::function<std::vector<float>(const std::vector<float>&)>& map) {
            const auto m = mapped(raw, map);
            std::map<std::string, std::vector<float>> faced;
            for (const auto& [n, r] : raw) faced[n] = m.at(n);
            line(name, scoresOf(m), deviation(raw, faced));
        };
        const auto full = identity(512);
        const auto fixed = engine.model->embedding->projection();
        const auto strided = stridedSums();
        const auto adjacent = adjacentSums();
        line("in force (five points, fixed map)", scores);
        compared("five points, raw 512", raw5, [&](const auto& r) { return project(full, r); });
        compared("four points, raw 512", raw4, [&](const auto& r) { return project(full, r); });
        compared("five points, fixed map", raw5, [&](const auto& r) { return project(fixed, r); });
        compared("four points, fixed map", raw4, [&](const auto& r) { return project(fixed, r); });
        compared("five points, strided sums", raw5, [&](const auto& r) { return project(strided, r); });
        compared("five points, adjacent sums", raw5, [&](const auto& r) { return project(adjacent, r); });
        for (uint32_t seed = 1; seed <= 4; ++seed) {
            const auto random = randomOrthonormal(seed);
            compared("five points, random seed " + std::to_string(seed), raw5, [&](const auto& r) { return project(random, r); });
        }
    }
    probe::emit({{"join", round4(T::join)}, {"tar@join", round4(scores.rate(scores.same, T::join))},
                 {"far@join", round4(scores.rate(scores.different, T::join))}, {"auc", round4(scores.auc())},
                 {"tar@far1%", round4(scores.tarAtFar(0.01))}, {"imagesWithoutFace", noFace}});
    return 0;
}

probe::Register reg("face-eval", "--images DIR --pairs CSV [--compare]", faceEval);

}  // namespace
