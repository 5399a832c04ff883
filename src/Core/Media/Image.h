#pragma once
// A decoded picture as it crosses from the core to the screens and the face
// analyser: 8-bit RGBA, rows back to back, immutable once shared.

#include <cstdint>
#include <memory>
#include <vector>

namespace vintrelle {

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;  // width * height * 4 bytes

    Image() = default;
    Image(int w, int h) : width(w), height(h), rgba(size_t(w) * size_t(h) * 4, 0) {}
    uint8_t* row(int y) { return rgba.data() + size_t(y) * size_t(width) * 4; }
    const uint8_t* row(int y) const { return rgba.data() + size_t(y) * size_t(width) * 4; }
    bool empty() const { return width <= 0 || height <= 0; }
};

using ImageRef = std::shared_ptr<const Image>;

}  // namespace vintrelle
