// The year scrubber: its entries and steps, the rule that fits it into the
// window, and how it shares the grid's trailing edge with the grid.

#include <gtest/gtest.h>

#include <QHelpEvent>
#include <QScrollBar>
#include <QVariantAnimation>
#include <QWheelEvent>

#include "ScreenFixture.h"
#include "UI/Grid/AssetGridScreen.h"
#include "UI/Grid/PhotoGridView.h"
#include "UI/Grid/YearScrubber.h"

using namespace screentest;

namespace {

// One section per year given (newest first as listed), each with one photo;
// a negative year gives an empty section.
GridContent sectionsOf(const std::vector<int>& years) {
    GridContent c;
    auto flat = std::make_shared<std::vector<Asset>>();
    for (size_t i = 0; i < years.size(); ++i) {
        GridContent::Section s;
        s.id = "s" + std::to_string(i);
        s.begin = flat->size();
        if (years[i] > 0) flat->push_back(photo(int64_t(i + 1), years[i]));
        s.end = flat->size();
        c.sections.push_back(s);
    }
    c.flat = std::make_shared<const AssetList>(std::move(*flat));
    c.token = 1;
    return c;
}

std::vector<int> descendingYears(int n) {
    std::vector<int> years;
    for (int i = 0; i < n; ++i) years.push_back(2030 - i);
    return years;
}

TEST(YearScrubber, EntriesAndSteps) {
    struct Row {
        int years;
        size_t step, labels;
    };
    for (const Row& r : {Row{2, 1, 2}, Row{3, 1, 3}, Row{30, 1, 30}, Row{51, 1, 51}, Row{52, 2, 27}, Row{80, 3, 28}}) {
        const auto entries = YearScrubber::years(sectionsOf(descendingYears(r.years)));
        ASSERT_EQ(entries.size(), size_t(r.years));
        const size_t step = YearScrubber::step(entries.size());
        EXPECT_EQ(step, r.step) << r.years;
        const auto shown = YearScrubber::shown(entries.size(), step);
        EXPECT_EQ(shown.size(), r.labels) << r.years;
        EXPECT_EQ(YearScrubber::shownCount(entries.size(), step), r.labels) << r.years;
        EXPECT_EQ(shown.back(), entries.size() - 1) << r.years;  // the last always
    }

    // Out of date order a year comes back; consecutive sections of one year
    // give one entry at the first; sections without assets count for nothing.
    const auto entries = YearScrubber::years(sectionsOf({-1, 2021, 2021, -1, 2020, 2021}));
    EXPECT_EQ(entries, (std::vector<ScrubberYear>{{2021, "s1"}, {2020, "s4"}, {2021, "s5"}}));
}

TEST(YearScrubber, StepRisesUntilTheColumnFits) {
    // 100 years where 20 labels fit: the smallest step that shows at most 20.
    const size_t step = YearScrubber::step(100, 20);
    EXPECT_LE(YearScrubber::shownCount(100, step), 20u);
    EXPECT_GT(YearScrubber::shownCount(100, step - 1), 20u);
    // Room for almost nothing: still the first and the last.
    EXPECT_EQ(YearScrubber::shown(100, YearScrubber::step(100, 1)), (std::vector<size_t>{0, 99}));
    EXPECT_EQ(YearScrubber::step(3, 0), 2u);
}

TEST(YearScrubber, FitsAShortWindowAndKeepsTheEnds) {
    Screen s(photos(120, [](int i) { return photo(i + 1, 2024 - i); }));
    auto shown = shownScreen(s, 900, 400);
    AssetGridScreen& screen = *shown;
    const YearScrubber& scrubber = *screen.scrubber();
    ASSERT_EQ(scrubber.entries().size(), 120u);
    const QRectF panel = scrubber.panelInViewport();
    const QRect view = screen.grid()->viewport()->rect();
    EXPECT_TRUE(QRectF(view).contains(panel)) << panel.top() << " " << panel.bottom();
    EXPECT_EQ(scrubber.visibleEntries().front(), 0u);
    EXPECT_EQ(scrubber.visibleEntries().back(), 119u);
    EXPECT_GT(scrubber.visibleEntries().size(), 5u);

    screen.resize(900, 1400);
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    EXPECT_EQ(scrubber.visibleEntries().size(), YearScrubber::shownCount(120, YearScrubber::step(120)));
}

// Where the grid comes to rest after an animated scroll: the animation is
// waited out, not timed (a busy machine may hold a frame back for longer
// than any pause).
int scrolledTo(AssetGridScreen& screen) {
    EXPECT_TRUE(screen.settle(fixtures::patientMs));
    const auto* scroll = screen.grid()->findChild<QVariantAnimation*>(QString(), Qt::FindDirectChildrenOnly);
    EXPECT_TRUE(scroll && storetest::spinUntil([&] { return scroll->state() == QAbstractAnimation::Stopped; }));
    return screen.grid()->scrollOffset();
}

TEST(YearScrubber, ShowsOnHoverTakesOnlyItsClicksAndScrollsAgainOnEveryClick) {
    // Three years of 60 photos each: full rows under the column.
    Screen s(photos(180, [](int i) { return photo(i + 1, 2022 - i / 60, 1 + i % 60 / 3); }));
    auto shown = shownScreen(s, 900, 700);
    AssetGridScreen& screen = *shown;
    YearScrubber& scrubber = *screen.scrubber();
    PhotoGridView& grid = *screen.grid();
    QWidget* viewport = grid.viewport();
    const QPointF label = scrubber.labelInViewport(1).center();
    ASSERT_FALSE(label.isNull());

    // Invisible, it lets a click through to the cell under it.
    EXPECT_FALSE(scrubber.isVisible());
    ASSERT_TRUE(grid.gridLayout().itemAt(label + QPointF(0, grid.scrollOffset())));
    click(viewport, label);
    QCoreApplication::processEvents();
    EXPECT_EQ(s.model->selection().size(), 1u);
    EXPECT_FALSE(s.model->scrollRequest());
    s.model->clearSelection();

    // The pointer 20 px left of the column calls it up; it fades in.
    send(viewport, QEvent::MouseMove, QPointF(scrubber.panelInViewport().left() - 20, 30));
    EXPECT_TRUE(scrubber.isHovering());
    EXPECT_TRUE(storetest::spinUntil([&] { return scrubber.opacity() == 1.0; }));
    EXPECT_TRUE(scrubber.isVisible());
    // Still no mouse event lands on the widget itself.
    EXPECT_TRUE(scrubber.testAttribute(Qt::WA_TransparentForMouseEvents));

    // The labels are buttons: a press let go over another year, or beside
    // the column, asks for nothing; one carried off its year and back does.
    const QPointF other = scrubber.labelInViewport(0).center();
    send(viewport, QEvent::MouseButtonPress, label, Qt::LeftButton);
    send(viewport, QEvent::MouseMove, other, Qt::LeftButton);
    send(viewport, QEvent::MouseButtonRelease, other, Qt::LeftButton);
    send(viewport, QEvent::MouseButtonPress, other, Qt::LeftButton);
    send(viewport, QEvent::MouseButtonRelease, QPointF(30, other.y()), Qt::LeftButton);
    EXPECT_FALSE(s.model->scrollRequest());
    EXPECT_TRUE(s.model->selection().empty());
    send(viewport, QEvent::MouseMove, other);
    send(viewport, QEvent::MouseButtonPress, other, Qt::LeftButton);
    send(viewport, QEvent::MouseMove, label, Qt::LeftButton);
    send(viewport, QEvent::MouseButtonRelease, other, Qt::LeftButton);
    ASSERT_TRUE(s.model->scrollRequest());
    EXPECT_EQ(s.model->scrollRequest()->section, scrubber.entries()[scrubber.visibleEntries()[0]].section);
    EXPECT_TRUE(s.model->selection().empty());
    EXPECT_EQ(scrolledTo(screen), 0);  // the first year is at the top
    send(viewport, QEvent::MouseMove, label);

    // A click on a label asks for its section and the grid never sees it.
    const std::string section = scrubber.entries()[scrubber.visibleEntries()[1]].section;
    click(viewport, label);
    ASSERT_TRUE(s.model->scrollRequest());
    EXPECT_EQ(s.model->scrollRequest()->section, section);
    EXPECT_EQ(s.model->scrollRequest()->token, 2);
    EXPECT_TRUE(s.model->selection().empty());
    const int there = scrolledTo(screen);
    EXPECT_GT(there, 0);

    // The wheel over the column still scrolls the grid.
    QWheelEvent wheel(label, viewport->mapToGlobal(label), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(viewport, &wheel);
    EXPECT_LT(grid.scrollOffset(), there);

    // The same year again scrolls again, with a new token.
    grid.verticalScrollBar()->setValue(0);
    send(viewport, QEvent::MouseMove, label);
    click(viewport, scrubber.labelInViewport(1).center());
    EXPECT_EQ(s.model->scrollRequest()->token, 3);
    EXPECT_EQ(scrolledTo(screen), there);

    // Leaving hides it again.
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(viewport, &leave);
    EXPECT_FALSE(scrubber.isHovering());
    EXPECT_TRUE(storetest::spinUntil([&] { return !scrubber.isVisible(); }));

    // Not on other routes.
    s.model->navigate(Route::favorites());
    s.store().setFavorite({1, 2, 3, 4}, true);
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    EXPECT_TRUE(scrubber.entries().empty());
}

TEST(YearScrubber, ItsHelpStandsBesideTheColumnAndKeepsTheHover) {
    Screen s(photos(180, [](int i) { return photo(i + 1, 2022 - i / 60, 1 + i % 60 / 3); }));
    auto shown = shownScreen(s, 900, 700);
    YearScrubber& scrubber = *shown->scrubber();
    QWidget* viewport = shown->grid()->viewport();
    const QRectF panel = scrubber.panelInViewport();
    // The column and the zone that keeps it shown, on the screen.
    const QRect kept(viewport->mapToGlobal(QPointF(panel.left() - YearScrubber::hotZone, 0)).toPoint(),
                     viewport->mapToGlobal(QPointF(viewport->width(), viewport->height())).toPoint());

    send(viewport, QEvent::MouseMove, panel.center());
    ASSERT_TRUE(scrubber.isHovering());
    for (size_t k = 0; k < scrubber.visibleEntries().size(); ++k) {
        const QPoint at = scrubber.labelInViewport(k).center().toPoint();
        QHelpEvent help(QEvent::ToolTip, at, viewport->mapToGlobal(at));
        QCoreApplication::sendEvent(viewport, &help);
        QWidget* tip = YearScrubber::helpTip();
        ASSERT_TRUE(tip) << k;
        EXPECT_FALSE(tip->geometry().intersects(kept)) << k;
        EXPECT_NEAR(tip->geometry().center().y(), viewport->mapToGlobal(at).y(), 2) << k;  // beside the year
        EXPECT_TRUE(scrubber.isHovering());
    }
    // Any size of help, anywhere along the column, stays clear of it.
    for (QSize size : {QSize(90, 20), QSize(300, 60)})
        for (int y : {0, 350, 699}) EXPECT_FALSE(scrubber.helpGeometry(size, QPoint(int(panel.center().x()), y)).intersects(kept));

    // Leaving the column takes the help away with it.
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(viewport, &leave);
    EXPECT_TRUE(storetest::spinUntil([] { return YearScrubber::helpTip() == nullptr; }));
}

}  // namespace
