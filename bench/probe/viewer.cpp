// vintrelle-probe viewer DIR [--viewer N] [--zoom M] [--out FILE.png]: opens
// the library (indexing what is new), opens the viewer on the Nth asset of
// the library's grid in an offscreen window, waits for the full image, and
// grabs the window. Reports the asset, the picture shown and "full_ms", the
// time from opening to the full image on screen.

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>

#include "App/AppModel.h"
#include "Store/FullImageCache.h"
#include "UI/Kit/Theme.h"
#include "UI/Viewer/ViewerView.h"
#include "UI/Viewer/ZoomableImage.h"

#include "StoreProbe.h"

namespace {

using namespace vintrelle;

bool spin(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

int viewer(const probe::Args& given) {
    probe::Args args = given;
    const long index = std::stol(probe::takeOption(args, "--viewer", "0"));
    const double zoom = std::stod(probe::takeOption(args, "--zoom", "1"));
    const std::string out = probe::takeOption(args, "--out", "");
    if (args.size() != 1) return probe::fail("usage: vintrelle-probe viewer DIR [--viewer N] [--zoom M] [--out PNG]");

    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "vintrelle-probe";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    Theme::install(app);

    std::string error;
    auto store = probe::openStore(args[0], error);
    if (!store) return probe::fail(error);
    // The engine scans the folder after loading; wait for that pass to end
    // (a library without changes may finish before it was seen working).
    bool worked = false;
    QObject::connect(store.get(), &LibraryStore::statusChanged, [&] {
        worked = worked || store->status().kind != EngineStatus::Kind::idle;
    });
    store->start(false);
    QElapsedTimer started;
    started.start();
    auto idle = [&] { return store->status().kind == EngineStatus::Kind::idle; };
    if (!spin([&] { return store->hasLoaded() && idle() && (worked || started.elapsed() > 3000); }, 600000))
        return probe::fail("the library did not finish indexing");

    // The probe's own settings: the user's preferences are not touched.
    QTemporaryDir settingsDir;
    AppModel model(std::make_unique<QSettings>(settingsDir.filePath("probe.conf"), QSettings::IniFormat));
    model.setStore(store);
    const auto flat = model.gridContent()->flat;
    if (index < 0 || size_t(index) >= flat->size())
        return probe::fail("no asset " + std::to_string(index) + " among " + std::to_string(flat->size()));

    QWidget window;
    window.resize(1200, 800);
    ViewerView view(model, model.fullImages(), &window);
    window.show();
    QElapsedTimer timer;
    timer.start();
    qint64 fullMs = -1;
    QObject::connect(&view, &ViewerView::fullImageShown, [&](int64_t) {
        view.photoPane()->zoom()->repaint();
        fullMs = timer.elapsed();
    });
    model.open((*flat)[size_t(index)], flat);
    const bool full = spin([&] { return fullMs >= 0; }, 60000);
    spin([&] { return view.photoPane()->zoom()->hasFittedCopy(); }, 5000);
    spin([] { return false; }, ViewerView::openMs + 40);  // the fade-in
    if (zoom != 1.0) {
        auto* z = view.photoPane()->zoom();
        z->zoomTo(zoom, QPointF(z->width() / 2.0, z->height() / 2.0), false);
    }
    const QImage shown = view.photoPane()->image();
    if (!out.empty()) window.grab().save(QString::fromStdString(out));
    const Asset& a = *view.shownAsset();
    probe::emit({{"asset", a.id},
                 {"path", a.path},
                 {"width", a.width},
                 {"height", a.height},
                 {"shown_width", shown.width()},
                 {"shown_height", shown.height()},
                 {"stage", full ? "full" : "thumbnail"},
                 {"magnification", view.photoPane()->zoom()->magnification()},
                 {"full_ms", fullMs},
                 {"png", out}});
    model.closeStore();
    return full ? 0 : 1;
}

probe::Register reg("viewer", "DIR [--viewer N] [--zoom M] [--out PNG]", viewer);

}  // namespace
