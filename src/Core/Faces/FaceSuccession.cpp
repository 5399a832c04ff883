#include "Core/Faces/FaceSuccession.h"

#include <algorithm>
#include <cmath>

#include "Core/Faces/FaceThresholds.h"

namespace vintrelle {

namespace {

// 0 unless both are full prints.
float printSimilarity(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != size_t(FaceThresholds::embeddingSize) || a.size() != b.size()) return 0;
    double d = 0, na = 0, nb = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        d += double(a[i]) * b[i];
        na += double(a[i]) * a[i];
        nb += double(b[i]) * b[i];
    }
    if (na <= 0 || nb <= 0) return 0;
    return float(d / std::sqrt(na * nb));
}

// Intersection over union of two boxes; 0 when they do not meet.
double boxOverlap(const FaceRect& a, const FaceRect& b) {
    const double w = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
    const double h = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
    if (w <= 0 || h <= 0) return 0;
    const double meet = w * h;
    const double all = a.width * a.height + b.width * b.height - meet;
    return all > 0 ? meet / all : 0;
}

}  // namespace

std::vector<int> earlierFaceOf(const std::vector<PlacedFace>& earlier, const std::vector<PlacedFace>& found) {
    struct Pair {
        double closeness;
        int found, earlier;
    };
    std::vector<Pair> pairs;
    for (size_t i = 0; i < found.size(); ++i)
        for (size_t j = 0; j < earlier.size(); ++j) {
            const double overlap = boxOverlap(found[i].rect, earlier[j].rect);
            // The place alone decides between prints of two analyser
            // versions (people named before it changed keep theirs), which
            // do not compare.
            const float print = printSimilarity(found[i].embedding, earlier[j].embedding);
            if (overlap < FaceThresholds::samePlace && print < FaceThresholds::join) continue;
            pairs.push_back({std::max(overlap, double(print)), int(i), int(j)});
        }
    // Between two faces side by side, each face's own predecessor is the
    // closer: the same box, or the same print.
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const Pair& a, const Pair& b) { return a.closeness > b.closeness; });
    std::vector<int> of(found.size(), -1);
    std::vector<bool> taken(earlier.size(), false);
    for (const Pair& p : pairs) {
        if (of[size_t(p.found)] >= 0 || taken[size_t(p.earlier)]) continue;
        of[size_t(p.found)] = p.earlier;
        taken[size_t(p.earlier)] = true;
    }
    return of;
}

}  // namespace vintrelle
