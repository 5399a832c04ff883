// vintrelle-probe ui DIR ... --viewer N [--info]
//
// --viewer N opens the viewer on the Nth asset of the route's grid and waits
// until it is drawn: a photo's full image, a video's first frame (its
// thumbnail stays if the file cannot be played). --info opens the details
// column beside it and waits for its place name, map and faces. Adds
//   {"viewer_asset","viewer_path","viewer_kind","viewer_ms","viewer_ready"}
// and with --info
//   {"details_facts","details_camera","details_people","details_place","details_trip","details_folder"}
// after the base fields.

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>

#include <string>

#include "App/AppModel.h"
#include "UI/Viewer/DetailsPanel.h"
#include "UI/Viewer/VideoPlayerView.h"
#include "UI/Viewer/ViewerPhoto.h"
#include "UI/Viewer/ViewerView.h"
#include "UI/Window/MainWindow.h"
#include "UI/Window/RootView.h"
#include "UiProbe.h"
#include "VintrelleApp.h"

namespace {

using namespace vintrelle;

constexpr int kWaitMs = 30000;

template <class Done>
bool spin(Done done, int ms) {
    return VintrelleApp::waitFor(ms, done);
}

const char* kindName(const Asset& a) {
    if (a.kind == MediaKind::video) return "video";
    return a.liveVideo ? "live" : "photo";
}

std::string text(const QString& s) { return s.toStdString(); }

// The viewer's content is on screen: a photo's full image, or a video's
// first frame (or its thumbnail kept over a file that cannot play).
bool drawn(ViewerView& viewer) {
    const std::optional<Asset>& shown = viewer.shownAsset();
    if (!shown) return false;
    if (shown->kind == MediaKind::video) {
        auto* player = qobject_cast<VideoPlayerView*>(viewer.videoPlayer());
        return player && (player->hasFrame() || player->failed());
    }
    return viewer.photoPane()->stage() == ViewerPhoto::Stage::full;
}

probe::UiOption info("--info", "", probe::UiStage::afterOpen, [](probe::UiSession& s, const std::string&) -> std::string {
    s.model.setShowInfo(true);
    return {};
});

probe::UiOption viewerOption(
    "--viewer", "N", probe::UiStage::afterRoute, [](probe::UiSession& s, const std::string& value) -> std::string {
        char* end = nullptr;
        const long index = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || index < 0) return "bad --viewer " + value;
        const auto flat = s.model.gridContent()->flat;
        if (size_t(index) >= flat->size())
            return "no asset " + value + " among " + std::to_string(flat->size()) + " of the route";
        auto* viewer = qobject_cast<ViewerView*>(s.window.root().viewer());
        if (!viewer) return "the window has no viewer";

        QElapsedTimer timer;
        timer.start();
        s.model.open((*flat)[size_t(index)], flat);
        const bool ready = spin([&] { return drawn(*viewer); }, kWaitMs);
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        auto* panel = viewer->findChild<DetailsPanel*>();
        const bool withInfo = s.options.extra.count("--info") && panel;
        if (withInfo) spin([&] { return panel->asset() && panel->isSettled(); }, kWaitMs);
        // The fade-in and the details column's slide.
        spin([] { return false; }, std::max(ViewerView::openMs, ViewerView::detailsMs) + 60);

        const Asset& a = *viewer->shownAsset();
        s.out["viewer_asset"] = a.id;
        s.out["viewer_path"] = a.path;
        s.out["viewer_kind"] = kindName(a);
        s.out["viewer_ms"] = ms;
        s.out["viewer_ready"] = ready;
        if (withInfo) {
            s.out["details_facts"] = text(panel->factsText());
            s.out["details_camera"] = text(panel->cameraLines().join(QStringLiteral(" | ")));
            std::string people;
            for (QAbstractButton* b : panel->personButtons()) people += (people.empty() ? "" : ", ") + text(b->text());
            s.out["details_people"] = people;
            s.out["details_place"] = panel->showsPlace() ? text(panel->placeText()) : "";
            s.out["details_trip"] = text(panel->tripTitle());
            s.out["details_folder"] = text(panel->folderLine());
        }
        return {};
    });

}  // namespace
