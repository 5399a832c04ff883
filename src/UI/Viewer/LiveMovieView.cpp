#include "UI/Viewer/LiveMovieView.h"

#include <QAudioOutput>
#include <QMediaPlayer>

#include "App/AppModel.h"
#include "UI/Viewer/VideoFrames.h"

namespace vintrelle {

LiveMovieView::LiveMovieView(const std::string& file, std::function<void()> onFinish, QWidget* parent)
    : QWidget(parent),
      canvas_(new VideoCanvas(this)),
      player_(new QMediaPlayer(this)),
      audio_(new QAudioOutput(this)),
      onFinish_(std::move(onFinish)) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    canvas_->setAttribute(Qt::WA_TransparentForMouseEvents);
    player_->setAudioOutput(audio_);
    player_->setVideoSink(canvas_->sink());
    connect(player_, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus status) {
        if (status == QMediaPlayer::EndOfMedia || status == QMediaPlayer::InvalidMedia) finish();
    });
    // A movie that cannot play never reaches its end: its failure ends it.
    connect(player_, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error error) {
        if (error != QMediaPlayer::NoError) finish();
    });
    player_->setSource(fileUrl(file));
    player_->play();
}

LiveMovieView::~LiveMovieView() {
    finished_ = true;  // nothing is reported from here on
    player_->disconnect(this);
    delete player_;
}

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
