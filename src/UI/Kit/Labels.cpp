#include "UI/Kit/Labels.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>

#include <cmath>

#include "UI/Kit/Fonts.h"
#include "UI/Kit/Icons.h"

namespace vintrelle {

SymbolView::SymbolView(const QString& symbol, qreal designSize, QFont::Weight weight, ColorRef color, QWidget* parent)
    : QWidget(parent), symbol_(symbol), size_(designSize), weight_(weight), color_(color) {
    setAttribute(Qt::WA_TranslucentBackground);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void SymbolView::setSymbol(const QString& symbol) {
    if (symbol == symbol_) return;
    symbol_ = symbol;
    update();
}

void SymbolView::setColor(ColorRef color) {
    if (color == color_) return;
    color_ = color;
    update();
}

void SymbolView::setRotation(qreal degrees) {
    if (degrees == rotation_) return;
    rotation_ = degrees;
    update();
}

QSize SymbolView::sizeHint() const {
    const int side = int(std::ceil(Icons::sideFor(size_)));
    return {side, side};
}

void SymbolView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRectF box = rect();
    if (rotation_ != 0) {
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.translate(box.center());
        p.rotate(rotation_);
        p.translate(-box.center());
    }
    Icons::paint(p, box, symbol_, size_, color_.resolve(Theme::isDark(this)), weight_);
}

TextBlock::TextBlock(const QString& text, qreal designPx, QFont::Weight weight, ColorRef color, QWidget* parent)
    : QWidget(parent), text_(text), color_(color) {
    setAttribute(Qt::WA_TranslucentBackground);
    setFont(Fonts::font(designPx, weight));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void TextBlock::changed() {
    updateGeometry();
    update();
}

void TextBlock::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    changed();
}

void TextBlock::setColor(ColorRef color) {
    if (color == color_) return;
    color_ = color;
    update();
}

void TextBlock::setAlignment(Qt::Alignment alignment) {
    alignment_ = alignment & Qt::AlignHorizontal_Mask;
    update();
}

void TextBlock::setWordWrap(bool wrap) {
    if (wrap == wrap_) return;
    wrap_ = wrap;
    QSizePolicy sp = sizePolicy();
    sp.setHeightForWidth(wrap);
    // A layout takes a fixed height from the size hint, which cannot know the
    // width: the block would keep one line's height and lose the others.
    sp.setVerticalPolicy(wrap ? QSizePolicy::Minimum : QSizePolicy::Fixed);
    setSizePolicy(sp);
    changed();
}

void TextBlock::setLineSpacing(qreal px) {
    lineSpacing_ = px;
    changed();
}

void TextBlock::setBreakAfter(const QString& separator) {
    breakAfter_ = separator;
    changed();
}

void TextBlock::setTabularDigits(bool on) {
    tabular_ = on;
    changed();
}

void TextBlock::changeEvent(QEvent* e) {
    if (e->type() == QEvent::FontChange) updateGeometry();
    QWidget::changeEvent(e);
}

qreal TextBlock::measure(QStringView text) const {
    return tabular_ ? TabularDigits::width(font(), text) : QFontMetricsF(font()).horizontalAdvance(text.toString());
}

qreal TextBlock::naturalWidth() const {
    qreal widest = 0;
    for (const QString& para : text_.split(u'\n')) widest = std::max(widest, measure(para));
    return widest;
}

// Greedy lines of whole parts: a part is the text up to and including a
// separator (or a blank when there is none); a part wider than the line
// gets a line of its own. Blanks at a line's end take no room.
QList<TextBlock::Line> TextBlock::linesByParts(qreal width) const {
    QList<Line> out;
    const QStringView all(text_);
    auto trimmedWidth = [&](qsizetype start, qsizetype end) {
        while (end > start && all[end - 1].isSpace()) --end;
        return measure(all.mid(start, end - start));
    };
    qsizetype paraStart = 0;
    while (paraStart <= all.size()) {
        qsizetype paraEnd = all.indexOf(u'\n', paraStart);
        if (paraEnd < 0) paraEnd = all.size();
        qsizetype lineStart = paraStart, lineEnd = paraStart;
        for (qsizetype at = paraStart; at < paraEnd;) {
            qsizetype next;
            if (!breakAfter_.isEmpty()) {
                const qsizetype sep = all.mid(0, paraEnd).indexOf(breakAfter_, at);
                next = sep < 0 ? paraEnd : sep + breakAfter_.size();
            } else {
                next = at;
                while (next < paraEnd && !all[next].isSpace()) ++next;
                while (next < paraEnd && all[next].isSpace()) ++next;
            }
            if (lineEnd > lineStart && trimmedWidth(lineStart, next) > width) {
                out.push_back({int(lineStart), int(lineEnd - lineStart), trimmedWidth(lineStart, lineEnd)});
                lineStart = lineEnd;
            }
            lineEnd = next;
            at = next;
        }
        out.push_back({int(lineStart), int(lineEnd - lineStart), trimmedWidth(lineStart, lineEnd)});
        paraStart = paraEnd + 1;
    }
    return out;
}

QList<TextBlock::Line> TextBlock::lines(qreal width) const {
    if (tabular_ || !breakAfter_.isEmpty()) return linesByParts(width);
    QList<Line> out;
    QString laid = text_;
    laid.replace(u'\n', QChar::LineSeparator);  // a line break the layout obeys
    QTextLayout layout(laid, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        out.push_back({line.textStart(), line.textLength(), line.naturalTextWidth()});
    }
    layout.endLayout();
    return out;
}

int TextBlock::heightForWidth(int width) const {
    const QFontMetricsF fm(font());
    if (!wrap_) return int(std::ceil(fm.height()));
    // Layouts ask with all the width they have; the block never takes more
    // than its maximum.
    width = std::min(width, maximumWidth());
    const qsizetype n = std::max<qsizetype>(1, lines(width).size());
    return int(std::ceil(n * fm.height() + (n - 1) * lineSpacing_));
}

QSize TextBlock::sizeHint() const {
    int w = int(std::ceil(naturalWidth()));
    if (maximumWidth() < QWIDGETSIZE_MAX) w = std::min(w, maximumWidth());
    return {w, heightForWidth(w)};
}

QSize TextBlock::minimumSizeHint() const {
    if (wrap_) return {0, heightForWidth(sizeHint().width())};
    return {0, int(std::ceil(QFontMetricsF(font()).height()))};
}

void TextBlock::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setFont(font());
    p.setPen(color_.resolve(Theme::isDark(this)));
    const QFontMetricsF fm(font());
    auto xFor = [&](qreal lineWidth) {
        if (alignment_ & Qt::AlignHCenter) return (width() - lineWidth) / 2;
        if (alignment_ & Qt::AlignRight) return width() - lineWidth;
        return 0.0;
    };
    if (!wrap_) {
        if (tabular_) {
            TabularDigits::draw(p, rect(), alignment_ | Qt::AlignVCenter, text_);
            return;
        }
        const QString shown = fm.elidedText(text_, Qt::ElideRight, width());
        const qreal y = (height() - fm.height()) / 2 + fm.ascent();
        p.drawText(QPointF(xFor(fm.horizontalAdvance(shown)), y), shown);
        return;
    }
    qreal y = 0;
    for (const Line& line : lines(width())) {
        QString piece = text_.mid(line.start, line.length);
        while (!piece.isEmpty() && piece.back().isSpace()) piece.chop(1);
        if (tabular_) TabularDigits::draw(p, QRectF(0, y, width(), fm.height()), alignment_ | Qt::AlignTop, piece);
        else p.drawText(QPointF(xFor(line.width), y + fm.ascent()), piece);
        y += fm.height() + lineSpacing_;
    }
}

QStringList TextBlock::shownLines() const {
    QStringList out;
    if (!wrap_) return {tabular_ ? text_ : QFontMetricsF(font()).elidedText(text_, Qt::ElideRight, width())};
    for (const Line& line : lines(width())) out << text_.mid(line.start, line.length).trimmed();
    return out;
}

QStringList wrapLines(const QString& text, const QFont& font, qreal width, int maxLines) {
    QStringList lines;
    if (text.isEmpty() || maxLines <= 0) return lines;
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        if (lines.size() == maxLines - 1) {
            // The last line allowed takes the rest of the text, cut to fit.
            const QString rest = text.mid(line.textStart()).trimmed();
            lines << QFontMetricsF(font).elidedText(rest, Qt::ElideRight, width);
            break;
        }
        lines << text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines;
}

}  // namespace vintrelle
