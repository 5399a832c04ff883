#pragma once
// An application state over a real library in a temporary folder, for the
// collection screens, with the screens' menus and confirmations caught
// instead of shown.

#include <QMenu>
#include <QPushButton>
#include <QPointer>
#include <QSettings>
#include <QTest>
#include <QThreadPool>

#include <memory>
#include <string>
#include <vector>

#include "App/AppModel.h"
#include "Store/LibraryStore.h"
#include "UI/Collections/CollectionCanvas.h"
#include "UI/Collections/FaceModelStatus.h"
#include "UI/Collections/PeopleScreen.h"
#include "UI/Kit/MessageSheet.h"
#include "store/StoreFixture.h"

namespace collectionstest {

using namespace vintrelle;
using storetest::insertFace;
using storetest::insertPerson;
using storetest::makeAsset;
using storetest::spinUntil;

struct Catch {
    QPointer<QMenu> menu;
    QPointer<MessageSheet> box;
    int menus = 0, boxes = 0;
    Catch() {
        CollectionCanvas::setMenuPresenter([this](QMenu* m, QPoint) {
            menu = m;
            ++menus;
        });
        MessageSheet::setPresenter([this](MessageSheet* b) {
            box = b;
            ++boxes;
        });
    }
    ~Catch() {
        delete menu.data();
        delete box.data();
        CollectionCanvas::setMenuPresenter({});
        MessageSheet::setPresenter({});
    }
    // The action of the caught menu (or one of its submenus) with this text.
    QAction* action(const QString& text, QMenu* in = nullptr) const {
        QMenu* m = in ? in : menu.data();
        if (!m) return nullptr;
        for (QAction* a : m->actions()) {
            if (a->text() == text) return a;
            if (a->menu())
                if (QAction* found = action(text, a->menu())) return found;
        }
        return nullptr;
    }
    // The caught menu's items, "|" between them.
    std::string texts() const {
        QStringList out;
        if (menu)
            for (QAction* a : menu->actions())
                if (!a->isSeparator()) out << a->text();
        return out.join(u'|').toStdString();
    }
};

struct Fixture {
    fixtures::TempDir settingsDir;
    AppModel model{std::make_unique<QSettings>(QString::fromStdString(settingsDir / "settings.conf"),
                                               QSettings::IniFormat)};
    storetest::Library lib;
    Catch caught;

    explicit Fixture(const std::vector<Asset>& assets = {}) {
        lib.add(assets);
        // Never the real networks: a test decides what the model check says.
        FaceModelStatus::shared().setCheck([] { return true; });
        FaceModelStatus::shared().setState(FaceModelStatus::State::available);
    }
    // After the test has written the index: the store loads it.
    void open() {
        lib.store->start(false);
        spinUntil([&] { return lib.store->hasLoaded(); });
        model.setStore(lib.store);
    }
    ~Fixture() {
        model.closeStore();
        QThreadPool::globalInstance()->waitForDone(fixtures::patientMs);
    }
    LibraryDB& db() { return lib.db(); }
};

}  // namespace collectionstest
