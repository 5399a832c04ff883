#pragma once
// The whole content of the main window. Side by side: the sidebar with its
// 1-px divider (only while the sidebar is shown and a library is set) and the
// main column, which shows the top bar over the screen of the current route
// while a library is open, the drive-missing screen while one is awaited, or
// the welcome screen. Over them lie the viewer and, above it, the look of a
// folder being dragged onto the window. The root view adds dropped folders
// as libraries, and presents the name prompts and the error alert.
//
// It keeps little state of its own: what it shows follows the application
// state. It hands the keyboard to the route's screen whenever one appears
// (a grid or a list of cards takes it), and when the search field lets go
// of it, unless a text field holds it; and it keeps the place of each screen
// left for a pushed route, so Back returns there. The parts built elsewhere
// plug in through WindowParts.h.

#include <QPointer>
#include <QUuid>
#include <QVariantAnimation>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UI/Kit/MessageSheet.h"
#include "UI/Kit/ScreenPlace.h"
#include "UI/Kit/TextPromptSheet.h"
#include "UI/Window/WindowParts.h"

class QDropEvent;
class QMimeData;
class QStackedWidget;
class QVBoxLayout;

namespace vintrelle {

class AppModel;
class DriveMissingView;
class EmptyState;
class LibraryStore;
class WelcomeView;

class RootView : public QWidget {
    Q_OBJECT
public:
    static constexpr int sidebarWidth = 236;
    static constexpr int sidebarAnimationMs = 200;

    enum class Column { welcome, driveMissing, library, rebuilding };

    explicit RootView(AppModel& model, QWidget* parent = nullptr);
    ~RootView() override;

    // ---- parts (each takes effect at once) ----
    void setScreen(ScreenKind kind, ScreenPart part);
    void setTopBar(ScreenPart part);
    // Made each time the sidebar appears, deleted when it is hidden.
    void setSidebar(WindowPart part);
    // Made at once and kept; it shows and hides itself with the viewer state.
    void setViewer(WindowPart part);

    // ---- what is shown ----
    Column column() const;
    QWidget* sidebar() const;  // null while hidden
    QWidget* divider() const;
    QWidget* topBar() const;   // null without a library
    QWidget* screen() const;   // the route's screen, or the drive-missing screen of an offline library
    QWidget* viewer() const { return viewer_; }
    QWidget* dropOverlay() const { return dropOverlay_; }
    WelcomeView* welcome() const { return welcome_; }
    DriveMissingView* waitingScreen() const { return waiting_; }
    // What the main column says while a library's index is made again.
    EmptyState* rebuildingScreen() const { return rebuilding_; }
    MessageSheet* alert() const { return alert_; }

    // Ends the sidebar's slide at once.
    void finishAnimations();
    // Gives the keyboard to the route's screen (its grid or its list), unless
    // a text field of the window holds it; the window takes it at once when
    // it is active, else as soon as it becomes active. Done once on the next
    // turn of the event loop after any number of calls.
    void focusScreen();
    // Runs the event loop until the route's screen is completely drawn;
    // false when msecs pass first.
    bool settle(int msecs);

    // The folder a drop would add: the first local folder among its URLs.
    static std::optional<std::string> droppedFolder(const QMimeData& mime);
    // The path of a file URL as the bytes on disk (names need not be UTF-8).
    static std::optional<std::string> localPath(const QUrl& url);
    // Whether a drag began inside the application (its source is set); tests
    // replace it, as they cannot run a drag.
    using InternalDrag = std::function<bool(const QDropEvent&)>;
    void setInternalDragCheck(InternalDrag check) { internalDrag_ = std::move(check); }

signals:
    // The route's screen (or the top bar) was replaced.
    void screenChanged();

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    bool event(QEvent* e) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dragMoveEvent(QDragMoveEvent* e) override;
    void dragLeaveEvent(QDragLeaveEvent* e) override;
    void dropEvent(QDropEvent* e) override;

private:
    class SidebarHost;

    void refresh();
    void refreshSidebar(bool animate);
    void replaceTopBar();
    void replaceScreen();
    void dropLibraryParts();
    void placeOverlays();
    struct PromptSlot {
        QPointer<TextPromptSheet> sheet;
        QUuid id;
    };
    void presentPrompt(PromptSlot& slot, std::optional<QUuid> pending, const std::function<TextPrompt()>& look,
                       std::function<void(const QUuid&, const QString&)> confirm,
                       std::function<void(const QUuid&)> cancel);
    void showAlbumPrompt();
    void showRenamePrompt();
    void showError();
    void giveScreenTheKeyboard();
    void parkKeyboard(QWidget* leaving);
    // Follows the back stack: the place of the screen left for a pushed
    // route is kept; the one of the route Back returns to comes back.
    std::optional<ScreenPlace> followBackStack();

    AppModel& model_;
    std::map<ScreenKind, ScreenPart> screens_;
    ScreenPart topBarPart_;
    WindowPart sidebarPart_;

    QWidget* columns_;
    SidebarHost* sidebarHost_;
    QStackedWidget* main_;
    WelcomeView* welcome_;
    QWidget* waitingPage_;
    DriveMissingView* waiting_;
    QWidget* rebuildingPage_;
    EmptyState* rebuilding_;
    QWidget* libraryPage_;
    QVBoxLayout* libraryLayout_;
    QWidget* rule_;
    QPointer<QWidget> topBar_;
    QPointer<QWidget> screen_;
    QWidget* viewer_ = nullptr;
    QWidget* dropOverlay_;

    // What the shown library parts were made for.
    const LibraryStore* partsStore_ = nullptr;
    std::optional<ScreenKind> screenKind_;  // none: the offline screen
    QMetaObject::Connection offlineConnection_;

    struct LeftPlace {
        Route route;
        std::optional<ScreenPlace> place;
    };
    std::vector<LeftPlace> places_;  // one for each route on the back stack
    bool focusPending_ = false;

    PromptSlot albumSheet_;
    PromptSlot renameSheet_;
    InternalDrag internalDrag_;
    QPointer<MessageSheet> alert_;
    std::optional<std::string> alertOffer_;  // the library the alert offers to rebuild
};

}  // namespace vintrelle
