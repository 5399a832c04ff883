#include <gtest/gtest.h>

#include <QLineEdit>
#include <QSignalSpy>

#include "ChromeFixture.h"
#include "UI/Kit/Buttons.h"
#include "UI/Kit/Theme.h"
#include "UI/Window/SymbolButton.h"
#include "UI/Window/ThumbSizeSlider.h"
#include "UI/Window/RouteText.h"
#include "UI/Window/TopBar.h"

namespace {

using namespace chrometest;

Asset placed(int64_t id, int year) {
    Asset a = photo(id, year);
    a.lat = 41.9;
    a.lon = 12.5;
    return a;
}

TEST(TopBarSubtitle, FollowsRouteCountsSectionAndSelection) {
    struct Case {
        const char* name;
        std::function<void(Chrome&)> arrange;
        const char* expected;
    };
    const Case cases[] = {
        {"asset route", [](Chrome&) {}, "3 items"},
        {"section while nothing is selected", [](Chrome& c) { c.model->setVisibleSection("March 2021"); },
         "March 2021  \u00B7  3 items"},
        {"section hidden by a selection",
         [](Chrome& c) {
             c.model->setVisibleSection("March 2021");
             c.model->setSelection({1});
         },
         "3 items"},
        {"empty search result shows no section",
         [](Chrome& c) {
             c.model->setVisibleSection("March 2021");
             c.model->setActiveSearch("nothing-matches-this");
         },
         "0 items"},
        {"one trip",
         [](Chrome& c) {
             c.db().db().run("INSERT INTO trips(id, title, start, end) VALUES(1, 'Rome', 0, 10)");
             c.store().engineDidUpdateTrips();
             c.model->navigate(Route::trips());
         },
         "1 trip"},
        {"one person",
         [](Chrome& c) {
             storetest::insertPerson(c.db(), 1, "Ada");
             storetest::insertFace(c.db(), 1, 1);
             c.store().reloadPeople();
             c.model->navigate(Route::people());
         },
         "1 person"},
        {"no people", [](Chrome& c) { c.model->navigate(Route::people()); }, "0 people"},
        {"places count the located items", [](Chrome& c) { c.model->navigate(Route::places()); },
         "2 items with a location"},
        {"albums",
         [](Chrome& c) {
             c.store().createAlbum("A", {1});
             c.store().createAlbum("B", {});
             c.model->navigate(Route::albums());
         },
         "2 albums"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Chrome c({placed(1, 2021), placed(2, 2020), photo(3, 2019)});
        TopBar bar(*c.model, c.lib.store);
        k.arrange(c);
        EXPECT_EQ(routeSubtitle(*c.model, c.store()).toStdString(), k.expected);
        EXPECT_EQ(bar.subtitleText().toStdString(), k.expected);  // the bar follows by itself
    }
}

TEST(TopBar, ControlsFollowTheRouteAndTheBackStack) {
    Chrome c({photo(1, 2021)});
    c.db().db().run("INSERT INTO trips(id, title, start, end) VALUES(7, 'Rome', 0, 10)");
    c.store().engineDidUpdateTrips();
    TopBar bar(*c.model, c.lib.store);
    EXPECT_EQ(bar.title().toStdString(), "Library");
    EXPECT_FALSE(bar.sizeControl()->isHidden());
    EXPECT_FALSE(bar.searchField()->isHidden());
    EXPECT_TRUE(bar.backButton()->isHidden());

    c.model->navigate(Route::trips());
    EXPECT_TRUE(bar.sizeControl()->isHidden());
    EXPECT_TRUE(bar.searchField()->isHidden());
    c.model->push(Route::trip(7));
    EXPECT_FALSE(bar.backButton()->isHidden());
    EXPECT_FALSE(bar.searchField()->isHidden());
    EXPECT_EQ(bar.title().toStdString(), "Rome");
    bar.backButton()->click();
    EXPECT_EQ(c.model->route(), Route::trips());
    EXPECT_TRUE(bar.backButton()->isHidden());

    bar.sidebarButton()->click();
    EXPECT_FALSE(c.model->sidebarVisible());
}

TEST(TopBar, SearchFieldEscapeClearsAndLeavesClearButtonKeepsFocus) {
    Chrome c({photo(1, 2021)});
    TopBar bar(*c.model, c.lib.store);
    bar.resize(1000, TopBar::stripHeight);
    showActive(bar);
    QLineEdit* edit = bar.searchField()->edit();

    c.model->focusSearch();
    EXPECT_TRUE(edit->hasFocus());
    QTest::keyClicks(edit, "rome");
    EXPECT_EQ(c.model->search(), "rome");
    EXPECT_FALSE(bar.searchField()->clearButton()->isHidden());

    bar.searchField()->clearButton()->click();
    EXPECT_EQ(c.model->search(), "");
    EXPECT_TRUE(edit->hasFocus());
    EXPECT_TRUE(bar.searchField()->clearButton()->isHidden());

    QTest::keyClicks(edit, "x");
    QTest::keyClick(edit, Qt::Key_Escape);
    EXPECT_EQ(c.model->search(), "");
    EXPECT_EQ(edit->text(), "");
    EXPECT_FALSE(edit->hasFocus());

    // The model's search reaches the field; an overview has no field to focus.
    c.model->setSearch("paris");
    EXPECT_EQ(edit->text(), "paris");
    c.model->navigate(Route::albums());
    c.model->focusSearch();
    EXPECT_FALSE(edit->hasFocus());
}

// The field at its design size shows the whole hint: given room to spare,
// the line edit paints nothing different within the width it has.
TEST(TopBar, TheSearchFieldShowsItsWholeHint) {
    Chrome c({photo(1, 2021)});
    for (bool dark : {false, true}) {
        Theme::setDark(dark);
        TopBar bar(*c.model, c.lib.store);
        bar.resize(940, TopBar::stripHeight);
        bar.show();
        QCoreApplication::processEvents();
        ASSERT_EQ(bar.searchField()->size(), QSize(250, 28));
        QLineEdit* edit = bar.searchField()->edit();
        ASSERT_EQ(edit->placeholderText(), "Search names, trips, people, dates");
        const QSize shown = edit->size();
        const QImage asShown = edit->grab().toImage();
        edit->resize(shown.width() + 200, shown.height());
        EXPECT_TRUE(edit->grab(QRect(QPoint(), shown)).toImage() == asShown) << "cut at " << shown.width() << " px";
    }
    Theme::setDark(false);
}

TEST(ThumbSizeSlider, ArithmeticOfClicksKeysAndOutsideChanges) {
    Chrome c;
    ThumbSizeSlider slider(*c.model);
    QSignalSpy reports(&slider, &ThumbSizeSlider::valueReported);

    // Left of the track's start is the lower end; past its end the upper.
    click(&slider, QPointF(3, 10));
    EXPECT_EQ(c.model->thumbSize(), 72.0);
    send(&slider, QEvent::MouseButtonPress, QPointF(48, 10), Qt::LeftButton);
    EXPECT_DOUBLE_EQ(c.model->thumbSize(), 196.0);  // the middle of 72...320
    send(&slider, QEvent::MouseMove, QPointF(500, 10), Qt::LeftButton);
    send(&slider, QEvent::MouseButtonRelease, QPointF(500, 10), Qt::LeftButton);
    EXPECT_EQ(c.model->thumbSize(), 320.0);
    EXPECT_EQ(slider.fraction(), 1.0);

    c.model->setThumbSize(72);
    reports.clear();
    for (int i = 0; i < 12; ++i) key(&slider, Qt::Key_Right);
    EXPECT_EQ(c.model->thumbSize(), 320.0);  // exactly, not a rounding short of it
    key(&slider, Qt::Key_Up);
    EXPECT_EQ(c.model->thumbSize(), 320.0);
    EXPECT_EQ(reports.count(), 13);  // the thirteenth still reports
    key(&slider, Qt::Key_Down);
    EXPECT_DOUBLE_EQ(c.model->thumbSize(), 320.0 - 248.0 / 12);

    c.model->setThumbSize(150);
    EXPECT_EQ(slider.value(), 150.0);
    c.model->setThumbSize(150.005);
    EXPECT_EQ(slider.value(), 150.0);  // too small a change to move the knob
    c.model->setThumbSize(151);
    EXPECT_EQ(slider.value(), 151.0);
}

}  // namespace
