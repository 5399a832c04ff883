#pragma once
// The viewer's photo pane: shows something at once and better pictures as
// they come. The first frame after a step never waits for the disk: the full
// image when the cache holds it, else the thumbnail held in memory, else
// nothing (never the previous photo). Then the thumbnail file, then the full
// image; a result for a photo the user has left is never shown. Once the full
// image is there, the neighbours are decoded ahead, next first, one at a
// time, skipping videos, and only while the user stays.
//
// A live photo gets a "LIVE" control in its top-left corner that plays the
// paired movie over the still through the player installed with
// setLiveMovieFactory (without one the control is not shown).

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/Index/LibraryPaths.h"
#include "Core/Index/Models.h"
#include "Store/FullImageCache.h"
#include "Store/ThumbnailCache.h"

class QAbstractButton;

namespace vintrelle {

class ZoomableImage;

class ViewerPhoto : public QWidget {
    Q_OBJECT
public:
    enum class Stage { none, thumbnail, full };

    // movieFile: the paired movie's absolute path (bytes as on disk);
    // onFinish: to be called once when it has played to its end. The widget
    // lies over the photo and lets the mouse through.
    using LiveMovieFactory =
        std::function<QWidget*(const std::string& movieFile, std::function<void()> onFinish, QWidget* parent)>;

    ViewerPhoto(FullImageCache& fullImages, QWidget* parent = nullptr);
    ~ViewerPhoto() override;

    // Shows a photo of the library at `paths`, prefetching `neighbours` in
    // order. The same photo in the same file version keeps its pictures and
    // its loading; anything else starts over.
    void setPhoto(const LibraryPaths& paths, std::shared_ptr<ThumbnailCache> thumbs, const Asset& asset,
              std::vector<Asset> neighbours);
    // Stops loading and prefetching and shows nothing.
    void clear();

    int64_t shownID() const { return shown_ ? shown_->id : -1; }
    Stage stage() const { return stage_; }
    QImage image() const { return image_; }
    ZoomableImage* zoom() const { return zoom_; }
    // Whether a decode of the photo or a neighbour is being waited for.
    bool isLoading() const { return fullTicket_ != 0 || prefetchTicket_ != 0; }

    void setLiveMovieFactory(LiveMovieFactory factory);
    bool playingLive() const { return playingLive_; }
    QWidget* liveMovie() const { return liveMovie_; }
    void setPlayingLive(bool on);
    QAbstractButton* liveControl() const;

signals:
    // A better picture of the shown photo is on screen.
    void stageChanged(Stage stage);

protected:
    void resizeEvent(QResizeEvent*) override;

private:
    void cancelLoads();
    void setPicture(const QImage& image, Stage stage);
    void prefetchNext();
    std::string fileOf(const Asset& asset) const { return paths_.root + "/" + asset.path; }
    void updateLiveControl();

    FullImageCache& fullImages_;
    LibraryPaths paths_;
    std::shared_ptr<ThumbnailCache> thumbs_;
    std::optional<Asset> shown_;
    std::vector<Asset> neighbours_;
    size_t nextNeighbour_ = 0;

    QImage image_;
    Stage stage_ = Stage::none;
    std::optional<ThumbnailCache::Operation> thumbLoad_;
    FullImageCache::Ticket fullTicket_ = 0;
    FullImageCache::Ticket prefetchTicket_ = 0;

    ZoomableImage* zoom_;
    class LiveControl;
    LiveControl* live_;
    LiveMovieFactory liveFactory_;
    QWidget* liveMovie_ = nullptr;
    bool playingLive_ = false;
    int liveGeneration_ = 0;      // the movie playing; a stopped one's end is not ours
    bool finishingLive_ = false;  // inside the movie's end report
};

}  // namespace vintrelle
