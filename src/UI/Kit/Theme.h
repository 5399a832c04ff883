#pragma once
// The palette of every screen: eleven colours, each with a light and a dark
// value, and the appearance they resolve to now. Widgets read the colours
// while they paint; changing the appearance replaces the application palette,
// so every widget repaints by itself (QEvent::PaletteChange), and whatever
// keeps colours of its own (rendered pixmaps, layers) listens to
// Theme::instance().appearanceChanged.

#include <QColor>
#include <QObject>
#include <QPalette>

#include <atomic>
#include <cstdint>
#include <optional>
#include <variant>

class QApplication;
class QWidget;

namespace vintrelle {

enum class ThemeColor : uint8_t {
    canvas,       // main column background
    sidebar,      // sidebar background
    card,         // cards, floating bars, year scrubber
    placeholder,  // behind every thumbnail
    line,         // 1-px rules and borders
    ink,          // primary text
    ink2,         // secondary text and icons
    ink3,         // tertiary text and captions
    accent,       // active and primary elements
    hover,        // hover fills, resting quiet button
    selected,     // selection fills, pressed quiet button
};
inline constexpr int themeColorCount = 11;

class Theme final : public QObject {
    Q_OBJECT
public:
    static Theme& instance();

    // Fusion with our palette and the interface font; call once, right after
    // the QApplication is made.
    static void install(QApplication& app);

    static bool isDark() { return dark_.load(std::memory_order_relaxed); }
    // Applies the appearance to the application at once; nothing happens
    // (and nobody is told) when it already is the current one.
    static void setDark(bool dark);

    // A part of a window that keeps one appearance whatever the application's
    // (the viewer's black stage is always dark): it takes that palette, and
    // the painted controls inside it resolve their colours with isDark(widget).
    // None returns it to the application's appearance.
    static void setForcedAppearance(QWidget* widget, std::optional<bool> dark);
    static bool isDark(const QWidget* widget);
    static QColor color(ThemeColor c, const QWidget* widget) { return color(c, isDark(widget)); }

    // Safe from any thread: rendering threads may resolve colours too.
    static QColor color(ThemeColor c) { return color(c, isDark()); }
    static QColor color(ThemeColor c, bool dark);
    static QPalette palette(bool dark);

    static QColor canvas() { return color(ThemeColor::canvas); }
    static QColor sidebar() { return color(ThemeColor::sidebar); }
    static QColor card() { return color(ThemeColor::card); }
    static QColor placeholder() { return color(ThemeColor::placeholder); }
    static QColor line() { return color(ThemeColor::line); }
    static QColor ink() { return color(ThemeColor::ink); }
    static QColor ink2() { return color(ThemeColor::ink2); }
    static QColor ink3() { return color(ThemeColor::ink3); }
    static QColor accent() { return color(ThemeColor::accent); }
    static QColor hover() { return color(ThemeColor::hover); }
    static QColor selected() { return color(ThemeColor::selected); }
    // The red of a destructive action (delete, remove, start over), which
    // the palette of eleven leaves out.
    static QColor destructive(bool dark);
    static QColor destructive() { return destructive(isDark()); }

signals:
    void appearanceChanged(bool dark);

private:
    Theme() = default;
    static inline std::atomic<bool> dark_{false};
};

// A colour handed to a control: a palette entry, which follows the
// appearance, or a fixed colour (white glyphs on photos).
class ColorRef {
public:
    ColorRef(ThemeColor c) : value_(c) {}  // NOLINT(google-explicit-constructor)
    ColorRef(const QColor& c) : value_(c) {}  // NOLINT(google-explicit-constructor)
    ColorRef(Qt::GlobalColor c) : value_(QColor(c)) {}  // NOLINT(google-explicit-constructor)
    QColor resolve() const { return resolve(Theme::isDark()); }
    QColor resolve(bool dark) const {
        if (auto* t = std::get_if<ThemeColor>(&value_)) return Theme::color(*t, dark);
        return std::get<QColor>(value_);
    }
    bool operator==(const ColorRef&) const = default;

private:
    std::variant<ThemeColor, QColor> value_;
};

}  // namespace vintrelle
