#pragma once
// Reading TF.js model files: weight manifests with their binary shards
// (float32, int32 or affine-quantised uint8/uint16, or float16) and the
// topology of a graph model. Filters stay in TF's layouts (HWIO for
// convolutions, HWC1 for depthwise filters); the network builders reorder them.

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

// A TF.js graph model: its "modelTopology" plus the weights of its manifest.
struct GraphModel {
    nlohmann::json topology;
    std::vector<std::string> outputs;  // node names of the signature's outputs
    WeightMap weights;
};
std::optional<GraphModel> loadGraphModel(const std::string& modelJsonPath);

}  // namespace vintrelle::faces
