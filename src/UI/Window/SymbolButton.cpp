#include "UI/Window/SymbolButton.h"

#include <QPainter>

#include "UI/Kit/Icons.h"

namespace vintrelle {

SymbolButton::SymbolButton(const QString& symbol, qreal designSize, ColorRef color, QSize frame, QWidget* parent)
    : QAbstractButton(parent), symbol_(symbol), size_(designSize), color_(color), frame_(frame) {
    setFixedSize(frame);
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::NoFocus);
}

void SymbolButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    Icons::paint(p, rect(), symbol_, size_, color_.resolve(Theme::isDark(this)));
}

}  // namespace vintrelle
