#pragma once
// The colours and fonts the grid draws with, resolved for the widget's
// current appearance.

#include <QColor>
#include <QFont>

class QWidget;

namespace vintrelle {

struct GridPalette {
    QColor canvas;
    QColor placeholder;
    QColor ink;
    QColor ink2;
    QColor accent;

    static GridPalette light();
    static GridPalette dark();
    // Dark when the widget's window colour is dark.
    static GridPalette of(const QWidget& widget);
};

// A font of `px` logical pixels (the design's points).
QFont gridFont(double px, QFont::Weight weight);

}  // namespace vintrelle
