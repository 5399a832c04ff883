#include "UI/Viewer/VideoPlayerView.h"

#include <QAudioOutput>
#include <QEvent>
#include <QMediaPlayer>

#include "App/AppModel.h"
#include "Store/LibraryStore.h"
#include "UI/Viewer/MoviePlayback.h"
#include "UI/Viewer/VideoControls.h"
#include "UI/Viewer/VideoFrames.h"

namespace vintrelle {

VideoPlayerView::VideoPlayerView(AppModel& model, const std::string& file, const Asset& asset, QWidget* parent)
    : QWidget(parent),
      model_(model),
      asset_(asset),
      canvas_(new VideoCanvas(this)),
      controls_(new VideoControls(this)),
      playback_(new MoviePlayback(canvas_, this)),
      token_(model.videoToggleToken()) {
    setMouseTracking(true);
    canvas_->setMouseTracking(true);
    canvas_->installEventFilter(this);

    connect(playback_, &MoviePlayback::firstFrame, this, &VideoPlayerView::firstFrame);
    connect(playback_, &MoviePlayback::playingChanged, this, [this](bool playing) {
        controls_->setPlaying(playing);
        if (playing) hideTimer_.start();
        else showControls();
    });
    connect(playback_, &MoviePlayback::positionChanged, controls_, &VideoControls::setPosition);
    connect(playback_, &MoviePlayback::failedChanged, this, [this] {
        hideTimer_.stop();
        controls_->hide();
    });
    connect(player(), &QMediaPlayer::durationChanged, controls_, [this](qint64 ms) {
        if (ms > 0) controls_->setDuration(ms);
    });
    connect(audio(), &QAudioOutput::mutedChanged, controls_, &VideoControls::setMuted);

    connect(controls_, &VideoControls::playPauseClicked, this, &VideoPlayerView::toggle);
    connect(controls_, &VideoControls::seekRequested, playback_, &MoviePlayback::seek);
    connect(controls_, &VideoControls::muteClicked, audio(), [this] { audio()->setMuted(!audio()->isMuted()); });
    connect(controls_, &VideoControls::fullScreenClicked, this, [this] {
        QWidget* w = window();
        w->setWindowState(w->windowState() ^ Qt::WindowFullScreen);
    });
    controls_->setFullScreen(model_.isFullScreen());
    connect(&model_, &AppModel::isFullScreenChanged, controls_,
            [this] { controls_->setFullScreen(model_.isFullScreen()); });

    // Each raise of the token asks for one toggle; re-reading an unchanged
    // token (a relayout, the details panel opening) asks for none.
    connect(&model_, &AppModel::videoToggleTokenChanged, this, [this] {
        if (model_.videoToggleToken() == token_) return;
        token_ = model_.videoToggleToken();
        toggle();
    });
    connect(&model_, &AppModel::viewerChanged, this, &VideoPlayerView::stopIfLeft);

    hideTimer_.setSingleShot(true);
    hideTimer_.setInterval(controlsHideMs);
    connect(&hideTimer_, &QTimer::timeout, this, &VideoPlayerView::hideControlsIfIdle);

    controls_->setDuration(int64_t(asset.duration * 1000));
    controls_->setPlaying(true);
    hideTimer_.start();
    loadThumbnail();
    playback_->open(file);
}

VideoPlayerView::~VideoPlayerView() {
    if (thumbLoad_) thumbLoad_->cancel();
    delete playback_;  // the pipeline goes before the canvas it feeds
}

bool VideoPlayerView::hasFrame() const { return canvas_->hasFrame(); }

void VideoPlayerView::loadThumbnail() {
    const std::shared_ptr<LibraryStore> store = model_.store();
    if (!store || !store->thumbs()) return;
    const std::string path = store->paths().thumbURL(asset_.id);
    if (auto cached = store->thumbs()->cached(path)) {
        canvas_->setPlaceholder(*cached);
        return;
    }
    if (asset_.thumbState != 1) return;
    thumbLoad_ = store->thumbs()->load(path, [this](const QImage& image) {
        thumbLoad_.reset();
        if (!image.isNull()) canvas_->setPlaceholder(image);
    });
}

QMediaPlayer* VideoPlayerView::player() const { return playback_->player(); }
QAudioOutput* VideoPlayerView::audio() const { return playback_->audio(); }
bool VideoPlayerView::failed() const { return playback_->failed(); }
bool VideoPlayerView::playing() const { return playback_->wantsPlay(); }
bool VideoPlayerView::ended() const { return playback_->ended(); }

void VideoPlayerView::toggle() { playback_->toggle(); }

void VideoPlayerView::stopIfLeft() {
    const std::optional<ViewerState>& viewer = model_.viewer();
    playback_->setSilenced(!(viewer && viewer->indexInList() && viewer->current()->id == asset_.id));
}

void VideoPlayerView::showControls() {
    if (failed()) return;
    controls_->show();
    controls_->raise();
    if (playing()) hideTimer_.start();
}

void VideoPlayerView::hideControlsIfIdle() {
    if (!playing()) return;
    if (controls_->underMouse() || controls_->isScrubbing()) {
        hideTimer_.start();
        return;
    }
    controls_->hide();
}

void VideoPlayerView::resizeEvent(QResizeEvent*) {
    canvas_->setGeometry(rect());
    controls_->placeIn(size());
}

bool VideoPlayerView::eventFilter(QObject* watched, QEvent* e) {
    if (watched == canvas_ && (e->type() == QEvent::MouseMove || e->type() == QEvent::Enter)) showControls();
    return QWidget::eventFilter(watched, e);
}

}  // namespace vintrelle
