#pragma once
// Drives one QMediaPlayer for a view that paints its frames in a VideoCanvas,
// so that both players of the viewer start, pause and end alike.
//
// A movie opens paused: the pipeline prerolls its first frame, the canvas
// puts it on screen, and only then does the clock start. So frame 0 is the
// first picture and the opening frames are not dropped to catch up with a
// clock that ran while the first frame was being converted.
//
// GStreamer loses a pause-and-play pair that reaches the pipeline while it
// is still on its way from prerolled to playing: the pending move to
// playing is dropped and the later play is swallowed, leaving the movie
// paused for good while the player reports playing. A pause asked for
// before the movie is seen to run (its position moving forward twice) is
// therefore held back until it runs.
//
// A movie that shows no new frame and no new position for stallMs while it
// should play never plays on by itself (a file whose media data is missing,
// one cut short): it ends there when it has shown something, and fails when
// it never has. Until the file is open (its first frame decoded, or known to
// be missing) the allowance is openingMs: a large clip on a slow or busy
// machine may take seconds to open and is not broken for that.

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <string>

class QAudioOutput;
class QMediaPlayer;
class QVideoFrame;

namespace vintrelle {

class VideoCanvas;

class MoviePlayback final : public QObject {
    Q_OBJECT
public:
    static constexpr int stallMs = 2000;
    static constexpr int openingMs = 15000;

    MoviePlayback(VideoCanvas* canvas, QObject* parent = nullptr);
    ~MoviePlayback() override;

    // Starts the movie: it plays once its first frame is on screen.
    void open(const std::string& file);

    // What the user asked for: playing (also while opening or held back).
    bool wantsPlay() const { return wantsPlay_; }
    bool ended() const { return ended_; }
    bool failed() const { return failed_; }
    // The clock has been seen to run since the last start or seek.
    bool running() const { return running_; }

    // Playing: pause; paused: resume; ended: from the start. Nothing once failed.
    void toggle();
    void play();
    void pause();
    void seek(int64_t ms);
    // Silent (or audible again) at once: a pause lets queued sound play out.
    void setSilenced(bool silenced);

    QMediaPlayer* player() const { return player_; }
    QAudioOutput* audio() const { return audio_; }

signals:
    void firstFrame();
    // wantsPlay() changed.
    void playingChanged(bool playing);
    // Milliseconds; at the end, where the movie actually stopped.
    void positionChanged(int64_t ms);
    void endedChanged();
    void failedChanged();

private:
    void startClock();
    void progressed();
    void positionReported(qint64 ms);
    void frameReported(const QVideoFrame& frame);
    void shownFirstFrame();
    void stalled();
    void reachEnd();
    void fail();
    void setWantsPlay(bool on);
    void watch();

    VideoCanvas* canvas_;
    QMediaPlayer* player_;
    QAudioOutput* audio_;
    QTimer stall_;
    bool wantsPlay_ = true;
    bool loaded_ = false;      // the pipeline has prerolled (with or without a frame)
    bool opened_ = false;      // the first frame is on screen
    bool started_ = false;     // the clock was asked to run at least once
    bool running_ = false;     // ... and has been seen running since
    bool pauseHeld_ = false;   // a pause waits for the clock to run
    bool playedSomething_ = false;  // a frame shown or the position moved
    bool ended_ = false;
    bool failed_ = false;
    int64_t lastPosition_ = -1;  // since the last start or seek
    int forwardSteps_ = 0;       // position reports that moved forward since then
    int64_t lastFrameTime_ = -2;
};

}  // namespace vintrelle
