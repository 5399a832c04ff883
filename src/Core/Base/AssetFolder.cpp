#include "Core/Base/AssetFolder.h"

#include <cstdlib>

namespace vintrelle {

std::string assetFolder() {
    const char* env = std::getenv("VINTRELLE_ASSETS");
    return env && *env ? env : VINTRELLE_ASSETS_DIR;
}

}  // namespace vintrelle
