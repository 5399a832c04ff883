#pragma once
// Plays one video asset in the viewer: it starts at once, shows the asset's
// thumbnail until the first frame and plays on from that frame (and keeps the
// thumbnail when the file cannot be played, rather than a black pane), and
// floats its controls over the picture, hiding them while the video plays
// and the pointer rests.
//
// The space bar reaches it through the application state's toggle token:
// each change of the token toggles once (playing or waiting to play: pause;
// paused: resume; ended: from the start); the token standing when the
// player is made asks for nothing. The sound stops the moment the viewer
// leaves the asset or closes, even while the viewer still fades out.

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>

#include "Core/Index/Models.h"
#include "Store/ThumbnailCache.h"

class QAudioOutput;
class QMediaPlayer;

namespace vintrelle {

class AppModel;
class MoviePlayback;
class VideoCanvas;
class VideoControls;

class VideoPlayerView final : public QWidget {
    Q_OBJECT
public:
    static constexpr int controlsHideMs = 2500;

    // file: the video's absolute path (bytes as on disk).
    VideoPlayerView(AppModel& model, const std::string& file, const Asset& asset, QWidget* parent = nullptr);
    ~VideoPlayerView() override;

    int64_t assetID() const { return asset_.id; }
    QMediaPlayer* player() const;
    QAudioOutput* audio() const;
    MoviePlayback* playback() const { return playback_; }
    VideoCanvas* canvas() const { return canvas_; }
    VideoControls* controls() const { return controls_; }
    // The token last acted on.
    int64_t token() const { return token_; }
    // The file could not be played; the thumbnail stays.
    bool failed() const;
    // Playing as far as the user is concerned (the controls show pause).
    bool playing() const;
    // Played to its end, or to where it stopped making progress.
    bool ended() const;
    bool hasFrame() const;
    // What the space bar does.
    void toggle();

signals:
    // The first frame of the video is on screen.
    void firstFrame();

protected:
    void resizeEvent(QResizeEvent*) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void loadThumbnail();
    void stopIfLeft();
    void showControls();
    void hideControlsIfIdle();

    AppModel& model_;
    Asset asset_;
    VideoCanvas* canvas_;
    VideoControls* controls_;
    MoviePlayback* playback_;
    int64_t token_;
    QTimer hideTimer_;
    std::optional<ThumbnailCache::Operation> thumbLoad_;
};

}  // namespace vintrelle
