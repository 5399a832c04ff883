#pragma once
// The parts of the main window that are built outside this folder (the photo
// grid screen, the overviews, the map, the viewer, the top bar, the sidebar,
// the settings window) reach the window as factories, so the window needs
// none of their headers. A part left out is stood in for by the window's own
// plain version: a route's screen by its empty-state block, the bars by a
// title strip and a list of the fixed routes.

#include <QWidget>

#include <functional>
#include <memory>

#include "App/Route.h"

namespace vintrelle {

class AppModel;
class LibraryStore;

// Which screen a route shows: the four overviews have one each, every other
// route the asset grid screen.
enum class ScreenKind { assets, trips, people, places, albums };
ScreenKind screenKind(const Route& route);

// A screen of the open library (a route screen, or the top bar). It is made
// when it comes into view and deleted once it leaves it: an overview starts
// from its initial state each time, and a new library gets new screens. The
// asset grid screen stays while the route moves between asset routes.
struct ScreenPart {
    using Make = std::function<QWidget*(AppModel& model, const std::shared_ptr<LibraryStore>& store, QWidget* parent)>;
    // Runs the event loop until the screen is completely drawn (pictures
    // decoded, animations still); false when msecs pass first. Optional.
    using Settle = std::function<bool(QWidget* screen, int msecs)>;
    Make make;
    Settle settle;
    explicit operator bool() const { return bool(make); }
};

// A part that lives without a library: made once and kept.
using WindowPart = std::function<QWidget*(AppModel& model, QWidget* parent)>;

}  // namespace vintrelle
