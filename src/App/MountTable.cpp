#include "App/MountTable.h"

#include <sys/stat.h>

#include <cstdlib>

namespace vintrelle {
namespace {

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// Splits at runs of blanks and tabs (the separators of both tables).
std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

template <class F>
void forEachLine(std::string_view text, F&& f) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        f(text.substr(pos, end - pos));
        pos = end + 1;
    }
}

std::string withoutTrailingSlash(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

}  // namespace

std::string decodeMountField(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) && isOctal(field[i + 2]) &&
            isOctal(field[i + 3])) {
            int v = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (v <= 0xff) {
                out.push_back(static_cast<char>(v));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

std::vector<MountEntry> parseMountInfo(std::string_view text) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::vector<MountEntry> out;
    forEachLine(text, [&](std::string_view line) {
        auto f = fields(line);
        if (f.size() < 7) return;
        size_t sep = 6;
        while (sep < f.size() && f[sep] != "-") ++sep;
        if (sep >= f.size()) return;
        MountEntry e;
        e.mountPoint = withoutTrailingSlash(decodeMountField(f[4]));
        if (e.mountPoint.empty() || e.mountPoint[0] != '/') return;
        if (sep + 1 < f.size()) e.fsType = decodeMountField(f[sep + 1]);
        if (sep + 2 < f.size()) e.source = decodeMountField(f[sep + 2]);
        out.push_back(std::move(e));
    });
    return out;
}

std::vector<std::string> parseFstabMountPoints(std::string_view text) {
    std::vector<std::string> out;
    forEachLine(text, [&](std::string_view line) {
        auto f = fields(line);
        if (f.size() < 2 || f[0].front() == '#') return;
        std::string point = withoutTrailingSlash(decodeMountField(f[1]));
        if (point.empty() || point[0] != '/') return;  // "none", "swap"
        if (f.size() > 2 && f[2] == "swap") return;
        out.push_back(std::move(point));
    });
    return out;
}

bool pathIsOnMount(std::string_view path, std::string_view mountPoint) {
    while (mountPoint.size() > 1 && mountPoint.back() == '/') mountPoint.remove_suffix(1);
    if (mountPoint.empty() || mountPoint == "/") return false;
    if (path.size() < mountPoint.size() || path.compare(0, mountPoint.size(), mountPoint) != 0) return false;
    return path.size() == mountPoint.size() || path[mountPoint.size()] == '/';
}

bool isOnDeviceOfItsOwn(const std::string& realPath) {
    if (realPath.empty() || realPath == "/") return false;
    struct stat st {}, parent {};
    return ::stat(realPath.c_str(), &st) == 0 && ::stat((realPath + "/..").c_str(), &parent) == 0 &&
           st.st_dev != parent.st_dev;
}

std::string resolvedPath(const std::string& path) {
    std::string out;
    if (char* r = ::realpath(path.c_str(), nullptr)) {
        out = r;
        std::free(r);
    }
    return out;
}

}  // namespace vintrelle
