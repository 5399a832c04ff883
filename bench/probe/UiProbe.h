#pragma once
// vintrelle-probe ui: the application's main window, built as the
// application builds it, on the offscreen platform, pictured to a PNG.
//
// Options beyond the base ones plug in from files of their own, the way
// subcommands do: each names its option, when it acts and what it does.
//
//   probe::UiOption reg("--viewer", "N", probe::UiStage::afterRoute,
//                       [](probe::UiSession& s, const std::string& n) -> std::string {
//                           ...;          // act on s.model, s.window
//                           return {};    // or the reason it failed
//                       });
//
// An option whose valueName is empty is a flag ("--settings") and its hook
// gets "on". A hook may add fields to s.out after the base ones, and may
// name another window to picture (s.picture).

#include <QSize>
#include <QWidget>

#include <functional>
#include <map>
#include <string>

#undef emit  // Qt's keyword; the probe has a function of that name
#include "Probe.h"

namespace vintrelle {
class AppModel;
class MainWindow;
}  // namespace vintrelle

namespace probe {

struct UiOptions {
    std::string dir;                 // the library; empty with --welcome
    bool welcome = false;
    std::string route = "library";   // a route's text; trip, person, album may name "first"
    QSize size{1440, 900};           // logical pixels
    std::string appearance = "light";
    int scale = 1;                   // device pixels per logical pixel
    std::string out;                 // the PNG; none written when empty
    bool faces = false;
    std::map<std::string, std::string> extra;  // plugged-in options given, by name
};

// When a plugged-in option acts, in the order of a run.
enum class UiStage {
    beforeOpen,   // window made, no library yet
    afterOpen,    // library indexed and idle (or the welcome screen shown)
    afterRoute,   // navigated to the route, before it settles (counted in "ms")
    beforeGrab,   // settled, just before the picture
};

struct UiSession {
    const UiOptions& options;
    vintrelle::AppModel& model;
    vintrelle::MainWindow& window;
    Json& out;
    // Runs the event loop until the window is completely drawn; false when msecs pass first.
    std::function<bool(int msecs)> settle;
    // What is pictured: the main window unless a hook names another.
    QWidget* picture = nullptr;
};

// The reason it failed, or empty.
using UiHook = std::function<std::string(UiSession& session, const std::string& value)>;

struct UiOption {
    std::string name, valueName;
    UiStage stage;
    UiHook hook;
    UiOption(std::string name, std::string valueName, UiStage stage, UiHook hook);
    static std::map<std::string, const UiOption*>& all();
};

}  // namespace probe
