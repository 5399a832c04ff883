#include "Core/Index/LibraryPaths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

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

constexpr const char* kDataFolder = LibraryPaths::kDataFolderName;

std::string dataFolderIn(const std::string& root) { return (root == "/" ? "" : root) + "/" + kDataFolder; }

// A folder held open without reading it: enough to look at, make and open
// things inside it. Closed when it goes.
class Dir {
public:
    static Dir open(int at, const std::string& name) {
        return Dir(::openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    Dir(Dir&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Dir& operator=(Dir&&) = delete;
    ~Dir() {
        if (fd_ >= 0) ::close(fd_);
    }
    int fd() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    bool holdsDirectory(const char* name) const {
        struct stat st {};
        return ::fstatat(fd_, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    bool holds(const char* name) const {
        struct stat st {};
        return ::fstatat(fd_, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    }

private:
    explicit Dir(int fd) : fd_(fd) {}
    int fd_ = -1;
};

char hexDigit(int v) { return "0123456789abcdef"[v & 15]; }

std::string shard(int64_t id) {
    const int low = int(id & 255);
    return {hexDigit(low >> 4), hexDigit(low)};
}

LibraryPaths::WritableCheck writableOr(const LibraryPaths::WritableCheck& given) {
    if (given) return given;
    return [](const std::string& p) { return ::access(p.c_str(), W_OK) == 0; };
}

bool writeAll(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= size_t(n);
    }
    return true;
}

// The shard folders, and the README of a portable data folder, inside the
// open data folder: each made on its own, never with parents, an error
// skipped and the rest made all the same.
void makeLayout(const Dir& data, bool portable) {
    if (!data) return;
    for (const char* name : {"thumbs", "faces"}) {
        ::mkdirat(data.fd(), name, 0755);
        const Dir folder = Dir::open(data.fd(), name);
        if (!folder) continue;
        for (int i = 0; i < 256; ++i) ::mkdirat(folder.fd(), shard(i).c_str(), 0755);
    }
    if (!portable || data.holds("README.txt")) return;
    const char* const temp = ".README.txt.tmp";
    const int fd = ::openat(data.fd(), temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return;
    bool ok = writeAll(fd, LibraryPaths::readmeText, std::strlen(LibraryPaths::readmeText));
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::renameat(data.fd(), temp, data.fd(), "README.txt") != 0) ::unlinkat(data.fd(), temp, 0);
}

// Whether the folder open as rootDir is still the one at root: not removed,
// nor moved away with another (an empty mount point) left in its place.
bool stillAt(const Dir& rootDir, const std::string& root) {
    struct stat held {}, now {};
    return ::fstat(rootDir.fd(), &held) == 0 && held.st_nlink > 0 && ::stat(root.c_str(), &now) == 0 &&
           now.st_dev == held.st_dev && now.st_ino == held.st_ino;
}

// The data folder of the library folder open as rootDir: its own, made with
// one mkdir inside it, or the fallback in the user's data folder when the
// library cannot be written. Nothing when the library folder went meanwhile:
// a fallback made then would hold an empty index of an absent library.
std::optional<LibraryPaths> choose(const std::string& root, const Dir& rootDir,
                                   const LibraryPaths::WritableCheck& writable) {
    const std::string candidate = dataFolderIn(root);
    if (rootDir.holdsDirectory(kDataFolder) && writable(candidate)) return LibraryPaths{root, candidate, true};
    if (!rootDir.holds(kDataFolder) && writable(root)) {
        if (::mkdirat(rootDir.fd(), kDataFolder, 0755) == 0) return LibraryPaths{root, candidate, true};
        const int err = errno;
        // Made meanwhile by another process opening the same library: both
        // share it (and its lock), never one index each.
        if (err == EEXIST && rootDir.holdsDirectory(kDataFolder) && writable(candidate))
            return LibraryPaths{root, candidate, true};
        if (err == ENOENT || err == ENOTDIR || err == EIO || err == ENODEV || err == ENXIO || err == ESTALE)
            return std::nullopt;
    }
    if (!stillAt(rootDir, root)) return std::nullopt;
    const std::string fallback = LibraryPaths::applicationSupportLibraries() + "/" + LibraryPaths::fallbackFolderName(root);
    std::error_code ec;
    fs::create_directories(fallback, ec);
    return LibraryPaths{root, fallback, false};
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

std::optional<LibraryPaths> LibraryPaths::setUp(const std::string& rootIn, const WritableCheck& writable) {
    const std::string root = trimTrailingSlashes(rootIn);
    const Dir rootDir = Dir::open(AT_FDCWD, root);
    if (!rootDir) return std::nullopt;
    std::optional<LibraryPaths> paths = choose(root, rootDir, writableOr(writable));
    if (!paths) return std::nullopt;
    if (paths->portable) makeLayout(Dir::open(rootDir.fd(), kDataFolder), true);
    else paths->prepare();
    // Moved away meanwhile, its path now leading elsewhere (to the empty
    // mount point of a pulled drive): the paths would not reach what was made.
    if (!stillAt(rootDir, root)) return std::nullopt;
    return paths;
}

LibraryPaths LibraryPaths::resolve(const std::string& rootIn, const WritableCheck& writable) {
    const std::string root = trimTrailingSlashes(rootIn);
    const Dir rootDir = Dir::open(AT_FDCWD, root);
    if (!rootDir) return {root, dataFolderIn(root), true};
    return choose(root, rootDir, writableOr(writable)).value_or(LibraryPaths{root, dataFolderIn(root), true});
}

bool LibraryPaths::holdsNothingButData(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return false;
    bool none = true;
    while (dirent* e = ::readdir(dir)) {
        const std::string_view name = e->d_name;
        if (name != "." && name != ".." && name != kDataFolder) {
            none = false;
            break;
        }
    }
    ::closedir(dir);
    return none;
}

void LibraryPaths::prepare() const {
    if (!portable) {
        // The fallback lives in the user's own data folder, which may be made.
        std::error_code ec;
        fs::create_directories(dataDir, ec);
        makeLayout(Dir::open(AT_FDCWD, dataDir), false);
        return;
    }
    // A portable data folder lives on the library's drive: when it is gone,
    // so is the drive, and nothing is made in its place.
    if (dataDir != dataFolderIn(root)) return;
    const Dir rootDir = Dir::open(AT_FDCWD, root);
    if (rootDir) makeLayout(Dir::open(rootDir.fd(), kDataFolder), true);
}

std::string LibraryPaths::thumbURL(int64_t id) const {
    return dataDir + "/thumbs/" + shard(id) + "/" + std::to_string(id) + ".jpg";
}

std::string LibraryPaths::faceURL(int64_t id) const {
    return dataDir + "/faces/" + shard(id) + "/" + std::to_string(id) + ".jpg";
}

}  // namespace vintrelle
