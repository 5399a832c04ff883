#pragma once
// A plain button that is only a symbol in a fixed frame: no fill, no bezel,
// the whole frame clickable (the search field's clear button, the footer's
// settings gear).

#include <QAbstractButton>

#include "UI/Kit/Theme.h"

namespace vintrelle {

class SymbolButton : public QAbstractButton {
    Q_OBJECT
public:
    SymbolButton(const QString& symbol, qreal designSize, ColorRef color, QSize frame, QWidget* parent = nullptr);

    QSize sizeHint() const override { return frame_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString symbol_;
    qreal size_;
    ColorRef color_;
    QSize frame_;
};

}  // namespace vintrelle
