#include "UI/Kit/Icons.h"

#include <QCache>
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>
#include <QThread>

#include <cmath>
#include <memory>
#include <mutex>

// Outside any namespace: the resources live in a static library, and this
// reference keeps the linker from dropping them.
static void initIconResources() { Q_INIT_RESOURCE(icons); }

namespace vintrelle {

namespace {

enum class Stroke { light, regular, bold };

Stroke strokeFor(QFont::Weight w) {
    if (w <= QFont::Light) return Stroke::light;
    if (w >= QFont::DemiBold) return Stroke::bold;
    return Stroke::regular;
}

struct Source {
    enum Kind { phosphor, phosphorFill, tabler } kind;
    QString name;
};

// Tabler draws strokes; these widths (of its 24-unit grid) match Phosphor's
// light, regular and bold strokes (12, 16 and 24 of 256 units).
constexpr const char* tablerStroke[] = {"1.15", "1.5", "2.25"};

struct PixmapKey {
    QString symbol;
    int side;  // device pixels
    Stroke stroke;
    QRgb rgba;
    int dprMilli = 0;  // pixmaps only: their ratio is part of what they are
    bool operator==(const PixmapKey&) const = default;
};
size_t qHash(const PixmapKey& k, size_t seed = 0) {
    return qHashMulti(seed, k.symbol, k.side, int(k.stroke), k.rgba, k.dprMilli);
}

struct Store {
    std::mutex mutex;
    QHash<QString, Source> table;
    QHash<QString, std::shared_ptr<QSvgRenderer>> renderers;  // by file and stroke
    // White masks by symbol, side and stroke; tinting one is cheap.
    QCache<PixmapKey, QImage> masks{16 * 1024 * 1024};
    QCache<PixmapKey, QImage> images{16 * 1024 * 1024};

    Store() {
        initIconResources();
        QFile file(QStringLiteral(":/icons/symbols.tsv"));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return;
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (line.isEmpty() || line.startsWith(u'#')) continue;
            const QStringList parts = line.split(u'\t', Qt::SkipEmptyParts);
            if (parts.size() != 2) continue;
            const QString kind = parts[1].section(u':', 0, 0), name = parts[1].section(u':', 1);
            if (kind == u"ph") table.insert(parts[0], {Source::phosphor, name});
            else if (kind == u"ph-fill") table.insert(parts[0], {Source::phosphorFill, name});
            else if (kind == u"tb") table.insert(parts[0], {Source::tabler, name});
        }
    }

    QString file(const Source& s, Stroke stroke) const {
        switch (s.kind) {
        case Source::phosphor: {
            static const char* folders[] = {"light", "regular", "bold"};
            return QStringLiteral(":/icons/phosphor/%1/%2.svg").arg(QLatin1String(folders[int(stroke)]), s.name);
        }
        case Source::phosphorFill: return QStringLiteral(":/icons/phosphor/fill/%1.svg").arg(s.name);
        case Source::tabler: return QStringLiteral(":/icons/tabler/outline/%1.svg").arg(s.name);
        }
        return {};
    }

    std::shared_ptr<QSvgRenderer> renderer(const Source& s, Stroke stroke) {
        const QString path = file(s, stroke);
        const QString key = s.kind == Source::tabler ? path + u'#' + QString::number(int(stroke)) : path;
        if (auto it = renderers.find(key); it != renderers.end()) return *it;
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) return nullptr;
        QByteArray svg = f.readAll();
        if (s.kind == Source::tabler)
            svg.replace("stroke-width=\"2\"", QByteArray("stroke-width=\"") + tablerStroke[int(stroke)] + "\"");
        // Both sets paint in currentColor; the mask is tinted afterwards.
        svg.replace("currentColor", "#ffffff");
        auto r = std::make_shared<QSvgRenderer>(svg);
        if (!r->isValid()) r = nullptr;
        renderers.insert(key, r);
        return r;
    }

    // Under the mutex.
    const QImage* mask(const QString& symbol, int side, Stroke stroke) {
        const PixmapKey key{symbol, side, stroke, 0};
        if (const QImage* hit = masks.object(key)) return hit;
        auto it = table.constFind(symbol);
        if (it == table.constEnd()) return nullptr;
        auto r = renderer(*it, stroke);
        if (!r) return nullptr;
        auto* img = new QImage(side, side, QImage::Format_ARGB32_Premultiplied);
        img->fill(Qt::transparent);
        QPainter p(img);
        p.setRenderHint(QPainter::Antialiasing);
        r->render(&p, QRectF(0, 0, side, side));
        p.end();
        masks.insert(key, img, int(img->sizeInBytes()));
        return masks.object(key);
    }
};

Store& store() {
    static Store s;
    return s;
}

int deviceSide(qreal designSize, qreal dpr) {
    return std::max(1, int(std::lround(Icons::sideFor(designSize) * dpr)));
}

}  // namespace

bool Icons::has(const QString& symbol) {
    std::lock_guard lock(store().mutex);
    return store().table.contains(symbol);
}

QStringList Icons::symbols() {
    std::lock_guard lock(store().mutex);
    QStringList out = store().table.keys();
    out.sort();
    return out;
}

QString Icons::filled(const QString& symbol) {
    const QString fill = symbol + QStringLiteral(".fill");
    return has(fill) ? fill : symbol;
}

QString Icons::fileFor(const QString& symbol, QFont::Weight weight) {
    std::lock_guard lock(store().mutex);
    auto it = store().table.constFind(symbol);
    return it == store().table.constEnd() ? QString() : store().file(*it, strokeFor(weight));
}

// Symbols stand a little taller than the text beside them; the icon sets
// leave about a tenth of their square empty on each side.
qreal Icons::sideFor(qreal designSize) { return designSize * 1.25; }

QImage Icons::image(const QString& symbol, qreal designSize, const QColor& color, qreal dpr, QFont::Weight weight) {
    const int side = deviceSide(designSize, dpr);
    const Stroke stroke = strokeFor(weight);
    const PixmapKey key{symbol, side, stroke, color.rgba()};
    Store& s = store();
    std::lock_guard lock(s.mutex);
    if (const QImage* hit = s.images.object(key)) {
        QImage out = *hit;
        out.setDevicePixelRatio(dpr);
        return out;
    }
    const QImage* m = s.mask(symbol, side, stroke);
    if (!m) return {};
    auto* tinted = new QImage(*m);
    QPainter p(tinted);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(tinted->rect(), color);
    p.end();
    s.images.insert(key, tinted, int(tinted->sizeInBytes()));
    QImage out = *tinted;
    out.setDevicePixelRatio(dpr);
    return out;
}

namespace {
QCache<PixmapKey, QPixmap>& pixmaps() {
    static QCache<PixmapKey, QPixmap> cache(24 * 1024 * 1024);
    return cache;
}
}  // namespace

QPixmap Icons::pixmap(const QString& symbol, qreal designSize, const QColor& color, qreal dpr, QFont::Weight weight) {
    Q_ASSERT(QThread::currentThread() == QCoreApplication::instance()->thread());
    const PixmapKey key{symbol, deviceSide(designSize, dpr), strokeFor(weight), color.rgba(),
                        int(std::lround(dpr * 1000))};
    if (const QPixmap* hit = pixmaps().object(key)) return *hit;
    const QImage img = image(symbol, designSize, color, dpr, weight);
    if (img.isNull()) return {};
    auto* pm = new QPixmap(QPixmap::fromImage(img));
    pm->setDevicePixelRatio(dpr);
    const QPixmap out = *pm;
    pixmaps().insert(key, pm, int(img.sizeInBytes()));
    return out;
}

void Icons::paint(QPainter& painter, const QRectF& box, const QString& symbol, qreal designSize, const QColor& color,
                  QFont::Weight weight) {
    const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QPixmap pm = pixmap(symbol, designSize, color, dpr, weight);
    if (pm.isNull()) return;
    const qreal side = pm.width() / dpr;
    // Whole device pixels keep the strokes sharp.
    const QPointF at(std::round((box.center().x() - side / 2) * dpr) / dpr,
                     std::round((box.center().y() - side / 2) * dpr) / dpr);
    painter.drawPixmap(at, pm);
}

QIcon Icons::icon(const QString& symbol, qreal designSize, const QColor& color, QFont::Weight weight) {
    QIcon out;
    for (qreal dpr : {1.0, 2.0}) {
        const QPixmap pm = pixmap(symbol, designSize, color, dpr, weight);
        if (!pm.isNull()) out.addPixmap(pm);
    }
    return out;
}

int Icons::cachedPixmaps() { return int(pixmaps().count()); }

void Icons::clearCache() {
    pixmaps().clear();
    std::lock_guard lock(store().mutex);
    store().images.clear();
    store().masks.clear();
}

}  // namespace vintrelle
