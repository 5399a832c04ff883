// vintrelle-probe ui DIR [--route ROUTE] [--size WxH] [--appearance light|dark]
//                       [--scale 1|2] [--out FILE.png] [--faces on|off]
// vintrelle-probe ui --welcome [same options]
//
// Builds the real main window on the offscreen platform over the library DIR
// (indexed first and waited for until idle), goes to ROUTE, lets events run
// until everything in view is drawn, pictures the window and prints
//   {"route","title","subtitle","items","png","w","h","ms"}
// where ms runs from the navigation to the settled paint, and w, h are the
// picture's pixels. The run keeps its preferences in a temporary folder: the
// user's own are never read or written.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPixmap>
#include <QTemporaryDir>
#include <QWindow>

#include <algorithm>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "Core/Engine/LibraryEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "Store/LibraryStore.h"
#include "UI/Window/RouteText.h"
#include "UI/Window/StartScreens.h"
#include "UiProbe.h"
#include "VintrelleApp.h"

namespace probe {

UiOption::UiOption(std::string n, std::string v, UiStage s, UiHook h)
    : name(std::move(n)), valueName(std::move(v)), stage(s), hook(std::move(h)) {
    all()[name] = this;
}

std::map<std::string, const UiOption*>& UiOption::all() {
    static std::map<std::string, const UiOption*> map;
    return map;
}

}  // namespace probe

namespace {

using namespace vintrelle;
using probe::UiOptions;
using probe::UiStage;

constexpr int kSettleMs = 60000;

std::string usage() {
    std::string u = "DIR|--welcome [--route ROUTE] [--size WxH] [--appearance light|dark] [--scale 1|2] "
                    "[--out FILE.png] [--faces on|off]";
    for (const auto& [name, option] : probe::UiOption::all())
        u += " [" + name + (option->valueName.empty() ? "" : " " + option->valueName) + "]";
    return u;
}

std::optional<UiOptions> parse(probe::Args args, std::string& error) {
    UiOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--welcome") {
            o.welcome = true;
            args.erase(args.begin() + long(i));
            break;
        }
    }
    o.route = probe::takeOption(args, "--route", o.route);
    const std::string size = probe::takeOption(args, "--size", "1440x900");
    o.appearance = probe::takeOption(args, "--appearance", o.appearance);
    const std::string scale = probe::takeOption(args, "--scale", "1");
    o.out = probe::takeOption(args, "--out");
    const std::string faces = probe::takeOption(args, "--faces", "off");
    for (const auto& [name, option] : probe::UiOption::all()) {
        if (option->valueName.empty()) {
            const auto flag = std::find(args.begin(), args.end(), name);
            if (flag == args.end()) continue;
            args.erase(flag);
            o.extra[name] = "on";
            continue;
        }
        const std::string none = "\x01";
        const std::string value = probe::takeOption(args, name, none);
        if (value != none) o.extra[name] = value;
    }
    int w = 0, h = 0;
    if (std::sscanf(size.c_str(), "%dx%d", &w, &h) != 2 || w < 200 || h < 200) error = "bad --size " + size;
    o.size = QSize(w, h);
    o.scale = std::atoi(scale.c_str());
    if (o.scale != 1 && o.scale != 2) error = "bad --scale " + scale;
    if (o.appearance != "light" && o.appearance != "dark") error = "bad --appearance " + o.appearance;
    if (faces != "on" && faces != "off") error = "bad --faces " + faces;
    o.faces = faces == "on";
    const auto unknown = std::find_if(args.begin(), args.end(), [](const std::string& a) { return a.rfind("--", 0) == 0; });
    if (unknown != args.end()) error = "unknown option " + *unknown;
    else if (o.welcome == (args.size() == 1)) error = "give a library folder or --welcome";
    else if (args.size() > 1) error = "unknown argument " + args[1];
    if (!o.welcome && !args.empty()) o.dir = std::filesystem::absolute(args[0]).lexically_normal().string();
    if (!error.empty()) return std::nullopt;
    return o;
}

// The offscreen platform with one screen of the picture's size and scale.
void prepareScreen(const UiOptions& o, const QTemporaryDir& tmp) {
    const QString config = tmp.filePath(QStringLiteral("screen.json"));
    QFile f(config);
    if (f.open(QIODevice::WriteOnly)) {
        f.write(QStringLiteral(R"({"screens":[{"name":"probe","x":0,"y":0,"width":%1,"height":%2,)"
                               R"("logicalDpi":96,"logicalBaseDpi":96,"dpr":%3}]})")
                    .arg(o.size.width())
                    .arg(o.size.height())
                    .arg(o.scale)
                    .toUtf8());
    }
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(config));
    // Preferences of this run only.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath(QStringLiteral("config"))));
}

// Until the engine is idle with nothing queued, and the trips are named.
bool waitUntilIndexed(LibraryStore& store) {
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        if (store.isOffline()) return false;
        if (store.hasLoaded() && store.status() == EngineStatus::idle() && !store.engine()->isRunning()) {
            store.engine()->waitForTripNaming(std::chrono::minutes(10));
            QCoreApplication::processEvents();
            if (store.status() == EngineStatus::idle() && !store.engine()->isRunning()) return true;
        }
    }
}

// The route a text names; "first" stands for the first trip, person or album
// as their overview orders them.
std::optional<Route> resolveRoute(const std::string& text, LibraryStore& store) {
    const auto firstOf = [&](const std::string& kind) -> std::optional<Route> {
        if (kind == "trip") {
            const auto trips = store.visibleTrips();
            if (!trips.empty()) return Route::trip(trips.front().id);
        } else if (kind == "person") {
            const auto persons = store.visiblePersons();
            if (!persons.empty()) return Route::person(persons.front().id);
        } else if (kind == "album") {
            if (!store.albums().empty()) return Route::album(store.albums().front().id);
        }
        return std::nullopt;
    };
    for (const char* kind : {"trip", "person", "album"})
        if (text == std::string(kind) + "(first)") return firstOf(kind);
    return Route::parse(text);
}

// Drilled-down routes are reached the way a person reaches them: from their overview.
void go(AppModel& model, const Route& route) {
    switch (route.kind()) {
        case Route::Kind::trip: model.navigate(Route::trips()); return model.push(route);
        case Route::Kind::person: model.navigate(Route::people()); return model.push(route);
        case Route::Kind::place: model.navigate(Route::places()); return model.push(route);
        default: return model.navigate(route);
    }
}

bool runHooks(UiStage stage, probe::UiSession& session, std::string& error) {
    for (const auto& [name, value] : session.options.extra) {
        const probe::UiOption* option = probe::UiOption::all().at(name);
        if (option->stage != stage) continue;
        error = option->hook(session, value);
        if (!error.empty()) return false;
    }
    return true;
}

void waitExposed(QWidget& window) {
    QElapsedTimer t;
    t.start();
    while ((!window.windowHandle() || !window.windowHandle()->isExposed()) && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

int ui(const probe::Args& args) {
    std::string error;
    const std::optional<UiOptions> parsed = parse(args, error);
    if (!parsed) return probe::fail(error + "; usage: vintrelle-probe ui " + usage());
    const UiOptions& o = *parsed;
    std::error_code ec;
    if (!o.welcome && !std::filesystem::is_directory(o.dir, ec)) return probe::fail("not a folder: " + o.dir);

    QTemporaryDir tmp;
    if (!tmp.isValid()) return probe::fail("no temporary folder");
    prepareScreen(o, tmp);
    int argc = 1;
    char name[] = "vintrelle-probe";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    VintrelleApp::prepare(app);
    MediaProcessor::initialize();

    AppModel& model = AppModel::shared();
    model.setAppearance(o.appearance);
    model.setFacesEnabled(o.faces);
    std::unique_ptr<MainWindow> window = VintrelleApp::makeWindow(model);
    window->setGeometry(QRect(QPoint(0, 0), o.size));
    probe::Json out;
    probe::UiSession session{o, model, *window, out, [&](int msecs) { return window->root().settle(msecs); },
                             window.get()};
    const auto finish = [&](int code) {
        model.closeStore();
        model.stopFileWork();
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return code;
    };
    if (!runHooks(UiStage::beforeOpen, session, error)) return finish(probe::fail(error));

    if (!o.welcome) {
        model.addLibrary(o.dir);
        if (!model.store()) return finish(probe::fail(model.errorMessage().value_or("the library did not open")));
        if (!waitUntilIndexed(*model.store())) return finish(probe::fail("the library folder is offline"));
    }
    window->show();
    waitExposed(*window);
    if (!runHooks(UiStage::afterOpen, session, error)) return finish(probe::fail(error));

    QElapsedTimer timer;
    timer.start();
    if (!o.welcome) {
        const std::optional<Route> route = resolveRoute(o.route, *model.store());
        if (!route) return finish(probe::fail("no route " + o.route));
        go(model, *route);
    }
    if (!runHooks(UiStage::afterRoute, session, error)) return finish(probe::fail(error));
    const bool settled = window->root().settle(kSettleMs);
    window->repaint();
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    if (!runHooks(UiStage::beforeGrab, session, error)) return finish(probe::fail(error));

    const QPixmap picture = session.picture->grab();
    if (!o.out.empty() && !picture.save(QString::fromStdString(o.out), "PNG"))
        return finish(probe::fail("cannot write " + o.out));
    if (o.welcome) {
        out["route"] = "welcome";
        out["title"] = WelcomeView::headline().toStdString();
        out["subtitle"] = "";
        out["items"] = 0;
    } else {
        out["route"] = model.route().text();
        out["title"] = routeTitleText(model).toStdString();
        out["subtitle"] = routeSubtitle(model, *model.store()).toStdString();
        out["items"] = routeItemCount(model, *model.store());
    }
    out["png"] = o.out;
    out["w"] = picture.width();
    out["h"] = picture.height();
    out["ms"] = ms;
    probe::Json line;  // the base fields first, then whatever the hooks added
    for (const char* key : {"route", "title", "subtitle", "items", "png", "w", "h", "ms"}) line[key] = out[key];
    for (const auto& [key, value] : out.items())
        if (!line.contains(key)) line[key] = value;
    if (!settled) line["settled"] = false;
    probe::emit(line);
    return finish(0);
}

probe::Register reg("ui",
                    "DIR|--welcome [--route ROUTE] [--size WxH] [--appearance light|dark] [--scale 1|2] "
                    "[--out FILE.png] [--faces on|off]",
                    ui);

}  // namespace
