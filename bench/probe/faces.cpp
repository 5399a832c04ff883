#include <chrono>
#include <cmath>

#include "Core/Faces/FaceEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "Probe.h"

namespace {

int faces(const probe::Args& args) {
    if (args.empty()) return probe::fail("usage: vintrelle-probe faces FILE...");
    auto& engine = vintrelle::FaceEngine::shared();
    if (!engine.model) return probe::fail("face model not loaded (run scripts/npm-assets.sh or set VINTRELLE_ASSETS)");
    for (const auto& path : args) {
        auto image = vintrelle::MediaProcessor::loadImage(path, 1600);
        if (!image) {
            probe::emit({{"path", path}, {"error", "cannot decode"}});
            continue;
        }
        const auto start = std::chrono::steady_clock::now();
        const auto found = engine.analyze(*image);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        probe::Json list = probe::Json::array();
        for (const auto& f : found) {
            // The rect as the face pass stores it: fractions of the image, top-left origin.
            auto r4 = [](double v) { return std::round(v * 10000) / 10000; };
            list.push_back({{"rect", {r4(f.rect.x), r4(f.rect.y), r4(f.rect.width), r4(f.rect.height)}},
                            {"quality", std::round(f.quality * 1000) / 1000},
                            {"pixelWidth", std::round(f.pixelWidth * 10) / 10}});
        }
        probe::emit({{"path", path}, {"faces", list}, {"ms", std::round(ms * 10) / 10}});
    }
    return 0;
}

probe::Register reg("faces", "FILE...", faces);

}  // namespace
