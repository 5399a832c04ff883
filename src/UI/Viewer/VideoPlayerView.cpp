#include "UI/Viewer/VideoPlayerView.h"

#include <QAudioOutput>
#include <QEvent>
#include <QMediaPlayer>

#include "App/AppModel.h"
#include "Store/LibraryStore.h"
#include "UI/Viewer/VideoControls.h"
#include "UI/Viewer/VideoFrames.h"

namespace vintrelle {

VideoPlayerView::VideoPlayerView(AppModel& model, const std::string& file, const Asset& asset, QWidget* parent)
    : QWidget(parent),
      model_(model),
      asset_(asset),
      canvas_(new VideoCanvas(this)),
      controls_(new VideoControls(this)),
      player_(new QMediaPlayer(this)),
      audio_(new QAudioOutput(this)),
      token_(model.videoToggleToken()) {
    setMouseTracking(true);
    canvas_->setMouseTracking(true);
    canvas_->installEventFilter(this);
    player_->setAudioOutput(audio_);
    player_->setVideoSink(canvas_->sink());

    connect(canvas_, &VideoCanvas::firstFrame, this, &VideoPlayerView::firstFrame);
    connect(player_, &QMediaPlayer::playbackStateChanged, this, [this](QMediaPlayer::PlaybackState state) {
        controls_->setPlaying(state == QMediaPlayer::PlayingState);
        if (state == QMediaPlayer::PlayingState) hideTimer_.start();
        else if (!failed_) showControls();
    });
    connect(player_, &QMediaPlayer::positionChanged, controls_, &VideoControls::setPosition);
    connect(player_, &QMediaPlayer::durationChanged, controls_, [this](qint64 ms) {
        if (ms > 0) controls_->setDuration(ms);
    });
    connect(player_, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error error) {
        if (error != QMediaPlayer::NoError) fail();
    });
    connect(player_, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus status) {
        if (status == QMediaPlayer::InvalidMedia) fail();
        if (status == QMediaPlayer::EndOfMedia) controls_->setPosition(controls_->duration());
    });
    connect(audio_, &QAudioOutput::mutedChanged, controls_, &VideoControls::setMuted);

    connect(controls_, &VideoControls::playPauseClicked, this, &VideoPlayerView::toggle);
    connect(controls_, &VideoControls::seekRequested, player_, [this](int64_t ms) { player_->setPosition(ms); });
    connect(controls_, &VideoControls::muteClicked, audio_, [this] { audio_->setMuted(!audio_->isMuted()); });
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
    loadThumbnail();
    player_->setSource(fileUrl(file));
    player_->play();
}

VideoPlayerView::~VideoPlayerView() {
    if (thumbLoad_) thumbLoad_->cancel();
    // The pipeline goes before the sink and the output it feeds.
    player_->disconnect(this);
    delete player_;
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

bool VideoPlayerView::ended() const {
    if (player_->mediaStatus() == QMediaPlayer::EndOfMedia) return true;
    return player_->duration() > 0 && player_->position() >= player_->duration();
}

void VideoPlayerView::toggle() {
    if (failed_) return;
    if (player_->playbackState() == QMediaPlayer::PlayingState) {
        player_->pause();
        return;
    }
    if (ended()) player_->setPosition(0);
    player_->play();
}

void VideoPlayerView::stopIfLeft() {
    const std::optional<ViewerState>& viewer = model_.viewer();
    const bool shown = viewer && viewer->indexInList() && viewer->current()->id == asset_.id;
    if (shown) {
        audio_->setVolume(1);
        return;
    }
    // Silence first: a pause lets the sound already queued play out.
    audio_->setVolume(0);
    player_->pause();
}

void VideoPlayerView::fail() {
    if (failed_) return;
    failed_ = true;
    hideTimer_.stop();
    controls_->hide();
}

void VideoPlayerView::showControls() {
    if (failed_) return;
    controls_->show();
    controls_->raise();
    if (player_->playbackState() == QMediaPlayer::PlayingState) hideTimer_.start();
}

void VideoPlayerView::hideControlsIfIdle() {
    if (player_->playbackState() != QMediaPlayer::PlayingState) return;
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
