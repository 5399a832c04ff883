#include "UI/Places/MapStyle.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPalette>
#include <QScreen>

namespace vintrelle {

const MapPalette& MapPalette::of(bool dark) {
    // Light: a pale, slightly cool sea under warm paper land, so photos on
    // top carry the colour. Dark: the same roles a few steps above black.
    static const MapPalette light{
        QColor(0xcf, 0xe0, 0xea), QColor(0xf5, 0xf3, 0xee), QColor(0x98, 0xb2, 0xc4), QColor(0xc9, 0xbc, 0xae),
        QColor(40, 70, 100, 22),  QColor(0x4b, 0x50, 0x57), QColor(255, 255, 255, 215), QColor(0x72, 0x78, 0x80),
        QColor(0x3c, 0x41, 0x47), QColor(255, 255, 255, 190), QColor(0x5c, 0x62, 0x69, 200), QColor(0xe4, 0xe2, 0xdd),
        QColor(0x0a, 0x84, 0xff)};
    static const MapPalette darkPalette{
        QColor(0x17, 0x20, 0x2a), QColor(0x2a, 0x2e, 0x33), QColor(0x3b, 0x4a, 0x58), QColor(0x4d, 0x51, 0x58),
        QColor(200, 220, 255, 16), QColor(0xc8, 0xcd, 0xd3), QColor(0x17, 0x1b, 0x20, 220), QColor(0x92, 0x99, 0xa1),
        QColor(0xd4, 0xd8, 0xdd), QColor(0x17, 0x1b, 0x20, 190), QColor(0xa4, 0xaa, 0xb1, 200), QColor(0x3a, 0x3e, 0x44),
        QColor(0x0a, 0x84, 0xff)};
    return dark ? darkPalette : light;
}

namespace mapstyle {

bool isDark() {
    return qApp && QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}

QFont font(qreal px, QFont::Weight weight) {
    QFont f = qApp ? QApplication::font() : QFont();
    const QScreen* screen = qApp ? QGuiApplication::primaryScreen() : nullptr;
    const qreal dpi = screen ? screen->logicalDotsPerInch() : 96;
    f.setPointSizeF(px * 72 / dpi);
    f.setWeight(weight);
    return f;
}

}  // namespace mapstyle

}  // namespace vintrelle
