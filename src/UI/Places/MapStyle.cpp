#include "UI/Places/MapStyle.h"

#include "UI/Kit/Fonts.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

const MapPalette& MapPalette::of(bool dark) {
    // Light: a pale, slightly cool sea under warm paper land, so photos on
    // top carry the colour. Dark: the same roles in the theme's night blues.
    static const MapPalette light{
        QColor(0xcf, 0xe0, 0xea), QColor(0xf5, 0xf3, 0xee), QColor(0x98, 0xb2, 0xc4), QColor(0xc9, 0xbc, 0xae),
        QColor(40, 70, 100, 22),  QColor(0x3d, 0x44, 0x4f), QColor(255, 255, 255, 215), QColor(0x6c, 0x74, 0x80),
        QColor(0x2f, 0x36, 0x40), QColor(255, 255, 255, 190), QColor(0x56, 0x5e, 0x6a, 210),
        Theme::color(ThemeColor::placeholder, false), Theme::color(ThemeColor::accent, false)};
    static const MapPalette darkPalette{
        QColor(0x10, 0x18, 0x25), QColor(0x22, 0x29, 0x34), QColor(0x36, 0x49, 0x5e), QColor(0x44, 0x4d, 0x5c),
        QColor(200, 220, 255, 14), QColor(0xd3, 0xdb, 0xe8), QColor(0x0e, 0x14, 0x1e, 225), QColor(0x8f, 0x9a, 0xab),
        QColor(0xd8, 0xdf, 0xea), QColor(0x0e, 0x14, 0x1e, 190), QColor(0xa3, 0xad, 0xbc, 200),
        Theme::color(ThemeColor::placeholder, true), Theme::color(ThemeColor::accent, true)};
    return dark ? darkPalette : light;
}

namespace mapstyle {

bool isDark() { return Theme::isDark(); }

QFont font(qreal px, QFont::Weight weight) { return Fonts::font(px, weight); }

}  // namespace mapstyle

}  // namespace vintrelle
