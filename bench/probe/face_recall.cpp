// vintrelle-probe face-recall --images DIR: how many faces analysis finds
// in two kinds of picture made at run time from a folder of photos (nothing
// is written). Every face analysis accepts on a whole photo is a reference:
//   close-ups  the photo cut tightly around the face: squares whose side is
//              `cut` times the face box (0.8: the face cut by the frame),
//              and a head-and-shoulders cut (3:4, the face half its
//              width), moved inside the photo where they would overhang,
//              scaled to 400 pixels on the longer side; a
//              case counts as found when an accepted face overlaps the
//              reference box (IoU at least 0.3);
//   groups     the faces, each with a face width of margin, scaled to a face
//              width of 40-64 pixels and pasted 12 to a picture at
//              scattered places on a 1600 x 1067 noisy grey picture.
// Accepted faces matching no reference are counted as extra faces (in cuts
// of group photos they may be real neighbours). One line per kind and size,
// then a summary with the time per picture.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <random>

#include <opencv2/imgproc.hpp>

#include "Core/Faces/FaceEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "Probe.h"

namespace fs = std::filesystem;
using namespace vintrelle;

namespace {

constexpr double closeUpSide = 400;

struct Portrait {
    std::string name;
    ImageRef image;
    cv::Rect2d face;  // pixels, top-left origin
};

cv::Mat matOf(const Image& img) { return cv::Mat(img.height, img.width, CV_8UC4, const_cast<uint8_t*>(img.rgba.data())); }

Image imageOf(const cv::Mat& m) {
    Image out(m.cols, m.rows);
    for (int r = 0; r < m.rows; ++r) std::copy_n(m.ptr<uint8_t>(r), size_t(m.cols) * 4, out.row(r));
    return out;
}

cv::Rect2d pixelBox(const DetectedFace& f, int w, int h) {
    return {f.rect.x * w, f.rect.y * h, f.rect.width * w, f.rect.height * h};
}

double iou(const cv::Rect2d& a, const cv::Rect2d& b) {
    const double inter = (a & b).area();
    return inter > 0 ? inter / (a.area() + b.area() - inter) : 0;
}

struct Tally {
    int cases = 0, found = 0, extra = 0;
    double ms = 0;
    void emit(probe::Json j) const {
        j["cases"] = cases;
        j["found"] = found;
        j["recall"] = cases ? std::round(1000.0 * found / cases) / 1000 : 0;
        j["extraFaces"] = extra;
        probe::emit(j);
    }
};

// Analyses a picture whose true faces are `truth`; counts those matched by
// an accepted face (IoU at least 0.3) and the accepted faces matching none.
void score(FaceEngine& engine, const Image& picture, const std::vector<cv::Rect2d>& truth, Tally& tally) {
    const auto start = std::chrono::steady_clock::now();
    const auto found = engine.analyze(picture);
    tally.ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::vector<bool> used(found.size(), false);
    for (const auto& t : truth) {
        ++tally.cases;
        for (size_t i = 0; i < found.size(); ++i)
            if (!used[i] && iou(t, pixelBox(found[i], picture.width, picture.height)) >= 0.3) {
                used[i] = true;
                ++tally.found;
                break;
            }
    }
    tally.extra += int(std::count(used.begin(), used.end(), false));
}

// The part of the portrait inside `cut`, moved inside the picture where it
// overhangs (the face is then off centre); nothing when it is larger than
// the picture.
std::optional<Image> cutOut(const Portrait& p, cv::Rect2d& cut) {
    if (cut.width > p.image->width || cut.height > p.image->height) return std::nullopt;
    cut.x = std::clamp(cut.x, 0.0, p.image->width - cut.width);
    cut.y = std::clamp(cut.y, 0.0, p.image->height - cut.height);
    const cv::Rect r = cv::Rect(int(std::lround(cut.x)), int(std::lround(cut.y)), int(std::lround(cut.width)), int(std::lround(cut.height))) &
                       cv::Rect(0, 0, p.image->width, p.image->height);
    cut = r;
    return imageOf(matOf(*p.image)(r).clone());
}

int faceRecall(const probe::Args& given) {
    probe::Args args = given;
    const std::string dir = probe::takeOption(args, "--images");
    if (dir.empty()) return probe::fail("usage: vintrelle-probe face-recall --images DIR");
    auto& engine = FaceEngine::shared();
    if (!engine.model) return probe::fail("face model not loaded (run scripts/npm-assets.sh or set VINTRELLE_ASSETS)");

    std::vector<Portrait> portraits;
    int withoutFace = 0;
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        auto image = MediaProcessor::loadImage(f.string(), 1600);
        if (!image) continue;
        const auto found = engine.analyze(*image);
        if (found.empty()) {
            ++withoutFace;
            continue;
        }
        for (const auto& face : found) portraits.push_back({f.filename().string(), image, pixelBox(face, image->width, image->height)});
    }
    if (portraits.empty()) return probe::fail("no faces in " + dir);

    Tally closeUps;
    for (const double margin : {0.8, 1.0, 1.25, 1.5, 2.0, 2.5, 0.0}) {
        Tally t;
        for (const auto& p : portraits) {
            const double side = std::max(p.face.width, p.face.height);
            const double cx = p.face.x + p.face.width / 2, cy = p.face.y + p.face.height / 2;
            // margin 0: head and shoulders, 3:4, the face half the width, its centre 40 % down.
            cv::Rect2d cut = margin > 0 ? cv::Rect2d(cx - side * margin / 2, cy - side * margin / 2, side * margin, side * margin)
                                        : cv::Rect2d(cx - side, cy - 0.4 * side * 8 / 3, 2 * side, side * 8 / 3);
            const auto picture = cutOut(p, cut);
            if (!picture) continue;
            const cv::Rect2d face(p.face.x - cut.x, p.face.y - cut.y, p.face.width, p.face.height);
            const double k = closeUpSide / std::max(picture->width, picture->height);
            cv::Mat scaled;
            cv::resize(matOf(*picture), scaled, cv::Size(), k, k, k < 1 ? cv::INTER_AREA : cv::INTER_CUBIC);
            score(engine, imageOf(scaled), {cv::Rect2d(face.x * k, face.y * k, face.width * k, face.height * k)}, t);
        }
        t.emit({{"kind", "closeUp"}, {"cut", margin > 0 ? probe::Json(margin) : probe::Json("headAndShoulders")}});
        closeUps.cases += t.cases;
        closeUps.found += t.found;
        closeUps.extra += t.extra;
        closeUps.ms += t.ms;
    }

    Tally groups;
    int groupPictures = 0;
    std::mt19937 random(7);
    for (const int width : {40, 48, 56, 64}) {
        Tally t;
        for (size_t first = 0; first < portraits.size(); first += 12) {
            cv::Mat canvas(1067, 1600, CV_8UC4);
            cv::randn(canvas, cv::Scalar(120, 118, 112, 255), cv::Scalar(18, 18, 18, 0));
            cv::GaussianBlur(canvas, canvas, cv::Size(), 3);
            canvas.forEach<cv::Vec4b>([](cv::Vec4b& px, const int*) { px[3] = 255; });
            std::vector<cv::Rect2d> truth;
            for (size_t i = first; i < std::min(portraits.size(), first + 12); ++i) {
                const auto& p = portraits[i];
                const double s = width / p.face.width;
                // The face with a margin of a face width around it, scaled.
                const cv::Rect region = cv::Rect(int(p.face.x - p.face.width), int(p.face.y - p.face.height), int(3 * p.face.width),
                                                 int(3 * p.face.height)) &
                                        cv::Rect(0, 0, p.image->width, p.image->height);
                cv::Mat scaled;
                cv::resize(matOf(*p.image)(region), scaled, cv::Size(), s, s, cv::INTER_AREA);
                // A cell of a 4 x 3 grid, at a random place inside it.
                const int cell = int(i - first), cw = 400, ch = 355;
                const int x = (cell % 4) * cw + int(random() % unsigned(std::max(1, cw - scaled.cols)));
                const int y = (cell / 4) * ch + int(random() % unsigned(std::max(1, ch - scaled.rows)));
                const cv::Rect at = cv::Rect(x, y, scaled.cols, scaled.rows) & cv::Rect(0, 0, canvas.cols, canvas.rows);
                scaled(cv::Rect(0, 0, at.width, at.height)).copyTo(canvas(at));
                truth.push_back({x + (p.face.x - region.x) * s, y + (p.face.y - region.y) * s, p.face.width * s, p.face.height * s});
            }
            score(engine, imageOf(canvas), truth, t);
            ++groupPictures;
        }
        t.emit({{"kind", "group"}, {"faceWidth", width}});
        groups.cases += t.cases;
        groups.found += t.found;
        groups.extra += t.extra;
        groups.ms += t.ms;
    }

    probe::emit({{"portraits", portraits.size()},
                 {"portraitsWithoutFace", withoutFace},
                 {"closeUpRecall", std::round(1000.0 * closeUps.found / std::max(1, closeUps.cases)) / 1000},
                 {"closeUpExtraFaces", closeUps.extra},
                 {"groupRecall", std::round(1000.0 * groups.found / std::max(1, groups.cases)) / 1000},
                 {"groupExtraFaces", groups.extra},
                 {"groupMsPerPicture", std::round(groups.ms / std::max(1, groupPictures))}});
    return 0;
}

probe::Register reg("face-recall", "--images DIR", faceRecall);

}  // namespace
