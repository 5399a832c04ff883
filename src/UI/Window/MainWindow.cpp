#include "UI/Window/MainWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>

#include <algorithm>

#include "App/AppModel.h"
#include "App/DesktopServices.h"
#include "App/KeyFilter.h"
#include "Store/LibraryStore.h"
#include "UI/Kit/Theme.h"
#include "UI/Window/AppIcon.h"
#include "UI/Window/NativeBackground.h"
#include "UI/Window/PlainParts.h"
#include "UI/Window/RootView.h"

namespace vintrelle {

MainWindow::MainWindow(AppModel& model, QWidget* parent)
    : QMainWindow(parent), model_(model), quit_([] { QCoreApplication::quit(); }) {
    setWindowTitle(QStringLiteral("Vintrelle"));
    setWindowIcon(AppIcon::icon());
    root_ = new RootView(model_, this);
    setCentralWidget(root_);
    setMinimumSize(smallestSize);
    buildMenus();

    const QScreen* screen = this->screen();
    resize(initialSize(screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080)));

    installFolderPanel();
    Theme::setDark(model_.darkAppearance());
    connect(&model_, &AppModel::darkAppearanceChanged, this, [this] { Theme::setDark(model_.darkAppearance()); });
    // The canvas colour from the moment the window appears: the library opens
    // on the main thread before the first paint.
    setNativeBackground(*this, Theme::canvas());
    connect(&Theme::instance(), &Theme::appearanceChanged, this, [this] { setNativeBackground(*this, Theme::canvas()); });
    for (auto signal : {&AppModel::storeChanged, &AppModel::backStackChanged, &AppModel::sidebarVisibleChanged})
        connect(&model_, signal, this, &MainWindow::refreshActions);
    refreshActions();
    for (auto signal : {&AppModel::viewerChanged, &AppModel::showInfoChanged})
        connect(&model_, signal, this, &MainWindow::followViewerLook);
    followViewerLook();
    QCoreApplication::instance()->installEventFilter(this);
    // Escape and the viewer's keys, before any widget sees them.
    KeyFilter::install(model_, this);
}

MainWindow::~MainWindow() {
    if (settings_) delete settings_.data();
}

QSize MainWindow::initialSize(const QRect& available) {
    return defaultSize.boundedTo(available.size()).expandedTo(smallestSize);
}

// ---- menus ----------------------------------------------------------------------------

QAction* MainWindow::add(Menu where, Command command, const QString& title, const QList<QKeySequence>& keys,
                         std::function<void()> run) {
    auto* action = new QAction(title, this);
    action->setShortcuts(keys);
    connect(action, &QAction::triggered, this, [run = std::move(run)] { run(); });
    actions_[command] = action;
    addWindowAction(where, action);
    return action;
}

void MainWindow::addWindowAction(Menu where, QAction* action) {
    menus_.at(where)->addAction(action);
    // Also the window's own, so the key works while the menu bar is hidden.
    addAction(action);
}

void MainWindow::buildMenus() {
    menus_[Menu::file] = menuBar()->addMenu(tr("&File"));
    menus_[Menu::edit] = menuBar()->addMenu(tr("&Edit"));
    menus_[Menu::view] = menuBar()->addMenu(tr("&View"));
    menus_[Menu::go] = menuBar()->addMenu(tr("&Go"));
    using K = QKeySequence;
    AppModel& m = model_;

    add(Menu::file, Command::addFolder, tr("Add Folder\u2026"), {K(Qt::CTRL | Qt::Key_O)}, [&m] { m.chooseFolder(); });
    add(Menu::file, Command::lookForNewPhotos, tr("Look for New Photos"), {K(Qt::CTRL | Qt::Key_R)}, [&m] {
        if (m.store()) m.store()->rescan();
    });
    menus_[Menu::file]->addSeparator();
    // Quit and Settings answer from any of the application's windows.
    add(Menu::file, Command::quit, tr("Quit"), {K(Qt::CTRL | Qt::Key_Q)}, [this] { close(); })
        ->setShortcutContext(Qt::ApplicationShortcut);

    add(Menu::edit, Command::find, tr("Find"), {K(Qt::CTRL | Qt::Key_F)}, [&m] { m.focusSearch(); });
    menus_[Menu::edit]->addSeparator();
    add(Menu::edit, Command::settings, tr("Settings\u2026"), {K(Qt::CTRL | Qt::Key_Comma)}, [this] { showSettings(); })
        ->setShortcutContext(Qt::ApplicationShortcut);

    add(Menu::view, Command::toggleSidebar, tr("Hide Sidebar"), {K(Qt::Key_F9)},
        [&m] { m.setSidebarVisible(!m.sidebarVisible()); });
    menus_[Menu::view]->addSeparator();
    add(Menu::view, Command::largerThumbnails, tr("Larger Thumbnails"),
        {K(Qt::CTRL | Qt::Key_Plus), K(Qt::CTRL | Qt::Key_Equal)},
        [&m] { m.setThumbSize(std::min(m.thumbSize() + thumbStep, AppModel::kMaxThumbSize)); });
    add(Menu::view, Command::smallerThumbnails, tr("Smaller Thumbnails"), {K(Qt::CTRL | Qt::Key_Minus)},
        [&m] { m.setThumbSize(std::max(m.thumbSize() - thumbStep, AppModel::kMinThumbSize)); });
    menus_[Menu::view]->addSeparator();
    add(Menu::view, Command::fullScreen, tr("Full Screen"), {K(Qt::Key_F11)}, [this] { toggleFullScreen(); })
        ->setCheckable(true);

    add(Menu::go, Command::back, tr("Back"), {K(Qt::ALT | Qt::Key_Left)}, [&m] { m.back(); });
    menus_[Menu::go]->addSeparator();
    const std::tuple<Command, QString, Route, Qt::Key> places[] = {
        {Command::goLibrary, tr("Library"), Route::library(), Qt::Key_1},
        {Command::goFavorites, tr("Favourites"), Route::favorites(), Qt::Key_2},
        {Command::goTrips, tr("Trips"), Route::trips(), Qt::Key_3},
        {Command::goPeople, tr("People"), Route::people(), Qt::Key_4},
        {Command::goPlaces, tr("Places"), Route::places(), Qt::Key_5},
        {Command::goAlbums, tr("Albums"), Route::albums(), Qt::Key_6},
    };
    for (const auto& [command, title, route, key] : places)
        add(Menu::go, command, title, {K(Qt::CTRL | key)}, [&m, route = route] { m.navigate(route); });
}

void MainWindow::refreshActions() {
    action(Command::lookForNewPhotos)->setEnabled(model_.store() != nullptr);
    action(Command::back)->setEnabled(!model_.backStack().empty());
    action(Command::toggleSidebar)->setText(model_.sidebarVisible() ? tr("Hide Sidebar") : tr("Show Sidebar"));
    action(Command::fullScreen)->setChecked(isFullScreen());
}

// ---- folder panel and full screen ----------------------------------------------------

void MainWindow::installFolderPanel() {
    // The same chooser as every other folder question: the desktop's own
    // where its portal runs.
    model_.setFolderChooser([model = &model_](std::function<void(std::optional<std::string>)> answer) {
        model->services().chooseFolder(
            {tr(AppModel::kFolderPanelMessage), tr(AppModel::kFolderPanelButton), std::string(), false},
            [answer = std::move(answer)](const std::string& folder) { answer(folder); });
    });
}

void MainWindow::toggleFullScreen() { setWindowState(windowState() ^ Qt::WindowFullScreen); }

bool MainWindow::event(QEvent* e) {
    // A native window made anew (after it was let go) starts without it.
    if (e->type() == QEvent::WinIdChange) setNativeBackground(*this, Theme::canvas());
    return QMainWindow::event(e);
}

void MainWindow::changeEvent(QEvent* e) {
    if (e->type() == QEvent::WindowStateChange) {
        model_.setIsFullScreen(isFullScreen());
        refreshActions();
        followViewerLook();
    }
    QMainWindow::changeEvent(e);
}

void MainWindow::followViewerLook() {
    // Full screen is all picture: the bar goes, its actions stay the window's.
    menuBar()->setVisible(!isFullScreen());
    // Over the viewer's black stage the bar is dark too, whatever the appearance.
    const bool stage = model_.viewer().has_value() && !model_.showInfo();
    Theme::setForcedAppearance(menuBar(), stage ? std::optional<bool>(true) : std::nullopt);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* e) {
    // The mouse's Back button anywhere in this window goes back.
    if (e->type() == QEvent::MouseButtonPress && static_cast<QMouseEvent*>(e)->button() == Qt::BackButton) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && widget->window() == this) {
            model_.back();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, e);
}

// ---- settings and quitting --------------------------------------------------------------

void MainWindow::setSettings(WindowPart part) {
    settingsPart_ = std::move(part);
    if (settings_) delete settings_.data();
}

void MainWindow::showSettings() {
    if (!settings_) {
        settings_ = settingsPart_ ? settingsPart_(model_, nullptr) : new PlainSettings(model_);
        settings_->setWindowFlag(Qt::Window);
        // The first time over the middle of this window; afterwards it
        // opens where the user left it, as Qt keeps a moved window's place.
        settings_->adjustSize();
        settings_->move(settingsPosition(frameGeometry(), settings_->size(),
                                         screen() ? screen()->availableGeometry() : QRect()));
    }
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
}

QPoint MainWindow::settingsPosition(const QRect& main, const QSize& size, const QRect& available) {
    QRect r(QPoint(), size);
    r.moveCenter(main.center());
    if (available.isValid()) {
        // Never partly off the screen: kept inside it, the top-left first.
        r.moveRight(std::min(r.right(), available.right()));
        r.moveBottom(std::min(r.bottom(), available.bottom()));
        r.moveLeft(std::max(r.left(), available.left()));
        r.moveTop(std::max(r.top(), available.top()));
    }
    return r.topLeft();
}

void MainWindow::closeEvent(QCloseEvent* e) {
    e->accept();
    if (closing_) return;
    closing_ = true;
    if (settings_) settings_->close();
    if (quit_) quit_();
}

}  // namespace vintrelle
