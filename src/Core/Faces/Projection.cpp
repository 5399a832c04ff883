#include "Core/Faces/Projection.h"

#include <cmath>
#include <random>

namespace vintrelle::faces {

std::vector<float> principalProjection(const cv::Mat& kernel, const std::vector<float>& scale, int rows) {
    const int out = kernel.cols;
    if (kernel.empty() || int(scale.size()) != out || rows > out) return {};
    cv::Mat k;
    kernel.convertTo(k, CV_64F);
    for (int j = 0; j < out; ++j) k.col(j) *= double(scale[size_t(j)]);
    const cv::Mat cov = k.t() * k;
    cv::Mat values, vectors;
    if (!cv::eigen(cov, values, vectors)) return {};
    std::vector<float> p(size_t(rows) * out);
    for (int r = 0; r < rows; ++r) {
        const double* v = vectors.ptr<double>(r);
        int big = 0;
        for (int j = 1; j < out; ++j)
            if (std::abs(v[j]) > std::abs(v[big])) big = j;
        const double sign = v[big] < 0 ? -1 : 1;
        for (int j = 0; j < out; ++j) p[size_t(r) * out + j] = float(sign * v[j]);
    }
    return p;
}

std::vector<float> randomOrthonormalProjection(int rows, int cols, uint32_t seed) {
    std::mt19937 gen(seed);
    auto uniform = [&] { return (double(gen()) + 0.5) / 4294967296.0; };
    std::vector<std::vector<double>> basis;
    while (int(basis.size()) < rows) {
        std::vector<double> v(static_cast<size_t>(cols));
        for (auto& x : v) x = std::sqrt(-2 * std::log(uniform())) * std::cos(2 * M_PI * uniform());
        for (const auto& b : basis) {
            double d = 0;
            for (int i = 0; i < cols; ++i) d += v[size_t(i)] * b[size_t(i)];
            for (int i = 0; i < cols; ++i) v[size_t(i)] -= d * b[size_t(i)];
        }
        double n = 0;
        for (double x : v) n += x * x;
        n = std::sqrt(n);
        if (n < 1e-9) continue;
        for (auto& x : v) x /= n;
        basis.push_back(std::move(v));
    }
    std::vector<float> p;
    for (const auto& b : basis)
        for (double x : b) p.push_back(float(x));
    return p;
}

std::vector<float> projectAndNormalize(const std::vector<float>& projection, const std::vector<float>& in) {
    if (in.empty() || projection.size() % in.size() != 0) return {};
    const size_t rows = projection.size() / in.size();
    std::vector<float> out(rows);
    float sumSq = 0;
    for (size_t r = 0; r < rows; ++r) {
        const float* row = projection.data() + r * in.size();
        float acc = 0;
        for (size_t i = 0; i < in.size(); ++i) acc += row[i] * in[i];
        out[r] = acc;
        sumSq += acc * acc;
    }
    const float norm = std::sqrt(sumSq);
    if (!(sumSq > 0) || !std::isfinite(norm)) return {};
    const float inv = 1.f / norm;
    for (float& v : out) v *= inv;
    return out;
}

}  // namespace vintrelle::faces
