#include "UI/Viewer/VideoFrames.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <QCoreApplication>
#include <QEvent>
#include <QPainter>
#include <QVideoSink>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace vintrelle {

namespace {

// swscale's vector code wants rows that start on wide boundaries.
constexpr int rowAlignment = 64;

bool quarterTurned(int rotation) { return rotation == 90 || rotation == 270; }

std::optional<AVPixelFormat> swsFormat(QVideoFrameFormat::PixelFormat f) {
    using F = QVideoFrameFormat;
    switch (f) {
        case F::Format_YUV420P:
        case F::Format_YV12: return AV_PIX_FMT_YUV420P;  // YV12: the chroma planes swap
        case F::Format_YUV422P: return AV_PIX_FMT_YUV422P;
        case F::Format_NV12: return AV_PIX_FMT_NV12;
        case F::Format_NV21: return AV_PIX_FMT_NV21;
        case F::Format_P010: return AV_PIX_FMT_P010LE;
        case F::Format_P016: return AV_PIX_FMT_P016LE;
        case F::Format_YUV420P10: return AV_PIX_FMT_YUV420P10LE;
        case F::Format_UYVY: return AV_PIX_FMT_UYVY422;
        case F::Format_YUYV: return AV_PIX_FMT_YUYV422;
        case F::Format_Y8: return AV_PIX_FMT_GRAY8;
        case F::Format_Y16: return AV_PIX_FMT_GRAY16LE;
        default: return std::nullopt;
    }
}

// The matrix a frame was encoded with; when the stream does not say, the
// usual guess by size (high definition is BT.709).
int swsColorspace(const QVideoFrameFormat& f) {
    switch (f.colorSpace()) {
        case QVideoFrameFormat::ColorSpace_BT601: return SWS_CS_ITU601;
        case QVideoFrameFormat::ColorSpace_BT709: return SWS_CS_ITU709;
        case QVideoFrameFormat::ColorSpace_BT2020: return SWS_CS_BT2020;
        default: return f.frameHeight() >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

}  // namespace

// Picture memory that comes back when the last QImage over it goes. A
// playing video reuses the same few buffers: a fresh 1080p buffer costs more
// in page faults than converting the frame into it.
class FrameConverter::BufferPool {
public:
    static constexpr size_t kept = 4;
    ~BufferPool() {
        for (const Buffer& b : free_) std::free(b.data);
    }
    static QImage image(const std::shared_ptr<BufferPool>& pool, QSize size) {
        const qsizetype bpl = (qsizetype(size.width()) * 4 + rowAlignment - 1) / rowAlignment * rowAlignment;
        const size_t bytes = size_t(bpl) * size_t(size.height());
        void* data = pool->take(bytes);
        if (!data) return {};
        auto* lent = new Lent{pool, {bytes, data}};
        return QImage(static_cast<uchar*>(data), size.width(), size.height(), bpl, QImage::Format_RGB32,
                      &BufferPool::returned, lent);
    }

private:
    struct Buffer {
        size_t bytes;
        void* data;
    };
    struct Lent {
        std::shared_ptr<BufferPool> pool;  // outlives the converter while pictures are out
        Buffer buffer;
    };
    void* take(size_t bytes) {
        {
            std::lock_guard lock(mutex_);
            for (auto it = free_.begin(); it != free_.end(); ++it) {
                if (it->bytes != bytes) continue;
                void* data = it->data;
                free_.erase(it);
                return data;
            }
        }
        return std::aligned_alloc(rowAlignment, bytes);
    }
    static void returned(void* info) {  // any thread: the last QImage may go on the main thread
        auto* lent = static_cast<Lent*>(info);
        {
            std::lock_guard lock(lent->pool->mutex_);
            auto& free = lent->pool->free_;
            if (free.size() < kept) free.push_back(lent->buffer);
            else std::free(lent->buffer.data);
        }
        delete lent;
    }
    std::mutex mutex_;
    std::vector<Buffer> free_;
};

QSize fittedFrameSize(QSize frame, int rotation, QSize box) {
    if (frame.isEmpty() || box.isEmpty()) return {};
    const QSize shown = quarterTurned(rotation) ? frame.transposed() : frame;
    const double scale = std::min(double(box.width()) / shown.width(), double(box.height()) / shown.height());
    const QSize fitted(std::max(1, int(std::lround(shown.width() * scale))),
                       std::max(1, int(std::lround(shown.height() * scale))));
    return quarterTurned(rotation) ? fitted.transposed() : fitted;
}

FrameConverter::FrameConverter() : pool_(std::make_shared<BufferPool>()) {}

FrameConverter::~FrameConverter() { sws_freeContext(context_); }

bool FrameConverter::handles(QVideoFrameFormat::PixelFormat format) { return swsFormat(format).has_value(); }

QImage FrameConverter::convertWithQt(const QVideoFrame& frame, QSize size) {
    QImage image = frame.toImage();
    if (image.isNull()) return {};
    if (image.size() != size) image = image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image.convertToFormat(QImage::Format_RGB32);
}

QImage FrameConverter::convert(const QVideoFrame& given, QSize size) {
    if (!given.isValid() || size.isEmpty()) return {};
    const std::optional<AVPixelFormat> format = swsFormat(given.pixelFormat());
    if (!format) return convertWithQt(given, size);

    QVideoFrame frame = given;  // mapping is per copy; the pixels are shared
    if (!frame.map(QVideoFrame::ReadOnly)) return {};
    const QVideoFrameFormat& f = frame.surfaceFormat();
    const int w = frame.width(), h = frame.height();
    const uint8_t* planes[4] = {};
    int strides[4] = {};
    for (int i = 0; i < frame.planeCount() && i < 4; ++i) {
        planes[i] = frame.bits(i);
        strides[i] = frame.bytesPerLine(i);
    }
    if (frame.pixelFormat() == QVideoFrameFormat::Format_YV12) {
        std::swap(planes[1], planes[2]);
        std::swap(strides[1], strides[2]);
    }
    context_ = sws_getCachedContext(context_, w, h, *format, size.width(), size.height(), AV_PIX_FMT_RGB32,
                                    SWS_BILINEAR, nullptr, nullptr, nullptr);
    QImage out = context_ ? BufferPool::image(pool_, size) : QImage();
    if (out.isNull()) {
        frame.unmap();
        return {};
    }
    const int* matrix = sws_getCoefficients(swsColorspace(f));
    const int fullRange = f.colorRange() == QVideoFrameFormat::ColorRange_Full ? 1 : 0;
    sws_setColorspaceDetails(context_, matrix, fullRange, matrix, 1, 0, 1 << 16, 1 << 16);
    uint8_t* dst[4] = {out.bits(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {int(out.bytesPerLine()), 0, 0, 0};
    const int rows = sws_scale(context_, planes, strides, 0, h, dst, dstStride);
    frame.unmap();
    return rows > 0 ? out : QImage();
}

// ---- VideoCanvas -----------------------------------------------------------------

VideoCanvas::VideoCanvas(QWidget* parent) : QWidget(parent), sink_(new QVideoSink(this)) {
    setAttribute(Qt::WA_TranslucentBackground);
    connect(sink_, &QVideoSink::videoFrameChanged, this, &VideoCanvas::take);
    worker_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

VideoCanvas::~VideoCanvas() {
    worker_.request_stop();
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void VideoCanvas::setPlaceholder(const QImage& picture) {
    placeholder_ = picture;
    if (!hasFrame()) update();
}

void VideoCanvas::take(const QVideoFrame& frame) {
    if (!frame.isValid()) return;
    ++received_;
    {
        std::lock_guard lock(mutex_);
        if (waiting_) dropped_.fetch_add(1);
        waiting_ = frame;
    }
    wake_.notify_one();
}

void VideoCanvas::updateTarget() {
    const qreal dpr = devicePixelRatioF();
    const QSize device(int(std::lround(width() * dpr)), int(std::lround(height() * dpr)));
    {
        std::lock_guard lock(mutex_);
        target_ = device;
    }
    wake_.notify_one();  // a frame may be waiting for a size to be drawn at
}

void VideoCanvas::resizeEvent(QResizeEvent*) { updateTarget(); }

void VideoCanvas::changeEvent(QEvent* e) {
    QWidget::changeEvent(e);
    if (e->type() == QEvent::ScreenChangeInternal) updateTarget();  // another pixel ratio
}

void VideoCanvas::run(std::stop_token stop) {
    FrameConverter converter;
    for (;;) {
        QVideoFrame frame;
        QSize box;
        {
            std::unique_lock lock(mutex_);
            // A frame that comes before the widget has a size waits for one:
            // the first frame of a movie is the one shown first.
            if (!wake_.wait(lock, stop, [this] { return waiting_.has_value() && !target_.isEmpty(); })) return;
            frame = std::move(*waiting_);
            waiting_.reset();
            box = target_;
        }
        const int rotation = int(frame.rotationAngle());
        const QSize size = fittedFrameSize(frame.size(), rotation, box);
        if (size.isEmpty()) continue;
        Converted out{converter.convert(frame, size), rotation, frame.mirrored()};
        frame = QVideoFrame();  // give the decoder its buffer back now
        if (out.picture.isNull()) continue;
        bool post = false;
        {
            std::lock_guard lock(mutex_);
            post = !done_.has_value();
            done_ = std::move(out);
        }
        // One call waits at a time; it takes the newest picture when it runs.
        if (post) QMetaObject::invokeMethod(this, &VideoCanvas::apply, Qt::QueuedConnection);
    }
}

void VideoCanvas::apply() {
    std::optional<Converted> out;
    {
        std::lock_guard lock(mutex_);
        out.swap(done_);
    }
    if (!out) return;
    const bool first = picture_.isNull();
    picture_ = std::move(out->picture);
    rotation_ = out->rotation;
    mirrored_ = out->mirrored;
    update();
    if (first) emit firstFrame();
}

QRectF VideoCanvas::pictureRect() const {
    const qreal dpr = devicePixelRatioF();
    QSizeF shown;
    if (hasFrame()) {
        shown = QSizeF(quarterTurned(rotation_) ? picture_.size().transposed() : picture_.size()) / dpr;
        // A picture converted for an older size is fitted anew.
        shown.scale(size(), Qt::KeepAspectRatio);
    } else if (!placeholder_.isNull()) {
        shown = QSizeF(placeholder_.size()).scaled(size(), Qt::KeepAspectRatio);
    }
    return QRectF(QPointF((width() - shown.width()) / 2, (height() - shown.height()) / 2), shown);
}

void VideoCanvas::paintEvent(QPaintEvent*) {
    if (!hasFrame() && placeholder_.isNull()) return;  // nothing yet: what lies beneath shows
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF r = pictureRect();
    if (!hasFrame()) {
        p.drawImage(r, placeholder_);
        return;
    }
    p.translate(r.center());
    p.rotate(rotation_);
    if (mirrored_) p.scale(-1, 1);
    const QSizeF stored = quarterTurned(rotation_) ? r.size().transposed() : r.size();
    p.drawImage(QRectF(QPointF(-stored.width() / 2, -stored.height() / 2), stored), picture_);
}

}  // namespace vintrelle
