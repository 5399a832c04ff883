#pragma once
// The main window: the root view in a window with the desktop's own
// decorations, the menu bar (File, Edit, View, Go) whose actions also belong
// to the window so their shortcuts work with the bar hidden (as it is in full
// screen; over the viewer's black stage it turns dark), full screen,
// the mouse's Back button, the application's keys (KeyFilter), the folder
// panel and the look, and the settings
// window (one, separate, not modal). Closing the main window quits the
// application, also while the settings window is open.

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <map>

#include "UI/Window/WindowParts.h"

class QAction;
class QMenu;

namespace vintrelle {

class AppModel;
class RootView;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // The window's, menu bar included.
    static constexpr QSize smallestSize{940, 600};
    static constexpr QSize defaultSize{1320, 840};
    static constexpr int thumbStep = 28;

    enum class Command {
        addFolder, lookForNewPhotos, quit,                   // File
        find, settings,                                      // Edit
        toggleSidebar, largerThumbnails, smallerThumbnails,  // View
        fullScreen,
        back, goLibrary, goFavorites, goTrips, goPeople, goPlaces, goAlbums,  // Go
    };
    enum class Menu { file, edit, view, go };

    // Installs the folder panel into the model and puts the model's look
    // into effect on the theme.
    explicit MainWindow(AppModel& model, QWidget* parent = nullptr);
    ~MainWindow() override;

    RootView& root() const { return *root_; }
    QAction* action(Command command) const { return actions_.at(command); }
    // For the actions others add (asset actions): the window takes them too.
    QMenu* menu(Menu menu) const { return menus_.at(menu); }
    void addWindowAction(Menu where, QAction* action);

    // The size the window opens at: the default, within the screen's free area.
    static QSize initialSize(const QRect& available);

    // ---- the settings window ----
    void setSettings(WindowPart part);
    // Opens the settings window: the first time centred on this window,
    // afterwards where the user left it.
    void showSettings();
    QWidget* settingsWindow() const { return settings_; }
    // Where a window of `size` opens centred on `main`, within `available`.
    static QPoint settingsPosition(const QRect& main, const QSize& size, const QRect& available);

    // What quitting runs after the window closed (the application's quit
    // unless replaced; tests replace it).
    void setQuit(std::function<void()> quit) { quit_ = std::move(quit); }

protected:
    void closeEvent(QCloseEvent* e) override;
    bool event(QEvent* e) override;
    void changeEvent(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    QAction* add(Menu where, Command command, const QString& title, const QList<QKeySequence>& keys,
                 std::function<void()> run);
    void buildMenus();
    void refreshActions();
    void installFolderPanel();
    void toggleFullScreen();
    void followViewerLook();

    AppModel& model_;
    RootView* root_;
    std::map<Command, QAction*> actions_;
    std::map<Menu, QMenu*> menus_;
    WindowPart settingsPart_;
    QPointer<QWidget> settings_;
    std::function<void()> quit_;
    bool closing_ = false;
};

}  // namespace vintrelle
