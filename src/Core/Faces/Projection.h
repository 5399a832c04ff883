#pragma once
// Fixed linear maps from mobileface's 256 outputs to 128 values, by which the
// face evaluation compares it with the recognition network that embeds
// faces. Both are data-free and deterministic.

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace vintrelle::faces {

// The top `rows` principal directions of the outputs that the final dense
// layer (kernel [in, out]) and its per-output scale give for white input:
// eigenvectors of diag(scale) Kᵀ K diag(scale), largest eigenvalue first,
// each signed so that its largest component is positive. Row-major
// rows x out.
std::vector<float> principalProjection(const cv::Mat& kernel, const std::vector<float>& scale, int rows);

// A random orthonormal rows x cols map from a fixed seed (Gram-Schmidt over
// Gaussian rows drawn from mt19937 by Box-Muller, so the same on every
// platform).
std::vector<float> randomOrthonormalProjection(int rows, int cols, uint32_t seed);

// out = P · in, then scaled to unit length; empty when the length is 0 or
// not finite.
std::vector<float> projectAndNormalize(const std::vector<float>& projection, const std::vector<float>& in);

}  // namespace vintrelle::faces
