#include "App/LaunchRequest.h"

#include <QDir>
#include <QUrl>

namespace vintrelle {
namespace {

const QString kLibraryOption = QStringLiteral("-library");

std::string absolute(const QString& path, const QString& workingDir) {
    return QDir::cleanPath(QDir(workingDir).absoluteFilePath(path)).toStdString();
}

}  // namespace

QStringList LaunchRequest::toArguments() const {
    QStringList out;
    if (library) out << kLibraryOption << QString::fromStdString(*library);
    for (const auto& f : folders) out << QString::fromStdString(f);
    return out;
}

LaunchRequest parseLaunchArguments(const QStringList& arguments, const QString& workingDir) {
    LaunchRequest r;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (a == kLibraryOption) {
            if (i + 1 < arguments.size()) {
                if (!r.library) r.library = absolute(arguments[i + 1], workingDir);
                ++i;
            }
            continue;
        }
        if (a.isEmpty() || a.startsWith(u'-')) continue;
        if (a.startsWith(QLatin1String("file:"))) {
            const QUrl url(a);
            if (url.isLocalFile()) r.folders.push_back(absolute(url.toLocalFile(), workingDir));
            continue;
        }
        // Another scheme ("smb://", "http://") is nothing this application opens.
        const QUrl url(a);
        if (url.isValid() && url.scheme().size() > 1 && a.contains(QLatin1String("://"))) continue;
        r.folders.push_back(absolute(a, workingDir));
    }
    return r;
}

}  // namespace vintrelle
