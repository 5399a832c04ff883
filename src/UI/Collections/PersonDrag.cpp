#include "UI/Collections/PersonDrag.h"

#include <QMimeData>
#include <QString>

#include <charconv>
#include <string>

namespace vintrelle::persondrag {

QByteArray payload(int64_t id) {
    QByteArray bytes(prefix.data(), qsizetype(prefix.size()));
    bytes += QByteArray::number(qlonglong(id));
    return bytes;
}

std::optional<int64_t> parse(std::string_view text) {
    if (!text.starts_with(prefix)) return std::nullopt;
    text.remove_prefix(prefix.size());
    // from_chars takes a minus but not a plus; a plus must be followed by a digit.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    }
    if (text.empty()) return std::nullopt;
    int64_t id = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, id, 10);
    if (error != std::errc() || stop != end) return std::nullopt;
    return id;
}

std::unique_ptr<QMimeData> mimeData(int64_t id) {
    auto mime = std::make_unique<QMimeData>();
    const QByteArray bytes = payload(id);
    mime->setText(QString::fromLatin1(bytes));
    mime->setData(QString::fromLatin1(mimeType), bytes);
    return mime;
}

std::optional<int64_t> read(const QMimeData& mime) {
    const QString type = QString::fromLatin1(mimeType);
    const QByteArray bytes = mime.hasFormat(type) ? mime.data(type) : mime.hasText() ? mime.text().toUtf8() : QByteArray();
    return parse(std::string_view(bytes.constData(), size_t(bytes.size())));
}

}  // namespace vintrelle::persondrag
