#include "Core/Faces/FaceSuccession.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Core/Faces/FaceThresholds.h"

namespace vintrelle {

namespace {

bool fullPrint(const std::vector<float>& e) { return e.size() == size_t(FaceThresholds::embeddingSize); }

// 0 unless both are full prints.
float printSimilarity(const std::vector<float>& a, const std::vector<float>& b) {
    if (!fullPrint(a) || a.size() != b.size()) return 0;
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

int quarterTurns(int quarters) { return ((quarters % 4) + 4) % 4; }

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
            const bool comparable = !earlier[j].olderPrint && fullPrint(earlier[j].embedding) &&
                                    fullPrint(found[i].embedding);
            double closeness;
            if (comparable) {
                // The print alone decides, as closely as the photo's own
                // edits keep it: no place lets a look-alike in.
                const float print = printSimilarity(found[i].embedding, earlier[j].embedding);
                if (print < FaceThresholds::sameFace) continue;
                closeness = std::max(overlap, double(print));
            } else {
                // Prints of two analyser versions do not compare: the place
                // alone decides, so that people named before the analyser
                // changed keep their faces.
                if (overlap < FaceThresholds::samePlace) continue;
                closeness = overlap;
            }
            pairs.push_back({closeness, int(i), int(j)});
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

FaceRect turnedRect(const FaceRect& r, int quarters) {
    switch (quarterTurns(quarters)) {
        case 1: return {1 - (r.y + r.height), r.x, r.height, r.width};
        case 2: return {1 - (r.x + r.width), 1 - (r.y + r.height), r.width, r.height};
        case 3: return {r.y, 1 - (r.x + r.width), r.height, r.width};
        default: return r;
    }
}

Image turnedImage(const Image& image, int quarters) {
    const int q = quarterTurns(quarters);
    if (q == 0 || image.empty()) return image;
    const int w = image.width, h = image.height;
    Image out = q == 2 ? Image(w, h) : Image(h, w);
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = image.row(y);
        for (int x = 0; x < w; ++x) {
            int nx, ny;
            switch (q) {
                case 1: nx = h - 1 - y, ny = x; break;
                case 2: nx = w - 1 - x, ny = h - 1 - y; break;
                default: nx = y, ny = w - 1 - x; break;
            }
            std::memcpy(out.row(ny) + size_t(nx) * 4, src + size_t(x) * 4, 4);
        }
    }
    return out;
}

}  // namespace vintrelle
