#include "UI/Grid/RouteHeaders.h"

#include <QMenu>
#include <QPainter>

#include "App/AppModel.h"
#include "UI/Kit/Icons.h"

namespace vintrelle {

RouteHeader::RouteHeader(AppModel& model, LibraryStore& store, QWidget* parent)
    : QWidget(parent), model_(model), store_(store) {}

void RouteHeader::leave(const Route& overview) {
    if (!model_.backStack().empty()) model_.back();
    else model_.navigate(overview);
}

RoundMenuButton::RoundMenuButton(ColorRef symbol, ColorRef fill, QWidget* parent)
    : QAbstractButton(parent), symbol_(symbol), fill_(fill) {
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(30, 30);
    setCursor(Qt::ArrowCursor);
}

void RoundMenuButton::setMenuMaker(std::function<QMenu*(QWidget*)> make) {
    connect(this, &QAbstractButton::clicked, this, [this, make = std::move(make)] {
        QMenu* menu = make(this);
        if (!menu) return;
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(mapToGlobal(QPoint(0, height() + 4)));
    });
}

bool RoundMenuButton::hitButton(const QPoint& pos) const {
    const QPointF d = QPointF(pos) - QRectF(rect()).center();
    return d.x() * d.x() + d.y() * d.y() <= 15.0 * 15.0;
}

void RoundMenuButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(fill_.resolve());
    p.drawEllipse(QRectF(rect()));
    Icons::paint(p, QRectF(rect()), QStringLiteral("ellipsis"), 13, symbol_.resolve(), QFont::Bold);
}

}  // namespace vintrelle
