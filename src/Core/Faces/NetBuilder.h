#pragma once
// Builds a cv::dnn::Net one layer at a time from weights in TF layouts.
// Every call returns the new layer's id; its single output is (id, 0).
// The layers are kept, so the builder can make several nets of the same
// layers, each for one thread, that share the weight blobs.

#include <string>
#include <vector>

#include <opencv2/dnn.hpp>

#include "Core/Faces/TfjsWeights.h"

namespace vintrelle::faces {

struct Pads {
    int top = 0, bottom = 0, left = 0, right = 0;
    bool same = false;  // TF "SAME": the odd pixel of padding goes to the bottom/right
};

class NetBuilder {
public:
    NetBuilder();
    static constexpr int input = 0;

    // filters HWIO [kh, kw, in, out]; bias may be null.
    int conv(int from, const Tensor& filters, const Tensor* bias, int stride, Pads pads);
    // filters [kh, kw, C, 1]; optional per-channel affine applied afterwards
    // (scale, shift), folded into the filters and bias.
    int depthwise(int from, const Tensor& filters, int stride, Pads pads,
                  const std::vector<float>& scale = {}, const std::vector<float>& shift = {});
    int relu(int from);
    int relu6(int from);
    int sum(const std::vector<int>& from);
    int globalAveragePool(int from);
    // weights [in, out] (TF MatMul layout).
    int dense(int from, const Tensor& weights, const Tensor* bias);

    std::string name(int id) const;
    // A new net of the layers added so far. Nets made by one builder share
    // their weight blobs: OpenCV's layers read them and keep what they
    // derive (aligned, packed or fused copies) to themselves.
    cv::dnn::Net net() const;

private:
    struct Layer {
        std::string type;
        cv::dnn::LayerParams params;
        std::vector<int> from;
    };
    int add(const std::string& type, cv::dnn::LayerParams& params, const std::vector<int>& from);
    std::vector<Layer> layers_;     // layer id i + 1 is layers_[i]
    std::vector<std::string> names_;  // by layer id; 0 is the input
};

}  // namespace vintrelle::faces
