#pragma once
// The application scene: the one main window over the application state,
// with every screen, bar and panel of the interface plugged into it. The
// application and the diagnostics' picture of the window build it the same
// way, so what the picture shows is what a person sees.

#include <QApplication>
#include <QElapsedTimer>

#include <clocale>
#include <memory>

#include "App/AppModel.h"
#include "Store/LibraryStore.h"
#include "UI/Collections/AlbumsScreen.h"
#include "UI/Collections/PeopleScreen.h"
#include "UI/Collections/TripsScreen.h"
#include "UI/Grid/AssetGridScreen.h"
#include "UI/Places/PlacesScreen.h"
#include "UI/Places/StaticMapPainter.h"
#include "UI/Viewer/DetailsPanel.h"
#include "UI/Viewer/Playback.h"
#include "UI/Viewer/ViewerView.h"
#include "UI/Kit/Theme.h"
#include "UI/Window/AppIcon.h"
#include "UI/Window/MainWindow.h"
#include "UI/Window/RootView.h"
#include "UI/Window/SettingsView.h"
#include "UI/Window/SidebarView.h"
#include "UI/Window/TopBar.h"

namespace vintrelle {

struct VintrelleApp {
    // Names the application to the desktop (the window class matches the
    // desktop file "vintrelle.desktop") with the build's version, keeps
    // numbers in data "C", and puts
    // the theme in place. Right after the QApplication is made.
    static void prepare(QApplication& app) {
        QApplication::setApplicationName(QStringLiteral("vintrelle"));
        QApplication::setApplicationDisplayName(QStringLiteral("Vintrelle"));
        QApplication::setApplicationVersion(QStringLiteral(VINTRELLE_VERSION));
        QGuiApplication::setDesktopFileName(QStringLiteral("vintrelle"));
        QApplication::setWindowIcon(AppIcon::icon());
        // Qt takes the user's locale; printf and strtod would then write and
        // read "2,5" in keys and stored texts.
        std::setlocale(LC_NUMERIC, "C");
        Theme::install(app);
    }

    // The main window with the parts of the interface that exist.
    static std::unique_ptr<MainWindow> makeWindow(AppModel& model) {
        auto window = std::make_unique<MainWindow>(model);
        installParts(*window, model);
        return window;
    }

    // Each part built outside the window folder plugs in here; until then the
    // window's own plain version stands in for it.
    static void installParts(MainWindow& window, AppModel& model) {
        (void)model;
        RootView& root = window.root();
        root.setTopBar({[](AppModel& m, const std::shared_ptr<LibraryStore>& store, QWidget* parent) -> QWidget* {
            return new TopBar(m, store, parent);
        },
                        {}});
        root.setSidebar([w = &window](AppModel& m, QWidget* parent) -> QWidget* {
            auto* sidebar = new SidebarView(m, parent);
            QObject::connect(sidebar, &SidebarView::settingsRequested, w, &MainWindow::showSettings);
            return sidebar;
        });
        window.setSettings([](AppModel& m, QWidget* parent) -> QWidget* { return new SettingsView(m, parent); });
        root.setScreen(ScreenKind::assets,
                       {[](AppModel& m, const std::shared_ptr<LibraryStore>& store, QWidget* parent) -> QWidget* {
                            return new AssetGridScreen(m, store, parent);
                        },
                        [](QWidget* screen, int msecs) { return static_cast<AssetGridScreen*>(screen)->settle(msecs); }});
        root.setScreen(ScreenKind::places,
                       {[](AppModel& m, const std::shared_ptr<LibraryStore>&, QWidget* parent) -> QWidget* {
                            return new PlacesScreen(m, parent);
                        },
                        [](QWidget* screen, int msecs) {
                            return waitFor(msecs, [screen] { return static_cast<PlacesScreen*>(screen)->isSettled(); });
                        }});
        root.setScreen(ScreenKind::trips, collectionScreen<TripsScreen>());
        root.setScreen(ScreenKind::people, collectionScreen<PeopleScreen>());
        root.setScreen(ScreenKind::albums, collectionScreen<AlbumsScreen>());
        root.setViewer([](AppModel& m, QWidget* parent) -> QWidget* {
            auto* viewer = new ViewerView(m, m.fullImages(), parent);
            installPlayback(*viewer);
            new DetailsPanel(*viewer, [](QWidget* mapParent) -> StillMap* { return new StaticMapView(mapParent); });
            return viewer;
        });
    }

    // An overview follows the application state's store by itself.
    template <class Screen>
    static ScreenPart collectionScreen() {
        return {[](AppModel& m, const std::shared_ptr<LibraryStore>&, QWidget* parent) -> QWidget* {
                    return new Screen(m, parent);
                },
                [](QWidget* screen, int msecs) { return static_cast<Screen*>(screen)->settle(msecs); }};
    }

    // Runs the event loop until done() holds; false when msecs pass first.
    template <class Done>
    static bool waitFor(int msecs, Done done) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() >= msecs) return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        }
        return true;
    }
};

}  // namespace vintrelle
