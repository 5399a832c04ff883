#pragma once
// Libraries that travel with the application: when Vintrelle runs from a
// drive, the folders around its executable that hold a ".vintrelle" data
// folder are libraries to offer at once.

#include <string>
#include <vector>

namespace vintrelle {

// Looks in `appDir` and up to three folders above it, and in the first 200
// non-hidden entries (by name) of each, for an entry named ".vintrelle";
// gives the folders holding one, each once, in the order found. Stops before
// the root, the home folder and the folders drives are mounted in ("/media",
// "/media/USER", "/run/media/USER", "/mnt"), and after the root of a drive.
// An installed application (under /usr or /opt) finds nothing. Unreadable
// folders count as empty.
std::vector<std::string> findPortableLibraries(const std::string& appDir, const std::string& homeDir,
                                               const std::string& userName);

}  // namespace vintrelle
