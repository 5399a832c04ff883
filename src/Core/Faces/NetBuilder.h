#pragma once
// Builds a cv::dnn::Net one layer at a time from weights in TF layouts.
// Every call returns the new layer's id; its single output is (id, 0).

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
    int prelu(int from, const Tensor& slopes);
    int sum(const std::vector<int>& from);
    int globalAveragePool(int from);
    // Pooling over k x k windows that lie wholly inside the input (TF "VALID").
    int maxPool(int from, int k, int stride);
    int averagePool(int from, int k, int stride);
    // Zeros appended after the last channel, row and column of an NCHW blob.
    int zeroPadAfter(int from, int channels, int rows, int cols);
    // weights [in, out] (TF MatMul layout).
    int dense(int from, const Tensor& weights, const Tensor* bias);
    int affine(int from, float scale, float shift);               // scale * x + shift
    int channelAffine(int from, const std::vector<float>& scale, const std::vector<float>& shift);
    int nhwcFlatten(int from);

    std::string name(int id) const;
    cv::dnn::Net& net() { return net_; }

private:
    int add(const std::string& type, cv::dnn::LayerParams& params, const std::vector<int>& from);
    int pool(int from, const char* type, int k, int stride);
    cv::dnn::Net net_;
    std::vector<std::string> names_;
};

}  // namespace vintrelle::faces
