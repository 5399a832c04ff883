// The application-wide keys: one decision table, then the filter on real
// windows, where a key typed elsewhere must not reach the grid or viewer.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLineEdit>

#include "ActionsFixture.h"
#include "App/KeyFilter.h"

using namespace apptest;

namespace {

TEST(Keys, DecisionTable) {
    const KeyContext grid{.mainWindowActive = true, .selectionEmpty = false};
    const KeyContext viewer{.mainWindowActive = true, .viewerOpen = true};
    KeyContext elsewhere = viewer, dialog = viewer, popup = viewer, typing = grid, noSelection = grid, full = viewer;
    elsewhere.mainWindowActive = false;
    dialog.dialogOpen = true;
    popup.popupOpen = true;
    typing.textFocused = true;
    noSelection.selectionEmpty = true;
    full.viewerFullScreen = true;
    const auto none = Qt::NoModifier;
    using A = KeyAction;
    const std::tuple<const char*, KeyContext, KeyStroke, KeyDecision> rows[] = {
        {"escape empties a selection", grid, {Qt::Key_Escape, none, "\x1b"}, {A::clearSelection, true}},
        {"escape without a selection", noSelection, {Qt::Key_Escape, none, "\x1b"}, {}},
        {"ctrl+escape", grid, {Qt::Key_Escape, Qt::ControlModifier, ""}, {}},
        {"escape while typing", typing, {Qt::Key_Escape, none, "\x1b"}, {}},
        {"f in the grid", grid, {Qt::Key_F, none, "f"}, {}},
        {"f in another window", elsewhere, {Qt::Key_F, none, "f"}, {}},
        {"f under a dialog", dialog, {Qt::Key_F, none, "f"}, {}},
        {"arrow under a popup", popup, {Qt::Key_Right, none, ""}, {}},
        {"right", viewer, {Qt::Key_Right, none, ""}, {A::nextAsset, true}},
        {"held keypad down", viewer, {Qt::Key_Down, Qt::KeypadModifier, "", true}, {A::nextAsset, true}},
        {"up", viewer, {Qt::Key_Up, none, ""}, {A::previousAsset, true}},
        {"ctrl+right", viewer, {Qt::Key_Right, Qt::ControlModifier, ""}, {}},
        {"meta+left", viewer, {Qt::Key_Left, Qt::MetaModifier, ""}, {}},
        {"shift+space", viewer, {Qt::Key_Space, Qt::ShiftModifier, " "}, {A::playOrClose, true}},
        {"held space", viewer, {Qt::Key_Space, none, " ", true}, {A::none, true}},
        {"escape in the viewer", viewer, {Qt::Key_Escape, none, "\x1b"}, {A::closeViewer, true}},
        {"escape in the viewer's full screen", full, {Qt::Key_Escape, none, "\x1b"}, {A::leaveFullScreen, true}},
        {"space in the viewer's full screen", full, {Qt::Key_Space, none, " "}, {A::playOrClose, true}},
        {"shift+i", viewer, {Qt::Key_I, Qt::ShiftModifier, "I"}, {A::toggleInfo, true}},
        {"caps lock F", viewer, {Qt::Key_F, none, "F"}, {A::toggleFavorite, true}},
        {"held f", viewer, {Qt::Key_F, none, "f", true}, {A::none, true}},
        {"alt+f", viewer, {Qt::Key_F, Qt::AltModifier, "f"}, {}},
        {"ctrl+f", viewer, {Qt::Key_F, Qt::ControlModifier, "\x06"}, {}},
        {"another letter", viewer, {Qt::Key_X, none, "x"}, {}},
    };
    for (const auto& [name, context, stroke, expected] : rows) EXPECT_EQ(decideKey(context, stroke), expected) << name;
}

// Records the keys that reach it.
struct KeySink : QWidget {
    using QWidget::QWidget;
    int keys = 0;
    void keyPressEvent(QKeyEvent*) override { ++keys; }
};

TEST(Keys, FilterActsOnlyInTheMainWindow) {
    Asset video = makeAsset(2, "b.mp4", 200);
    video.kind = MediaKind::video;
    FileLibrary lib({makeAsset(1, "a.jpg", 100), video});
    ActionsModel m(lib.store);
    QWidget main, settings;
    auto* search = new QLineEdit(&main);
    auto* grid = new KeySink(&main);
    grid->setFocusPolicy(Qt::StrongFocus);
    main.show();
    settings.show();
    KeyFilter::install(*m, &main);
    // Typed like a key: to the focused widget through the application's
    // filters. True when claimed before reaching the grid.
    auto press = [&](QWidget& window, QWidget* focus, int key, const QString& text = {}) {
        QApplication::setActiveWindow(&window);
        if (focus) focus->setFocus();
        const int seen = grid->keys;
        QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier, text);
        QApplication::sendEvent(focus ? focus : &window, &e);
        return focus == grid && grid->keys == seen;
    };
    m->open(*lib.store->asset(1), std::vector<Asset>{*lib.store->asset(1), video});

    press(settings, nullptr, Qt::Key_F, "f");
    press(main, search, Qt::Key_F, "f");
    {
        QDialog dialog(&main);
        dialog.setModal(true);
        dialog.show();
        press(main, grid, Qt::Key_F, "f");
    }
    EXPECT_FALSE(lib.store->asset(1)->favorite);
    EXPECT_TRUE(press(main, grid, Qt::Key_F, "f"));
    EXPECT_TRUE(lib.store->asset(1)->favorite);

    // Space plays the video; on a photo it closes the viewer, selecting it.
    press(main, grid, Qt::Key_Right);
    press(main, grid, Qt::Key_Space, " ");
    EXPECT_EQ(m->videoToggleToken(), 1);
    press(main, grid, Qt::Key_Left);
    press(main, grid, Qt::Key_Space, " ");
    EXPECT_FALSE(m->viewer());
    EXPECT_EQ(m->selection(), AppModel::Selection{1});
    // Escape in the grid is claimed only while something is selected.
    EXPECT_TRUE(press(main, grid, Qt::Key_Escape));
    EXPECT_TRUE(m->selection().empty());
    EXPECT_FALSE(press(main, grid, Qt::Key_Escape));
}

}  // namespace
