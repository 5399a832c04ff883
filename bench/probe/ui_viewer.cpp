// vintrelle-probe ui options for the viewer:
//   --viewer N  opens the viewer on the Nth asset of the route's list and
//               pictures it once the full image is on screen; adds "full_ms",
//               the time from opening to the full image shown (-1: it never came)
//   --zoom M    then zooms the photo M-fold about its centre

#include <QCoreApplication>
#include <QElapsedTimer>

#include "App/AppModel.h"
#include "UI/Viewer/ViewerPhoto.h"
#include "UI/Viewer/ViewerView.h"
#include "UI/Viewer/ZoomableImage.h"
#include "UI/Window/MainWindow.h"
#include "UI/Window/RootView.h"
#include "UiProbe.h"

namespace {

using namespace vintrelle;

bool spin(int msecs, const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > msecs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

ViewerView* viewerOf(probe::UiSession& s) { return qobject_cast<ViewerView*>(s.window.root().viewer()); }

probe::UiOption viewer("--viewer", "N", probe::UiStage::beforeGrab,
                       [](probe::UiSession& s, const std::string& value) -> std::string {
                           char* end = nullptr;
                           const long index = std::strtol(value.c_str(), &end, 10);
                           const auto flat = s.model.gridContent()->flat;
                           if (value.empty() || *end || index < 0 || size_t(index) >= flat->size())
                               return "no asset " + value + " among " + std::to_string(flat->size());
                           ViewerView* view = viewerOf(s);
                           if (!view) return "the window has no viewer";
                           const Asset asset = (*flat)[size_t(index)];
                           QElapsedTimer timer;
                           timer.start();
                           qint64 fullMs = -1;
                           const auto shown = QObject::connect(view, &ViewerView::fullImageShown, [&](int64_t id) {
                               if (id != asset.id) return;
                               view->photoPane()->zoom()->repaint();
                               fullMs = timer.elapsed();
                           });
                           s.model.open(asset, flat);
                           // Videos show their poster frame only; their full_ms stays -1.
                           if (asset.kind != MediaKind::video) spin(60000, [&] { return fullMs >= 0; });
                           QObject::disconnect(shown);
                           spin(5000, [&] { return view->photoPane()->zoom()->hasFittedCopy() || (asset.kind == MediaKind::video); });
                           spin(ViewerView::openMs + 60, [] { return false; });  // the fade-in
                           s.settle(10000);
                           s.out["asset"] = asset.id;
                           s.out["file"] = asset.path;
                           s.out["full_ms"] = fullMs;
                           return {};
                       });

probe::UiOption zoom("--zoom", "M", probe::UiStage::beforeGrab,
                     [](probe::UiSession& s, const std::string& value) -> std::string {
                         char* end = nullptr;
                         const double m = std::strtod(value.c_str(), &end);
                         if (value.empty() || *end || m < 1 || m > 16) return "bad --zoom " + value + " (1 to 16)";
                         ViewerView* view = viewerOf(s);
                         if (!view || !view->shownAsset()) return "--zoom needs --viewer N";
                         auto* z = view->photoPane()->zoom();
                         z->zoomTo(m, QPointF(z->width() / 2.0, z->height() / 2.0), false);
                         z->repaint();
                         s.out["magnification"] = z->magnification();
                         return {};
                     });

}  // namespace
