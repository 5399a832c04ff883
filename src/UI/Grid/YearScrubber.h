#pragma once
// The column of years over the trailing edge of the library's grid: one label
// for each year in which a run of sections starts, each asking the grid to
// scroll to that section. It stays invisible until the pointer comes near and
// appears only when the grid spans at least three years.
//
// The widget never takes a mouse event itself: it watches the grid's
// viewport, and only a press on a label of the shown column is kept from the
// grid. So the invisible column eats no click, drag or wheel turn meant for
// the grid's last column, and the wheel scrolls the grid even over the
// visible column. While invisible it is hidden outright, so it never makes
// the grid repaint instead of scrolling its pixels.

#include <QPointer>
#include <QVariantAnimation>
#include <QWidget>

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "App/GridContent.h"

namespace vintrelle {

class AppModel;

struct ScrubberYear {
    int year = 0;
    std::string section;  // the id of the first section of the run
    bool operator==(const ScrubberYear&) const = default;
};

class YearScrubber : public QWidget {
    Q_OBJECT

public:
    static constexpr size_t minimumYears = 3;
    static constexpr size_t yearsPerStep = 26;
    static constexpr qreal hotZone = 26;       // invisible reach to the left of the column
    static constexpr qreal trailingInset = 14;  // from the grid's trailing edge
    static constexpr int fadeMs = 180;
    static constexpr int helpGap = 4;  // between the help and the zone of the column

    // An entry at each change of year between sections that hold assets, the
    // year being that of the section's first asset.
    static std::vector<ScrubberYear> years(const GridContent& content);
    // Every step-th entry is shown, and the last one always. The step starts
    // at count / 26 (at least 1) and is raised until at most `fit` labels
    // show, down to the first and the last.
    static size_t step(size_t count, size_t fit = SIZE_MAX);
    static size_t shownCount(size_t count, size_t step);
    static std::vector<size_t> shown(size_t count, size_t step);

    YearScrubber(AppModel& model, QWidget* parent);
    ~YearScrubber() override;

    // The grid it lies over: its viewport is watched for the pointer, and the
    // column sits at its trailing edge, centred in its height.
    void attach(QWidget* gridViewport);
    void setContent(const GridContentPtr& content);

    const std::vector<ScrubberYear>& entries() const { return entries_; }
    // Positions in entries() of the labels shown, top to bottom.
    const std::vector<size_t>& visibleEntries() const { return visible_; }
    bool isHovering() const { return hovering_; }
    qreal opacity() const { return opacity_; }
    // In the viewport's coordinates: the column, and the label of the k-th
    // shown entry (empty when nothing is shown).
    QRectF panelInViewport() const;
    QRectF labelInViewport(size_t k) const;
    // Where the help ("Jump to a year") of a given size goes for the
    // pointer at `at` (viewport coordinates): left of the column and its
    // zone, on screen; global coordinates.
    QRect helpGeometry(const QSize& tip, QPoint at) const;
    // The help shown now (the application's tooltip), or null.
    static QWidget* helpTip();

protected:
    void paintEvent(QPaintEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void relayout();
    void setHovering(bool on);
    void showHelp(QPoint at);
    bool inZone(QPointF viewportPoint) const;
    std::optional<size_t> labelAt(QPointF viewportPoint) const;
    QFont labelFont() const;
    qreal lineHeight() const;

    AppModel& model_;
    QPointer<QWidget> viewport_;
    int64_t token_ = -1;
    std::vector<ScrubberYear> entries_;
    std::vector<size_t> visible_;
    std::vector<QString> texts_;  // of the shown labels
    QSizeF panel_;                // the column's size
    QPointF panelAt_;             // its top-left in the viewport
    QPoint origin_;               // this widget's top-left in the viewport
    bool hovering_ = false;
    bool pressed_ = false;        // a press on the column was kept from the grid
    std::optional<size_t> pressedLabel_;  // the label the left button went down on
    qreal opacity_ = 0;
    QVariantAnimation fade_;
};

}  // namespace vintrelle
