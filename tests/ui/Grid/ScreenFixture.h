#pragma once
// An application model with an open library of dated photos, for the grid
// screen and its parts, and a few helpers to drive widgets without a user.

#include <QCoreApplication>
#include <QMenu>
#include <QMouseEvent>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/AppFixture.h"
#include "UI/Grid/AssetGridScreen.h"
#include "fixtures/MediaFixtures.h"

namespace screentest {

using namespace vintrelle;

// A photo taken at noon on 15 March of `year` (days apart by id).
inline Asset photo(int64_t id, int year, int day = 15) {
    return storetest::makeAsset(id, "p/" + std::to_string(id) + ".jpg", fixtures::wallClock(year, 3, day));
}

// n photos, the i-th made by make(i).
template <class F>
std::vector<Asset> photos(int n, F make) {
    std::vector<Asset> out;
    for (int i = 0; i < n; ++i) out.push_back(make(i));
    return out;
}

struct Screen {
    apptest::Model model;
    apptest::Library lib;
    explicit Screen(const std::vector<Asset>& assets = {}) : lib(assets) { model->setStore(lib.store); }
    LibraryDB& db() { return lib.db(); }
    LibraryStore& store() { return *lib.store; }
};

// The grid screen over a fixture's model, shown and settled.
inline std::unique_ptr<AssetGridScreen> shownScreen(Screen& s, int width, int height) {
    auto screen = std::make_unique<AssetGridScreen>(*s.model, s.lib.store);
    screen->resize(width, height);
    screen->show();
    EXPECT_TRUE(screen->settle(fixtures::patientMs));
    return screen;
}

// The visible titles of a menu, separators as "-", submenus as "title>".
inline std::vector<std::string> titles(const QMenu& menu) {
    std::vector<std::string> out;
    for (QAction* a : menu.actions()) {
        if (a->isSeparator()) out.push_back("-");
        else out.push_back(a->text().toStdString() + (a->menu() ? ">" : ""));
    }
    return out;
}

inline QAction* action(const QMenu& menu, const QString& text) {
    for (QAction* a : menu.actions())
        if (a->text() == text) return a;
    return nullptr;
}

inline void send(QWidget* to, QEvent::Type type, QPointF at, Qt::MouseButton button = Qt::NoButton) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonPress || type == QEvent::MouseMove ? Qt::MouseButtons(button)
                                                                                              : Qt::NoButton;
    QMouseEvent e(type, at, to->mapToGlobal(at), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(to, &e);
}

inline void click(QWidget* to, QPointF at) {
    send(to, QEvent::MouseButtonPress, at, Qt::LeftButton);
    send(to, QEvent::MouseButtonRelease, at, Qt::LeftButton);
}

// The user's numbers as en_US writes them, for the length of a scope.
class NumberLocaleScope {
public:
    explicit NumberLocaleScope(const char* name) {
        if (const char* old = std::getenv("LC_ALL")) old_ = old;
        setenv("LC_ALL", name, 1);
    }
    ~NumberLocaleScope() {
        if (old_) setenv("LC_ALL", old_->c_str(), 1);
        else unsetenv("LC_ALL");
    }

private:
    std::optional<std::string> old_;
};

}  // namespace screentest
