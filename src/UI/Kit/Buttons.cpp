#include "UI/Kit/Buttons.h"

#include <QApplication>
#include <QCursor>
#include <QEnterEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTimer>

#include <cmath>
#include <utility>

#include "UI/Kit/FocusRing.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Icons.h"

namespace vintrelle {

namespace {

constexpr qreal primarySymbolSize = 13.5;
constexpr qreal labelGap = 6;          // between a symbol and the title
constexpr qreal disabledOpacity = 0.45;

void fillRounded(QPainter& p, const QRectF& r, qreal radius, const QColor& c) {
    if (c.alpha() == 0) return;
    QPainterPath path;
    path.addRoundedRect(r, radius, radius);
    p.fillPath(path, c);
}

// A filled button's colour, a little lighter while it is pressed.
QColor filled(QColor c, bool pressed) {
    if (pressed) c.setAlphaF(c.alphaF() * 0.82f);
    return c;
}

// Styles live as long as the application; a second application (tests) gets
// new ones.
template <class S>
S* sharedStyle(QPointer<S>& slot, S* (*make)()) {
    if (!slot) {
        slot = make();
        slot->setParent(qApp);
    }
    return slot.data();
}

}  // namespace

void FlatButtonStyle::polish(QWidget* widget) {
    QProxyStyle::polish(widget);
    widget->setFont(Fonts::font(look_.fontPx, look_.weight));
    widget->setAttribute(Qt::WA_Hover);
    FocusRing::track(widget);
}

QSize FlatButtonStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contents,
                                        const QWidget* widget) const {
    if (type != CT_PushButton) return QProxyStyle::sizeFromContents(type, option, contents, widget);
    QSize s = contents;
    // QPushButton counts 4 px between icon and title; the design wants more.
    if (auto* b = qstyleoption_cast<const QStyleOptionButton*>(option); b && !b->icon.isNull())
        s.rwidth() += int(labelGap) - 4;
    return {int(std::ceil(s.width() + 2 * look_.padX)), int(std::ceil(s.height() + 2 * look_.padY))};
}

void FlatButtonStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* p,
                                  const QWidget* widget) const {
    auto* b = qstyleoption_cast<const QStyleOptionButton*>(option);
    if (element != CE_PushButton || !b) return QProxyStyle::drawControl(element, option, p, widget);
    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    const bool enabled = b->state & State_Enabled;
    const bool pressed = b->state & (State_Sunken | State_On);
    if (!enabled) p->setOpacity(disabledOpacity);
    const QRectF r = QRectF(b->rect).adjusted(0.5, 0.5, -0.5, -0.5);
    fillRounded(*p, r, look_.radius, fill(pressed && enabled));
    if ((b->state & State_HasFocus) && FocusRing::shows(widget)) {
        QColor ring = Theme::accent();
        ring.setAlphaF(0.5f);
        p->setPen(QPen(ring, 2));
        p->drawRoundedRect(r.adjusted(1, 1, -1, -1), look_.radius - 1, look_.radius - 1);
    }

    const QFontMetricsF fm(p->font());
    const QString title = b->text;
    const qreal textW = fm.horizontalAdvance(title);
    const bool hasIcon = !b->icon.isNull();
    const qreal iconW = hasIcon ? b->iconSize.width() : 0;
    const qreal total = textW + (hasIcon ? iconW + (title.isEmpty() ? 0 : labelGap) : 0);
    qreal x = r.center().x() - total / 2;
    if (hasIcon) {
        const qreal dpr = p->device()->devicePixelRatioF();
        const QPixmap pm = b->icon.pixmap(b->iconSize, dpr);
        const QSizeF logical = pm.deviceIndependentSize();
        p->drawPixmap(QPointF(std::round(x), std::round(r.center().y() - logical.height() / 2)), pm);
        x += iconW + labelGap;
    }
    p->setPen(labelColor());
    const qreal baseline = r.center().y() + (fm.ascent() - fm.descent()) / 2;
    p->drawText(QPointF(x, baseline), title);
    p->restore();
}

PrimaryButtonStyle::PrimaryButtonStyle() : FlatButtonStyle(primaryLook) {}

PrimaryButtonStyle* PrimaryButtonStyle::shared() {
    static QPointer<PrimaryButtonStyle> slot;
    return sharedStyle<PrimaryButtonStyle>(slot, [] { return new PrimaryButtonStyle; });
}

QColor PrimaryButtonStyle::fill(bool pressed) const { return filled(Theme::accent(), pressed); }

void PrimaryButtonStyle::apply(QPushButton* button, const QString& symbol) {
    button->setStyle(shared());
    if (!symbol.isEmpty()) {
        button->setIcon(Icons::icon(symbol, primarySymbolSize, Qt::white, QFont::DemiBold));
        const int side = int(std::ceil(Icons::sideFor(primarySymbolSize)));
        button->setIconSize({side, side});
    }
}

DestructiveButtonStyle::DestructiveButtonStyle() : FlatButtonStyle(primaryLook) {}

DestructiveButtonStyle* DestructiveButtonStyle::shared() {
    static QPointer<DestructiveButtonStyle> slot;
    return sharedStyle<DestructiveButtonStyle>(slot, [] { return new DestructiveButtonStyle; });
}

QColor DestructiveButtonStyle::fill(bool pressed) const { return filled(Theme::destructive(), pressed); }

void DestructiveButtonStyle::apply(QPushButton* button) { button->setStyle(shared()); }

QuietButtonStyle::QuietButtonStyle(Look look) : FlatButtonStyle(look) {}

QuietButtonStyle* QuietButtonStyle::shared(Size size) {
    if (size == Size::besidePrimary) {
        static QPointer<QuietButtonStyle> slot;
        return sharedStyle<QuietButtonStyle>(slot, [] {
            return new QuietButtonStyle(
                {primaryLook.fontPx, QFont::Medium, primaryLook.padX, primaryLook.padY, primaryLook.radius});
        });
    }
    static QPointer<QuietButtonStyle> slot;
    return sharedStyle<QuietButtonStyle>(slot, [] { return new QuietButtonStyle({12.5, QFont::Medium, 12, 6, 7}); });
}

QColor QuietButtonStyle::fill(bool pressed) const { return pressed ? Theme::selected() : Theme::hover(); }

void QuietButtonStyle::apply(QPushButton* button, Size size) { button->setStyle(shared(size)); }

BarButton::BarButton(const QString& symbol, const QString& help, QWidget* parent)
    : QAbstractButton(parent), symbol_(symbol) {
    setHelp(help);
    setAttribute(Qt::WA_Hover);
    // Like the bars' buttons elsewhere on the desktop, a click does not take
    // the keyboard focus from the search field or the grid.
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void BarButton::setSymbol(const QString& symbol) {
    if (symbol == symbol_) return;
    symbol_ = symbol;
    update();
}

void BarButton::setHelp(const QString& help) {
    setToolTip(help);
    setAccessibleName(help);
}

void BarButton::setActive(bool active) {
    if (active == active_) return;
    active_ = active;
    update();
}

void BarButton::setTint(std::optional<ColorRef> tint) {
    tint_ = tint;
    update();
}

QColor BarButton::symbolColor() const {
    const bool dark = Theme::isDark(this);
    if (tint_) return tint_->resolve(dark);
    return Theme::color(active_ ? ThemeColor::accent : ThemeColor::ink2, dark);
}

void BarButton::setHoverFill(bool on) {
    hoverFill_ = on;
    update();
}

QColor BarButton::fillColor() const {
    if (hovering_ && hoverFill_) return Theme::color(ThemeColor::hover, this);
    if (active_) return Theme::color(ThemeColor::selected, this);
    return Qt::transparent;
}

void BarButton::enterEvent(QEnterEvent* e) {
    setHovering(true);
    QAbstractButton::enterEvent(e);
}

void BarButton::leaveEvent(QEvent* e) {
    setHovering(false);
    QAbstractButton::leaveEvent(e);
}

void BarButton::setHovering(bool on) {
    if (on == hovering_) return;
    hovering_ = on;
    update();
    // The pointer is only followed as it moves: a button carried away from a
    // still pointer (the top bar's when the sidebar hides) hears nothing of
    // it. While hovered, it watches itself and what it lies in for moves.
    for (const QPointer<QWidget>& w : watched_)
        if (w) w->removeEventFilter(this);
    watched_.clear();
    if (!on) return;
    for (QWidget* w = parentWidget(); w && !w->isWindow(); w = w->parentWidget()) {
        w->installEventFilter(this);
        watched_.emplace_back(w);
    }
}

void BarButton::checkPointerSoon() {
    // Once the layout that moved it has placed everything.
    if (!hovering_ || std::exchange(checkPending_, true)) return;
    QTimer::singleShot(0, this, [this] {
        checkPending_ = false;
        if (hovering_ && !rect().contains(mapFromGlobal(QCursor::pos()))) setHovering(false);
    });
}

void BarButton::moveEvent(QMoveEvent* e) {
    QAbstractButton::moveEvent(e);
    checkPointerSoon();
}

void BarButton::hideEvent(QHideEvent* e) {
    // Shown again, it is hovered when the pointer comes to it.
    setHovering(false);
    QAbstractButton::hideEvent(e);
}

bool BarButton::event(QEvent* e) {
    // Carried from under the pointer, the button was left without a word
    // from the window, which still counts the pointer in it: the next move
    // over it is its enter.
    if (e->type() == QEvent::HoverMove && !hovering_)
        setHovering(rect().contains(static_cast<QHoverEvent*>(e)->position().toPoint()));
    return QAbstractButton::event(e);
}

bool BarButton::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::Move) checkPointerSoon();
    return QAbstractButton::eventFilter(watched, e);
}

void BarButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) p.setOpacity(disabledOpacity);
    fillRounded(p, QRectF(rect()), 7, fillColor());
    Icons::paint(p, QRectF(rect()), symbol_, 13.5, symbolColor(), QFont::Medium);
}

}  // namespace vintrelle
