#include "UI/Kit/Theme.h"

#include <QApplication>
#include <QStyleFactory>
#include <QVariant>
#include <QWidget>

#include <array>

#include "UI/Kit/Fonts.h"

namespace vintrelle {

namespace {

struct Entry {
    QRgb rgb;
    double alpha;
};

constexpr std::array<Entry, themeColorCount> lightTable{{
    {0xF7F9FC, 1.0},    // canvas
    {0xEDF1F7, 1.0},    // sidebar
    {0xFFFFFF, 1.0},    // card
    {0xE1E7F0, 1.0},    // placeholder
    {0x0B1220, 0.09},   // line
    {0x0B1220, 1.0},    // ink
    {0x0B1220, 0.6},    // ink2
    {0x0B1220, 0.38},   // ink3
    {0x1F6BFF, 1.0},    // accent
    {0x0B1220, 0.055},  // hover
    {0x1F6BFF, 0.12},   // selected
}};

constexpr std::array<Entry, themeColorCount> darkTable{{
    {0x080B12, 1.0},   // canvas
    {0x0D111B, 1.0},   // sidebar
    {0x121826, 1.0},   // card
    {0x131A28, 1.0},   // placeholder
    {0xDCE6FF, 0.09},  // line
    {0xEEF2FA, 1.0},   // ink
    {0xEEF2FA, 0.6},   // ink2
    {0xEEF2FA, 0.36},  // ink3
    {0x4C8DFF, 1.0},   // accent
    {0xDCE6FF, 0.07},  // hover
    {0x4C8DFF, 0.18},  // selected
}};

// The translucent entries laid over a background, for palette roles that
// Fusion draws as if they were opaque.
QColor over(const QColor& top, const QColor& bottom) {
    const double a = top.alphaF();
    return QColor::fromRgbF(float(top.redF() * a + bottom.redF() * (1 - a)),
                            float(top.greenF() * a + bottom.greenF() * (1 - a)),
                            float(top.blueF() * a + bottom.blueF() * (1 - a)));
}

}  // namespace

Theme& Theme::instance() {
    static Theme theme;
    return theme;
}

QColor Theme::color(ThemeColor c, bool dark) {
    const Entry& e = (dark ? darkTable : lightTable)[size_t(c)];
    QColor out(e.rgb);
    out.setAlphaF(float(e.alpha));
    return out;
}

QColor Theme::destructive(bool dark) { return dark ? QColor(0xFF, 0x45, 0x3A) : QColor(0xFF, 0x3B, 0x30); }

QPalette Theme::palette(bool dark) {
    auto c = [dark](ThemeColor t) { return color(t, dark); };
    const QColor canvas = c(ThemeColor::canvas), card = c(ThemeColor::card), ink = c(ThemeColor::ink);
    const QColor line = over(c(ThemeColor::line), canvas);
    QPalette p;
    p.setColor(QPalette::Window, canvas);
    p.setColor(QPalette::WindowText, ink);
    p.setColor(QPalette::Base, card);
    p.setColor(QPalette::AlternateBase, c(ThemeColor::sidebar));
    p.setColor(QPalette::Text, ink);
    p.setColor(QPalette::PlaceholderText, c(ThemeColor::ink3));
    p.setColor(QPalette::Button, card);
    p.setColor(QPalette::ButtonText, ink);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::ToolTipBase, card);
    p.setColor(QPalette::ToolTipText, ink);
    p.setColor(QPalette::Highlight, c(ThemeColor::accent));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, c(ThemeColor::accent));
    p.setColor(QPalette::LinkVisited, c(ThemeColor::accent));
    // Fusion derives its bevels and frames from these.
    p.setColor(QPalette::Light, dark ? over(c(ThemeColor::hover), card) : card);
    p.setColor(QPalette::Midlight, over(c(ThemeColor::hover), card));
    p.setColor(QPalette::Mid, line);
    p.setColor(QPalette::Dark, over(c(ThemeColor::ink3), canvas));
    p.setColor(QPalette::Shadow, dark ? QColor(0, 0, 0) : QColor(0x0B, 0x12, 0x20));
    const QColor faint = over(c(ThemeColor::ink3), canvas);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) p.setColor(QPalette::Disabled, role, faint);
    p.setColor(QPalette::Disabled, QPalette::Highlight, over(c(ThemeColor::selected), canvas));
    return p;
}

namespace {
constexpr const char* kForcedDark = "vintrelleForcedDark";
}

void Theme::setForcedAppearance(QWidget* widget, std::optional<bool> dark) {
    const QVariant mark = dark ? QVariant(*dark) : QVariant();
    if (widget->property(kForcedDark) == mark) return;
    widget->setProperty(kForcedDark, mark);
    // The palette reaches the standard widgets inside; an empty one inherits
    // the application's again. Either way every child repaints.
    widget->setPalette(dark ? palette(*dark) : QPalette());
}

bool Theme::isDark(const QWidget* widget) {
    for (const QWidget* w = widget; w; w = w->isWindow() ? nullptr : w->parentWidget()) {
        const QVariant mark = w->property(kForcedDark);
        if (mark.isValid()) return mark.toBool();
    }
    return isDark();
}

void Theme::install(QApplication& app) {
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) app.setStyle(fusion);
    QApplication::setPalette(palette(isDark()));
    Fonts::install(app);
}

void Theme::setDark(bool dark) {
    if (dark_.exchange(dark) == dark) return;
    if (qApp) QApplication::setPalette(palette(dark));
    emit instance().appearanceChanged(dark);
}

}  // namespace vintrelle
