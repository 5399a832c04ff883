#pragma once
// Face analysis of one decoded photo: find the faces, keep those large and
// frontal enough, align each to a 112 x 112 crop, embed the crop into 128
// unit-length values (its sharpness counts towards capture quality), and
// cut a square avatar.
//
// Frames: detector boxes and landmark points enter the acceptance tests in
// a bottom-left-origin frame (y grows upwards), the frame the alignment
// template is written in; DetectedFace::rect is top-left origin. Mixing the
// two up flips every face upside down and the mouth test then drops them all.

#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Core/Media/Image.h"

namespace cv {
class Mat;
}

namespace vintrelle {

namespace faces {
struct Detection;
struct ModelFiles;
class FaceDetector;
class LandmarkNet;
class EmbeddingNet;
}  // namespace faces

struct FaceRect {
    double x = 0, y = 0, width = 0, height = 0;
};

struct FacePoint {
    double x = 0, y = 0;
};

struct DetectedFace {
    FaceRect rect;         // 0-1 of the image, top-left origin
    double quality = 0;    // capture quality 0-1, see FaceEngine::captureQuality
    std::vector<float> embedding;  // 128 values, unit length
    ImageRef crop;         // square avatar, at most 220 x 220; null when it could not be cut
    double pixelWidth = 0; // box width in image pixels
};

// One face as the detector and the landmark network report it.
struct FaceObservation {
    FaceRect box;  // 0-1 of the image, bottom-left origin
    // Landmark regions in image pixels, bottom-left origin.
    std::vector<FacePoint> leftEye, rightEye, outerLips;
    FacePoint nose;  // the nose tip

    bool hasLandmarks = true;
    double confidence = 0;  // detector score
    double frontality = 0;  // 0-1, 1 when the nose sits midway between the eyes
};

class FaceEngine {
public:
    // One set of the networks; present only when every weight file loaded.
    struct Model {
        std::unique_ptr<faces::FaceDetector> detector;
        std::unique_ptr<faces::LandmarkNet> landmarks;
        std::unique_ptr<faces::EmbeddingNet> embedding;
        ~Model();
        // Another set over the same weights, for another thread.
        std::unique_ptr<Model> twin() const;
    };

    // The version of face analysis that made the faces and people an index
    // holds, kept in its meta "faceVersion". Opening a library whose faces
    // an earlier version made analyses them again, unless someone in it has
    // a name. Raised whenever embeddings change meaning.
    static constexpr const char* dataVersion = "3";

    static FaceEngine& shared();
    explicit FaceEngine(const faces::ModelFiles& files);
    ~FaceEngine();
    FaceEngine(const FaceEngine&) = delete;
    FaceEngine& operator=(const FaceEngine&) = delete;

    // The first set of networks. Analysis runs on sets it takes from its
    // pool (this one included): a call finds an idle set or makes one, so
    // as many analyses run at once as there are callers, each on networks
    // of its own. Each network still locks itself, so using one directly is
    // safe alongside.
    std::unique_ptr<Model> model;

    // Lets go of what analysis holds between passes: the sets beyond the
    // first, and the working memory every idle network allocated on its
    // first run (the weights stay). Sets in use are left alone. The next
    // analyses make what they need again.
    void releaseWorkingMemory();
    // Sets of networks in existence, idle or in use.
    int networkSets();

    // The accepted faces in the detector's order; empty without a model
    // (nothing is detected then) or when anything fails. Safe to call from
    // several threads: each call holds one set of networks throughout.
    std::vector<DetectedFace> analyze(const Image& image);

    // What the detector and landmark network see in the image, unfiltered.
    std::vector<FaceObservation> observe(const Image& image);
    // The acceptance tests and the rest of the analysis over observations.
    std::vector<DetectedFace> analyze(const Image& image, const std::vector<FaceObservation>& observations);

    // The source points A, B, M1, M2 (eye with the smaller x, the other
    // eye, the mouth corners along the eye line), or nothing when the face
    // fails a test: box under 36 pixels wide, eyes 4 pixels apart or closer,
    // fewer than 2 lip points, mouth ratio outside (0.5, 2.8).
    static std::optional<std::array<FacePoint, 4>> sourcePoints(const FaceObservation& face, int width, int height);

    // 112 x 112 RGBX pixels (50,176 bytes, top row first) of the image
    // carried by the least-squares similarity that maps the source points
    // (bottom-left frame) onto the template: the source points A, B, M1, M2
    // and, as a fifth, the nose tip; analysis passes all five.
    static std::optional<std::vector<uint8_t>> align(const Image& image, const std::vector<FacePoint>& source);
    // The unit-length 128-value embedding of aligned pixels: the embedding
    // network's 512 outputs through the fixed map of Faces/Projection.h,
    // scaled to unit length.
    std::optional<std::vector<float>> embed(const std::vector<uint8_t>& aligned);
    // The square avatar around rect (0-1, top-left origin): 1.75 x the face,
    // raised by 8 % of its height, kept inside the image, at most 220 x 220.
    static ImageRef avatarCrop(const Image& image, const FaceRect& rect);

    // Capture quality, 0-1: the product of four factors, each 0-1,
    //   confidence  clamp((score - 0.5) / 0.4)          detector certainty
    //   sharpness   clamp((lapVar - 15) / 85)             variance of the Laplacian of the aligned crop's grey
    //   frontality  clamp((frontal - 0.3) / 0.5)          nose midway between the eyes = 1
    //   size        clamp((pixelWidth - 30) / 50)          36 px = 0.12, 80 px and up = 1
    // A clear, frontal, sharp face of 80 pixels or more scores near 1; a
    // face that is blurred, tiny or turned loses most of its score through
    // that one factor and falls under the 0.25 that opens a new person.
    static double captureQuality(double confidence, double laplacianVariance, double frontality, double pixelWidth);
    static double laplacianVariance(const std::vector<uint8_t>& aligned);

private:
    // A set of networks taken from the pool for one call, put back when it ends.
    class Lease;
    Model* take();
    void giveBack(Model* set);

    std::vector<FaceObservation> observe(const Image& image, Model& set);
    std::vector<DetectedFace> analyze(const Image& image, const std::vector<FaceObservation>& observations, Model& set);
    std::optional<std::vector<float>> embed(const std::vector<uint8_t>& aligned, Model& set);
    // Detector boxes in picture pixels, with a second look on a padded copy
    // for close-ups and faces cut by the frame, and one on tiles for small
    // faces.
    std::vector<faces::Detection> detect(const cv::Mat& rgb, Model& set);

    std::mutex poolMutex_;
    std::condition_variable setReturned_;
    std::vector<Model*> idleSets_;
    std::vector<std::unique_ptr<Model>> twins_;  // the sets made beyond `model`
    int sets_ = 0;                               // made, or being made
    bool shortOfMemory_ = false;                 // making a set failed: wait for one instead
};

}  // namespace vintrelle
