#include "LabelledPairs.h"

#include <fstream>
#include <functional>
#include <sstream>

namespace probe {

std::vector<LabelledPair> readPairs(const std::string& path) {
    std::vector<LabelledPair> pairs;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::stringstream ss(line);
        std::string a, b, same;
        if (!std::getline(ss, a, ',') || !std::getline(ss, b, ',') || !std::getline(ss, same, ',')) continue;
        if (same != "0" && same != "1") continue;  // the header
        pairs.push_back({a, b, same == "1"});
    }
    return pairs;
}

std::map<std::string, int> identities(const std::string& path) {
    std::map<std::string, int> index;
    std::vector<int> parent;
    auto node = [&](const std::string& name) {
        auto [it, fresh] = index.try_emplace(name, int(parent.size()));
        if (fresh) parent.push_back(it->second);
        return it->second;
    };
    std::function<int(int)> root = [&](int i) { return parent[size_t(i)] == i ? i : parent[size_t(i)] = root(parent[size_t(i)]); };
    for (const LabelledPair& p : readPairs(path)) {
        const int ia = node(p.a), ib = node(p.b);
        if (p.same) parent[size_t(root(ia))] = root(ib);
    }
    std::map<std::string, int> out;
    for (const auto& [name, i] : index) out[name] = root(i);
    return out;
}

}  // namespace probe
