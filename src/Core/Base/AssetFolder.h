#pragma once
// Where the pinned npm assets (face networks, map outlines) were unpacked:
// $VINTRELLE_ASSETS when set, else the folder the build was configured with.

#include <string>

namespace vintrelle {

std::string assetFolder();

}  // namespace vintrelle
