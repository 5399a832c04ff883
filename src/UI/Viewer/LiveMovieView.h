#pragma once
// The movie of a live photo, played once over the still with its sound, from
// its first frame. It draws nothing until that frame, so the still never
// flashes black, then the movie fitted as the still is. `onFinish` is called
// once, on the main thread, when the movie has played to its end, when it
// cannot be played at all (a missing or broken file) or when it stops making
// progress (a file cut short), so the photo pane always gets its still back;
// never after the view is gone.

#include <QWidget>

#include <functional>
#include <string>

class QMediaPlayer;

namespace vintrelle {

class MoviePlayback;
class VideoCanvas;

class LiveMovieView final : public QWidget {
    Q_OBJECT
public:
    // file: the movie's absolute path (bytes as on disk).
    LiveMovieView(const std::string& file, std::function<void()> onFinish, QWidget* parent = nullptr);
    ~LiveMovieView() override;

    QMediaPlayer* player() const;
    MoviePlayback* playback() const { return playback_; }
    VideoCanvas* canvas() const { return canvas_; }
    bool hasFrame() const;
    bool finished() const { return finished_; }

protected:
    void resizeEvent(QResizeEvent*) override;

private:
    void finish();

    VideoCanvas* canvas_;
    MoviePlayback* playback_;
    std::function<void()> onFinish_;
    bool finished_ = false;
};

}  // namespace vintrelle
