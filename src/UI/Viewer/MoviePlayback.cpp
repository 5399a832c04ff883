#include "UI/Viewer/MoviePlayback.h"

#include <QAudioOutput>
#include <QMediaPlayer>
#include <QVideoFrame>
#include <QVideoSink>

#include "App/AppModel.h"
#include "UI/Viewer/VideoFrames.h"

namespace vintrelle {

MoviePlayback::MoviePlayback(VideoCanvas* canvas, QObject* parent)
    : QObject(parent), canvas_(canvas), player_(new QMediaPlayer(this)), audio_(new QAudioOutput(this)) {
    player_->setAudioOutput(audio_);
    player_->setVideoSink(canvas_->sink());
    stall_.setSingleShot(true);
    connect(&stall_, &QTimer::timeout, this, &MoviePlayback::stalled);
    connect(canvas_, &VideoCanvas::firstFrame, this, &MoviePlayback::shownFirstFrame);
    connect(canvas_->sink(), &QVideoSink::videoFrameChanged, this, &MoviePlayback::frameReported);
    connect(player_, &QMediaPlayer::positionChanged, this, &MoviePlayback::positionReported);
    connect(player_, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error error) {
        if (error != QMediaPlayer::NoError) fail();
    });
    connect(player_, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus status) {
        if (status == QMediaPlayer::InvalidMedia) fail();
        else if (status == QMediaPlayer::EndOfMedia) reachEnd();
        else if (!loaded_ && (status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia)) {
            loaded_ = true;
            if (stall_.isActive()) watch();  // from the opening allowance to the stall one
        }
    });
}

MoviePlayback::~MoviePlayback() {
    // The pipeline goes before the sink and the output it feeds.
    player_->disconnect(this);
    delete player_;
}

void MoviePlayback::open(const std::string& file) {
    player_->setSource(fileUrl(file));
    player_->pause();  // prerolls the first frame; the clock waits for it
    watch();
}

void MoviePlayback::shownFirstFrame() {
    if (opened_) return;
    opened_ = true;
    playedSomething_ = true;
    // On screen before the clock starts, not merely scheduled.
    if (canvas_->isVisible()) canvas_->repaint();
    emit firstFrame();
    if (wantsPlay_ && !ended_ && !failed_) startClock();
    progressed();
}

void MoviePlayback::startClock() {
    started_ = true;
    running_ = false;
    lastPosition_ = -1;
    forwardSteps_ = 0;
    player_->play();
    watch();
}

void MoviePlayback::positionReported(qint64 ms) {
    if (ms != lastPosition_) {
        if (lastPosition_ >= 0 && ms > lastPosition_) {
            ++forwardSteps_;
            playedSomething_ = true;
        }
        lastPosition_ = ms;
        progressed();
    }
    // Twice forward: the clock runs (one step may be a seek settling).
    if (started_ && !running_ && forwardSteps_ >= 2) {
        running_ = true;
        if (pauseHeld_) {
            pauseHeld_ = false;
            player_->pause();
            watch();
        }
    }
    emit positionChanged(ms);
}

void MoviePlayback::frameReported(const QVideoFrame& frame) {
    if (!frame.isValid() || frame.startTime() == lastFrameTime_) return;
    lastFrameTime_ = frame.startTime();
    progressed();
}

void MoviePlayback::progressed() {
    if (stall_.isActive()) watch();
}

void MoviePlayback::watch() {
    if ((wantsPlay_ || pauseHeld_) && !ended_ && !failed_) stall_.start(loaded_ || opened_ ? stallMs : openingMs);
    else stall_.stop();
}

void MoviePlayback::setWantsPlay(bool on) {
    if (on != wantsPlay_) {
        wantsPlay_ = on;
        emit playingChanged(on);
    }
    watch();
}

void MoviePlayback::toggle() {
    if (failed_) return;
    if (wantsPlay_) pause();
    else play();
}

void MoviePlayback::play() {
    if (failed_ || wantsPlay_) return;
    if (ended_) seek(0);
    const bool stillRunning = pauseHeld_;  // the player never stopped
    pauseHeld_ = false;
    setWantsPlay(true);
    if (opened_ && !stillRunning) startClock();  // else it starts with its first frame
}

void MoviePlayback::pause() {
    if (failed_ || !wantsPlay_) return;
    if (opened_ && started_ && !running_) pauseHeld_ = true;
    else if (opened_) player_->pause();
    // While opening the movie simply stays on its first frame.
    setWantsPlay(false);
}

void MoviePlayback::seek(int64_t ms) {
    if (failed_) return;
    if (ended_) {
        ended_ = false;
        emit endedChanged();
    }
    player_->setPosition(ms);
    lastPosition_ = -1;
    forwardSteps_ = 0;
    // A playing movie prerolls again before it runs on.
    if (started_ && (wantsPlay_ || pauseHeld_)) running_ = false;
    watch();
}

void MoviePlayback::setSilenced(bool silenced) {
    audio_->setVolume(silenced ? 0 : 1);
    if (silenced) pause();
}

void MoviePlayback::stalled() {
    if (ended_ || failed_) return;
    if (!playedSomething_) {
        fail();
        return;
    }
    if (opened_) player_->pause();
    reachEnd();
}

void MoviePlayback::reachEnd() {
    if (ended_ || failed_) return;
    ended_ = true;
    pauseHeld_ = false;
    running_ = false;
    setWantsPlay(false);
    // Where the movie actually stopped, which for a file cut short is not its duration.
    emit positionChanged(player_->position());
    emit endedChanged();
}

void MoviePlayback::fail() {
    if (failed_) return;
    failed_ = true;
    pauseHeld_ = false;
    setWantsPlay(false);
    player_->stop();
    emit failedChanged();
}

}  // namespace vintrelle
