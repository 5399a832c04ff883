// The application-wide keys: one decision table, then the filter on real
// windows, where a key typed elsewhere must not reach the grid or viewer.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSettings>
#include <QWidget>

#include "ActionsFixture.h"
#include "App/KeyFilter.h"

using namespace apptest;

namespace {

TEST(Keys, DecisionTable) {
    const KeyContext grid{.mainWindowActive = true, .selectionEmpty = false};
    KeyContext viewer = grid;
    viewer.viewerOpen = true;
    auto with = [](KeyContext c, auto change) {
        change(c);
        return c;
    };
    const Qt::KeyboardModifiers none = Qt::NoModifier;
    using A = KeyAction;
    struct Row {
        const char* name;
        KeyContext context;
        KeyStroke stroke;
        KeyDecision expected;
    };
    const Row rows[] = {
        {"escape empties a selection", grid, {Qt::Key_Escape, none, "\x1b"}, {A::clearSelection, true}},
        {"escape without a selection passes", with(grid, [](auto& c) { c.selectionEmpty = true; }),
         {Qt::Key_Escape, none, "\x1b"}, {}},
        {"ctrl+escape passes", grid, {Qt::Key_Escape, Qt::ControlModifier, ""}, {}},
        {"escape while typing passes", with(grid, [](auto& c) { c.textFocused = true; }),
         {Qt::Key_Escape, none, "\x1b"}, {}},
        {"viewer keys are not grid keys", grid, {Qt::Key_F, none, "f"}, {}},
        {"f in another window", with(viewer, [](auto& c) { c.mainWindowActive = false; }),
         {Qt::Key_F, none, "f"}, {}},
        {"f under a dialog", with(viewer, [](auto& c) { c.dialogOpen = true; }), {Qt::Key_F, none, "f"}, {}},
        {"arrow under a popup", with(viewer, [](auto& c) { c.popupOpen = true; }), {Qt::Key_Right, none, ""}, {}},
        {"f in a text field", with(viewer, [](auto& c) { c.textFocused = true; }), {Qt::Key_F, none, "f"}, {}},
        {"right", viewer, {Qt::Key_Right, none, ""}, {A::nextAsset, true}},
        {"down", viewer, {Qt::Key_Down, none, ""}, {A::nextAsset, true}},
        {"keypad right", viewer, {Qt::Key_Right, Qt::KeypadModifier, ""}, {A::nextAsset, true}},
        {"held right repeats", viewer, {Qt::Key_Right, none, "", true}, {A::nextAsset, true}},
        {"left", viewer, {Qt::Key_Left, none, ""}, {A::previousAsset, true}},
        {"up", viewer, {Qt::Key_Up, none, ""}, {A::previousAsset, true}},
        {"ctrl+right passes", viewer, {Qt::Key_Right, Qt::ControlModifier, ""}, {}},
        {"meta+left passes", viewer, {Qt::Key_Left, Qt::MetaModifier, ""}, {}},
        {"space", viewer, {Qt::Key_Space, none, " "}, {A::playOrClose, true}},
        {"shift+space is space", viewer, {Qt::Key_Space, Qt::ShiftModifier, " "}, {A::playOrClose, true}},
        {"held space acts once", viewer, {Qt::Key_Space, none, " ", true}, {A::none, true}},
        {"escape closes", viewer, {Qt::Key_Escape, none, "\x1b"}, {A::closeViewer, true}},
        {"i", viewer, {Qt::Key_I, none, "i"}, {A::toggleInfo, true}},
        {"shift+i", viewer, {Qt::Key_I, Qt::ShiftModifier, "I"}, {A::toggleInfo, true}},
        {"f", viewer, {Qt::Key_F, none, "f"}, {A::toggleFavorite, true}},
        {"caps lock F", viewer, {Qt::Key_F, none, "F"}, {A::toggleFavorite, true}},
        {"held f acts once", viewer, {Qt::Key_F, none, "f", true}, {A::none, true}},
        {"alt+f passes", viewer, {Qt::Key_F, Qt::AltModifier, "f"}, {}},
        {"ctrl+f is the Find command", viewer, {Qt::Key_F, Qt::ControlModifier, "\x06"}, {}},
        {"another letter passes", viewer, {Qt::Key_X, none, "x"}, {}},
        {"a key without text passes", viewer, {Qt::Key_F5, none, ""}, {}},
    };
    for (const Row& r : rows) EXPECT_EQ(decideKey(r.context, r.stroke), r.expected) << r.name;
}

// Records the keys that reach it.
struct KeySink : QWidget {
    using QWidget::QWidget;
    std::vector<int> keys;
    void keyPressEvent(QKeyEvent* e) override { keys.push_back(e->key()); }
};

struct Windows {
    QWidget main;
    QLineEdit* search = new QLineEdit(&main);
    KeySink* grid = new KeySink(&main);
    QWidget settings;
    Windows() {
        grid->setFocusPolicy(Qt::StrongFocus);
        main.show();
        settings.show();
    }
    void activate(QWidget& w, QWidget* focus = nullptr) {
        QApplication::setActiveWindow(&w);
        if (focus) focus->setFocus();
        spinUntil([&] { return QApplication::activeWindow() == &w; }, 1000);
    }
    // Delivered like a typed key: to the focused widget, through the
    // application's filters. True when the key was claimed before the grid.
    bool press(int key, const QString& text = {}, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : QApplication::activeWindow();
        const size_t seen = grid->keys.size();
        QKeyEvent e(QEvent::KeyPress, key, mods, text);
        QApplication::sendEvent(target, &e);
        return target == grid && grid->keys.size() == seen;
    }
};

TEST(Keys, FilterActsOnlyInTheMainWindow) {
    Asset video = makeAsset(3, "c.mp4", 300);
    video.kind = MediaKind::video;
    FileLibrary lib({makeAsset(1, "a.jpg", 100), makeAsset(2, "b.jpg", 200), video});
    ActionsModel m(lib.store);
    Windows w;
    KeyFilter::install(*m, &w.main);
    const std::vector<Asset> list = {*lib.store->asset(1), *lib.store->asset(2), *lib.store->asset(3)};
    m->open(list[0], list);
    const int64_t first = 1;
    auto favourite = [&](int64_t id) { return lib.store->asset(id)->favorite; };

    // Typed in the settings window, in the search field, or under a dialog,
    // "f" changes nothing.
    w.activate(w.settings);
    w.press(Qt::Key_F, "f");
    w.activate(w.main, w.search);
    w.press(Qt::Key_F, "f");
    EXPECT_FALSE(favourite(first));
    {
        QDialog dialog(&w.main);
        dialog.setModal(true);
        dialog.show();
        w.activate(w.main, w.grid);
        w.press(Qt::Key_F, "f");
        EXPECT_FALSE(favourite(first));
    }

    w.activate(w.main, w.grid);
    w.press(Qt::Key_F, "f");
    EXPECT_TRUE(favourite(first));
    const bool info = m->showInfo();
    w.press(Qt::Key_I, "I", Qt::ShiftModifier);
    EXPECT_NE(m->showInfo(), info);
    EXPECT_EQ(QSettings(QString::fromStdString(m.settings.dir / "settings.conf"), QSettings::IniFormat)
                  .value("showInfo")
                  .toBool(),
              m->showInfo());

    // Steps stop at the ends, and the key is still claimed there.
    w.press(Qt::Key_Left);
    EXPECT_EQ(m->viewer()->index, 0);
    for (int i = 0; i < 4; ++i) w.press(Qt::Key_Right);
    EXPECT_EQ(m->viewer()->index, 2);
    EXPECT_FALSE(w.press(Qt::Key_Right, {}, Qt::ControlModifier));  // not claimed

    // Space plays the video, and closes the viewer on a photo, selecting it.
    const int64_t token = m->videoToggleToken();
    w.press(Qt::Key_Space, " ");
    EXPECT_EQ(m->videoToggleToken(), token + 1);
    w.press(Qt::Key_Left);
    const int64_t shown = m->viewer()->current()->id;
    w.press(Qt::Key_Space, " ");
    EXPECT_FALSE(m->viewer());
    EXPECT_EQ(m->selection(), AppModel::Selection{shown});

    // In the grid, Escape empties a selection and is claimed only then.
    EXPECT_TRUE(w.press(Qt::Key_Escape));
    EXPECT_TRUE(m->selection().empty());
    EXPECT_FALSE(w.press(Qt::Key_Escape));
}

}  // namespace
