#include "UI/Viewer/VideoControls.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "Core/Base/WallClock.h"
#include "UI/Kit/Buttons.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Labels.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

namespace {

constexpr qreal timePx = 11;
const QColor kTimeColor(255, 255, 255, 217);

// Elapsed time counts whole seconds passed; it never shows the end early.
QString clockText(int64_t ms, bool roundUp) {
    const double seconds = roundUp ? double(ms) / 1000.0 : std::floor(double(std::max<int64_t>(ms, 0)) / 1000.0);
    return QString::fromStdString(Format::duration(seconds));
}

}  // namespace

// The position bar: a thin track, the part played, and a knob while the
// pointer is over it. A press jumps to the pointer and a drag follows it.
class VideoControls::Scrubber final : public QWidget {
public:
    explicit Scrubber(VideoControls* owner) : QWidget(owner), owner_(owner) {
        setAttribute(Qt::WA_Hover);
        setCursor(Qt::PointingHandCursor);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    bool scrubbing = false;
    double fraction = 0;  // of the duration, 0...1

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const qreal h = 4, y = (height() - h) / 2;
        const QRectF track(knobRadius, y, width() - 2 * knobRadius, h);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 77));
        p.drawRoundedRect(track, h / 2, h / 2);
        const qreal x = track.left() + track.width() * std::clamp(fraction, 0.0, 1.0);
        p.setBrush(QColor(255, 255, 255, 230));
        p.drawRoundedRect(QRectF(track.left(), y, x - track.left(), h), h / 2, h / 2);
        if (underMouse() || scrubbing) p.drawEllipse(QPointF(x, height() / 2.0), knobRadius, knobRadius);
    }
    void mousePressEvent(QMouseEvent* e) override {
        if (e->button() != Qt::LeftButton) return;
        scrubbing = true;
        seekTo(e->position().x());
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        if (scrubbing) seekTo(e->position().x());
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        if (e->button() != Qt::LeftButton || !scrubbing) return;
        scrubbing = false;
        seekTo(e->position().x());
    }

private:
    static constexpr qreal knobRadius = 6;
    void seekTo(qreal x) {
        const qreal span = std::max<qreal>(1, width() - 2 * knobRadius);
        fraction = std::clamp((x - knobRadius) / span, 0.0, 1.0);
        update();
        if (owner_->duration_ > 0) emit owner_->seekRequested(int64_t(std::llround(fraction * double(owner_->duration_))));
    }
    VideoControls* owner_;
};

class VideoControls::TimeText final : public TextBlock {
public:
    explicit TimeText(QWidget* parent) : TextBlock(QString(), timePx, QFont::Medium, kTimeColor, parent) {
        setTabularDigits(true);
    }
};

VideoControls::VideoControls(QWidget* parent)
    : QWidget(parent),
      play_(new BarButton(QStringLiteral("play.fill"), tr("Play"), this)),
      elapsed_(new TimeText(this)),
      scrubber_(new Scrubber(this)),
      total_(new TimeText(this)),
      mute_(new BarButton(QStringLiteral("speaker.wave.2.fill"), tr("Mute"), this)),
      fullScreen_(new BarButton(QStringLiteral("arrow.up.left.and.arrow.down.right"), tr("Full Screen"), this)) {
    // White glyphs on the dark bar whatever the window's appearance.
    Theme::setForcedAppearance(this, true);
    for (BarButton* b : {play_, mute_, fullScreen_}) b->setTint(QColor(Qt::white));
    elapsed_->setAlignment(Qt::AlignRight);
    connect(play_, &QAbstractButton::clicked, this, &VideoControls::playPauseClicked);
    connect(mute_, &QAbstractButton::clicked, this, &VideoControls::muteClicked);
    connect(fullScreen_, &QAbstractButton::clicked, this, &VideoControls::fullScreenClicked);
    setPosition(0);
    setDuration(0);
    resize(maxWidth, barHeight);
}

void VideoControls::setPlaying(bool playing) {
    play_->setSymbol(playing ? QStringLiteral("pause.fill") : QStringLiteral("play.fill"));
    play_->setHelp(playing ? tr("Pause") : tr("Play"));
}

QString VideoControls::elapsedText() const { return clockText(position_, false); }
QString VideoControls::durationText() const { return clockText(duration_, true); }

void VideoControls::setPosition(int64_t ms) {
    position_ = std::max<int64_t>(ms, 0);
    elapsed_->setText(elapsedText());
    if (!scrubber_->scrubbing) {
        scrubber_->fraction = duration_ > 0 ? double(position_) / double(duration_) : 0;
        scrubber_->update();
    }
}

void VideoControls::setDuration(int64_t ms) {
    duration_ = std::max<int64_t>(ms, 0);
    total_->setText(durationText());
    layoutParts();  // an hour-long clip has wider times
    setPosition(position_);
}

void VideoControls::setMuted(bool muted) {
    mute_->setSymbol(muted ? QStringLiteral("speaker.slash.fill") : QStringLiteral("speaker.wave.2.fill"));
    mute_->setHelp(muted ? tr("Unmute") : tr("Mute"));
}

void VideoControls::setFullScreen(bool fullScreen) {
    fullScreen_->setSymbol(fullScreen ? QStringLiteral("arrow.down.right.and.arrow.up.left")
                                      : QStringLiteral("arrow.up.left.and.arrow.down.right"));
    fullScreen_->setHelp(fullScreen ? tr("Exit Full Screen") : tr("Full Screen"));
}

QWidget* VideoControls::scrubber() const { return scrubber_; }
bool VideoControls::isScrubbing() const { return scrubber_->scrubbing; }

void VideoControls::placeIn(QSize parent) {
    const int w = std::clamp(parent.width() - 48, 240, maxWidth);
    setGeometry((parent.width() - w) / 2, parent.height() - bottomMargin - barHeight, w, barHeight);
}

void VideoControls::resizeEvent(QResizeEvent*) { layoutParts(); }

void VideoControls::layoutParts() {
    const int pad = 8, gap = 6;
    const QSize button = play_->sizeHint();
    const int by = (height() - button.height()) / 2;
    const int timeWidth =
        int(std::ceil(TabularDigits::width(Fonts::font(timePx, QFont::Medium), duration_ >= 3600000 ? u"0:00:00" : u"00:00")));
    const int timeHeight = elapsed_->sizeHint().height();
    const int ty = (height() - timeHeight) / 2;
    int x = pad;
    play_->setGeometry(x, by, button.width(), button.height());
    x += button.width() + gap;
    elapsed_->setGeometry(x, ty, timeWidth, timeHeight);
    x += timeWidth + gap + 2;
    int right = width() - pad;
    fullScreen_->setGeometry(right - button.width(), by, button.width(), button.height());
    right -= button.width();
    mute_->setGeometry(right - button.width(), by, button.width(), button.height());
    right -= button.width() + gap;
    total_->setGeometry(right - timeWidth, ty, timeWidth, timeHeight);
    right -= timeWidth + gap + 2;
    scrubber_->setGeometry(x, 0, std::max(0, right - x), height());
}

void VideoControls::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath bar;
    bar.addRoundedRect(QRectF(rect()), 12, 12);
    p.fillPath(bar, QColor(0, 0, 0, 140));
    p.setPen(QPen(QColor(255, 255, 255, 30), 1));
    p.drawPath(bar);
}

}  // namespace vintrelle
