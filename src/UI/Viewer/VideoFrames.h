#pragma once
// Decoded video frames made into pictures of the size they are shown at.
//
// FrameConverter turns a frame into an RGB picture with libswscale in one
// step (colour conversion and scaling together), honouring the frame's
// colour matrix and range; Qt's own conversion (QVideoFrame::toImage) is the
// fallback for layouts swscale is not told about. The picture keeps the
// frame's stored orientation: rotation and mirroring are the painter's.
//
// VideoCanvas is the widget both players paint into: it takes frames from its
// QVideoSink on the main thread, converts the newest one on a thread of its
// own (a frame that arrives while one is converted replaces the one waiting,
// so a slow conversion drops frames instead of delaying the picture), and
// paints the result fitted into itself (letter-boxed), turned as the clip
// says. Until the first frame it paints its placeholder, or nothing.

#include <QImage>
#include <QSize>
#include <QVideoFrame>
#include <QWidget>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

class QVideoSink;
struct SwsContext;

namespace vintrelle {

// The size a picture of `frame` (stored size) turned by `rotation` degrees
// takes when fitted into `box`, in the stored orientation; empty when
// either is empty.
QSize fittedFrameSize(QSize frame, int rotation, QSize box);

class FrameConverter {
public:
    FrameConverter();
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // The frame as an opaque RGB32 picture of `size` (stored orientation);
    // a null picture when the frame cannot be read. Not thread-safe: one
    // converter per thread.
    QImage convert(const QVideoFrame& frame, QSize size);
    // Whether convert uses swscale for frames of this pixel format.
    static bool handles(QVideoFrameFormat::PixelFormat format);
    // Qt's conversion scaled to size: the fallback, and the benchmark's yardstick.
    static QImage convertWithQt(const QVideoFrame& frame, QSize size);

private:
    class BufferPool;
    SwsContext* context_ = nullptr;
    std::shared_ptr<BufferPool> pool_;
};

class VideoCanvas : public QWidget {
    Q_OBJECT
public:
    explicit VideoCanvas(QWidget* parent = nullptr);
    ~VideoCanvas() override;

    QVideoSink* sink() const { return sink_; }
    // Shown (fitted, upright) until the first frame; null for nothing.
    void setPlaceholder(const QImage& picture);
    bool hasFrame() const { return !picture_.isNull(); }
    // The last converted picture (stored orientation) and how it is turned.
    QImage picture() const { return picture_; }
    int rotation() const { return rotation_; }
    bool mirrored() const { return mirrored_; }
    // Where the picture (or the placeholder) lies in the widget.
    QRectF pictureRect() const;
    // Frames taken from the sink, and those replaced before being converted.
    int64_t framesReceived() const { return received_; }
    int64_t framesDropped() const { return dropped_.load(); }

signals:
    // The first frame is on screen.
    void firstFrame();

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void changeEvent(QEvent* e) override;

private:
    struct Converted {
        QImage picture;
        int rotation = 0;
        bool mirrored = false;
    };
    void take(const QVideoFrame& frame);
    void updateTarget();
    void run(std::stop_token stop);
    void apply();

    QVideoSink* sink_;
    QImage placeholder_;
    QImage picture_;
    int rotation_ = 0;
    bool mirrored_ = false;
    int64_t received_ = 0;
    std::atomic<int64_t> dropped_{0};

    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::optional<QVideoFrame> waiting_;  // the newest frame not yet converted
    std::optional<Converted> done_;       // the newest picture not yet taken by the main thread
    QSize target_;                        // device pixels of the widget
    std::jthread worker_;                 // last: stops and joins first
};

}  // namespace vintrelle
