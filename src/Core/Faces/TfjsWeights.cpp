#include "Core/Faces/TfjsWeights.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vintrelle::faces {

namespace fs = std::filesystem;

size_t Tensor::count() const {
    size_t n = 1;
    for (int d : shape) n *= size_t(std::max(d, 0));
    return n;
}

namespace {

std::optional<std::string> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

float halfToFloat(uint16_t h) {
    const uint32_t sign = uint32_t(h >> 15) << 31;
    const int exp = (h >> 10) & 0x1f;
    const uint32_t mant = h & 0x3ff;
    float v;
    if (exp == 0) v = std::ldexp(float(mant), -24);
    else if (exp == 31) v = mant ? NAN : INFINITY;
    else v = std::ldexp(float(mant | 0x400), exp - 25);
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    bits |= sign;
    std::memcpy(&v, &bits, 4);
    return v;
}

template <typename T>
T readLE(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));  // the machines we build for are little-endian
    return v;
}

}  // namespace

std::optional<WeightMap> loadWeights(const nlohmann::json& manifest, const std::string& folder) {
    try {
        WeightMap out;
        for (const auto& group : manifest) {
            std::string data;
            for (const auto& p : group.at("paths")) {
                auto bytes = readAll((fs::path(folder) / p.get<std::string>()).string());
                if (!bytes) return std::nullopt;
                data += *bytes;
            }
            size_t offset = 0;
            const auto* base = reinterpret_cast<const uint8_t*>(data.data());
            for (const auto& w : group.at("weights")) {
                Tensor t;
                for (const auto& d : w.at("shape")) t.shape.push_back(d.get<int>());
                const size_t n = t.count();
                const std::string dtype = w.at("dtype").get<std::string>();
                t.values.resize(n);
                if (w.contains("quantization")) {
                    const auto& q = w["quantization"];
                    const std::string qtype = q.at("dtype").get<std::string>();
                    const size_t size = qtype == "uint8" ? 1 : 2;
                    if (qtype != "uint8" && qtype != "uint16" && qtype != "float16") return std::nullopt;
                    if (offset + n * size > data.size()) return std::nullopt;
                    const uint8_t* p = base + offset;
                    if (qtype == "float16") {
                        for (size_t i = 0; i < n; ++i) t.values[i] = halfToFloat(readLE<uint16_t>(p + 2 * i));
                    } else {
                        // Dequantised in double and stored as float, as TF.js does.
                        const double scale = q.at("scale").get<double>();
                        const double min = q.at("min").get<double>();
                        for (size_t i = 0; i < n; ++i) {
                            const double v = size == 1 ? p[i] : readLE<uint16_t>(p + 2 * i);
                            t.values[i] = float(v * scale + min);
                        }
                    }
                    offset += n * size;
                } else {
                    if (dtype != "float32" && dtype != "int32") return std::nullopt;
                    if (offset + n * 4 > data.size()) return std::nullopt;
                    const uint8_t* p = base + offset;
                    for (size_t i = 0; i < n; ++i)
                        t.values[i] = dtype == "float32" ? readLE<float>(p + 4 * i) : float(readLE<int32_t>(p + 4 * i));
                    offset += n * 4;
                }
                out[w.at("name").get<std::string>()] = std::move(t);
            }
        }
        return out;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<WeightMap> loadWeightsManifest(const std::string& manifestPath) {
    auto text = readAll(manifestPath);
    if (!text) return std::nullopt;
    auto json = nlohmann::json::parse(*text, nullptr, false);
    if (json.is_discarded() || !json.is_array()) return std::nullopt;
    return loadWeights(json, fs::path(manifestPath).parent_path().string());
}

}  // namespace vintrelle::faces
