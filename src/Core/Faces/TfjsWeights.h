#pragma once
// Reading TF.js weight manifests with their binary shards (float32, int32
// or affine-quantised uint8/uint16, or float16). Filters stay in TF's
// layouts (HWIO for convolutions, HWC1 for depthwise filters); the network
// builders reorder them.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vintrelle::faces {

struct Tensor {
    std::vector<int> shape;
    std::vector<float> values;  // int32 weights are converted too

    size_t count() const;
};

using WeightMap = std::map<std::string, Tensor>;

// Decodes the weights described by a manifest (the array of {paths, weights}
// groups) whose shard files sit in `folder`. Empty on any error: a missing
// shard, a short file, an unknown dtype.
std::optional<WeightMap> loadWeights(const nlohmann::json& manifest, const std::string& folder);

// A face-api style "*-weights_manifest.json" file.
std::optional<WeightMap> loadWeightsManifest(const std::string& manifestPath);

}  // namespace vintrelle::faces
