#pragma once
// A vertical scroll bar that floats over its content while it is used, so a
// view's layout width does not flip when its content starts or stops
// fitting. The photo grid and the collection screens scroll alike.

class QScrollBar;

namespace vintrelle {

void makeOverlayScrollBar(QScrollBar* bar);

}  // namespace vintrelle
