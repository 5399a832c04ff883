#pragma once
// A piece of title bar inside the window's content: pressing and dragging it
// moves the window (through the window manager, so snapping and edge
// resistance work as with the real title bar) and a double click maximises
// or restores it. Children that should let the window be dragged from them
// (titles) are made transparent for mouse events by their owners.

#include <QPoint>
#include <QWidget>

namespace vintrelle {

class WindowDragArea : public QWidget {
    Q_OBJECT
public:
    // The height of the strips at the top of each column.
    static constexpr int stripHeight = 52;

    explicit WindowDragArea(QWidget* parent = nullptr);

    // Maximised ⇄ normal; nothing in full screen.
    static void toggleMaximized(QWidget* window);

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;

private:
    // The move starts only once the pointer travels, so the presses of a
    // double click stay with the window.
    bool pressed_ = false;
    bool movingByHand_ = false;
    QPoint pressGlobal_;
    QPoint windowAtPress_;
};

}  // namespace vintrelle
