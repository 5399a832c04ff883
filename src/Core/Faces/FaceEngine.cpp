#include "Core/Faces/FaceEngine.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <malloc.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "Core/Faces/FaceNets.h"
#include "Core/Faces/Projection.h"

namespace vintrelle {

namespace {

constexpr double minFacePixels = 36;
constexpr double minEyeDistance = 4;
constexpr double minMouthRatio = 0.5;
constexpr double maxMouthRatio = 2.8;
constexpr int alignedSide = 112;
constexpr int maxAvatar = 220;
constexpr float detectorThreshold = 0.5f;
// Close-ups: a face that fills much of the picture, or is cut by its frame,
// often scores under the threshold, the detector having learnt faces with
// room around them. When the first look finds no face clear of the
// picture's edges and yet some candidate scored at least closeUpHint, the
// detector looks again with the picture centred in a neutral grey border of
// closeUpBorder of its longer side on every side. On tight cuts (1.1 to 2.5
// times the face box, and head-and-shoulders) around the 22 faces of six
// group photos, this found 89 % of the faces instead of 76 %; the labelled
// portraits' cuts (all found before) and faces of 40-64 pixels pasted into
// group pictures lost none. A border on every first look instead shrinks
// small faces out of the detector's reach (group-picture recall fell from
// 86 % to 41 %). Of 48 face-free cuts of the same photos, 6 reached the
// hint and paid for the second look.
// A face clear of the edges does not rule out a larger one the frame cuts
// (a portrait cut through the forehead, a smaller face behind): when a
// candidate touching an edge and overlapping no found face reached the
// hint, the framed look runs as well and adds what the first look missed.
// The labelled portraits at 80-200 pixels, cut 15-45 % down by the top
// edge of 480 x 640 to 1600 x 1200 pictures with a 48-70 pixel face
// pasted behind: the first look missed the large face 152 times, always
// with such a candidate (0.1 to 0.5), and the framed look found 128 of
// them. A second look costs about as much as the rest of an analysis, so
// it is not run on every photo: 5 of the 62 labelled photos and 1 of 24
// face-recall group pictures pay for it (one of the five gains a real
// face, a profile cut by the edge). The face pass bench on 200 labelled
// photos, three runs each on a busy machine: 5.3 photos per second before,
// 5.0 after (one photo at a time, 3.8 and 3.55).
constexpr float closeUpBorder = 0.3f;
constexpr float closeUpHint = 0.1f;
constexpr float edgeMargin = 0.02f;  // of the longer side: a box this close to an edge touches it
// Small faces: at 1600 pixels a 36-60 pixel face is 12-20 pixels in the
// detector's 512 input, where it misses about one in ten. When the whole
// picture shows any face under smallFace pixels (a group or a distant
// shot), the detector runs again on 2 x 2 overlapping tiles. On faces of
// 36-64 pixels pasted into 1600-pixel pictures this raised recall from
// 84-98 % to 98-100 %. The tiles add only faces under tileFaceLimit that
// the whole picture missed.
// A photo without small faces pays nothing.
constexpr float smallFace = 64;
constexpr float tileFaceLimit = 96;
constexpr int tileOverlap = 96;
// A clear face can score just under the threshold in one framing and far
// over it in another: its score shifts with its size and place in the
// detector's input, which a crop, a resize or a re-encode changes. In
// group pictures of eight head-and-shoulders cuts side by side (1360 x 906,
// faces 110-230 pixels wide) one look missed 10 of 56 faces, scoring them
// 0.29-0.50, and a crop of 1000 pixels missed faces the whole picture had
// found. A candidate that came close (closerLookHint or more, wide enough
// to be kept) and overlaps no face found is looked at again, in a window of
// closerLookSide times its box around it, where the detector sees it at
// another scale; a face over the threshold there is taken. With it those
// pictures gave 56 of 56 faces, and every frontal face of 80 pixels or more
// found whole was found again in all 12 crop windows of it and in copies at
// half size and JPEG quality 50 (vintrelle-probe face-edits: 4,172 of
// 4,172, from 3,908 of 3,912); 299 face-free windows of the labelled photos
// held one false face before and after, and face-recall's pasted groups
// rose from 95.6 to 97.6 % with no more extra faces. The labelled photos
// take 7 closer looks in 62.
constexpr float closerLookHint = 0.2f;
constexpr float closerLookSide = 3;
constexpr int maxCloserLooks = 4;
// OpenCV's own threads for a parallel loop: a forward that runs alone (a
// single photo, the last ones of a batch) takes a second thread. OpenCV
// lends its threads to one parallel loop in the process at a time and runs
// the loops started meanwhile on their callers' threads, so the face pass's
// workers, one per processor, keep the machine busy by themselves. Not more
// than two: from three threads on, the embedding network sums in other
// pieces and its outputs change in the last bits, with the thread count and
// with which loop got the threads; with one or two they agree to the bit
// (the detector and the landmark network agree at any count).
constexpr int openCVThreads = 2;

// The alignment template, bottom-left origin: 112 minus the top-origin y.
// The eyes and mouth corners, then the nose tip: the five points the
// embedding network's faces were aligned to in training.
const std::array<FacePoint, 5> alignmentTemplate = {{
    {38.2946, 112.0 - 51.6963},
    {73.5318, 112.0 - 51.5014},
    {41.5493, 112.0 - 92.3655},
    {70.7299, 112.0 - 92.2041},
    {56.0252, 112.0 - 71.7366},
}};

FacePoint centre(const std::vector<FacePoint>& pts) {
    if (pts.empty()) return {0, 0};
    FacePoint c;
    for (const auto& p : pts) {
        c.x += p.x;
        c.y += p.y;
    }
    return {c.x / double(pts.size()), c.y / double(pts.size())};
}

cv::Mat rgbOf(const Image& image) {
    cv::Mat rgba(image.height, image.width, CV_8UC4, const_cast<uint8_t*>(image.rgba.data()));
    cv::Mat rgb;
    cv::cvtColor(rgba, rgb, cv::COLOR_RGBA2RGB);
    return rgb;
}

// The smallest box (x0, y0, x1, y1) around a non-empty run of points.
template <typename Points>
std::array<double, 4> bounds(const Points& points) {
    std::array<double, 4> b = {points[0].x, points[0].y, points[0].x, points[0].y};
    for (const auto& p : points) {
        b[0] = std::min(b[0], double(p.x));
        b[1] = std::min(b[1], double(p.y));
        b[2] = std::max(b[2], double(p.x));
        b[3] = std::max(b[3], double(p.y));
    }
    return b;
}

double clamp01(double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0; }

}  // namespace

FaceEngine::Model::~Model() = default;

std::unique_ptr<FaceEngine::Model> FaceEngine::Model::twin() const {
    auto m = std::make_unique<Model>();
    m->detector = detector->twin();
    m->landmarks = landmarks->twin();
    m->embedding = embedding->twin();
    return m;
}

class FaceEngine::Lease {
public:
    explicit Lease(FaceEngine& engine) : engine_(engine), set_(engine.take()) {}
    ~Lease() { engine_.giveBack(set_); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Model& operator*() const { return *set_; }

private:
    FaceEngine& engine_;
    Model* set_;
};

FaceEngine::Model* FaceEngine::take() {
    std::unique_lock lock(poolMutex_);
    for (;;) {
        if (!idleSets_.empty()) {
            Model* set = idleSets_.back();
            idleSets_.pop_back();
            return set;
        }
        if (!shortOfMemory_) {
            // Made on first need, so a program that analyses on one thread
            // holds one set. Building shares the weights and is quick; the
            // nets allocate their working memory on their first run.
            ++sets_;
            lock.unlock();
            std::unique_ptr<Model> made;
            try {
                made = model->twin();
            } catch (const std::exception&) {
            }
            lock.lock();
            if (made) {
                twins_.push_back(std::move(made));
                return twins_.back().get();
            }
            // Short of memory: make do with the sets there are until some
            // are let go.
            --sets_;
            shortOfMemory_ = true;
            continue;
        }
        setReturned_.wait(lock);
    }
}

void FaceEngine::giveBack(Model* set) {
    {
        std::lock_guard lock(poolMutex_);
        idleSets_.push_back(set);
    }
    setReturned_.notify_one();
}

void FaceEngine::releaseWorkingMemory() {
    if (!model) return;
    std::vector<std::unique_ptr<Model>> dropped;
    bool firstIdle = false;
    {
        std::lock_guard lock(poolMutex_);
        for (Model* set : idleSets_) {
            if (set == model.get()) {
                firstIdle = true;
                continue;
            }
            auto it = std::find_if(twins_.begin(), twins_.end(), [&](const auto& t) { return t.get() == set; });
            dropped.push_back(std::move(*it));
            twins_.erase(it);
            --sets_;
        }
        // The first set stays out of the pool while its nets are renewed.
        idleSets_.clear();
        shortOfMemory_ = false;
    }
    dropped.clear();
    if (firstIdle) {
        try {
            model->detector->release();
            model->landmarks->release();
            model->embedding->release();
        } catch (const std::exception&) {
            // Short of memory: the nets it could not renew keep their old memory.
        }
        giveBack(model.get());
    }
    // Freed blocks of the analyses' threads stay with the allocator's arenas
    // unless handed back to the system.
    ::malloc_trim(0);
}

int FaceEngine::networkSets() {
    std::lock_guard lock(poolMutex_);
    return sets_;
}

FaceEngine& FaceEngine::shared() {
    static FaceEngine* engine = new FaceEngine(faces::ModelFiles::inAssetFolder());  // never released
    return *engine;
}

FaceEngine::FaceEngine(const faces::ModelFiles& files) {
    // Analyses allocate decoded pictures and network blobs of megabytes on
    // several threads at once. Left to itself, glibc raises its mmap
    // threshold after such a block is freed and from then on serves them from
    // per-thread arenas whose tops malloc_trim never hands back: after a pass
    // with seven workers about 430 MB more stayed resident than before it.
    // Fixed thresholds above the largest block (a 1600-pixel picture) keep
    // the blocks in the arenas while a pass runs, as fast as before, and the
    // arenas' tops above them are handed back: about 60 MB stay.
    ::mallopt(M_MMAP_THRESHOLD, 16 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 16 << 20);
    auto m = std::make_unique<Model>();
    m->detector = faces::FaceDetector::load(files.detector);
    m->landmarks = faces::LandmarkNet::load(files.landmarks);
    m->embedding = faces::EmbeddingNet::load(files.embedding);
    if (!m->detector || !m->landmarks || !m->embedding) return;
    cv::setNumThreads(openCVThreads);
    model = std::move(m);
    idleSets_.push_back(model.get());
    sets_ = 1;
}

FaceEngine::~FaceEngine() = default;

std::vector<DetectedFace> FaceEngine::analyze(const Image& image) {
    if (!model || image.empty()) return {};
    try {
        Lease set(*this);
        return analyze(image, observe(image, *set), *set);
    } catch (const std::exception&) {
        return {};  // an OpenCV failure on a strange picture costs that picture's faces only
    }
}

namespace {

// Whether d overlaps one of `found` by more than 30 % of the smaller box.
bool overlapsAny(const std::vector<faces::Detection>& found, const faces::Detection& d) {
    return std::any_of(found.begin(), found.end(), [&](const auto& f) {
        const float inter = (f.box & d.box).area();
        return inter > 0.3f * std::min(f.box.area(), d.box.area());
    });
}

// Adds the detections of `more` that overlap none of `found`.
void addUnknown(std::vector<faces::Detection>& found, const std::vector<faces::Detection>& more, float maxWidth, cv::Point2f shift) {
    for (auto d : more) {
        if (d.box.width >= maxWidth) continue;
        d.box.x += shift.x;
        d.box.y += shift.y;
        if (!overlapsAny(found, d)) found.push_back(d);
    }
}

// The best face the detector finds over the threshold in a square window
// of closerLookSide times the candidate's box around it (neutral grey where
// it overhangs the picture), covering the candidate.
std::optional<faces::Detection> closerLook(faces::FaceDetector& detector, const cv::Mat& rgb, const faces::Detection& candidate) {
    const float side = closerLookSide * std::max(candidate.box.width, candidate.box.height);
    const cv::Point2f centre(candidate.box.x + candidate.box.width / 2, candidate.box.y + candidate.box.height / 2);
    const cv::Rect window(int(std::lround(centre.x - side / 2)), int(std::lround(centre.y - side / 2)), int(std::lround(side)),
                          int(std::lround(side)));
    const cv::Rect inPicture = window & cv::Rect(0, 0, rgb.cols, rgb.rows);
    if (inPicture.width < 2 || inPicture.height < 2) return std::nullopt;
    cv::Mat square(window.size(), rgb.type(), cv::Scalar::all(128));
    rgb(inPicture).copyTo(square(inPicture - window.tl()));
    std::optional<faces::Detection> best;
    const std::vector<faces::Detection> asked{candidate};
    for (auto d : detector.detect(square, detectorThreshold)) {
        d.box.x += float(window.x);
        d.box.y += float(window.y);
        d.box &= cv::Rect2f(0, 0, float(rgb.cols), float(rgb.rows));
        if (d.box.area() <= 0 || !overlapsAny(asked, d)) continue;
        if (!best || d.score > best->score) best = d;
    }
    return best;
}

}  // namespace

std::vector<faces::Detection> FaceEngine::detect(const cv::Mat& rgb, Model& set) {
    float best = 0;
    // One forward gives the faces and, under the threshold, the hints: a
    // weaker candidate never suppresses a stronger one, so the faces are
    // those a look at the threshold alone would give.
    auto found = set.detector->detect(rgb, closeUpHint, 0, &best);
    const auto weak = std::stable_partition(found.begin(), found.end(), [](const auto& d) { return d.score > detectorThreshold; });
    std::vector<faces::Detection> hints(weak, found.end());
    found.erase(weak, found.end());
    const float margin = edgeMargin * float(std::max(rgb.cols, rgb.rows));
    const auto clearOfEdges = [&](const faces::Detection& d) {
        return d.box.x > margin && d.box.y > margin && d.box.x + d.box.width < float(rgb.cols) - margin &&
               d.box.y + d.box.height < float(rgb.rows) - margin;
    };
    const bool clear = std::any_of(found.begin(), found.end(), clearOfEdges);
    if (!clear && best >= closeUpHint) {
        // The framed look sees a face cut by the frame whole: its boxes win
        // over the first look's, which keeps only what it alone found.
        auto framed = set.detector->detect(rgb, detectorThreshold, closeUpBorder);
        addUnknown(framed, found, std::numeric_limits<float>::infinity(), {});
        found = std::move(framed);
    } else if (std::any_of(hints.begin(), hints.end(), [&](const auto& h) { return !clearOfEdges(h) && !overlapsAny(found, h); })) {
        // A face is clear of the edges, yet a candidate the frame cuts
        // scored close: the framed look only adds faces here, so those the
        // first look found keep its boxes.
        addUnknown(found, set.detector->detect(rgb, detectorThreshold, closeUpBorder), std::numeric_limits<float>::infinity(), {});
    }
    // The candidates that came close, best first, each looked at closer
    // while it overlaps no face found.
    int closer = 0;
    for (const auto& hint : hints) {
        if (closer == maxCloserLooks) break;
        if (hint.score < closerLookHint || hint.box.width < minFacePixels || overlapsAny(found, hint)) continue;
        ++closer;
        if (auto face = closerLook(*set.detector, rgb, hint); face && !overlapsAny(found, *face)) found.push_back(*face);
    }
    const bool small = std::any_of(found.begin(), found.end(), [](const auto& d) { return d.box.width < smallFace; });
    if (!small || std::max(rgb.cols, rgb.rows) <= 2 * faces::FaceDetector::inputSize) return found;
    const int tw = (rgb.cols + 1) / 2, th = (rgb.rows + 1) / 2;
    for (int ty = 0; ty < 2; ++ty)
        for (int tx = 0; tx < 2; ++tx) {
            const cv::Rect tile = cv::Rect(tx * tw - tileOverlap, ty * th - tileOverlap, tw + 2 * tileOverlap, th + 2 * tileOverlap) &
                                  cv::Rect(0, 0, rgb.cols, rgb.rows);
            addUnknown(found, set.detector->detect(rgb(tile), detectorThreshold), tileFaceLimit, cv::Point2f(float(tile.x), float(tile.y)));
        }
    return found;
}

std::vector<FaceObservation> FaceEngine::observe(const Image& image) try {
    if (!model || image.empty()) return {};
    Lease set(*this);
    return observe(image, *set);
} catch (const std::exception&) {
    return {};
}

std::vector<FaceObservation> FaceEngine::observe(const Image& image, Model& set) try {
    const cv::Mat rgb = rgbOf(image);
    const double W = image.width, H = image.height;
    std::vector<FaceObservation> out;
    for (const auto& det : detect(rgb, set)) {
        const auto pts = set.landmarks->detect(rgb, det.box);
        FaceObservation o;
        o.box = {det.box.x / W, (H - det.box.y - det.box.height) / H, det.box.width / W, det.box.height / H};
        o.confidence = det.score;
        auto region = [&](int from, int to) {
            std::vector<FacePoint> r;
            for (int i = from; i <= to; ++i) r.push_back({pts[size_t(i)].x, H - pts[size_t(i)].y});
            return r;
        };
        // Points 36-41 are the eye on the image's left (the subject's right).
        o.rightEye = region(36, 41);
        o.leftEye = region(42, 47);
        o.outerLips = region(48, 59);
        o.nose = {pts[30].x, H - pts[30].y};
        // Frontality: where the nose tip falls along the line between the
        // eye centres; 0.5 is straight ahead, 0 or 1 a profile.
        const FacePoint a = centre(o.rightEye), b = centre(o.leftEye), nose = o.nose;
        const double dx = b.x - a.x, dy = b.y - a.y, d2 = dx * dx + dy * dy;
        const double t = d2 > 0 ? ((nose.x - a.x) * dx + (nose.y - a.y) * dy) / d2 : 0;
        o.frontality = clamp01(1 - 2 * std::abs(t - 0.5));
        out.push_back(std::move(o));
    }
    return out;
} catch (const std::exception&) {
    return {};
}

std::optional<std::array<FacePoint, 4>> FaceEngine::sourcePoints(const FaceObservation& face, int width, int height) {
    (void)height;  // the box width alone decides the size test
    if (face.box.width * width < minFacePixels) return std::nullopt;
    if (!face.hasLandmarks) return std::nullopt;
    const FacePoint left = centre(face.leftEye), right = centre(face.rightEye);
    const FacePoint A = left.x <= right.x ? left : right;
    const FacePoint B = left.x <= right.x ? right : left;
    const double dx = B.x - A.x, dy = B.y - A.y, d = std::sqrt(dx * dx + dy * dy);
    if (!(d > minEyeDistance)) return std::nullopt;
    if (face.outerLips.size() < 2) return std::nullopt;
    FacePoint M1 = face.outerLips[0], M2 = face.outerLips[0];
    double tMin = (dx * M1.x + dy * M1.y) / d, tMax = tMin;
    for (size_t i = 1; i < face.outerLips.size(); ++i) {
        const FacePoint& p = face.outerLips[i];
        const double t = (dx * p.x + dy * p.y) / d;
        if (t < tMin) {
            tMin = t;
            M1 = p;
        }
        if (t > tMax) {
            tMax = t;
            M2 = p;
        }
    }
    const FacePoint E{(A.x + B.x) / 2, (A.y + B.y) / 2}, M{(M1.x + M2.x) / 2, (M1.y + M2.y) / 2};
    const double r = (dy * (M.x - E.x) - dx * (M.y - E.y)) / (d * d);
    if (!(r > minMouthRatio && r < maxMouthRatio)) return std::nullopt;
    return std::array<FacePoint, 4>{A, B, M1, M2};
}

std::vector<DetectedFace> FaceEngine::analyze(const Image& image, const std::vector<FaceObservation>& observations) try {
    if (!model || image.empty()) return {};
    Lease set(*this);
    return analyze(image, observations, *set);
} catch (const std::exception&) {
    return {};
}

std::vector<DetectedFace> FaceEngine::analyze(const Image& image, const std::vector<FaceObservation>& observations, Model& set) try {
    if (image.empty()) return {};
    std::vector<DetectedFace> out;
    for (const auto& face : observations) {
        const auto src = sourcePoints(face, image.width, image.height);
        if (!src) continue;
        std::vector<FacePoint> points(src->begin(), src->end());
        points.push_back(face.nose);
        const auto aligned = align(image, points);
        if (!aligned) continue;
        auto embedding = embed(*aligned, set);
        if (!embedding) continue;
        DetectedFace f;
        f.rect = {face.box.x, 1 - (face.box.y + face.box.height), face.box.width, face.box.height};
        f.pixelWidth = face.box.width * image.width;
        f.quality = captureQuality(face.confidence, laplacianVariance(*aligned), face.frontality, f.pixelWidth);
        f.embedding = std::move(*embedding);
        f.crop = avatarCrop(image, f.rect);
        out.push_back(std::move(f));
    }
    return out;
} catch (const std::exception&) {
    return {};
}

std::optional<std::vector<uint8_t>> FaceEngine::align(const Image& image, const std::vector<FacePoint>& source) try {
    const size_t n = std::min(source.size(), alignmentTemplate.size());
    if (n == 0 || image.empty()) return std::nullopt;
    FacePoint sMean, tMean;
    for (size_t i = 0; i < n; ++i) {
        sMean.x += source[i].x;
        sMean.y += source[i].y;
        tMean.x += alignmentTemplate[i].x;
        tMean.y += alignmentTemplate[i].y;
    }
    sMean = {sMean.x / double(n), sMean.y / double(n)};
    tMean = {tMean.x / double(n), tMean.y / double(n)};
    double a = 0, b = 0, q = 0;
    for (size_t i = 0; i < n; ++i) {
        const double dx = source[i].x - sMean.x, dy = source[i].y - sMean.y;
        const double tx = alignmentTemplate[i].x - tMean.x, ty = alignmentTemplate[i].y - tMean.y;
        a += tx * dx + ty * dy;
        b += ty * dx - tx * dy;
        q += dx * dx + dy * dy;
    }
    if (!(q > 0)) return std::nullopt;
    a /= q;
    b /= q;
    const double ux = tMean.x - (a * sMean.x - b * sMean.y);
    const double uy = tMean.y - (b * sMean.x + a * sMean.y);
    const double s2 = a * a + b * b;
    if (!(s2 > 0) || !std::isfinite(s2)) return std::nullopt;

    // Output pixel (u, v), top row first, has its centre at (u + ½, 112 − v − ½)
    // in the template frame; the inverse similarity takes that to the image's
    // bottom-left frame, and (X, Y) there is pixel (X − ½, H − Y − ½).
    const double H = image.height;
    cv::Matx33d toTemplate(1, 0, 0.5, 0, -1, alignedSide - 0.5, 0, 0, 1);
    cv::Matx33d inverse(a / s2, b / s2, -(a * ux + b * uy) / s2, -b / s2, a / s2, (b * ux - a * uy) / s2, 0, 0, 1);
    cv::Matx33d toPixel(1, 0, -0.5, 0, -1, H - 0.5, 0, 0, 1);
    cv::Matx33d map = toPixel * inverse * toTemplate;  // output pixel -> image pixel

    cv::Mat src(image.height, image.width, CV_8UC4, const_cast<uint8_t*>(image.rgba.data()));
    const double scale = std::sqrt(s2);  // output pixels per image pixel
    cv::Mat source4 = src;
    if (scale < 0.8) {
        // Shrinking: average the face's region down first so fine detail
        // does not alias, then resample.
        std::vector<cv::Point2d> corners;
        for (double u : {0.0, double(alignedSide)})
            for (double v : {0.0, double(alignedSide)})
                corners.push_back({map(0, 0) * u + map(0, 1) * v + map(0, 2), map(1, 0) * u + map(1, 1) * v + map(1, 2)});
        const auto [x0, y0, x1, y1] = bounds(corners);
        const cv::Rect region = cv::Rect(int(std::floor(x0)) - 2, int(std::floor(y0)) - 2, int(std::ceil(x1 - x0)) + 5,
                                         int(std::ceil(y1 - y0)) + 5) &
                                cv::Rect(0, 0, image.width, image.height);
        if (region.width >= 2 && region.height >= 2) {
            const cv::Size small(std::max(1, int(std::lround(region.width * scale))), std::max(1, int(std::lround(region.height * scale))));
            cv::resize(src(region), source4, small, 0, 0, cv::INTER_AREA);
            const double kx = double(small.width) / region.width, ky = double(small.height) / region.height;
            // image pixel -> small pixel: xs = (x − rx + ½)·kx − ½
            cv::Matx33d toSmall(kx, 0, (0.5 - region.x) * kx - 0.5, 0, ky, (0.5 - region.y) * ky - 0.5, 0, 0, 1);
            map = toSmall * map;
        }
    }
    cv::Mat m(2, 3, CV_64F);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) m.at<double>(r, c) = map(r, c);
    std::vector<uint8_t> out(size_t(alignedSide) * alignedSide * 4, 0);
    cv::Mat dst(alignedSide, alignedSide, CV_8UC4, out.data());
    cv::warpAffine(source4, dst, m, dst.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT, cv::Scalar());
    return out;
} catch (const std::exception&) {
    return std::nullopt;
}

std::optional<std::vector<float>> FaceEngine::embed(const std::vector<uint8_t>& aligned) try {
    if (!model) return std::nullopt;
    Lease set(*this);
    return embed(aligned, *set);
} catch (const std::exception&) {
    return std::nullopt;
}

std::optional<std::vector<float>> FaceEngine::embed(const std::vector<uint8_t>& aligned, Model& set) try {
    if (aligned.size() != size_t(alignedSide) * alignedSide * 4) return std::nullopt;
    cv::Mat rgbx(alignedSide, alignedSide, CV_8UC4, const_cast<uint8_t*>(aligned.data()));
    cv::Mat rgb;
    cv::cvtColor(rgbx, rgb, cv::COLOR_RGBA2RGB);
    const auto raw = set.embedding->forward(rgb);
    if (raw.size() != size_t(faces::EmbeddingNet::outputs)) return std::nullopt;
    auto out = faces::projectAndNormalize(set.embedding->projection(), raw);
    if (out.size() != size_t(faces::EmbeddingNet::mappedSize)) return std::nullopt;
    return out;
} catch (const std::exception&) {
    return std::nullopt;
}

ImageRef FaceEngine::avatarCrop(const Image& image, const FaceRect& rect) try {
    if (image.empty()) return nullptr;
    const double W = image.width, H = image.height;
    const double cx = (rect.x + rect.width / 2) * W, cy = (rect.y + rect.height / 2) * H;
    const double fw = rect.width * W, fh = rect.height * H;
    const double side = std::min(std::max(fw, fh) * 1.75, std::min(W, H));
    double x = cx - side / 2, y = cy - 0.08 * fh - side / 2;
    x = std::max(0.0, std::min(x, W - side));
    y = std::max(0.0, std::min(y, H - side));
    const int x0 = std::max(0, int(std::floor(x))), y0 = std::max(0, int(std::floor(y)));
    const int x1 = std::min(image.width, int(std::ceil(x + side))), y1 = std::min(image.height, int(std::ceil(y + side)));
    if (x1 <= x0 || y1 <= y0) return nullptr;
    cv::Mat src(image.height, image.width, CV_8UC4, const_cast<uint8_t*>(image.rgba.data()));
    const cv::Mat cut = src(cv::Rect(x0, y0, x1 - x0, y1 - y0));
    cv::Mat result = cut;
    if (cut.cols > maxAvatar) {
        // Halvings by a Gaussian pyramid, then bilinear for the last factor
        // under 2: as smooth as area averaging, and a tenth of its cost on
        // four-channel pictures, where OpenCV has no fast path for it.
        while (result.cols >= 2 * maxAvatar) {
            cv::Mat half;
            cv::pyrDown(result, half);
            result = half;
        }
        cv::Mat scaled;
        cv::resize(result, scaled, cv::Size(maxAvatar, maxAvatar), 0, 0, cv::INTER_LINEAR);
        result = scaled;
    }
    auto out = std::make_shared<Image>(result.cols, result.rows);
    for (int r = 0; r < result.rows; ++r) std::copy_n(result.ptr<uint8_t>(r), size_t(result.cols) * 4, out->row(r));
    return out;
} catch (const std::exception&) {
    return nullptr;
}

double FaceEngine::laplacianVariance(const std::vector<uint8_t>& aligned) {
    if (aligned.size() != size_t(alignedSide) * alignedSide * 4) return 0;
    cv::Mat rgbx(alignedSide, alignedSide, CV_8UC4, const_cast<uint8_t*>(aligned.data()));
    cv::Mat grey, lap;
    cv::cvtColor(rgbx, grey, cv::COLOR_RGBA2GRAY);
    // The central part only: the border of the crop is background or black fill.
    cv::Laplacian(grey(cv::Rect(24, 24, 64, 72)), lap, CV_64F);
    cv::Scalar mean, dev;
    cv::meanStdDev(lap, mean, dev);
    return dev[0] * dev[0];
}

double FaceEngine::captureQuality(double confidence, double laplacianVariance, double frontality, double pixelWidth) {
    const double c = clamp01((confidence - 0.5) / 0.4);
    const double s = clamp01((laplacianVariance - 15) / 85);
    const double f = clamp01((frontality - 0.3) / 0.5);
    const double z = clamp01((pixelWidth - 30) / 50);
    return c * s * f * z;
}

}  // namespace vintrelle
