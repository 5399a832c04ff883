#include "UI/Grid/GridDrag.h"

#include <QDrag>
#include <QPainter>
#include <QUrl>
#include <QWidget>

#include "App/AppModel.h"
#include "UI/Kit/Fonts.h"

namespace vintrelle {

std::unique_ptr<QMimeData> fileDragData(const LibraryPaths& library, const std::vector<std::string>& relativePaths) {
    QList<QUrl> urls;
    urls.reserve(qsizetype(relativePaths.size()));
    for (const std::string& rel : relativePaths)
        if (const auto file = library.fileOf(rel)) urls.push_back(fileUrl(*file));
    auto mime = std::make_unique<QMimeData>();
    mime->setUrls(urls);
    return mime;
}

QPixmap dragPixmap(const QPixmap& thumbnail, int count, const QColor& badge) {
    const qreal dpr = thumbnail.isNull() ? 1.0 : thumbnail.devicePixelRatio();
    const double side = 96;
    const double pad = 10;  // room for the badge over the top-right corner
    QPixmap out(QSize(int((side + pad) * dpr), int((side + pad) * dpr)));
    out.setDevicePixelRatio(dpr);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    const QRectF pic(0, pad, side, side);
    if (!thumbnail.isNull()) {
        p.setOpacity(0.9);
        p.drawPixmap(pic, thumbnail, QRectF(thumbnail.rect()));
        p.setOpacity(1);
    }
    if (count > 1) {
        const QString text = QString::number(count);
        const QFont font = Fonts::font(12, QFont::Bold);
        const QFontMetricsF fm(font);
        const double h = 20;
        const double w = std::max(h, fm.horizontalAdvance(text) + 12);
        const QRectF b(side + pad - w, 0, w, h);
        p.setPen(Qt::NoPen);
        p.setBrush(badge);
        p.drawRoundedRect(b, h / 2, h / 2);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(b, Qt::AlignCenter, text);
    }
    return out;
}

void execDrag(QWidget* source, GridDrag& drag) {
    auto* d = new QDrag(source);
    d->setMimeData(drag.mime.release());
    if (!drag.pixmap.isNull()) {
        d->setPixmap(drag.pixmap);
        d->setHotSpot(drag.hotSpot);
    }
    d->exec(drag.actions, drag.defaultAction);
}

}  // namespace vintrelle
