#include "UI/Kit/Fonts.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QHash>
#include <QPainter>
#include <QScreen>

namespace vintrelle {

QString Fonts::family() {
    static const QString chosen = [] {
        const QString inter = QStringLiteral("Inter");
        if (QFontDatabase::families().contains(inter)) return inter;
        return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    }();
    return chosen;
}

qreal Fonts::logicalDpi() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) return screen->logicalDotsPerInchY();
    return 96.0;
}

void Fonts::setSize(QFont& font, qreal designPx) { font.setPointSizeF(designPx * 72.0 / logicalDpi()); }

QFont Fonts::font(qreal designPx, QFont::Weight weight) {
    QFont f(family());
    f.setWeight(weight);
    f.setStyleStrategy(QFont::PreferAntialias);
    setSize(f, designPx);
    return f;
}

void Fonts::install(QApplication& app) { app.setFont(font(13)); }

namespace {
bool isDigit(QChar c) { return c.isDigit(); }
}  // namespace

qreal TabularDigits::cellWidth(const QFontMetricsF& fm) {
    qreal widest = 0;
    for (char16_t d = u'0'; d <= u'9'; ++d) widest = std::max(widest, fm.horizontalAdvance(QChar(d)));
    return widest;
}

namespace {
// The Latin digits' advances, kept per font: every count a screen paints
// asks for them, and shaping each digit anew cost the main thread more than
// drawing the text.
struct DigitAdvances {
    qreal cell = 0;
    qreal each[10] = {};
};

const DigitAdvances& digitAdvances(const QFont& font, const QFontMetricsF& fm) {
    thread_local QHash<QString, DigitAdvances> kept;
    const QString key = font.key() + u'@' + QString::number(Fonts::logicalDpi());
    auto it = kept.constFind(key);
    if (it == kept.constEnd()) {
        DigitAdvances d;
        d.cell = TabularDigits::cellWidth(fm);
        for (int k = 0; k < 10; ++k) d.each[k] = fm.horizontalAdvance(QString(QChar(u'0' + k)));
        it = kept.insert(key, d);
    }
    return *it;
}

// Walks text as runs: digits one by one in their cells, anything else whole.
template <class Visit>
qreal walk(const QFont& font, const QFontMetricsF& fm, QStringView text, Visit&& visit) {
    const DigitAdvances& latin = digitAdvances(font, fm);
    const qreal cell = latin.cell;
    qreal x = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        if (isDigit(text[i])) {
            const QStringView digit = text.mid(i, 1);
            const char16_t u = digit[0].unicode();
            const qreal w = u >= u'0' && u <= u'9' ? latin.each[u - u'0'] : fm.horizontalAdvance(digit.toString());
            // A digit of another script may be wider than the Latin ones.
            const qreal c = std::max(cell, w);
            visit(digit, x + (c - w) / 2);
            x += c;
            ++i;
            continue;
        }
        qsizetype j = i;
        while (j < text.size() && !isDigit(text[j])) ++j;
        const QStringView run = text.mid(i, j - i);
        visit(run, x);
        x += fm.horizontalAdvance(run.toString());
        i = j;
    }
    return x;
}
}  // namespace

qreal TabularDigits::width(const QFont& font, QStringView text) {
    return walk(font, QFontMetricsF(font), text, [](QStringView, qreal) {});
}

void TabularDigits::draw(QPainter& painter, const QRectF& rect, Qt::Alignment alignment, QStringView text) {
    const QFontMetricsF fm(painter.font());
    const qreal total = width(painter.font(), text);
    qreal x = rect.left();
    if (alignment & Qt::AlignRight) x = rect.right() - total;
    else if (alignment & Qt::AlignHCenter) x = rect.center().x() - total / 2;
    qreal baseline = rect.top() + fm.ascent();
    if (alignment & Qt::AlignBottom) baseline = rect.bottom() - fm.descent();
    else if (alignment & Qt::AlignVCenter) baseline = rect.center().y() + (fm.ascent() - fm.descent()) / 2;
    walk(painter.font(), fm, text,
         [&](QStringView piece, qreal at) { painter.drawText(QPointF(x + at, baseline), piece.toString()); });
}

}  // namespace vintrelle
