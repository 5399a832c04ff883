#pragma once
// The networks of face analysis, built from their TF.js weights into
// cv::dnn::Nets: the SSD MobileNet v1 face detector, the 68-point landmark
// network and the recognition network that embeds faces (weight manifests
// whose structure is fixed here); and mobileface, a graph model converted op
// by op, which the face evaluation compares against. A cv::dnn::Net is
// not safe for concurrent use, so each network carries its own lock.

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
    std::string detector, landmarks, recognition;
    std::string mobileface;  // evaluation only: analysis never loads it
    static ModelFiles inAssetFolder();
};

// A detector box in the frame of the picture it was given: pixels, top-left
// origin.
struct Detection {
    float score = 0;
    cv::Rect2f box;
};

class FaceDetector {
public:
    static constexpr int inputSize = 512;
    static std::unique_ptr<FaceDetector> load(const std::string& manifestPath);

    // Faces of an 8-bit RGB picture: padded at the bottom and right to a
    // square, scaled to 512, boxes decoded from the anchors, then non-maximum
    // suppression (IoU 0.5) over the boxes scoring above minScore, best first.
    std::vector<Detection> detect(const cv::Mat& rgb, float minScore);

    // Every anchor's decoded box [ymin, xmin, ymax, xmax] (0-1 of the square
    // input) and face score for a 512 x 512 RGB input of 0-255 floats.
    void forward(const cv::Mat& rgb512, std::vector<std::array<float, 4>>& boxes, std::vector<float>& scores);

private:
    cv::dnn::Net net_;
    std::vector<std::string> boxOutputs_, classOutputs_;
    std::vector<std::array<float, 4>> anchors_;  // [ymin, xmin, ymax, xmax]
    std::mutex mutex_;
};

class LandmarkNet {
public:
    static constexpr int inputSize = 112;
    static std::unique_ptr<LandmarkNet> load(const std::string& manifestPath);

    // The 68 points of the face in `box` of an 8-bit RGB picture, in that
    // picture's pixels (top-left origin). The box is cut out (clipped to the
    // picture), padded evenly to a square and scaled to 112.
    std::array<cv::Point2f, 68> detect(const cv::Mat& rgb, const cv::Rect2f& box);

    // The 136 raw outputs (x, y relative to the input) for a 112 x 112 RGB
    // input of 0-255 floats.
    std::vector<float> forward(const cv::Mat& rgb112);

private:
    cv::dnn::Net net_;
    std::string output_;
    std::mutex mutex_;
};

// face-api's recognition network, a residual network of 29 convolutions:
// 128 values for a 150 x 150 chip of the face.
class RecognitionNet {
public:
    static constexpr int inputSize = 150;
    static std::unique_ptr<RecognitionNet> load(const std::string& manifestPath);

    // The chip of the face whose landmarks span `outline` in an 8-bit RGB or
    // RGBA picture (pixels, top-left origin; the chip has its channels): the outline grown by a fifth of its
    // width and height, clipped to the picture, padded evenly to a square and
    // scaled to 150. Empty when less than 2 x 2 pixels remain.
    static cv::Mat chip(const cv::Mat& rgb, const cv::Rect2f& outline);

    // The 128 raw outputs for a 150 x 150 RGB input of 0-255 values.
    std::vector<float> forward(const cv::Mat& rgb150);

private:
    cv::dnn::Net net_;
    std::string output_;
    std::mutex mutex_;
};

// mobileface of human-models, 256 outputs for a 112 x 112 aligned crop. It
// separates the labelled people less well than RecognitionNet, so analysis
// no longer uses it; the face evaluation still compares the two.
class EmbeddingNet {
public:
    static constexpr int inputSize = 112;
    static std::unique_ptr<EmbeddingNet> load(const std::string& graphModelPath);

    // Raw outputs for a 112 x 112 RGB input of 0-255 values (8-bit or float).
    std::vector<float> forward(const cv::Mat& rgb112);

    // The final dense layer and its batch norm: out = (in · kernel) * scale + shift,
    // kept for the data-free projection of the outputs.
    cv::Mat kernel;  // [in, out]
    std::vector<float> scale, shift;

private:
    cv::dnn::Net net_;
    std::string output_;
    std::mutex mutex_;
};

}  // namespace vintrelle::faces
