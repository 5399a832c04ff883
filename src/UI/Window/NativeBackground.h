#pragma once
// The colour the window system fills a window with by itself: the moment the
// window appears, and wherever a resize uncovers it, before the application
// has painted. Without one, X11 shows black (or what lay beneath) until the
// first frame arrives, which takes a moment when a large library is opened
// at start. Elsewhere nothing is done: Wayland shows a window only with its
// first frame.

class QColor;
class QWidget;

namespace vintrelle {

// Sets the background of the top-level window's native window; creates that
// window when it does not exist yet.
void setNativeBackground(QWidget& window, const QColor& colour);

}  // namespace vintrelle
