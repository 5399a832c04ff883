#pragma once
// Decoding a photo file for face analysis where no media reader is at hand
// (diagnostics, evaluation): upright, longer side at most maxPixel, RGBA.
// The file type is found from its content, not its name.

#include <string>

#include "Core/Image.h"

namespace vintrelle::faces {

ImageRef decodeUpright(const std::string& path, int maxPixel);

}  // namespace vintrelle::faces
