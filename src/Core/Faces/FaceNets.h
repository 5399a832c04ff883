#pragma once
// The networks of face analysis: the SSD MobileNet v1 face detector and the
// 68-point landmark network, built from their TF.js weights into
// cv::dnn::Nets (weight manifests whose structure is fixed here), and the
// embedding network, read from ONNX. A cv::dnn::Net is not safe for
// concurrent use, so each network carries its own lock; a twin is another
// net of the same layers and weights that a second thread can run meanwhile.

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

namespace vintrelle::faces {

// The pinned weight files, under the asset folder: $VINTRELLE_ASSETS when
// set, else the folder the build was configured with.
struct ModelFiles {
    std::string detector, landmarks, embedding;
    static ModelFiles inAssetFolder();
};

// A detector box in the frame of the picture it was given: pixels, top-left
// origin.
struct Detection {
    float score = 0;
    cv::Rect2f box;
};

class NetBuilder;

class FaceDetector {
public:
    static constexpr int inputSize = 512;
    static std::unique_ptr<FaceDetector> load(const std::string& manifestPath);
    // Another detector sharing this one's weights, with a net of its own.
    std::unique_ptr<FaceDetector> twin() const;
    // Replaces the net by a fresh one over the same weights, dropping the
    // working memory the old one allocated on its first run.
    void release();

    // Faces of an 8-bit RGB picture: padded at the bottom and right to a
    // square (or, with a border, centred in a square `border` times its
    // longer side wider on every side), scaled to 512, boxes decoded from
    // the anchors, then non-maximum suppression (IoU 0.5) over the boxes
    // scoring above minScore, best first; boxes are clipped to the picture.
    // bestScore, when given, receives the highest score of any anchor.
    std::vector<Detection> detect(const cv::Mat& rgb, float minScore, float border = 0, float* bestScore = nullptr);

    // Every anchor's decoded box [ymin, xmin, ymax, xmax] (0-1 of the square
    // input) and face score for a 512 x 512 RGB input of 0-255 floats.
    void forward(const cv::Mat& rgb512, std::vector<std::array<float, 4>>& boxes, std::vector<float>& scores);

private:
    std::shared_ptr<const NetBuilder> layers_;
    cv::dnn::Net net_;
    std::vector<std::string> boxOutputs_, classOutputs_;
    std::vector<std::array<float, 4>> anchors_;  // [ymin, xmin, ymax, xmax]
    std::mutex mutex_;
};

class LandmarkNet {
public:
    static constexpr int inputSize = 112;
    static std::unique_ptr<LandmarkNet> load(const std::string& manifestPath);
    // Another landmark network sharing this one's weights, with a net of its own.
    std::unique_ptr<LandmarkNet> twin() const;
    // Replaces the net by a fresh one over the same weights, dropping the
    // working memory the old one allocated on its first run.
    void release();

    // The 68 points of the face in `box` of an 8-bit RGB picture, in that
    // picture's pixels (top-left origin). The box is cut out (clipped to the
    // picture), padded evenly to a square and scaled to 112.
    std::array<cv::Point2f, 68> detect(const cv::Mat& rgb, const cv::Rect2f& box);

    // The 136 raw outputs (x, y relative to the input) for a 112 x 112 RGB
    // input of 0-255 floats.
    std::vector<float> forward(const cv::Mat& rgb112);

private:
    std::shared_ptr<const NetBuilder> layers_;
    cv::dnn::Net net_;
    std::string output_;
    std::mutex mutex_;
};

// The ArcFace-style embedding network (fr_feature.onnx): 512 values for a
// face aligned onto the five-point template in a 112 x 112 crop. ONNX, so
// OpenCV reads it as it is.
class EmbeddingNet {
public:
    static constexpr int inputSize = 112;
    static constexpr int outputs = 512;
    static constexpr int mappedSize = 128;  // values per face after the fixed map
    static std::unique_ptr<EmbeddingNet> load(const std::string& onnxPath);
    // Another embedding network over the same file, with a net of its own.
    std::unique_ptr<EmbeddingNet> twin() const;
    // Replaces the net by a fresh one over the same weights, dropping the
    // working memory the old one allocated on its first run.
    void release();

    // The 512 raw outputs for a 112 x 112 8-bit RGB crop, which the network
    // takes as planar R, G, B of (v - 127) / 128.
    std::vector<float> forward(const cv::Mat& rgb112);

    // The fixed mappedSize x outputs map of the outputs (Faces/Projection.h), row-major.
    const std::vector<float>& projection() const { return *projection_; }

private:
    std::shared_ptr<const std::vector<uchar>> onnx_;
    std::shared_ptr<const std::vector<float>> projection_;
    cv::dnn::Net net_;
    std::mutex mutex_;
};

}  // namespace vintrelle::faces
