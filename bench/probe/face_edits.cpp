// vintrelle-probe face-edits --images DIR --pairs CSV [--threads N]
//   [--misses] [--keep DIR] [--scenes LIST] [--edits TEXT]:
// what analysis makes of the faces of a folder of labelled photos once the
// photos are edited as people edit them, and how alike strangers' faces
// are where one photo could be saved over another (nothing is written
// outside a temporary folder, unless --keep names one).
//
// Each picture is analysed whole, as the face pass reads it. Its edits are
// made from it at full size, saved as JPEG, read back as the face pass
// reads them and analysed:
//   reencode    the same size at JPEG quality 90, 70 and 50
//   half        half the size at quality 90 and 50
//   turn        turned by a quarter each way and by a half (quality 92),
//               looked at upright again as the face pass does
//   mirror      mirrored left to right (quality 92)
//   crop        12 windows around each face found whole (4 across, 3
//               down, the face kept inside with a tenth of its width
//               around it), 1000 pixels wide in pictures of 1250 or more,
//               else 70 % of the width, in the picture's proportions, at
//               quality 90 and 50
//   faceless    windows of a quarter and of 40 % of the sides, clear of
//               every face found whole by half a face: any face found
//               there is a false one
// The pictures (--scenes, all by default): "photos", the labelled photos;
// "portrait250", a head-and-shoulders cut of each photo's labelled face
// (3:4, the face half the width, or more where the photo is too small)
// 250 pixels wide; "group", those cuts eight to a picture, four across and
// two down, side by side at 340 x 453 pixels each. --edits keeps only the
// edits whose name holds TEXT.
// A face is found again when a face of the edit covers its box carried
// through the edit (intersection over union at least 0.3); its likeness is
// the cosine of the two prints. A face of the edit over no face found whole
// counts as an extra face.
// Lines: per edit, faces found again, extra faces and likeness (least,
// mean, and the photo of the least); likeness between the labelled faces of
// different people where one photo saved over the other would put them at
// the same place (boxes overlapping by half, the photo turned or not),
// anywhere, and with the other photo saved at half size and quality 50;
// between other photos of one person (with the photos of the far end);
// then recall of the frontal faces of at least 80 pixels found whole, in
// the crops and the re-encodes at quality 50, with the least detector
// confidence they were found at; a summary. With --misses, each such face
// missed; with --keep, also the pictures it was missed in, and the group
// pictures, are kept in DIR.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <numeric>
#include <thread>

#include <unistd.h>

#include <opencv2/imgproc.hpp>

#include "Core/Faces/FaceEngine.h"
#include "Core/Faces/FaceSuccession.h"
#include "Core/Faces/FaceThresholds.h"
#include "Core/Media/HeifFullImage.h"
#include "Core/Media/MediaProcessor.h"
#include "LabelledPairs.h"
#include "Probe.h"

namespace fs = std::filesystem;
using namespace vintrelle;

namespace {

constexpr int passPixels = 1600;        // what the face pass reads a photo at
constexpr double recallFaceWidth = 80;  // faces every crop and re-encode must find
constexpr double frontal = 0.7;         // nose within 15 % of the eye line's middle
constexpr double foundOverlap = 0.3;
constexpr double samePlaceOverlap = 0.5;

struct Face {
    FaceRect rect;
    std::vector<float> embedding;
    double pixelWidth = 0, frontality = 0, quality = 0, confidence = 0;
};

struct Photo {
    std::string name;
    int person = -1;  // -1: in no labelled pair
    int width = 0, height = 0;
    std::vector<Face> faces;
    int labelled = -1;  // the largest face, the one the labels speak of
    std::vector<float> degraded;  // the labelled face's print at half size, quality 50
};

struct Edit {
    std::string kind;  // the line it counts in
    double quality = 0.92;
    std::function<cv::Mat(const cv::Mat&)> make;
    std::function<FaceRect(const FaceRect&)> carry;  // a box of the whole photo in the edit
    int turn = 0;          // looked at turned back by this many quarters
    bool recall = false;   // counts towards recall
    int face = -1;         // a crop window: the face it was made around; faceless: none
};
constexpr int faceless = -2;

float likeness(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size() || a.empty()) return -1;
    double d = 0;
    for (size_t i = 0; i < a.size(); ++i) d += double(a[i]) * b[i];
    return float(d);
}

double overlap(const FaceRect& a, const FaceRect& b) {
    const double w = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
    const double h = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
    if (w <= 0 || h <= 0) return 0;
    return w * h / (a.width * a.height + b.width * b.height - w * h);
}

// How much of b lies inside a, as a share of b.
double inside(const FaceRect& a, const FaceRect& b) {
    const double w = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
    const double h = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
    return w > 0 && h > 0 ? w * h / (b.width * b.height) : 0;
}

cv::Mat matOf(const Image& img) { return cv::Mat(img.height, img.width, CV_8UC4, const_cast<uint8_t*>(img.rgba.data())).clone(); }

Image imageOf(const cv::Mat& m) {
    Image out(m.cols, m.rows);
    for (int r = 0; r < m.rows; ++r) std::copy_n(m.ptr<uint8_t>(r), size_t(m.cols) * 4, out.row(r));
    return out;
}

// Every accepted face with the frontality its observation had.
std::vector<Face> analyse(FaceEngine& engine, const Image& image) {
    std::vector<Face> out;
    for (const FaceObservation& o : engine.observe(image)) {
        const auto found = engine.analyze(image, std::vector<FaceObservation>{o});
        if (found.empty()) continue;
        const DetectedFace& d = found.front();
        out.push_back({d.rect, d.embedding, d.pixelWidth, o.frontality, d.quality, o.confidence});
    }
    return out;
}

struct Spread {
    std::vector<float> values;
    std::vector<std::string> names;  // of the two photos, when known
    void add(float v, const std::string& name = {}) {
        values.push_back(v);
        names.push_back(name);
    }
    // The spread, with the photos of its far end (least or most alike).
    probe::Json json(bool least) const {
        probe::Json j;
        j["pairs"] = values.size();
        if (values.empty()) return j;
        auto r = [](double v) { return std::round(v * 1000) / 1000; };
        const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
        const double mean = std::accumulate(values.begin(), values.end(), 0.0) / double(values.size());
        j[least ? "likenessMin" : "likenessMax"] = r(least ? *lo : *hi);
        j["likenessMean"] = r(mean);
        j[least ? "likenessMax" : "likenessMin"] = r(least ? *hi : *lo);
        if (const std::string& end = names[size_t((least ? lo : hi) - values.begin())]; !end.empty()) j["photos"] = end;
        return j;
    }
    int atOrAbove(float t) const { return int(std::count_if(values.begin(), values.end(), [&](float v) { return v >= t; })); }
};

std::vector<Edit> editsOf(const Photo& p) {
    std::vector<Edit> edits;
    const auto same = [](const FaceRect& r) { return r; };
    for (double q : {0.9, 0.7, 0.5})
        edits.push_back({"reencode q" + std::to_string(int(q * 100)), q, [](const cv::Mat& m) { return m; }, same, 0, q == 0.5});
    for (double q : {0.9, 0.5})
        edits.push_back({"half q" + std::to_string(int(q * 100)), q,
                         [](const cv::Mat& m) {
                             cv::Mat h;
                             cv::resize(m, h, cv::Size((m.cols + 1) / 2, (m.rows + 1) / 2), 0, 0, cv::INTER_AREA);
                             return h;
                         },
                         same, 0, q == 0.5});
    for (int quarters : {1, 2, 3})
        edits.push_back({"turn " + std::to_string(90 * quarters), 0.92,
                         [quarters](const cv::Mat& m) { return matOf(turnedImage(imageOf(m), quarters)); }, same, quarters});
    edits.push_back({"mirror", 0.92,
                     [](const cv::Mat& m) {
                         cv::Mat f;
                         cv::flip(m, f, 1);
                         return f;
                     },
                     [](const FaceRect& r) { return FaceRect{1 - r.x - r.width, r.y, r.width, r.height}; }});
    const double W = p.width, H = p.height;
    const double cw = W >= 1250 ? 1000 : std::round(0.7 * W), ch = std::round(cw * H / W);
    for (size_t f = 0; f < p.faces.size(); ++f) {
        const FaceRect& r = p.faces[f].rect;
        const double margin = 0.1 * r.width * W;
        const double x0 = r.x * W - margin, x1 = (r.x + r.width) * W + margin;
        const double y0 = r.y * H - margin, y1 = (r.y + r.height) * H + margin;
        // Window corners that keep the face inside, within the photo.
        const double minX = std::max(0.0, x1 - cw), maxX = std::min(W - cw, x0);
        const double minY = std::max(0.0, y1 - ch), maxY = std::min(H - ch, y0);
        if (maxX < minX || maxY < minY) continue;
        for (double q : {0.9, 0.5})
            for (int i = 0; i < 12; ++i) {
                const double X = std::round(minX + (maxX - minX) * (i % 4) / 3.0);
                const double Y = std::round(minY + (maxY - minY) * (i / 4) / 2.0);
                const cv::Rect window{int(X), int(Y), int(cw), int(ch)};
                edits.push_back({"crop q" + std::to_string(int(q * 100)), q,
                                 [window](const cv::Mat& m) { return m(window & cv::Rect(0, 0, m.cols, m.rows)).clone(); },
                                 [=](const FaceRect& b) {
                                     return FaceRect{(b.x * W - X) / cw, (b.y * H - Y) / ch, b.width * W / cw, b.height * H / ch};
                                 },
                                 0, true, int(f)});
            }
    }
    // Windows of a quarter and of 40 % of the photo's sides, clear of every
    // face and half a face around it: whatever is found there is a false
    // face.
    for (const auto& [side, across] : {std::pair{0.25, 4}, std::pair{0.4, 3}})
        for (int i = 0; i < across * across; ++i) {
            const double step = (1 - side) / (across - 1);
            const FaceRect w{step * (i % across), step * (i / across), side, side};
            const bool clear = std::none_of(p.faces.begin(), p.faces.end(), [&](const Face& f) {
                const FaceRect& r = f.rect;
                return inside(w, {r.x - r.width / 2, r.y - r.height / 2, 2 * r.width, 2 * r.height}) > 0;
            });
            const cv::Rect window{int(w.x * W), int(w.y * H), int(w.width * W), int(w.height * H)};
            if (!clear || window.width < 64 || window.height < 64) continue;
            edits.push_back({"faceless window", 0.9, [window](const cv::Mat& m) { return m(window).clone(); }, same, 0,
                             false, faceless});
        }
    return edits;
}

struct EditTally {
    int pictures = 0, faces = 0, found = 0;
    int extra = 0;  // faces found where the whole photo showed none
    Spread likeness;
    int recallCases = 0, recallFound = 0;
    double leastConfidence = 1;  // of the recall faces found
};


int faceEdits(const probe::Args& given) {
    probe::Args args = given;
    const std::string dir = probe::takeOption(args, "--images");
    const std::string pairsPath = probe::takeOption(args, "--pairs");
    const int threads = std::max(1, std::stoi(probe::takeOption(args, "--threads", "2")));
    const fs::path keep = probe::takeOption(args, "--keep");
    const std::string scenes = probe::takeOption(args, "--scenes", "photos,portrait250,group");
    const std::string only = probe::takeOption(args, "--edits");
    const bool misses = !keep.empty() || std::find(args.begin(), args.end(), "--misses") != args.end();
    if (dir.empty() || pairsPath.empty())
        return probe::fail("usage: vintrelle-probe face-edits --images DIR --pairs CSV [--threads N] [--misses]");
    auto& engine = FaceEngine::shared();
    if (!engine.model) return probe::fail("face model not loaded (run scripts/npm-assets.sh or set VINTRELLE_ASSETS)");
    const auto label = probe::identities(pairsPath);
    const fs::path temp = fs::temp_directory_path() / ("vintrelle-face-edits-" + std::to_string(::getpid()));
    fs::create_directories(temp);
    if (!keep.empty()) fs::create_directories(keep);

    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());

    std::vector<Photo> photos;
    std::map<std::string, EditTally> tallies;
    std::vector<std::string> order;  // edit kinds in first-seen order
    std::mutex mutex;
    std::atomic<int> tempCounter{0};
    auto tempPath = [&] { return (temp / (std::to_string(tempCounter++) + ".jpg")).string(); };

    // One picture: analysed whole as the face pass reads it, then edited.
    auto study = [&](Photo p, const cv::Mat& original, const ImageRef& whole, const std::string& prefix) {
        p.width = original.cols;
        p.height = original.rows;
        p.faces = analyse(engine, *whole);
        for (size_t i = 0; i < p.faces.size(); ++i)
            if (p.labelled < 0 || p.faces[i].pixelWidth > p.faces[size_t(p.labelled)].pixelWidth) p.labelled = int(i);
        std::vector<Edit> edits;
        if (scenes.find(prefix.empty() ? "photos" : prefix.substr(0, prefix.find(' '))) != std::string::npos)
            for (Edit& e : editsOf(p))
                if (e.kind.find(only) != std::string::npos) edits.push_back(std::move(e));
        std::atomic<size_t> next{0};
        auto work = [&] {
            for (size_t e; (e = next++) < edits.size();) {
                const Edit& edit = edits[e];
                const std::string kind = prefix + edit.kind;
                const std::string path = tempPath();
                if (!MediaProcessor::writeJPEG(imageOf(edit.make(original)), path, edit.quality)) continue;
                ImageRef read = MediaProcessor::loadFullImage(path, passPixels, 0);
                bool missed = false;
                const auto drop = [&] {
                    std::error_code ignored;
                    if (missed) fs::rename(path, keep / (p.name + " " + kind + " " + std::to_string(e) + ".jpg"), ignored);
                    fs::remove(path, ignored);
                };
                if (!read) {
                    drop();
                    continue;
                }
                const std::vector<Face> found = analyse(engine, edit.turn ? turnedImage(*read, -edit.turn) : *read);
                std::lock_guard lock(mutex);
                if (!tallies.count(kind)) order.push_back(kind);
                EditTally& t = tallies[kind];
                ++t.pictures;
                for (const Face& g : found) {
                    const bool known = edit.face != faceless && std::any_of(p.faces.begin(), p.faces.end(), [&](const Face& f) {
                                           return inside(edit.carry(f.rect), g.rect) >= 0.25;
                                       });
                    if (!known) ++t.extra;
                }
                for (size_t f = 0; f < p.faces.size(); ++f) {
                    if (edit.face == faceless || (edit.face >= 0 && int(f) != edit.face)) continue;
                    const Face& face = p.faces[f];
                    const FaceRect carried = edit.carry(face.rect);
                    const Face* match = nullptr;
                    double best = foundOverlap;
                    for (const Face& g : found)
                        if (const double o = overlap(carried, g.rect); o >= best) {
                            best = o;
                            match = &g;
                        }
                    ++t.faces;
                    if (match) {
                        ++t.found;
                        t.likeness.add(likeness(face.embedding, match->embedding), p.name);
                        if (kind == "half q50" && int(f) == p.labelled) p.degraded = match->embedding;
                    }
                    const bool counted = edit.recall && face.pixelWidth >= recallFaceWidth && face.frontality >= frontal;
                    if (!counted) continue;
                    ++t.recallCases;
                    if (match) {
                        ++t.recallFound;
                        t.leastConfidence = std::min(t.leastConfidence, match->confidence);
                    } else if (misses) {
                        missed = !keep.empty();
                        probe::emit({{"missed", p.name}, {"edit", kind}, {"faceWidth", std::round(face.pixelWidth)},
                                     {"frontality", std::round(face.frontality * 100) / 100},
                                     {"quality", std::round(face.quality * 100) / 100},
                                     {"inEdit", {std::round(carried.x * 1000) / 1000, std::round(carried.y * 1000) / 1000,
                                                 std::round(carried.width * 1000) / 1000, std::round(carried.height * 1000) / 1000}},
                                     {"facesInEdit", found.size()}});
                    }
                }
                drop();
            }
        };
        std::vector<std::jthread> pool;
        for (int i = 0; i < threads; ++i) pool.emplace_back(work);
        pool.clear();
        return p;
    };
    // A picture made here, read as the face pass would read it from a file.
    // With --keep, the group pictures are kept too.
    auto saved = [&](const cv::Mat& picture, const std::string& name) {
        const std::string path = tempPath();
        if (!MediaProcessor::writeJPEG(imageOf(picture), path, 0.95)) return ImageRef();
        ImageRef read = MediaProcessor::loadFullImage(path, passPixels, 0);
        std::error_code ignored;
        if (!keep.empty() && name.starts_with("group")) fs::rename(path, keep / (name + ".jpg"), ignored);
        fs::remove(path, ignored);
        return read;
    };

    // Head-and-shoulders cuts of the labelled faces (3:4, the face half the
    // width, its centre 40 % down), kept for the small portraits and the
    // group pictures below.
    std::vector<std::pair<int, cv::Mat>> cuts;  // person, cut at full size
    for (const auto& file : files) {
        Photo p;
        p.name = file.filename().string();
        if (label.count(p.name)) p.person = label.at(p.name);
        const ImageRef whole = MediaProcessor::loadFullImage(file.string(), passPixels, 0);
        const ImageRef full = MediaProcessor::loadImage(file.string(), 1 << 15);
        if (!whole || !full) continue;
        const cv::Mat original = matOf(*full);
        photos.push_back(study(std::move(p), original, whole, ""));
        const Photo& done = photos.back();
        if (done.labelled < 0) continue;
        const FaceRect& r = done.faces[size_t(done.labelled)].rect;
        const double W = original.cols, H = original.rows;
        const double side = std::max(r.width * W, r.height * H);
        const double cx = (r.x + r.width / 2) * W, cy = (r.y + r.height / 2) * H;
        // A photo too small for that keeps the face larger in the cut.
        const double cutWidth = std::min({2 * side, W, H * 3 / 4});
        if (cutWidth < 1.1 * side) continue;
        cv::Rect2d cut(cx - cutWidth / 2, cy - 0.4 * cutWidth * 4 / 3, cutWidth, cutWidth * 4 / 3);
        cut.x = std::clamp(cut.x, 0.0, W - cut.width);
        cut.y = std::clamp(cut.y, 0.0, H - cut.height);
        cuts.emplace_back(done.person, original(cv::Rect(cut) & cv::Rect(0, 0, original.cols, original.rows)).clone());
    }
    // Small portraits: each cut 250 pixels wide.
    for (size_t i = 0; i < cuts.size(); ++i) {
        cv::Mat small;
        cv::resize(cuts[i].second, small, cv::Size(250, int(std::lround(250.0 * cuts[i].second.rows / cuts[i].second.cols))), 0, 0,
                   cv::INTER_AREA);
        if (const ImageRef whole = saved(small, "portrait250-" + std::to_string(i)))
            study(Photo{"portrait250-" + std::to_string(i), -1, 0, 0, {}, -1, {}}, small, whole, "portrait250 ");
    }
    // Group pictures: eight cuts, four across and two down, side by side,
    // each scaled so the face is 170 pixels wide.
    for (size_t first = 0; first + 8 <= cuts.size(); first += 8) {
        constexpr int cw = 340, ch = 453;
        cv::Mat group(2 * ch, 4 * cw, CV_8UC4, cv::Scalar(120, 118, 112, 255));
        for (int k = 0; k < 8; ++k) {
            cv::Mat cell;
            cv::resize(cuts[first + size_t(k)].second, cell, cv::Size(cw, ch), 0, 0, cv::INTER_AREA);
            cell.copyTo(group(cv::Rect((k % 4) * cw, (k / 4) * ch, cw, ch)));
        }
        if (const ImageRef whole = saved(group, "group-" + std::to_string(first / 8))) study(Photo{"group-" + std::to_string(first / 8), -1, 0, 0, {}, -1, {}}, group, whole, "group ");
    }
    fs::remove_all(temp, ec);

    for (const std::string& kind : order) {
        const EditTally& t = tallies[kind];
        probe::Json j = {{"edit", kind}, {"pictures", t.pictures}, {"faces", t.faces}, {"found", t.found}, {"extraFaces", t.extra}};
        const probe::Json s = t.likeness.json(true);
        if (s.contains("likenessMin")) {
            j["likenessMin"] = s["likenessMin"];
            j["likenessMean"] = s["likenessMean"];
            j["leastAlike"] = s["photos"];
        }
        probe::emit(j);
    }

    // Strangers: the labelled faces of different people.
    Spread samePlace, anywhere, degraded, samePerson;
    for (size_t a = 0; a < photos.size(); ++a)
        for (size_t b = 0; b < photos.size(); ++b) {
            const Photo &pa = photos[a], &pb = photos[b];
            if (a == b || pa.person < 0 || pb.person < 0 || pa.labelled < 0 || pb.labelled < 0) continue;
            const Face &fa = pa.faces[size_t(pa.labelled)], &fb = pb.faces[size_t(pb.labelled)];
            if (pa.person == pb.person) {
                if (a < b) samePerson.add(likeness(fa.embedding, fb.embedding), pa.name + " " + pb.name);
                continue;
            }
            if (!pb.degraded.empty()) degraded.add(likeness(fa.embedding, pb.degraded), pa.name + " " + pb.name);
            if (a > b) continue;
            const float l = likeness(fa.embedding, fb.embedding);
            anywhere.add(l, pa.name + " " + pb.name);
            bool placed = false;
            for (int turn = 0; turn < 4; ++turn) placed = placed || overlap(turnedRect(fa.rect, turn), fb.rect) >= samePlaceOverlap;
            if (placed) samePlace.add(l, pa.name + " " + pb.name);
        }
    auto strangers = [&](const std::string& where, const Spread& s) {
        probe::Json j = {{"strangers", where}};
        j.update(s.json(false));
        for (const auto& t : FaceThresholds::similarityThresholds) j[std::string("atOrAbove ") + t.name] = s.atOrAbove(t.value);
        j["atOrAbove sameFace"] = s.atOrAbove(FaceThresholds::sameFace);
        probe::emit(j);
    };
    strangers("samePlace", samePlace);
    strangers("anywhere", anywhere);
    strangers("oneAtHalfSizeQuality50", degraded);
    probe::Json same = {{"samePerson", "otherPhotos"}};
    same.update(samePerson.json(true));
    same["atOrAbove sameFace"] = samePerson.atOrAbove(FaceThresholds::sameFace);
    probe::emit(same);

    float editsMin = 1;
    int cases = 0, found = 0, extra = 0;
    for (const auto& [kind, t] : tallies) {
        extra += t.extra;
        for (float v : t.likeness.values) editsMin = std::min(editsMin, v);
        if (t.recallCases == 0) continue;
        cases += t.recallCases;
        found += t.recallFound;
        probe::emit({{"recall", kind}, {"cases", t.recallCases}, {"found", t.recallFound},
                     {"rate", std::round(1000.0 * t.recallFound / t.recallCases) / 1000},
                     {"leastConfidence", std::round(1000 * t.leastConfidence) / 1000}});
    }
    float strangersMax = -1;
    for (const Spread* s : {&anywhere, &degraded})
        for (float v : s->values) strangersMax = std::max(strangersMax, v);
    probe::emit({{"photos", photos.size()}, {"editsLikenessMin", std::round(editsMin * 1000) / 1000},
                 {"strangersLikenessMax", std::round(strangersMax * 1000) / 1000},
                 {"sameFace", std::round(FaceThresholds::sameFace * 1000) / 1000},
                 {"recallCases", cases}, {"recallFound", found}, {"extraFaces", extra},
                 {"recall", cases ? std::round(1000.0 * found / cases) / 1000 : 0}});
    return 0;
}

probe::Register reg("face-edits", "--images DIR --pairs CSV [--threads N] [--misses]", faceEdits);

}  // namespace
