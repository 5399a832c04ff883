#include "UI/Viewer/LiveMovieView.h"

#include "UI/Viewer/MoviePlayback.h"
#include "UI/Viewer/VideoFrames.h"

namespace vintrelle {

LiveMovieView::LiveMovieView(const std::string& file, std::function<void()> onFinish, QWidget* parent)
    : QWidget(parent),
      canvas_(new VideoCanvas(this)),
      playback_(new MoviePlayback(canvas_, this)),
      onFinish_(std::move(onFinish)) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    canvas_->setAttribute(Qt::WA_TransparentForMouseEvents);
    // A movie that cannot play, or stops making progress, never reaches its
    // end: its failure or stall ends it, so the still always comes back.
    connect(playback_, &MoviePlayback::endedChanged, this, [this] {
        if (playback_->ended()) finish();
    });
    connect(playback_, &MoviePlayback::failedChanged, this, &LiveMovieView::finish);
    playback_->open(file);
}

LiveMovieView::~LiveMovieView() {
    finished_ = true;  // nothing is reported from here on
    delete playback_;  // the pipeline goes before the canvas it feeds
}

QMediaPlayer* LiveMovieView::player() const { return playback_->player(); }

bool LiveMovieView::hasFrame() const { return canvas_->hasFrame(); }

void LiveMovieView::finish() {
    if (finished_) return;
    finished_ = true;
    // Reported from the event loop: the owner may delete this view in
    // onFinish, which must not happen inside the player's own signal.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (onFinish_) onFinish_();
        },
        Qt::QueuedConnection);
}

void LiveMovieView::resizeEvent(QResizeEvent*) { canvas_->setGeometry(rect()); }

}  // namespace vintrelle
