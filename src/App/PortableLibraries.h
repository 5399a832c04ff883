#pragma once
// Libraries that travel with the application: when Vintrelle runs from a
// removable drive, the folders around its executable that hold a ".vintrelle"
// data folder are libraries to offer at once.

#include <string>
#include <vector>

namespace vintrelle {

// Whether `appDir` lies on a removable drive: below one of the folders a
// desktop mounts drives on (see volumeRoot), with a file system of its own
// mounted there, and outside the home folder. An installed copy (/usr, /opt),
// a build tree, /tmp or any other folder of the computer's own disks is not.
bool travelsOnDrive(const std::string& appDir, const std::string& homeDir, const std::string& userName);

// The libraries around a copy that travels on a drive (librariesAround its
// folder); none for any other copy.
std::vector<std::string> findPortableLibraries(const std::string& appDir, const std::string& homeDir,
                                               const std::string& userName);

// Looks in `dir` and up to three folders above it, and in the first 200
// non-hidden entries (by name) of each, for an entry named ".vintrelle";
// gives the folders holding one, each once, in the order found. Stops before
// the root and the home folder, and after the root of a drive. Unreadable
// folders count as empty.
std::vector<std::string> librariesAround(const std::string& dir, const std::string& homeDir);

}  // namespace vintrelle
