#include "Core/Index/LibraryPaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace vintrelle {

const char* const LibraryPaths::readmeText =
    "This folder belongs to Vintrelle.\n"
    "\n"
    "It holds the index, thumbnails and face groups for the photos in the folder above,\n"
    "so the library opens instantly on any computer this drive is plugged into.\n"
    "\n"
    "It is safe to delete. Vintrelle will rebuild it the next time you open the library,\n"
    "though names you gave to people, favourites and albums will be lost.";

namespace {

std::string trimTrailingSlashes(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

bool isDirectory(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

char hexDigit(int v) { return "0123456789abcdef"[v & 15]; }

std::string shard(int64_t id) {
    const int low = int(id & 255);
    return {hexDigit(low >> 4), hexDigit(low)};
}

}  // namespace

bool LibraryPaths::isContainedPath(std::string_view rel) {
    if (rel.empty() || rel.front() == '/' || rel.find('\0') != std::string_view::npos) return false;
    size_t start = 0;
    while (start <= rel.size()) {
        size_t end = rel.find('/', start);
        if (end == std::string_view::npos) end = rel.size();
        if (rel.substr(start, end - start) == "..") return false;
        start = end + 1;
    }
    return true;
}

std::optional<std::string> LibraryPaths::fileOf(std::string_view rel) const {
    if (!isContainedPath(rel)) return std::nullopt;
    std::string file = root;
    if (file.empty() || file.back() != '/') file += '/';
    file += rel;
    return file;
}

std::string LibraryPaths::fallbackFolderName(std::string_view path) {
    uint64_t h = 0x14650FB0739D0383ULL;
    for (unsigned char b : path) h = (h ^ b) * 0x100000001B3ULL;
    std::string out;
    do {
        out.insert(out.begin(), hexDigit(int(h & 15)));
        h >>= 4;
    } while (h);
    return out;
}

std::string LibraryPaths::applicationSupportLibraries() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (xdg && *xdg == '/') base = xdg;
    else {
        const char* home = std::getenv("HOME");
        base = std::string(home && *home ? home : "/tmp") + "/.local/share";
    }
    return trimTrailingSlashes(base) + "/Vintrelle/Libraries";
}

LibraryPaths LibraryPaths::resolve(const std::string& rootIn, const WritableCheck& writableIn) {
    const std::string root = trimTrailingSlashes(rootIn);
    WritableCheck writable = writableIn ? writableIn : [](const std::string& p) { return ::access(p.c_str(), W_OK) == 0; };
    const std::string candidate = (root == "/" ? "" : root) + "/.vintrelle";

    if (isDirectory(candidate) && writable(candidate)) return {root, candidate, true};
    if (!exists(candidate)) {
        // One mkdir, never with parents: a library folder that vanished must
        // not be recreated as an empty folder.
        if (writable(root) && ::mkdir(candidate.c_str(), 0755) == 0) return {root, candidate, true};
    }
    const std::string fallback = applicationSupportLibraries() + "/" + fallbackFolderName(root);
    std::error_code ec;
    fs::create_directories(fallback, ec);
    return {root, fallback, false};
}

void LibraryPaths::prepare() const {
    // A portable data folder lives on the library's drive: when it is gone,
    // so is the drive, and making folders would recreate its mount point.
    if (portable && !isDirectory(dataDir)) return;
    for (const char* name : {"thumbs", "faces"}) {
        for (int i = 0; i < 256; ++i) {
            std::error_code ec;
            fs::create_directories(dataDir + "/" + name + "/" + shard(i), ec);
        }
    }
    if (!portable) return;
    const std::string readme = dataDir + "/README.txt";
    if (exists(readme)) return;
    const std::string temp = dataDir + "/.README.txt.tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return;
        out << readmeText;
        out.flush();
        if (!out) {
            std::remove(temp.c_str());
            return;
        }
    }
    if (std::rename(temp.c_str(), readme.c_str()) != 0) std::remove(temp.c_str());
}

std::string LibraryPaths::thumbURL(int64_t id) const {
    return dataDir + "/thumbs/" + shard(id) + "/" + std::to_string(id) + ".jpg";
}

std::string LibraryPaths::faceURL(int64_t id) const {
    return dataDir + "/faces/" + shard(id) + "/" + std::to_string(id) + ".jpg";
}

}  // namespace vintrelle
