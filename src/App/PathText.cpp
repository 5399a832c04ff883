#include "App/PathText.h"

#include <QUrl>

#include "App/AppModel.h"
#include "App/DesktopServices.h"

namespace vintrelle {

QString pathText(const std::string& path) {
    QString text = QString::fromStdString(path);
    // A path never begins with "file:" once absolute, so the two forms never meet.
    if (text.toStdString() == path || !path.starts_with('/')) return text;
    return QString::fromLatin1(fileUrl(path).toEncoded());
}

std::string pathFromText(const QString& text) {
    if (text.startsWith(QLatin1String("file:"))) {
        const QUrl url(text);
        if (url.isLocalFile()) return localPath(url);
    }
    return text.toStdString();
}

}  // namespace vintrelle
