#include "UI/Window/ThumbSizeSlider.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "App/AppModel.h"
#include "UI/Kit/CardShadow.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

namespace {

// A soft 2.5-px blur, half a pixel down.
const ShadowSpec knobShadow{0.28, 1.25, {0, 0.5}};

// Screen readers hear a slider named "Thumbnail size" whose value is the
// knob's place in the range.
class SliderAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit SliderAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::Slider) {}
    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) return ThumbSizeSlider::tr("Thumbnail size");
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return slider()->fraction(); }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return 1.0; }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return 1.0 / ThumbSizeSlider::stepsPerRange; }

private:
    const ThumbSizeSlider* slider() const { return static_cast<const ThumbSizeSlider*>(widget()); }
};

QAccessibleInterface* sliderAccessible(const QString& className, QObject* object) {
    if (className == QLatin1String("vintrelle::ThumbSizeSlider") && object && object->isWidgetType())
        return new SliderAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

}  // namespace

ThumbSizeSlider::ThumbSizeSlider(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), lower_(AppModel::kMinThumbSize), upper_(AppModel::kMaxThumbSize) {
    static const bool installed = (QAccessible::installFactory(sliderAccessible), true);
    (void)installed;
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_TranslucentBackground);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(preferredSize);
    setAccessibleName(tr("Thumbnail size"));
    value_ = model_.thumbSize();
    connect(&model_, &AppModel::thumbSizeChanged, this, &ThumbSizeSlider::follow);
    connect(this, &ThumbSizeSlider::valueReported, &model_, &AppModel::setThumbSize);
}

double ThumbSizeSlider::fraction() const {
    if (upper_ <= lower_) return 0;
    return std::clamp((value_ - lower_) / (upper_ - lower_), 0.0, 1.0);
}

double ThumbSizeSlider::valueAt(qreal x, qreal width, double lower, double upper) {
    const qreal usable = width - knob;
    const double t = usable > 0 ? std::clamp((x - knob / 2) / usable, 0.0, 1.0) : 0.0;
    return lower + (upper - lower) * t;
}

QRectF ThumbSizeSlider::trackRect() const {
    return {knob / 2, height() / 2.0 - trackHeight / 2, width() - knob, trackHeight};
}

QRectF ThumbSizeSlider::knobRect() const {
    const QRectF track = trackRect();
    return {track.left() + track.width() * fraction() - knob / 2, height() / 2.0 - knob / 2, knob, knob};
}

void ThumbSizeSlider::display(double v) {
    if (v == value_) return;
    value_ = v;
    update();
}

void ThumbSizeSlider::report(double v) {
    display(v);
    emit valueReported(v);
}

void ThumbSizeSlider::follow() {
    const double v = model_.thumbSize();
    if (std::abs(v - value_) > followThreshold) display(v);
}

void ThumbSizeSlider::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool dark = Theme::isDark(this);
    const QRectF track = trackRect();
    QPainterPath whole;
    whole.addRoundedRect(track, trackHeight / 2, trackHeight / 2);
    p.fillPath(whole, dark ? QColor(255, 255, 255, 41) : QColor(0, 0, 0, 31));
    QRectF filled = track;
    filled.setWidth(track.width() * fraction());
    if (filled.width() > 0) {
        QPainterPath part;
        part.addRoundedRect(filled, trackHeight / 2, trackHeight / 2);
        p.fillPath(part, Theme::color(ThemeColor::ink2, dark));
    }
    const QRectF k = knobRect();
    CardShadow::paint(p, k, knob / 2, knobShadow);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(k);
    p.setPen(QPen(QColor(0, 0, 0, 26), 0.5));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(k.adjusted(0.25, 0.25, -0.25, -0.25));
}

void ThumbSizeSlider::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return QWidget::mousePressEvent(e);
    tracking_ = true;
    report(valueAt(e->position().x(), width(), lower_, upper_));
}

void ThumbSizeSlider::mouseMoveEvent(QMouseEvent* e) {
    if (!tracking_) return QWidget::mouseMoveEvent(e);
    report(valueAt(e->position().x(), width(), lower_, upper_));
}

void ThumbSizeSlider::mouseReleaseEvent(QMouseEvent* e) {
    if (!tracking_ || e->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(e);
    tracking_ = false;
    report(valueAt(e->position().x(), width(), lower_, upper_));
}

void ThumbSizeSlider::keyPressEvent(QKeyEvent* e) {
    const double step = (upper_ - lower_) / stepsPerRange;
    double v;
    switch (e->key()) {
        case Qt::Key_Left:
        case Qt::Key_Down: v = std::max(value_ - step, lower_); break;
        case Qt::Key_Right:
        case Qt::Key_Up: v = std::min(value_ + step, upper_); break;
        default: return QWidget::keyPressEvent(e);
    }
    // Twelve steps must land on the end itself, not a rounding short of it.
    const double tolerance = (upper_ - lower_) * 1e-9;
    if (std::abs(v - upper_) < tolerance) v = upper_;
    if (std::abs(v - lower_) < tolerance) v = lower_;
    report(v);
}

}  // namespace vintrelle
