#include "App/LaunchRequest.h"

#include <QUrl>

#include <filesystem>

#include "App/DesktopServices.h"
#include "App/PathText.h"

namespace vintrelle {
namespace {

constexpr std::string_view kLibraryOption = "-library";

// Absolute, without "." and ".." steps or a trailing slash, as bytes.
std::string absolute(const std::string& path, const std::string& workingDir) {
    std::string s = (std::filesystem::path(workingDir) / path).lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// A "file:" URI's local path; nothing for any other.
std::optional<std::string> fileUriPath(const std::string& argument) {
    if (!argument.starts_with("file:")) return std::nullopt;
    const QUrl url = QUrl::fromEncoded(QByteArray::fromStdString(argument));
    if (!url.isLocalFile()) return std::nullopt;
    return localPath(url);
}

}  // namespace

QStringList LaunchRequest::toArguments() const {
    QStringList out;
    if (library) out << QString::fromUtf8(kLibraryOption) << pathText(*library);
    for (const auto& f : folders) out << pathText(f);
    return out;
}

LaunchRequest parseLaunchArguments(const std::vector<std::string>& arguments, const std::string& workingDir) {
    LaunchRequest r;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (a == kLibraryOption) {
            if (i + 1 < arguments.size()) {
                const std::string& path = arguments[i + 1];
                if (!r.library) r.library = absolute(fileUriPath(path).value_or(path), workingDir);
                ++i;
            }
            continue;
        }
        if (a.empty() || a.starts_with('-')) continue;
        if (a.starts_with("file:")) {
            if (const auto path = fileUriPath(a)) r.folders.push_back(absolute(*path, workingDir));
            continue;
        }
        // Another scheme ("smb://", "http://") is nothing this application opens.
        const QUrl url(QString::fromStdString(a));
        if (url.isValid() && url.scheme().size() > 1 && a.find("://") != std::string::npos) continue;
        r.folders.push_back(absolute(a, workingDir));
    }
    return r;
}

LaunchRequest parseLaunchArguments(const QStringList& arguments, const QString& workingDir) {
    std::vector<std::string> bytes;
    for (const QString& a : arguments) bytes.push_back(a.toStdString());
    return parseLaunchArguments(bytes, pathFromText(workingDir));
}

}  // namespace vintrelle
