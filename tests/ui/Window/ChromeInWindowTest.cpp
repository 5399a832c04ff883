// The top bar, the sidebar and the settings window as the application puts
// them into its main window.

#include <gtest/gtest.h>

#include <QCursor>
#include <QTest>

#include "UI/Grid/PhotoGridView.h"
#include "UI/Kit/Buttons.h"
#include "UI/Window/StatusFooter.h"
#include "UI/Window/SymbolButton.h"
#include "UI/Window/ThumbSizeSlider.h"
#include "VintrelleApp.h"
#include "WindowTestSupport.h"

namespace {

using namespace windowtest;

TEST(ChromeInWindow, BarsAndSettingsArePluggedIntoTheWindow) {
    World world(someAssets(3));
    world.root->hide();
    std::unique_ptr<MainWindow> window = VintrelleApp::makeWindow(*world.model);
    window->setQuit([] {});
    window->show();
    world.open();
    window->root().finishAnimations();
    QCoreApplication::processEvents();

    auto* bar = qobject_cast<TopBar*>(window->root().topBar());
    auto* sidebar = qobject_cast<SidebarView*>(window->root().sidebar());
    ASSERT_TRUE(bar && sidebar);
    EXPECT_EQ(bar->title().toStdString(), "Library");
    ASSERT_NE(sidebar->footer(), nullptr);

    // The grid reports the section at its top into the subtitle, and the
    // slider sizes the grid's thumbnails.
    auto* grid = qobject_cast<AssetGridScreen*>(window->root().screen());
    ASSERT_TRUE(grid);
    ASSERT_TRUE(grid->settle(fixtures::patientMs));
    EXPECT_TRUE(spinUntil([&] { return bar->subtitleText().contains(QStringLiteral("  \u00B7  3 items")); }))
        << bar->subtitleText().toStdString();
    ThumbSizeSlider* slider = bar->slider();
    QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(slider->width() - 1, slider->height() / 2));
    EXPECT_EQ(world.model->thumbSize(), 320.0);
    EXPECT_TRUE(spinUntil([&] { return grid->grid()->gridLayout().targetSize() == 320.0; }));

    // The footer's gear opens the one settings window, and raises it again.
    sidebar->footer()->settingsButton()->click();
    QPointer<QWidget> settings = window->settingsWindow();
    ASSERT_TRUE(qobject_cast<SettingsView*>(settings.data()));
    EXPECT_TRUE(settings->isVisible() && settings->isWindow());
    settings->close();
    sidebar->footer()->settingsButton()->click();
    EXPECT_EQ(window->settingsWindow(), settings.data());
    EXPECT_TRUE(settings->isVisible());

    // The bar's sidebar button hides the sidebar; a new one comes back.
    // Each time the button slides away from the pointer that clicked it,
    // and keeps no hover fill behind.
    BarButton* toggle = bar->sidebarButton();
    auto clickToggle = [&] {
        const QPoint at = toggle->rect().center();
        QCursor::setPos(toggle->mapToGlobal(at));
        QCoreApplication::processEvents();
        ASSERT_TRUE(toggle->isHovering());
        QTest::mouseClick(toggle, Qt::LeftButton, {}, at);
        window->root().finishAnimations();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        ASSERT_FALSE(toggle->rect().contains(toggle->mapFromGlobal(QCursor::pos())));
        EXPECT_TRUE(spinUntil([&] { return !toggle->isHovering(); }));
        EXPECT_EQ(toggle->fillColor(), QColor(Qt::transparent));
    };
    clickToggle();
    EXPECT_EQ(window->root().sidebar(), nullptr);
    clickToggle();
    EXPECT_TRUE(qobject_cast<SidebarView*>(window->root().sidebar()));

    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace
