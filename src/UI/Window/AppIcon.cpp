#include "UI/Window/AppIcon.h"

#include <QPainter>
#include <QSvgRenderer>

// Outside any namespace: the icon lives in a static library, and this
// reference keeps the linker from dropping it.
static void initAppResources() { Q_INIT_RESOURCE(app); }

namespace vintrelle {

AppIcon::AppIcon(int side, QWidget* parent) : QWidget(parent) {
    setFixedSize(side, side);
    setAttribute(Qt::WA_TranslucentBackground);
}

QString AppIcon::resource() {
    static const bool loaded = (initAppResources(), true);
    (void)loaded;
    return QStringLiteral(":/vintrelle.svg");
}

QIcon AppIcon::icon() { return QIcon(resource()); }

void AppIcon::paintEvent(QPaintEvent*) {
    // Parsed once and kept for the run (never destroyed after the application).
    static QSvgRenderer* renderer = new QSvgRenderer(resource());
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    renderer->render(&p, QRectF(rect()));
}

}  // namespace vintrelle
