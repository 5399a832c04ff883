#pragma once
// The map's colours in light and dark, and the few interface colours and
// fonts it borrows. Tiles are rendered on a worker thread, so everything
// here is a plain value, safe from any thread.

#include <QColor>
#include <QFont>

class QWidget;

namespace vintrelle {

struct MapPalette {
    QColor sea, land, coast, border;
    QColor graticule;
    QColor label, labelHalo, cityDot;
    QColor scaleInk, scaleHalo;
    QColor attribution;
    QColor placeholder;  // a bubble without its photo yet
    QColor accent;       // the count badges and the marker

    static const MapPalette& of(bool dark);
};

namespace mapstyle {

// Whether the application shows its dark appearance now.
bool isDark();
// A font of the interface at a size in design points (logical pixels).
QFont font(qreal px, QFont::Weight weight = QFont::Normal);

}  // namespace mapstyle

}  // namespace vintrelle
