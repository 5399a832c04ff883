#pragma once
// The button styles and the square icon button of the bars.
//
// PrimaryButtonStyle (the filled call to action), DestructiveButtonStyle
// (the same in red, for what cannot be undone) and QuietButtonStyle (the
// secondary button of empty states, headers, overviews and sheets) are styles a
// QPushButton takes with apply(); the button keeps its own behaviour (clicked,
// default button, shortcuts) and only looks different. BarButton is a painted
// icon button: hover fill, active fill, and a tint that overrides the symbol's
// colour but never the fill.

#include <QAbstractButton>
#include <QPointer>
#include <QProxyStyle>

#include <optional>
#include <vector>

#include "UI/Kit/Theme.h"

class QPushButton;

namespace vintrelle {

class FlatButtonStyle : public QProxyStyle {
public:
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;
    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contents,
                           const QWidget* widget) const override;
    void polish(QWidget* widget) override;
    using QProxyStyle::polish;

protected:
    struct Look {
        qreal fontPx;
        QFont::Weight weight;
        qreal padX, padY, radius;
    };
    explicit FlatButtonStyle(Look look) : look_(look) {}
    static constexpr Look primaryLook{13.5, QFont::DemiBold, 18, 9, 9};
    virtual QColor fill(bool pressed) const = 0;
    virtual QColor labelColor() const = 0;

private:
    Look look_;
};

class PrimaryButtonStyle final : public FlatButtonStyle {
public:
    // Styles the button; a symbol is drawn before its title, in white.
    static void apply(QPushButton* button, const QString& symbol = {});
    static PrimaryButtonStyle* shared();

protected:
    QColor fill(bool pressed) const override;
    QColor labelColor() const override { return Qt::white; }

private:
    PrimaryButtonStyle();
};

// The filled button of an action that cannot be undone, in the red of
// Theme::destructive; otherwise drawn as the primary button.
class DestructiveButtonStyle final : public FlatButtonStyle {
public:
    static void apply(QPushButton* button);
    static DestructiveButtonStyle* shared();

protected:
    QColor fill(bool pressed) const override;
    QColor labelColor() const override { return Qt::white; }

private:
    DestructiveButtonStyle();
};

class QuietButtonStyle final : public FlatButtonStyle {
public:
    // regular: on its own (headers, overviews, empty states); besidePrimary:
    // of the primary button's size, for a row it shares with one (a sheet's
    // Cancel), so the row's buttons line up.
    enum class Size { regular, besidePrimary };
    static void apply(QPushButton* button, Size size = Size::regular);
    static QuietButtonStyle* shared(Size size = Size::regular);

protected:
    QColor fill(bool pressed) const override;
    QColor labelColor() const override { return Theme::ink(); }

private:
    explicit QuietButtonStyle(Look look);
};

class BarButton : public QAbstractButton {
    Q_OBJECT
public:
    // help is the tooltip; clicked() is the action.
    BarButton(const QString& symbol, const QString& help, QWidget* parent = nullptr);

    void setSymbol(const QString& symbol);
    QString symbol() const { return symbol_; }
    void setHelp(const QString& help);
    void setActive(bool active);
    bool isActive() const { return active_; }
    // Overrides the symbol's colour (accent when active, ink2 otherwise).
    void setTint(std::optional<ColorRef> tint);
    // Off: the pointer over the button gives it no fill (a menu's label).
    void setHoverFill(bool on);
    // The pointer is over the button; it stops being so when the button, or
    // anything it lies in, moves away from a pointer that stays still.
    bool isHovering() const { return hovering_; }

    QColor symbolColor() const;
    QColor fillColor() const;  // transparent when there is no fill

    QSize sizeHint() const override { return {30, 28}; }

protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;
    void moveEvent(QMoveEvent*) override;
    void hideEvent(QHideEvent*) override;
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void setHovering(bool on);
    void checkPointerSoon();

    QString symbol_;
    bool active_ = false;
    bool hovering_ = false;
    bool hoverFill_ = true;
    bool checkPending_ = false;
    std::optional<ColorRef> tint_;
    std::vector<QPointer<QWidget>> watched_;  // the widgets it lies in, while hovered
};

}  // namespace vintrelle
