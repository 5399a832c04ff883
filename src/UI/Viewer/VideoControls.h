#pragma once
// The video player's floating control bar: play/pause, the elapsed time, a
// position bar to click or drag, the duration, mute and full screen; white
// on translucent black over any picture, in either appearance. It only shows
// state and reports what the user asks for; the player acts.

#include <QWidget>

#include <cstdint>

namespace vintrelle {

class BarButton;

class VideoControls final : public QWidget {
    Q_OBJECT
public:
    static constexpr int barHeight = 44;
    static constexpr int bottomMargin = 18;
    static constexpr int maxWidth = 560;

    explicit VideoControls(QWidget* parent = nullptr);

    void setPlaying(bool playing);
    // Milliseconds.
    void setPosition(int64_t ms);
    void setDuration(int64_t ms);
    void setMuted(bool muted);
    void setFullScreen(bool fullScreen);
    // Places the bar at the bottom centre of a parent of that size.
    void placeIn(QSize parent);

    int64_t position() const { return position_; }
    int64_t duration() const { return duration_; }
    QString elapsedText() const;
    QString durationText() const;
    BarButton* playButton() const { return play_; }
    BarButton* muteButton() const { return mute_; }
    BarButton* fullScreenButton() const { return fullScreen_; }
    QWidget* scrubber() const;
    // While the user drags the position (the bar then stays shown).
    bool isScrubbing() const;

signals:
    void playPauseClicked();
    void seekRequested(int64_t ms);
    void muteClicked();
    void fullScreenClicked();

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;

private:
    class Scrubber;
    class TimeText;
    void layoutParts();

    BarButton* play_;
    TimeText* elapsed_;
    Scrubber* scrubber_;
    TimeText* total_;
    BarButton* mute_;
    BarButton* fullScreen_;
    int64_t position_ = 0;
    int64_t duration_ = 0;
};

}  // namespace vintrelle
