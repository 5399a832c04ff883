#pragma once
// The full-window viewer. It lies over its parent (the main window's
// content) and shows itself, fading in, while the application state has a
// viewer state, and fades out when that is cleared. From top to bottom: the
// top bar, the media (the photo pane, or a video player) with previous and
// next arrows that appear while the pointer is over it, and the filmstrip;
// with details on, a 1-pixel rule and the details panel slide in at the
// right. With details off the media column is a black stage in the dark
// appearance whatever the application's.
//
// What it shows is the store's current record of the asset at the viewer's
// index (the list's copy once the store no longer has it). It changes the
// application state only by stepping.

#include <QPointer>
#include <QVariantAnimation>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "App/ViewerState.h"
#include "Core/Index/Models.h"
#include "UI/Viewer/ViewerPhoto.h"
#include "UI/Viewer/ViewerTopBar.h"

class QGraphicsOpacityEffect;

namespace vintrelle {

class AppModel;
class Filmstrip;
class FullImageCache;
class LibraryStore;

class ViewerView : public QWidget {
    Q_OBJECT
public:
    static constexpr int detailsWidth = 308;
    static constexpr int openMs = 180, closeMs = 160, detailsMs = 200, arrowFadeMs = 180;

    // A player for a video asset (file: its absolute path, bytes as on
    // disk); it lives until the viewer shows another asset or closes, and
    // reads the play/pause token from the model itself.
    using VideoPlayerFactory = std::function<QWidget*(const std::string& file, const Asset& asset, QWidget* parent)>;

    ViewerView(AppModel& model, FullImageCache& fullImages, QWidget* parent = nullptr);
    ~ViewerView() override;

    // The assets to prefetch around the current one: the next, then the
    // previous, each only when inside the list.
    static std::vector<Asset> neighbours(const ViewerState& state);

    // Slots for the players and the details panel.
    void setVideoPlayerFactory(VideoPlayerFactory factory);
    void setLiveMovieFactory(ViewerPhoto::LiveMovieFactory factory);
    // The details panel goes in here (308 pixels wide, full height); it
    // follows shownAssetChanged.
    QWidget* detailsContainer() const { return details_; }
    void setAssetActions(ViewerAssetActions actions);

    AppModel& model() const { return model_; }
    // The asset on screen, if any.
    const std::optional<Asset>& shownAsset() const { return shown_; }
    ViewerTopBar* topBar() const { return topBar_; }
    ViewerPhoto* photoPane() const { return photo_; }
    // The player of the shown video, while there is one.
    QWidget* videoPlayer() const { return video_; }
    Filmstrip* filmstrip() const { return filmstrip_; }
    QWidget* previousArrow() const;
    QWidget* nextArrow() const;
    // The arrows' opacity while hovering (1) or not (0), animated between.
    double arrowOpacity() const { return arrowOpacity_; }
    // Whether the details column is (or is sliding) open.
    bool detailsShown() const;
    int detailsColumnWidth() const;

signals:
    void shownAssetChanged();
    // The full image of the shown photo is on screen (diagnostics, benchmarks).
    void fullImageShown(int64_t assetID);

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    class Arrow;
    class MediaColumn;
    class MediaArea;

    void sync();
    void connectStore();
    void openOrClose();
    void applyDetails(bool animated);
    void setArrowHover(bool hovering);
    void layoutArrows();
    void fade(double to, int ms, std::function<void()> done);

    AppModel& model_;
    FullImageCache& fullImages_;
    std::optional<Asset> shown_;
    std::shared_ptr<LibraryStore> store_;
    std::vector<QMetaObject::Connection> storeConnections_;

    MediaColumn* column_;
    ViewerTopBar* topBar_;
    MediaArea* media_;
    ViewerPhoto* photo_;
    Filmstrip* filmstrip_;
    Arrow* previous_;
    Arrow* next_;
    QWidget* infoColumn_;
    QWidget* details_;

    VideoPlayerFactory videoFactory_;
    QPointer<QWidget> video_;
    int64_t videoID_ = -1;

    double arrowOpacity_ = 0;
    QVariantAnimation arrowFade_;
    QVariantAnimation detailsSlide_;
    QVariantAnimation opacity_;
    QGraphicsOpacityEffect* effect_ = nullptr;
    bool closing_ = false;
};

}  // namespace vintrelle
