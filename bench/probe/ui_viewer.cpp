// vintrelle-probe ui options for the viewer:
//   --viewer N  opens the viewer on the Nth asset of the route's list and
//               pictures it once the full image is on screen; adds "full_ms",
//               the time from opening to the full image shown (-1: it never came)
//               a video is pictured on its first frame, held there (or
//               its thumbnail kept over a file that cannot play), and adds
//               "first_frame_ms" (-1: it never came)
//   --info      opens the details column beside the viewer and waits for its
//               place name, map and faces; with --viewer adds "details_facts",
//               "details_camera", "details_people", "details_place",
//               "details_trip", "details_folder"
//   --zoom M    then zooms the photo M-fold about its centre

#include <QAbstractButton>
#include <QElapsedTimer>

#include "App/AppModel.h"
#include "UI/Viewer/DetailsPanel.h"
#include "UI/Viewer/VideoPlayerView.h"
#include "UI/Viewer/ViewerPhoto.h"
#include "UI/Viewer/ViewerView.h"
#include "UI/Viewer/ZoomableImage.h"
#include "UI/Window/MainWindow.h"
#include "UI/Window/RootView.h"
#include "UiProbe.h"
#include "VintrelleApp.h"

namespace {

using namespace vintrelle;

ViewerView* viewerOf(probe::UiSession& s) { return qobject_cast<ViewerView*>(s.window.root().viewer()); }

// A video's first frame, or the thumbnail kept over a file that cannot play:
// the milliseconds from `timer`'s start to it, or -1.
qint64 waitForFirstFrame(ViewerView& view, const QElapsedTimer& timer) {
    qint64 ms = -1;
    VintrelleApp::waitFor(30000, [&] {
        auto* player = qobject_cast<VideoPlayerView*>(view.videoPlayer());
        if (player && player->hasFrame()) ms = timer.elapsed();
        return ms >= 0 || (player && player->failed());
    });
    return ms;
}

void addDetails(probe::UiSession& s, ViewerView& view) {
    auto* panel = view.findChild<DetailsPanel*>();
    if (!panel) return;
    VintrelleApp::waitFor(30000, [&] { return panel->asset() && panel->isSettled(); });
    VintrelleApp::waitFor(ViewerView::detailsMs + 60, [] { return false; });  // the column's slide
    const auto text = [](const QString& t) { return t.toStdString(); };
    s.out["details_facts"] = text(panel->factsText());
    s.out["details_camera"] = text(panel->cameraLines().join(QStringLiteral(" | ")));
    std::string people;
    for (QAbstractButton* b : panel->personButtons()) people += (people.empty() ? "" : ", ") + text(b->text());
    s.out["details_people"] = people;
    s.out["details_place"] = panel->showsPlace() ? text(panel->placeText()) : "";
    s.out["details_trip"] = text(panel->tripTitle());
    s.out["details_folder"] = text(panel->folderLine());
}

probe::UiOption info("--info", "", probe::UiStage::afterOpen, [](probe::UiSession& s, const std::string&) -> std::string {
    s.model.setShowInfo(true);
    return {};
});

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
                           // The picture is of the first frame: the video holds there.
                           if (auto* player = qobject_cast<VideoPlayerView*>(view->videoPlayer()))
                               QObject::connect(player, &VideoPlayerView::firstFrame, player, &VideoPlayerView::toggle);
                           // A video has no full image (its full_ms stays -1): its first frame instead.
                           qint64 firstFrameMs = -1;
                           if (asset.kind != MediaKind::video) VintrelleApp::waitFor(60000, [&] { return fullMs >= 0; });
                           else firstFrameMs = waitForFirstFrame(*view, timer);
                           QObject::disconnect(shown);
                           VintrelleApp::waitFor(5000, [&] { return view->photoPane()->zoom()->hasFittedCopy() || (asset.kind == MediaKind::video); });
                           VintrelleApp::waitFor(ViewerView::openMs + 60, [] { return false; });  // the fade-in
                           s.settle(10000);
                           s.out["asset"] = asset.id;
                           s.out["file"] = asset.path;
                           s.out["full_ms"] = fullMs;
                           if (asset.kind == MediaKind::video) s.out["first_frame_ms"] = firstFrameMs;
                           if (s.options.extra.count("--info")) addDetails(s, *view);
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
