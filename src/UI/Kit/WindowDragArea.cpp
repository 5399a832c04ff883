#include "UI/Kit/WindowDragArea.h"

#include <QApplication>
#include <QMouseEvent>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace vintrelle {

namespace {

// Whether the left button is down now, as the X server has it (not as the
// event being handled had it); true where that cannot be asked.
bool leftButtonHeldNow() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection) return true;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const std::unique_ptr<xcb_query_pointer_reply_t, decltype(&free)> pointer(
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, root), nullptr), &free);
    return !pointer || (pointer->mask & XCB_BUTTON_MASK_1);
}

}  // namespace

WindowDragArea::WindowDragArea(QWidget* parent) : QWidget(parent) {}

void WindowDragArea::toggleMaximized(QWidget* window) {
    if (!window || window->isFullScreen()) return;
    if (window->isMaximized()) window->showNormal();
    else window->showMaximized();
}

void WindowDragArea::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return QWidget::mousePressEvent(e);
    pressed_ = true;
    movingByHand_ = false;
    pressGlobal_ = e->globalPosition().toPoint();
    windowAtPress_ = window()->pos();
    e->accept();
}

void WindowDragArea::mouseMoveEvent(QMouseEvent* e) {
    if (!pressed_ || !(e->buttons() & Qt::LeftButton)) return QWidget::mouseMoveEvent(e);
    e->accept();
    const QPoint delta = e->globalPosition().toPoint() - pressGlobal_;
    if (movingByHand_) {
        window()->move(windowAtPress_ + delta);
        return;
    }
    if (delta.manhattanLength() < QApplication::startDragDistance()) return;
    QWidget* top = window();
    if (top->isFullScreen()) {
        pressed_ = false;
        return;
    }
    // The window manager takes the pointer from here; where it cannot (a
    // platform without system moves), the window follows the pointer. A busy
    // window reads the pointer's moves late, and the button may be up again
    // by now: a window manager handed the move then would keep the pointer
    // until the next press and swallow it (the first of a double click), so
    // the window follows the moves still to come itself, up to their release.
    if (QWindow* handle = top->windowHandle(); handle && leftButtonHeldNow() && handle->startSystemMove()) {
        pressed_ = false;
        return;
    }
    movingByHand_ = true;
    top->move(windowAtPress_ + delta);
}

void WindowDragArea::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(e);
    pressed_ = false;
    movingByHand_ = false;
    e->accept();
}

void WindowDragArea::mouseDoubleClickEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return QWidget::mouseDoubleClickEvent(e);
    // A third press starts a drag again, never another toggle.
    pressed_ = false;
    e->accept();
    toggleMaximized(window());
}

}  // namespace vintrelle
