#pragma once
// The window's own plain versions of the parts built elsewhere (see
// WindowParts.h), used until those are installed: a top bar with the sidebar
// and back buttons over the route's title, a sidebar listing the eight fixed
// routes, the empty-state block of each route's screen, and a settings
// window with the appearance choice. Each follows the application state by
// itself and is replaced whole when the real part is installed.

#include <QWidget>

#include <memory>
#include <vector>

#include "App/Route.h"
#include "UI/Kit/EmptyState.h"
#include "UI/Kit/WindowDragArea.h"
#include "UI/Window/WindowParts.h"

class QButtonGroup;

namespace vintrelle {

class AppModel;
class BarButton;
class LibraryStore;
class TextBlock;

class PlainTopBar : public WindowDragArea {
    Q_OBJECT
public:
    PlainTopBar(AppModel& model, std::shared_ptr<LibraryStore> store, QWidget* parent = nullptr);

    QString title() const;
    QString subtitle() const;
    BarButton* backButton() const { return back_; }

private:
    void refresh();

    AppModel& model_;
    std::shared_ptr<LibraryStore> store_;
    BarButton* back_;
    TextBlock* title_;
    TextBlock* subtitle_;
};

class PlainSidebar : public WindowDragArea {
    Q_OBJECT
public:
    struct Row {
        Route route;
        QString title, symbol;
        bool headingBefore = false;  // "Collections" above it
    };
    static const std::vector<Row>& rows();

    explicit PlainSidebar(AppModel& model, QWidget* parent = nullptr);

    // The row rectangle of a route, in the sidebar's coordinates.
    QRect rowRect(int index) const;

protected:
    void paintEvent(QPaintEvent*) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void leaveEvent(QEvent*) override;

private:
    int rowAt(QPoint p) const;

    AppModel& model_;
    int hovered_ = -1;
};

// The empty-state block of a route's screen, chosen from the open library's
// state as that screen chooses it.
class RoutePlaceholder : public EmptyState {
    Q_OBJECT
public:
    RoutePlaceholder(ScreenKind kind, AppModel& model, std::shared_ptr<LibraryStore> store, QWidget* parent = nullptr);

private:
    void refresh();

    ScreenKind kind_;
    AppModel& model_;
    std::shared_ptr<LibraryStore> store_;
};

class PlainSettings : public QWidget {
    Q_OBJECT
public:
    explicit PlainSettings(AppModel& model, QWidget* parent = nullptr);

private:
    void refresh();

    AppModel& model_;
    QButtonGroup* theme_;
};

}  // namespace vintrelle
