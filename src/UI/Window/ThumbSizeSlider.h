#pragma once
// The small painted slider of the top bar that sets the grid's thumbnail
// size: a 4-px track, the part up to the knob filled, a white 15-px knob.
// A click on the track jumps the knob there; dragging follows the pointer;
// the arrow keys step a twelfth of the range. Every press, move and key
// reports its value to the application state, also when the value did not
// change; a change made elsewhere moves the knob only when it differs by more
// than 0.01, so the model's rounding never makes the knob jitter under the
// pointer.

#include <QWidget>

namespace vintrelle {

class AppModel;

class ThumbSizeSlider : public QWidget {
    Q_OBJECT
public:
    static constexpr qreal knob = 15;
    static constexpr qreal trackHeight = 4;
    static constexpr QSize preferredSize{96, 20};
    // Outside changes this close to the shown value are left alone.
    static constexpr double followThreshold = 0.01;
    static constexpr int stepsPerRange = 12;

    explicit ThumbSizeSlider(AppModel& model, QWidget* parent = nullptr);

    double value() const { return value_; }
    double lower() const { return lower_; }
    double upper() const { return upper_; }
    // Where the value sits in the range, 0 to 1.
    double fraction() const;

    // The value a pointer at x (in a slider `width` wide) gives.
    static double valueAt(qreal x, qreal width, double lower, double upper);
    QRectF trackRect() const;
    QRectF knobRect() const;

    QSize sizeHint() const override { return preferredSize; }

signals:
    // After every user input, with the value it gave.
    void valueReported(double value);

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void display(double v);
    void report(double v);
    void follow();

    AppModel& model_;
    double lower_;
    double upper_;
    double value_ = 0;
    bool tracking_ = false;
};

}  // namespace vintrelle
