#include "Core/Faces/NetBuilder.h"

#include <stdexcept>

namespace vintrelle::faces {

namespace {

cv::Mat row(const std::vector<float>& v) {
    cv::Mat m(1, int(v.size()), CV_32F);
    std::copy(v.begin(), v.end(), m.ptr<float>());
    return m;
}

void setPads(cv::dnn::LayerParams& p, Pads pads) {
    if (pads.same) {
        p.set("pad_mode", "SAME");
        return;
    }
    p.set("pad_t", pads.top);
    p.set("pad_b", pads.bottom);
    p.set("pad_l", pads.left);
    p.set("pad_r", pads.right);
}

cv::dnn::LayerParams convParams(const cv::Mat& weights, int stride, int outputs, int group, Pads pads, const std::vector<float>* bias) {
    cv::dnn::LayerParams p;
    p.set("kernel_h", weights.size[2]);
    p.set("kernel_w", weights.size[3]);
    p.set("stride_h", stride);
    p.set("stride_w", stride);
    p.set("num_output", outputs);
    p.set("group", group);
    p.set("bias_term", bias != nullptr);
    setPads(p, pads);
    p.blobs.push_back(weights);
    if (bias) p.blobs.push_back(row(*bias));
    return p;
}

}  // namespace

NetBuilder::NetBuilder() { names_.push_back("input"); }

std::string NetBuilder::name(int id) const { return names_.at(size_t(id)); }

int NetBuilder::add(const std::string& type, cv::dnn::LayerParams& params, const std::vector<int>& from) {
    const int id = int(names_.size());
    for (int f : from)
        if (f < 0 || f >= id) throw std::runtime_error("layer input out of order");
    params.name = "l" + std::to_string(id);
    params.type = type;
    names_.push_back(params.name);
    layers_.push_back({type, params, from});
    return id;
}

cv::dnn::Net NetBuilder::net() const {
    cv::dnn::Net net;
    net.setInputsNames({"input"});
    for (const Layer& layer : layers_) {
        cv::dnn::LayerParams params = layer.params;  // shares the blobs
        const int id = net.addLayer(params.name, layer.type, params);
        if (name(id) != params.name) throw std::runtime_error("layer ids out of step");
        for (size_t i = 0; i < layer.from.size(); ++i) net.connect(layer.from[i], 0, id, int(i));
    }
    return net;
}

int NetBuilder::conv(int from, const Tensor& f, const Tensor* bias, int stride, Pads pads) {
    const int kh = f.shape[0], kw = f.shape[1], in = f.shape[2], out = f.shape[3];
    const int sz[] = {out, in, kh, kw};
    cv::Mat w(4, sz, CV_32F);
    float* dst = w.ptr<float>();
    for (int o = 0; o < out; ++o)
        for (int i = 0; i < in; ++i)
            for (int y = 0; y < kh; ++y)
                for (int x = 0; x < kw; ++x)
                    *dst++ = f.values[((size_t(y) * kw + x) * in + i) * out + o];
    auto p = convParams(w, stride, out, 1, pads, bias ? &bias->values : nullptr);
    return add("Convolution", p, {from});
}

int NetBuilder::depthwise(int from, const Tensor& f, int stride, Pads pads, const std::vector<float>& scale,
                          const std::vector<float>& shift) {
    const int kh = f.shape[0], kw = f.shape[1], c = f.shape[2];
    const int sz[] = {c, 1, kh, kw};
    cv::Mat w(4, sz, CV_32F);
    float* dst = w.ptr<float>();
    for (int ch = 0; ch < c; ++ch)
        for (int y = 0; y < kh; ++y)
            for (int x = 0; x < kw; ++x)
                *dst++ = f.values[(size_t(y) * kw + x) * c + ch] * (scale.empty() ? 1.f : scale[size_t(ch)]);
    auto p = convParams(w, stride, c, c, pads, shift.empty() ? nullptr : &shift);
    return add("Convolution", p, {from});
}

int NetBuilder::relu(int from) {
    cv::dnn::LayerParams p;
    return add("ReLU", p, {from});
}

int NetBuilder::relu6(int from) {
    cv::dnn::LayerParams p;
    p.set("min_value", 0.f);
    p.set("max_value", 6.f);
    return add("ReLU6", p, {from});
}

int NetBuilder::sum(const std::vector<int>& from) {
    cv::dnn::LayerParams p;
    p.set("operation", "sum");
    return add("Eltwise", p, from);
}

int NetBuilder::globalAveragePool(int from) {
    cv::dnn::LayerParams p;
    p.set("pool", "ave");
    p.set("global_pooling", true);
    return add("Pooling", p, {from});
}

int NetBuilder::dense(int from, const Tensor& weights, const Tensor* bias) {
    const int in = weights.shape[0], out = weights.shape[1];
    cv::Mat w(out, in, CV_32F);
    for (int o = 0; o < out; ++o)
        for (int i = 0; i < in; ++i) w.at<float>(o, i) = weights.values[size_t(i) * out + o];
    cv::dnn::LayerParams p;
    p.set("num_output", out);
    p.set("bias_term", bias != nullptr);
    p.set("axis", 1);
    p.blobs.push_back(w);
    if (bias) p.blobs.push_back(row(bias->values));
    return add("InnerProduct", p, {from});
}

}  // namespace vintrelle::faces
