#include <gtest/gtest.h>

#include <QApplication>
#include <QDrag>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPushButton>

#include <atomic>
#include <chrono>
#include <thread>

#include "CollectionsFixture.h"
#include "UI/Collections/PersonDrag.h"
#include "UI/Kit/EmptyState.h"

using namespace collectionstest;

namespace {

using State = FaceModelStatus::State;

// A person with faces on `photos` assets of their own.
void addPerson(Fixture& f, int64_t id, const std::string& name, int photos, bool hidden = false) {
    insertPerson(f.db(), id, name);
    if (hidden) f.db().db().run("UPDATE persons SET hidden=1 WHERE id=?", {id});
    for (int k = 0; k < photos; ++k) {
        const int64_t asset = id * 100 + k;
        f.db().db().run("DELETE FROM assets WHERE id=?", {asset});
        storetest::insertAsset(f.db(), makeAsset(asset, "p/" + std::to_string(asset) + ".jpg", 1.6e9 + double(asset)));
        insertFace(f.db(), asset, id);
    }
}

void clickMerge(MessageSheet& box) {
    ASSERT_EQ(box.confirmButton()->text(), "Merge");
    box.confirmButton()->click();
}

int64_t facesOf(Fixture& f, int64_t person) {
    return f.db().db().scalarInt("SELECT COUNT(*) FROM faces WHERE person_id=?", {person}).value_or(-1);
}

struct Screen {
    PeopleScreen screen;
    explicit Screen(Fixture& f) : screen(f.model) {
        screen.resize(900, 700);
        screen.show();
    }
    CollectionCanvas& canvas() { return *screen.canvas(); }
    QPoint centreOf(int64_t id, int kind = PeopleScreen::visibleKind) {
        const auto r = canvas().cardRect({kind, id});
        EXPECT_TRUE(r) << id;
        return r ? r->center().toPoint() : QPoint();
    }
    // Drags the payload over a point as the platform would: whether the
    // point takes it.
    bool dragOver(QPoint at, const QMimeData& mime) {
        QDragEnterEvent enter(at, Qt::MoveAction | Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(canvas().viewport(), &enter);
        if (!enter.isAccepted()) return false;
        QDragMoveEvent move(at, Qt::MoveAction | Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(canvas().viewport(), &move);
        return move.isAccepted();
    }
    void drop(QPoint at, const QMimeData& mime) {
        dragOver(at, mime);
        QDropEvent event(at, Qt::MoveAction | Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(canvas().viewport(), &event);
    }
};

}  // namespace

TEST(PeopleScreen, saysWhyNobodyIsShownInOrder) {
    struct Case {
        bool faces;
        int visible, hidden;
        State model;
        EngineStatus status;
        const char* title;  // empty: the people list
    };
    const std::vector<Case> cases{
        {false, 0, 0, State::available, EngineStatus::idle(), "Face grouping is off"},
        {false, 0, 1, State::available, EngineStatus::idle(), "Face grouping is off"},
        {false, 1, 0, State::available, EngineStatus::idle(), ""},
        {true, 1, 0, State::missing, EngineStatus::idle(), "Face grouping isn\u2019t available"},
        {true, 1, 0, State::checking, EngineStatus::idle(), ""},
        {true, 0, 1, State::available, EngineStatus::idle(), ""},
        {true, 0, 0, State::available, EngineStatus::idle(), "No people found yet"},
        {true, 0, 0, State::checking, EngineStatus::faces(1, 9), "Getting to know your photos"},
    };
    Fixture f;
    f.open();
    for (const Case& c : cases) {
        f.db().db().run("DELETE FROM faces");
        f.db().db().run("DELETE FROM persons");
        for (int i = 0; i < c.visible; ++i) addPerson(f, 1 + i, "Named " + std::to_string(i), 1);
        for (int i = 0; i < c.hidden; ++i) addPerson(f, 10 + i, "Hidden", 3, true);
        f.lib.store->reloadPeople();
        f.model.setFacesEnabled(c.faces);
        f.lib.store->engineDidChangeStatus(c.status);
        FaceModelStatus::shared().setState(c.model);
        PeopleScreen screen(f.model);
        const std::string where = std::to_string(c.visible) + "/" + std::to_string(c.hidden);
        if (!*c.title) {
            EXPECT_FALSE(screen.showsEmptyState()) << where;
            continue;
        }
        ASSERT_TRUE(screen.showsEmptyState()) << where;
        EXPECT_EQ(screen.emptyState()->title(), c.title) << where;
        if (!c.faces) {
            ASSERT_TRUE(screen.emptyState()->actionButton());
            screen.emptyState()->actionButton()->click();
            EXPECT_TRUE(f.model.facesEnabled());
        }
    }
}

TEST(PeopleScreen, askingForTheModelLeavesTheMainThreadFree) {
    Fixture f;
    addPerson(f, 1, "Ann", 1);
    f.open();
    FaceModelStatus& model = FaceModelStatus::shared();
    std::atomic<bool> release{false};
    model.setState(State::unknown);
    model.setCheck([&] {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return false;
    });
    PeopleScreen screen(f.model);
    // Still loading: the people stay in view.
    EXPECT_EQ(model.state(), State::checking);
    EXPECT_FALSE(screen.showsEmptyState());
    EXPECT_FALSE(screen.isSettled()) << "the answer may still change the screen";
    release = true;
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    EXPECT_EQ(model.state(), State::missing);
    EXPECT_TRUE(screen.showsEmptyState());
    EXPECT_EQ(screen.emptyState()->title(), "Face grouping isn\u2019t available");
}

TEST(PeopleScreen, rowsAboveTheGrid) {
    Fixture f;
    addPerson(f, 1, "Ann", 1);
    addPerson(f, 2, "", 3);
    f.open();
    f.lib.store->engineDidChangeStatus(EngineStatus::faces(120, 480));
    Screen s(f);
    EXPECT_EQ(s.screen.progressText(),
              "Still looking through your photos \u2014 120 of 480. More people may appear.");
    EXPECT_FALSE(s.screen.hintText().isEmpty());
    f.lib.store->renamePerson(2, "Bo");
    f.lib.store->engineDidChangeStatus(EngineStatus::indexing(1, 2));
    EXPECT_TRUE(s.screen.progressText().isEmpty());
    EXPECT_TRUE(s.screen.hintText().isEmpty()) << "everybody is named";
}

TEST(PeopleScreen, dropAsksThenMergesIntoTheTileDroppedOn) {
    Fixture f;
    addPerson(f, 1, "", 3);
    addPerson(f, 2, "Bea", 4);
    f.open();
    Screen s(f);
    const auto mime = persondrag::mimeData(1);
    EXPECT_TRUE(s.dragOver(s.centreOf(2), *mime));
    EXPECT_EQ(s.canvas().targeted(), (CardKey{PeopleScreen::visibleKind, 2}));
    s.drop(s.centreOf(2), *mime);
    EXPECT_FALSE(s.canvas().targeted());
    EXPECT_EQ(f.caught.boxes, 0) << "never a dialog inside the drop";
    ASSERT_TRUE(spinUntil([&] { return f.caught.boxes == 1; }));
    ASSERT_TRUE(f.caught.box);
    EXPECT_EQ(f.caught.box->heading(), "Are these the same person?");
    EXPECT_EQ(f.caught.box->message(), "All photos of the unnamed person will be combined with Bea.");
    EXPECT_EQ(s.screen.pendingMerge(), (std::pair<int64_t, int64_t>{1, 2}));

    clickMerge(*f.caught.box);
    EXPECT_FALSE(s.screen.pendingMerge());
    EXPECT_FALSE(f.lib.store->person(1));
    ASSERT_TRUE(f.lib.store->person(2));
    EXPECT_EQ(f.lib.store->person(2)->name, "Bea");
    EXPECT_EQ(facesOf(f, 2), 7);
    ASSERT_EQ(s.screen.visiblePeople().size(), 1u);
    EXPECT_EQ(s.screen.visiblePeople()[0].id, 2);

    Person ann, unnamed, other;
    ann.name = "Ann";
    EXPECT_EQ(PeopleScreen::mergeMessage(other, unnamed),
              "All photos of the unnamed person will be combined with this unnamed person.");
    EXPECT_EQ(PeopleScreen::mergeMessage(ann, unnamed), "All photos of Ann will be combined with this unnamed person.");
}

TEST(PeopleScreen, dropsThatMergeNothingOpenNothing) {
    Fixture f;
    addPerson(f, 1, "Ann", 3);
    addPerson(f, 2, "Bea", 3);
    addPerson(f, 3, "Cy", 3, true);
    f.open();
    Screen s(f);
    s.screen.hiddenButton()->click();
    struct Case {
        const char* what;
        int64_t dragged;
        CardKey onto;
    };
    const std::vector<Case> cases{
        {"itself", 1, {PeopleScreen::visibleKind, 1}},
        {"an unknown person", 999, {PeopleScreen::visibleKind, 1}},
        {"a hidden tile", 1, {PeopleScreen::hiddenKind, 3}},
    };
    for (const Case& c : cases) {
        const auto mime = persondrag::mimeData(c.dragged);
        const QPoint at = s.centreOf(c.onto.id, c.onto.kind);
        EXPECT_FALSE(s.dragOver(at, *mime)) << c.what;
        EXPECT_FALSE(s.canvas().targeted()) << c.what << ": no ring";
        s.drop(at, *mime);
        QCoreApplication::processEvents();
        EXPECT_EQ(f.caught.boxes, 0) << c.what;
    }
    // Text that is not a person is not taken at all.
    QMimeData text;
    text.setText(QStringLiteral("vintrelle-person:1 "));
    EXPECT_FALSE(s.dragOver(s.centreOf(2), text));
    // Nor does a late request for a tile dropped on itself.
    s.screen.dropPerson(2, 2);
    QCoreApplication::processEvents();
    EXPECT_EQ(f.caught.boxes, 0);
}

TEST(PeopleScreen, mergeChecksBothPeopleAgain) {
    Fixture f;
    addPerson(f, 1, "Ann", 3);
    addPerson(f, 2, "Bea", 3);
    f.open();
    Screen s(f);
    s.drop(s.centreOf(2), *persondrag::mimeData(1));
    ASSERT_TRUE(spinUntil([&] { return f.caught.box != nullptr; }));
    // A grouping pass removes Bea while the question is open.
    f.db().db().run("UPDATE faces SET person_id=NULL WHERE person_id=2");
    f.db().db().run("DELETE FROM persons WHERE id=2");
    f.lib.store->engineDidUpdatePeople();
    clickMerge(*f.caught.box);
    ASSERT_TRUE(f.lib.store->person(1));
    EXPECT_EQ(facesOf(f, 1), 3);
    EXPECT_EQ(f.db().db().scalarInt("SELECT COUNT(*) FROM faces WHERE person_id IS NOT NULL AND person_id NOT IN "
                                    "(SELECT id FROM persons)", {}),
              0);
}

TEST(PeopleScreen, menuNamesMergesAndHides) {
    Fixture f;
    addPerson(f, 1, "", 3);
    for (int i = 0; i < 45; ++i) addPerson(f, 10 + i, "Named " + std::to_string(i), 1);
    addPerson(f, 2, "Tom & Jerry", 5);
    f.open();
    Screen s(f);
    s.canvas().openMenu({PeopleScreen::visibleKind, 1}, {});
    ASSERT_TRUE(f.caught.menu);
    EXPECT_EQ(f.caught.texts(), "Open|Add Name\u2026|This Is\u2026|Don\u2019t Show This Person");
    QMenu* thisIs = f.caught.action(QStringLiteral("This Is\u2026"))->menu();
    ASSERT_EQ(thisIs->actions().size(), PeopleScreen::thisIsLimit);
    EXPECT_EQ(thisIs->actions()[0]->text(), "Tom && Jerry") << "a name is no mnemonic";
    f.caught.action(QStringLiteral("Add Name\u2026"))->trigger();
    ASSERT_TRUE(f.model.renamePrompt());
    EXPECT_EQ(f.model.renamePrompt()->title, "Who is this?");
    EXPECT_EQ(f.model.renamePrompt()->text, "");

    // This Is… merges at once, into the chosen person.
    f.caught.action(QStringLiteral("Named 0"))->trigger();
    delete f.caught.menu.data();
    EXPECT_FALSE(f.lib.store->person(1));
    EXPECT_EQ(facesOf(f, 10), 1 + 3);

    // A named person's menu offers Rename…, and never lists the person.
    s.canvas().openMenu({PeopleScreen::visibleKind, 10}, {});
    EXPECT_TRUE(f.caught.action(QStringLiteral("Rename\u2026")));
    for (QAction* a : f.caught.action(QStringLiteral("This Is\u2026"))->menu()->actions())
        EXPECT_NE(a->text(), "Named 0");
    f.caught.action(QStringLiteral("Don\u2019t Show This Person"))->trigger();
    delete f.caught.menu.data();
    ASSERT_TRUE(s.screen.hiddenButton());
    EXPECT_EQ(s.screen.hiddenButton()->text(), "Show 1 hidden person");
    s.screen.hiddenButton()->click();
    EXPECT_EQ(s.screen.hiddenButton()->text(), "Hide these again");
    ASSERT_TRUE(s.canvas().cardRect({PeopleScreen::hiddenKind, 10}));
    EXPECT_EQ(s.canvas().blocks().back().opacity, 0.6);
    s.canvas().openMenu({PeopleScreen::hiddenKind, 10}, {});
    f.caught.action(QStringLiteral("Show Again"))->trigger();
    delete f.caught.menu.data();
    EXPECT_FALSE(s.screen.hiddenButton());
    EXPECT_FALSE(f.lib.store->person(10)->hidden);
}

TEST(PeopleScreen, reloadsWaitForTheOpenMenu) {
    Fixture f;
    addPerson(f, 1, "Ann", 3);
    addPerson(f, 2, "Bea", 3);
    f.open();
    Screen s(f);
    s.canvas().openMenu({PeopleScreen::visibleKind, 1}, {});
    ASSERT_TRUE(f.caught.menu);
    // The engine merges Bea away while the menu is open.
    f.db().mergePerson(2, 1);
    f.lib.store->engineDidUpdatePeople();
    EXPECT_EQ(s.screen.visiblePeople().size(), 2u) << "no rebuild under an open menu";
    EXPECT_TRUE(s.canvas().cardRect({PeopleScreen::visibleKind, 2}));
    // The menu's stale choice merges nothing.
    f.caught.action(QStringLiteral("Bea"))->trigger();
    EXPECT_TRUE(f.lib.store->person(1));
    EXPECT_EQ(facesOf(f, 1), 6);
    delete f.caught.menu.data();
    ASSERT_EQ(s.screen.visiblePeople().size(), 1u);
    EXPECT_FALSE(s.canvas().cardRect({PeopleScreen::visibleKind, 2}));
}

TEST(PeopleScreen, dragRunsThroughTheSeamAndHoldsTheList) {
    Fixture f;
    addPerson(f, 1, "Ann", 3);
    addPerson(f, 2, "Bea", 3);
    f.open();
    Screen s(f);
    std::optional<int64_t> carried;
    bool busyDuring = false;
    CollectionCanvas::setDragRunner([&](QDrag* drag) {
        carried = persondrag::read(*drag->mimeData());
        busyDuring = s.canvas().isBusy();
        // People reload while the drag is under way.
        f.db().mergePerson(1, 2);
        f.lib.store->engineDidUpdatePeople();
    });
    const QPoint from = s.centreOf(1);
    QTest::mousePress(s.canvas().viewport(), Qt::LeftButton, {}, from);
    QMouseEvent move(QEvent::MouseMove, QPointF(from + QPoint(30, 0)), QPointF(), Qt::NoButton, Qt::LeftButton, {});
    QApplication::sendEvent(s.canvas().viewport(), &move);
    CollectionCanvas::setDragRunner({});
    EXPECT_EQ(carried, 1);
    EXPECT_TRUE(busyDuring);
    EXPECT_FALSE(s.canvas().isBusy());
    ASSERT_EQ(s.screen.visiblePeople().size(), 1u) << "the held-back reload ran when the drag ended";
    EXPECT_EQ(s.screen.visiblePeople()[0].id, 2);
}
