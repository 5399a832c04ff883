#include "Core/Faces/Projection.h"

#include <cmath>

namespace vintrelle::faces {

std::vector<float> principalDirections(const cv::Mat& kernel, int rows) {
    if (kernel.empty() || kernel.dims != 2 || kernel.rows != kernel.cols || rows < 1 || rows > kernel.rows) return {};
    cv::Mat k;
    kernel.convertTo(k, CV_64F);
    cv::Mat values, vectors;
    if (!cv::eigen(k * k.t(), values, vectors)) return {};
    const int n = k.rows;
    std::vector<float> p(size_t(rows) * size_t(n));
    for (int r = 0; r < rows; ++r) {
        const double* v = vectors.ptr<double>(r);
        int big = 0;
        for (int j = 1; j < n; ++j)
            if (std::abs(v[j]) > std::abs(v[big])) big = j;
        const double sign = v[big] < 0 ? -1 : 1;
        for (int j = 0; j < n; ++j) p[size_t(r) * size_t(n) + size_t(j)] = float(sign * v[j]);
    }
    return p;
}

std::vector<float> projectAndNormalize(const std::vector<float>& projection, const std::vector<float>& in) {
    if (in.empty() || projection.empty() || projection.size() % in.size() != 0) return {};
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
    for (float& v : out) v /= norm;
    return out;
}

}  // namespace vintrelle::faces
