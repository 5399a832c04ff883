#include "UI/Grid/GridStyle.h"

#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QWidget>

namespace vintrelle {

GridPalette GridPalette::light() {
    return {QColor(0xF7, 0xF9, 0xFC), QColor(0xE1, 0xE7, 0xF0), QColor(0x0B, 0x12, 0x20),
            QColor::fromRgbF(0x0B / 255.f, 0x12 / 255.f, 0x20 / 255.f, 0.6f), QColor(0x1F, 0x6B, 0xFF)};
}

GridPalette GridPalette::dark() {
    return {QColor(0x08, 0x0B, 0x12), QColor(0x13, 0x1A, 0x28), QColor(0xEE, 0xF2, 0xFA),
            QColor::fromRgbF(0xEE / 255.f, 0xF2 / 255.f, 0xFA / 255.f, 0.6f), QColor(0x4C, 0x8D, 0xFF)};
}

GridPalette GridPalette::of(const QWidget& widget) {
    return widget.palette().color(QPalette::Window).lightness() < 128 ? dark() : light();
}

QFont gridFont(double px, QFont::Weight weight) {
    QFont f(QStringLiteral("Inter"));
    f.setStyleHint(QFont::SansSerif);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInchY() : 96.0;
    f.setPointSizeF(px * 72.0 / dpi);
    f.setWeight(weight);
    return f;
}

}  // namespace vintrelle
