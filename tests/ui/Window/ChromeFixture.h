#pragma once
// The window's chrome over a model with an open library: photos dated and
// placed as each test needs, a desktop that records what it was asked, and
// helpers to press keys and click.

#include <QKeyEvent>
#include <QTest>

#include "app/ActionsFixture.h"
#include "ui/Grid/ScreenFixture.h"

namespace chrometest {

using namespace vintrelle;
using screentest::click;
using screentest::photo;
using screentest::send;

struct Chrome : screentest::Screen {
    std::shared_ptr<apptest::RecordingDesktop> desktop = std::make_shared<apptest::RecordingDesktop>();
    explicit Chrome(const std::vector<Asset>& assets = {}) : Screen(assets) { model->setDesktopServices(desktop); }
};

inline void key(QWidget* to, int k) {
    QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
    QCoreApplication::sendEvent(to, &press);
    QKeyEvent release(QEvent::KeyRelease, k, Qt::NoModifier);
    QCoreApplication::sendEvent(to, &release);
}

// Shows a top-level widget and waits until it has the keyboard.
inline void showActive(QWidget& w) {
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w, fixtures::patientMs));
}

}  // namespace chrometest
