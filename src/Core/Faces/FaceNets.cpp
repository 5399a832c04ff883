#include "Core/Faces/FaceNets.h"

#include <algorithm>
#include <cstdlib>
#include <cmath>
#include <optional>
#include <fstream>

#include <opencv2/imgproc.hpp>

#include "Core/Base/AssetFolder.h"
#include "Core/Faces/NetBuilder.h"
#include "Core/Faces/Projection.h"

namespace vintrelle::faces {

namespace {

const Tensor& need(const WeightMap& w, const std::string& name) {
    auto it = w.find(name);
    if (it == w.end()) throw std::runtime_error("missing weight " + name);
    return it->second;
}

// Resizes with area averaging when shrinking (no aliasing), bilinear otherwise.
void resizeTo(const cv::Mat& src, cv::Mat& dst, cv::Size size) {
    const bool shrink = size.width < src.cols || size.height < src.rows;
    cv::resize(src, dst, size, 0, 0, shrink ? cv::INTER_AREA : cv::INTER_LINEAR);
}

float iou(const std::array<float, 4>& a, const std::array<float, 4>& b) {
    const float ay0 = std::min(a[0], a[2]), ax0 = std::min(a[1], a[3]), ay1 = std::max(a[0], a[2]), ax1 = std::max(a[1], a[3]);
    const float by0 = std::min(b[0], b[2]), bx0 = std::min(b[1], b[3]), by1 = std::max(b[0], b[2]), bx1 = std::max(b[1], b[3]);
    const float areaA = (ay1 - ay0) * (ax1 - ax0), areaB = (by1 - by0) * (bx1 - bx0);
    if (areaA <= 0 || areaB <= 0) return 0;
    const float inter = std::max(std::min(ay1, by1) - std::max(ay0, by0), 0.f) *
                        std::max(std::min(ax1, bx1) - std::max(ax0, bx0), 0.f);
    return inter / (areaA + areaB - inter);
}

// The part of an 8-bit picture inside `box` (clipped to the picture),
// padded evenly with black to a square and scaled to side x side, as the
// face-api networks take their input.
struct SquareCut {
    cv::Mat square;
    int x0 = 0, y0 = 0;        // the cut's corner in the picture
    int padX = 0, padY = 0;    // where the scaled cut sits in the square
    float sx = 1, sy = 1;      // picture pixels per square pixel
};

std::optional<SquareCut> squareCut(const cv::Mat& rgb, const cv::Rect2f& box, int side) {
    SquareCut c;
    c.x0 = std::max(0, int(std::floor(box.x)));
    c.y0 = std::max(0, int(std::floor(box.y)));
    const int x1 = std::min(rgb.cols, int(std::ceil(box.x + box.width)));
    const int y1 = std::min(rgb.rows, int(std::ceil(box.y + box.height)));
    if (x1 - c.x0 < 2 || y1 - c.y0 < 2) return std::nullopt;
    const cv::Mat crop = rgb(cv::Rect(c.x0, c.y0, x1 - c.x0, y1 - c.y0));
    const double s = double(side) / std::max(crop.cols, crop.rows);
    const int w = std::clamp(int(std::lround(crop.cols * s)), 1, side);
    const int h = std::clamp(int(std::lround(crop.rows * s)), 1, side);
    c.padX = (side - w) / 2;
    c.padY = (side - h) / 2;
    c.square = cv::Mat::zeros(side, side, rgb.type());
    cv::Mat region = c.square(cv::Rect(c.padX, c.padY, w, h));
    resizeTo(crop, region, cv::Size(w, h));
    c.sx = float(crop.cols) / w;
    c.sy = float(crop.rows) / h;
    return c;
}

// One input and one output through a net that one thread at a time may use:
// an 8-bit or float RGB picture as (x - mean) * scale, the output's values.
std::vector<float> runOne(cv::dnn::Net& net, std::mutex& mutex, const std::string& output, const cv::Mat& rgb, double scale,
                          const cv::Scalar& mean) {
    cv::Mat blob = cv::dnn::blobFromImage(rgb, scale, cv::Size(), mean, false, false, CV_32F);
    cv::Mat out;
    {
        std::lock_guard lock(mutex);
        net.setInput(blob);
        out = net.forward(output).clone();
    }
    return std::vector<float>(out.ptr<float>(), out.ptr<float>() + out.total());
}

// face-api's networks take their input less this mean, over 255.
const cv::Scalar faceApiMean(122.782, 117.001, 104.298);

}  // namespace

ModelFiles ModelFiles::inAssetFolder() {
    const std::string dir = assetFolder();
    return {dir + "/@vladmandic/face-api@1.7.15/model/ssd_mobilenetv1_model-weights_manifest.json",
            dir + "/@vladmandic/face-api@1.7.15/model/face_landmark_68_model-weights_manifest.json",
            dir + "/faceplugin-face-recognition-js@0.0.1/model/fr_feature.onnx"};
}

// ---- detector -------------------------------------------------------------------

std::unique_ptr<FaceDetector> FaceDetector::load(const std::string& manifestPath) {
    auto weights = loadWeightsManifest(manifestPath);
    if (!weights) return nullptr;
    try {
        const WeightMap& w = *weights;
        auto d = std::make_unique<FaceDetector>();
        NetBuilder b;
        const Pads same{.same = true};
        auto pointwise = [&](int from, const std::string& prefix, int stride) {
            const Tensor& bias = need(w, prefix + "/convolution_bn_offset");
            return b.relu6(b.conv(from, need(w, prefix + "/weights"), &bias, stride, same));
        };
        int x = pointwise(NetBuilder::input, "MobilenetV1/Conv2d_0_pointwise", 2);
        int conv11 = -1;
        for (int i = 1; i <= 13; ++i) {
            const std::string dw = "MobilenetV1/Conv2d_" + std::to_string(i) + "_depthwise";
            const Tensor& gamma = need(w, dw + "/BatchNorm/gamma");
            const Tensor& beta = need(w, dw + "/BatchNorm/beta");
            const Tensor& mean = need(w, dw + "/BatchNorm/moving_mean");
            const Tensor& var = need(w, dw + "/BatchNorm/moving_variance");
            const float eps = 0.0010000000474974513f;
            std::vector<float> scale(gamma.values.size()), shift(gamma.values.size());
            for (size_t c = 0; c < scale.size(); ++c) {
                scale[c] = gamma.values[c] / std::sqrt(var.values[c] + eps);
                shift[c] = beta.values[c] - mean.values[c] * scale[c];
            }
            const int stride = (i == 2 || i == 4 || i == 6 || i == 12) ? 2 : 1;
            x = b.relu6(b.depthwise(x, need(w, dw + "/depthwise_weights"), stride, same, scale, shift));
            x = pointwise(x, "MobilenetV1/Conv2d_" + std::to_string(i) + "_pointwise", 1);
            if (i == 11) conv11 = x;
        }
        std::vector<int> convs(8);
        int p = x;
        for (int i = 0; i < 8; ++i) {
            p = pointwise(p, "Prediction/Conv2d_" + std::to_string(i) + "_pointwise", i % 2 ? 2 : 1);
            convs[size_t(i)] = p;
        }
        const int sources[6] = {conv11, x, convs[1], convs[3], convs[5], convs[7]};
        for (int i = 0; i < 6; ++i) {
            const std::string prefix = "Prediction/BoxPredictor_" + std::to_string(i);
            const Tensor& boxBias = need(w, prefix + "/BoxEncodingPredictor/biases");
            const Tensor& classBias = need(w, prefix + "/ClassPredictor/biases");
            d->boxOutputs_.push_back(b.name(b.conv(sources[i], need(w, prefix + "/BoxEncodingPredictor/weights"), &boxBias, 1, same)));
            d->classOutputs_.push_back(b.name(b.conv(sources[i], need(w, prefix + "/ClassPredictor/weights"), &classBias, 1, same)));
        }
        const Tensor& anchors = need(w, "Output/extra_dim");
        for (size_t i = 0; i + 3 < anchors.values.size(); i += 4)
            d->anchors_.push_back({anchors.values[i], anchors.values[i + 1], anchors.values[i + 2], anchors.values[i + 3]});
        d->layers_ = std::make_shared<const NetBuilder>(std::move(b));
        d->net_ = d->layers_->net();
        return d;
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::unique_ptr<FaceDetector> FaceDetector::twin() const {
    auto t = std::make_unique<FaceDetector>();
    t->layers_ = layers_;
    t->net_ = layers_->net();
    t->boxOutputs_ = boxOutputs_;
    t->classOutputs_ = classOutputs_;
    t->anchors_ = anchors_;
    return t;
}

void FaceDetector::release() {
    cv::dnn::Net fresh = layers_->net();
    std::lock_guard lock(mutex_);
    net_ = std::move(fresh);
}

void FaceDetector::forward(const cv::Mat& rgb512, std::vector<std::array<float, 4>>& boxes, std::vector<float>& scores) {
    cv::Mat blob = cv::dnn::blobFromImage(rgb512, 1.0 / 127.5, cv::Size(), cv::Scalar(127.5, 127.5, 127.5), false, false, CV_32F);
    std::vector<cv::Mat> outs;
    std::vector<std::string> names = boxOutputs_;
    names.insert(names.end(), classOutputs_.begin(), classOutputs_.end());
    {
        std::lock_guard lock(mutex_);
        net_.setInput(blob);
        net_.forward(outs, names);
    }
    boxes.clear();
    scores.clear();
    // TF lays each predictor's output out as [h][w][anchor][value]; OpenCV
    // holds it as [anchor * values + value][h][w].
    for (size_t p = 0; p < boxOutputs_.size(); ++p) {
        const cv::Mat& be = outs[p];
        const cv::Mat& ce = outs[p + boxOutputs_.size()];
        const int per = be.size[1] / 4, h = be.size[2], wd = be.size[3];
        const size_t plane = size_t(h) * wd;
        const float* bp = be.ptr<float>();
        const float* cp = ce.ptr<float>();
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < wd; ++x)
                for (int a = 0; a < per; ++a) {
                    const size_t at = size_t(y) * wd + x;
                    const size_t idx = boxes.size();
                    if (idx >= anchors_.size()) return;
                    const auto& an = anchors_[idx];
                    const float e0 = bp[(size_t(a) * 4 + 0) * plane + at], e1 = bp[(size_t(a) * 4 + 1) * plane + at];
                    const float e2 = bp[(size_t(a) * 4 + 2) * plane + at], e3 = bp[(size_t(a) * 4 + 3) * plane + at];
                    const float sy = an[2] - an[0], sx = an[3] - an[1];
                    const float cy = an[0] + sy / 2, cx = an[1] + sx / 2;
                    const float hy = std::exp(e2 / 5) * sy / 2, hx = std::exp(e3 / 5) * sx / 2;
                    const float my = e0 / 10 * sy + cy, mx = e1 / 10 * sx + cx;
                    boxes.push_back({my - hy, mx - hx, my + hy, mx + hx});
                    const float logit = cp[(size_t(a) * 3 + 1) * plane + at];
                    scores.push_back(1.f / (1.f + std::exp(-logit)));
                }
    }
}

std::vector<Detection> FaceDetector::detect(const cv::Mat& rgb, float minScore, float border, float* bestScore) {
    if (bestScore) *bestScore = 0;
    if (rgb.empty()) return {};
    // Without a border the picture sits in the top-left corner of the square,
    // the rest black; with one it sits in the middle of a larger square, the
    // rest neutral grey (0 once normalised), which does not smear faces cut
    // by the frame into the margin as repeated edges would.
    const double side = std::max(rgb.cols, rgb.rows) * (1 + 2 * double(std::max(0.f, border)));
    const double s = double(inputSize) / side;
    const cv::Size scaled(std::clamp(int(std::lround(rgb.cols * s)), 1, inputSize),
                          std::clamp(int(std::lround(rgb.rows * s)), 1, inputSize));
    const bool framed = border > 0;
    const int ox = framed ? (inputSize - scaled.width) / 2 : 0, oy = framed ? (inputSize - scaled.height) / 2 : 0;
    cv::Mat square(inputSize, inputSize, CV_8UC3, cv::Scalar::all(framed ? 128 : 0));
    cv::Mat region = square(cv::Rect(ox, oy, scaled.width, scaled.height));
    resizeTo(rgb, region, scaled);
    // The square in picture pixels (the scaled part may be rounded), and
    // where the picture starts in it.
    const float fx = float(rgb.cols) / scaled.width * inputSize, fy = float(rgb.rows) / scaled.height * inputSize;
    const float offX = float(ox) / inputSize * fx, offY = float(oy) / inputSize * fy;

    std::vector<std::array<float, 4>> boxes;
    std::vector<float> scores;
    forward(square, boxes, scores);

    std::vector<size_t> candidates;
    for (size_t i = 0; i < scores.size(); ++i) {
        if (bestScore) *bestScore = std::max(*bestScore, scores[i]);
        if (scores[i] > minScore) candidates.push_back(i);
    }
    std::stable_sort(candidates.begin(), candidates.end(), [&](size_t a, size_t b) { return scores[a] > scores[b]; });
    std::vector<size_t> kept;
    for (size_t c : candidates) {
        if (kept.size() >= 100) break;
        bool suppressed = false;
        for (size_t k : kept)
            if (iou(boxes[c], boxes[k]) > 0.5f) {
                suppressed = true;
                break;
            }
        if (!suppressed) kept.push_back(c);
    }
    std::vector<Detection> out;
    for (size_t k : kept) {
        const auto& bx = boxes[k];
        const float top = std::max(0.f, bx[0] * fy - offY), bottom = bx[2] * fy - offY;
        const float left = std::max(0.f, bx[1] * fx - offX), right = bx[3] * fx - offX;
        const float r = std::min(right, float(rgb.cols)), btm = std::min(bottom, float(rgb.rows));
        if (r <= left || btm <= top) continue;
        out.push_back({scores[k], cv::Rect2f(left, top, r - left, btm - top)});
    }
    return out;
}

// ---- landmarks --------------------------------------------------------------------

std::unique_ptr<LandmarkNet> LandmarkNet::load(const std::string& manifestPath) {
    auto weights = loadWeightsManifest(manifestPath);
    if (!weights) return nullptr;
    try {
        const WeightMap& w = *weights;
        auto d = std::make_unique<LandmarkNet>();
        NetBuilder b;
        const Pads same{.same = true};
        auto separable = [&](int from, const std::string& prefix, int stride) {
            const int dw = b.depthwise(from, need(w, prefix + "/depthwise_filter"), stride, same);
            const Tensor& bias = need(w, prefix + "/bias");
            return b.conv(dw, need(w, prefix + "/pointwise_filter"), &bias, 1, Pads{});
        };
        int x = NetBuilder::input;
        for (int block = 0; block < 4; ++block) {
            const std::string prefix = "dense" + std::to_string(block);
            int out1;
            if (block == 0) {
                const Tensor& bias = need(w, prefix + "/conv0/bias");
                out1 = b.relu(b.conv(x, need(w, prefix + "/conv0/filters"), &bias, 2, same));
            } else {
                out1 = b.relu(separable(x, prefix + "/conv0", 2));
            }
            const int out2 = separable(out1, prefix + "/conv1", 1);
            const int in3 = b.relu(b.sum({out1, out2}));
            const int out3 = separable(in3, prefix + "/conv2", 1);
            const int in4 = b.relu(b.sum({out1, out2, out3}));
            const int out4 = separable(in4, prefix + "/conv3", 1);
            x = b.relu(b.sum({out1, out2, out3, out4}));
        }
        x = b.globalAveragePool(x);
        const Tensor& bias = need(w, "fc/bias");
        x = b.dense(x, need(w, "fc/weights"), &bias);
        d->output_ = b.name(x);
        d->layers_ = std::make_shared<const NetBuilder>(std::move(b));
        d->net_ = d->layers_->net();
        return d;
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::unique_ptr<LandmarkNet> LandmarkNet::twin() const {
    auto t = std::make_unique<LandmarkNet>();
    t->layers_ = layers_;
    t->net_ = layers_->net();
    t->output_ = output_;
    return t;
}

void LandmarkNet::release() {
    cv::dnn::Net fresh = layers_->net();
    std::lock_guard lock(mutex_);
    net_ = std::move(fresh);
}

std::vector<float> LandmarkNet::forward(const cv::Mat& rgb112) { return runOne(net_, mutex_, output_, rgb112, 1.0 / 255, faceApiMean); }

std::array<cv::Point2f, 68> LandmarkNet::detect(const cv::Mat& rgb, const cv::Rect2f& box) {
    std::array<cv::Point2f, 68> points{};
    const auto cut = squareCut(rgb, box, inputSize);
    if (!cut) return points;
    const std::vector<float> out = forward(cut->square);
    for (size_t i = 0; i < 68 && 2 * i + 1 < out.size(); ++i)
        points[i] = cv::Point2f(float(cut->x0) + (out[2 * i] * inputSize - float(cut->padX)) * cut->sx,
                                float(cut->y0) + (out[2 * i + 1] * inputSize - float(cut->padY)) * cut->sy);
    return points;
}

// ---- embedding --------------------------------------------------------------------

std::unique_ptr<EmbeddingNet> EmbeddingNet::load(const std::string& onnxPath) {
    std::ifstream in(onnxPath, std::ios::binary);
    if (!in) return nullptr;
    auto bytes = std::make_shared<std::vector<uchar>>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (bytes->empty()) return nullptr;
    try {
        auto e = std::make_unique<EmbeddingNet>();
        e->net_ = cv::dnn::readNetFromONNX(*bytes);
        if (e->net_.empty()) return nullptr;
        // The last layer: a 512 x 512 convolution over the 1 x 1 map.
        cv::Mat kernel;
        for (const auto& name : e->net_.getLayerNames()) {
            const auto layer = e->net_.getLayer(e->net_.getLayerId(name));
            if (layer->type == "Convolution" && !layer->blobs.empty() && layer->blobs[0].total() == size_t(outputs) * outputs)
                kernel = layer->blobs[0].reshape(1, outputs);
        }
        auto projection = principalDirections(kernel, mappedSize);
        if (projection.empty()) return nullptr;
        e->projection_ = std::make_shared<const std::vector<float>>(std::move(projection));
        e->onnx_ = std::move(bytes);
        return e;
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::unique_ptr<EmbeddingNet> EmbeddingNet::twin() const {
    auto t = std::make_unique<EmbeddingNet>();
    t->onnx_ = onnx_;
    t->projection_ = projection_;
    t->net_ = cv::dnn::readNetFromONNX(*onnx_);
    return t;
}

void EmbeddingNet::release() {
    cv::dnn::Net fresh = cv::dnn::readNetFromONNX(*onnx_);
    std::lock_guard lock(mutex_);
    net_ = std::move(fresh);
}

std::vector<float> EmbeddingNet::forward(const cv::Mat& rgb112) {
    return runOne(net_, mutex_, "", rgb112, 1.0 / 128, cv::Scalar::all(127));
}

}  // namespace vintrelle::faces
