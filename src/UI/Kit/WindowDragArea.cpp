#include "UI/Kit/WindowDragArea.h"

#include <QApplication>
#include <QMouseEvent>
#include <QWindow>

namespace vintrelle {

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
    // platform without system moves), the window follows the pointer.
    if (QWindow* handle = top->windowHandle(); handle && handle->startSystemMove()) {
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
