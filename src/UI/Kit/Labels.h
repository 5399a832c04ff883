#pragma once
// Two painted labels that follow the appearance by themselves: a symbol and a
// block of plain text. They read their colour while they paint, so a change
// of appearance needs nothing from their owners, and the text is shown as
// given (never parsed as rich text).

#include <QFont>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "UI/Kit/Theme.h"

namespace vintrelle {

class SymbolView : public QWidget {
    Q_OBJECT
public:
    SymbolView(const QString& symbol, qreal designSize, QFont::Weight weight, ColorRef color, QWidget* parent = nullptr);

    void setSymbol(const QString& symbol);
    QString symbol() const { return symbol_; }
    void setColor(ColorRef color);
    // Turns the drawn symbol about its centre (disclosure chevrons).
    void setRotation(qreal degrees);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString symbol_;
    qreal size_;
    QFont::Weight weight_;
    ColorRef color_;
    qreal rotation_ = 0;
};

class TextBlock : public QWidget {
    Q_OBJECT
public:
    TextBlock(const QString& text, qreal designPx, QFont::Weight weight, ColorRef color, QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return text_; }
    void setColor(ColorRef color);
    // Horizontal placement of each line.
    void setAlignment(Qt::Alignment alignment);
    // Wrapped onto several lines (else one line, elided at the end).
    void setWordWrap(bool wrap);
    // Wrapped lines break only after this separator, so the parts between
    // separators stay whole (a size never parts from its unit).
    void setBreakAfter(const QString& separator);
    // Extra space between wrapped lines, in design pixels.
    void setLineSpacing(qreal px);
    // Digits in cells of the widest digit.
    void setTabularDigits(bool on);
    // The lines as laid out at the present width.
    QStringList shownLines() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return wrap_; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent*) override;
    void changeEvent(QEvent* e) override;

private:
    struct Line {
        int start, length;
        qreal width;
    };
    QList<Line> lines(qreal width) const;
    QList<Line> linesByParts(qreal width) const;
    qreal measure(QStringView text) const;
    qreal naturalWidth() const;
    void changed();

    QString text_;
    ColorRef color_;
    Qt::Alignment alignment_ = Qt::AlignLeft;
    bool wrap_ = false;
    bool tabular_ = false;
    QString breakAfter_;
    qreal lineSpacing_ = 0;
};

// The text broken into at most maxLines lines of width, the last one ending
// in an ellipsis when the text goes on.
QStringList wrapLines(const QString& text, const QFont& font, qreal width, int maxLines);

}  // namespace vintrelle
