#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QScreen>
#include <QScrollBar>
#include <QVariantAnimation>

#include "store/StoreFixture.h"
#include "ui/Grid/GridTestSupport.h"
#include "UI/Grid/PhotoGridView.h"

using namespace vintrelle;
using namespace gridtest;
using storetest::spinUntil;

namespace {

class GridView : public ::testing::Test {
protected:
    ManualThumbs thumbs;
    std::shared_ptr<GridPixmapCache> pixmaps = std::make_shared<GridPixmapCache>();
    std::vector<std::vector<int64_t>> selections;
    std::vector<std::string> reports;
    std::vector<int64_t> opened;
    std::vector<std::pair<int64_t, std::vector<int64_t>>> menus;
    std::vector<GridDrag> drags;
    std::unique_ptr<PhotoGridView> grid;

    void make(std::optional<int64_t> servedToken = std::nullopt) {
        PhotoGridView::Callbacks cb;
        cb.open = [this](const Asset& a) { opened.push_back(a.id); };
        cb.selectionChanged = [this](const std::vector<int64_t>& ids) { selections.push_back(ids); };
        cb.visibleSectionChanged = [this](const std::string& t) { reports.push_back(t); };
        cb.contextMenu = [this](const Asset& a, const std::vector<int64_t>& ids, const QPoint&) {
            menus.emplace_back(a.id, ids);
        };
        cb.drag = [this](GridDrag& d) { drags.push_back(std::move(d)); };
        grid = std::make_unique<PhotoGridView>(library(thumbs.source()), cb, servedToken, nullptr, pixmaps);
        grid->resize(1000, 700);  // 6 columns of 156 at the default size
        grid->show();
        flush();
    }
    void flush() { QCoreApplication::processEvents(); }
    void scrollTo(int y) { grid->verticalScrollBar()->setValue(y); }

    QPointF centre(size_t pos) const {
        return grid->gridLayout()
            .itemFrame(grid->positions().index(pos))
            .translated(0, -grid->scrollOffset())
            .center();
    }
    void mouse(QEvent::Type type, QPointF at, Qt::KeyboardModifiers mods = {}, Qt::MouseButton b = Qt::LeftButton) {
        const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::MouseButtons() : Qt::MouseButtons(b);
        QMouseEvent e(type, at, grid->viewport()->mapToGlobal(at), b, held, mods);
        QCoreApplication::sendEvent(grid->viewport(), &e);
    }
    void click(QPointF at, Qt::KeyboardModifiers mods = {}) {
        mouse(QEvent::MouseButtonPress, at, mods);
        mouse(QEvent::MouseButtonRelease, at, mods);
    }
    void doubleClick(QPointF at, Qt::KeyboardModifiers mods = {}) {
        click(at, mods);
        mouse(QEvent::MouseButtonDblClick, at, mods);
        mouse(QEvent::MouseButtonRelease, at, mods);
    }
    void rightClick(QPointF at) {
        QContextMenuEvent e(QContextMenuEvent::Mouse, at.toPoint(), grid->viewport()->mapToGlobal(at.toPoint()));
        QCoreApplication::sendEvent(grid->viewport(), &e);
    }
    void key(int k, Qt::KeyboardModifiers mods = {}) {
        QKeyEvent e(QEvent::KeyPress, k, mods);
        QCoreApplication::sendEvent(grid.get(), &e);
    }
    std::vector<int64_t> selected() const { return grid->selectedIDs(); }
    void hitAll(int64_t upTo, QColor c = Qt::red) {
        const GridLibrary lib = library({});
        for (int64_t id = 1; id <= upTo; ++id) thumbs.memory[lib.paths.thumbURL(id)] = solid(c);
    }
    std::string thumbPath(int64_t id) const { return library({}).paths.thumbURL(id); }
};

}  // namespace

TEST_F(GridView, RecordChangesRefreshInPlaceAndNewIdsReload) {
    make();
    hitAll(90);
    auto c1 = content({30, 30, 30}, 1);
    grid->setContent(c1);
    scrollTo(300);
    grid->setSelection(std::vector<int64_t>{5, 40});
    ASSERT_TRUE(grid->waitForThumbnails(fixtures::patientMs));
    const qsizetype pixmapsBefore = pixmaps->count();
    const size_t requestsBefore = thumbs.requests.size();
    const size_t reportsBefore = reports.size();
    ASSERT_GT(pixmapsBefore, 0);

    // A favourite toggled: same ids in the same places, so nothing reloads.
    grid->setContent(edited(*c1, 2, [](Asset& a) { a.favorite = a.id == 5; }));
    flush();
    EXPECT_EQ(grid->scrollOffset(), 300);
    EXPECT_EQ(selected(), (std::vector<int64_t>{5, 40}));
    EXPECT_EQ(reports.size(), reportsBefore);
    EXPECT_EQ(thumbs.requests.size(), requestsBefore);
    EXPECT_EQ(pixmaps->count(), pixmapsBefore);
    EXPECT_TRUE(grid->content()->flat->at(4).favorite);

    // New photos in the same route: reload in place, the selection follows its ids.
    std::vector<int64_t> ids = {1001, 1002, 1003};
    for (int64_t i = 1; i <= 90; ++i) ids.push_back(i);
    grid->setContent(content({33, 30, 30}, 3, "library|", ids));
    flush();
    EXPECT_EQ(grid->scrollOffset(), 300);
    EXPECT_EQ(selected(), (std::vector<int64_t>{5, 40}));
    EXPECT_EQ(reports.size(), reportsBefore + 1);  // a reload reports the top section again

    // Photos of a section far below the view: no cell on screen changes, so
    // none is painted again (the scroll bar's thumb may be); photos above it
    // move everything and repaint the view.
    struct Paints : QObject {
        QRegion painted;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) painted += static_cast<QPaintEvent*>(e)->region();
            return false;
        }
    } paints;
    grid->viewport()->installEventFilter(&paints);
    flush();
    paints.painted = QRegion();
    ids.insert(ids.end(), {2001, 2002});
    grid->setContent(content({33, 30, 32}, 4, "library|", ids));
    flush();
    EXPECT_FALSE(paints.painted.contains(QRect(0, 0, 200, 200)));
    ids.insert(ids.begin(), 3001);
    grid->setContent(content({34, 30, 32}, 5, "library|", ids));
    flush();
    EXPECT_TRUE(paints.painted.contains(QRect(0, 0, 200, 200)));
    EXPECT_EQ(selected(), (std::vector<int64_t>{5, 40}));

    // Another route or search: back to the top.
    grid->setContent(content({34, 30, 32}, 6, "favorites|", ids));
    EXPECT_EQ(grid->scrollOffset(), 0);
}

TEST_F(GridView, SizeChangesAndResizesKeepTheItemNearestTheCentreInPlace) {
    make();
    grid->setContent(content({400}, 1));
    grid->setThumbSize(100);  // at the top: stays at the top
    EXPECT_EQ(grid->scrollOffset(), 0);

    // Months of one or two photos, whose headers and empty row ends leave
    // the centre of the view mostly empty.
    std::vector<int> counts;
    for (int i = 0; i < 120; ++i) counts.push_back(i % 3 == 0 ? 2 : 1);
    grid->setContent(content(counts, 2, "sparse|"));
    grid->resize(1320, 700);
    flush();
    auto onScreen = [&](int64_t id) {
        for (size_t pos = 0; pos < grid->positions().total(); ++pos)
            if (grid->assetAt(pos).id == id)
                return grid->gridLayout().itemFrame(grid->positions().index(pos)).translated(0, -grid->scrollOffset());
        return QRectF();
    };
    for (int start : {4100, 9000, 2373}) {
        SCOPED_TRACE(start);
        scrollTo(start);
        const std::optional<ScreenPlace> place = grid->place();
        ASSERT_TRUE(place && place->itemID);
        const int64_t id = *place->itemID;
        // The nearest of all items in view, wherever the centre falls.
        const QPointF centre(grid->viewport()->width() / 2.0, grid->viewport()->height() / 2.0);
        auto distance = [&](const QRectF& f) {
            const double dx = std::max({f.left() - centre.x(), 0.0, centre.x() - f.right()});
            const double dy = std::max({f.top() - centre.y(), 0.0, centre.y() - f.bottom()});
            return dx * dx + dy * dy;
        };
        for (size_t pos = 0; pos < grid->positions().total(); ++pos) {
            const QRectF f = onScreen(grid->assetAt(pos).id);
            if (f.intersects(grid->viewport()->rect())) {
                EXPECT_LE(distance(onScreen(id)), distance(f));
            }
        }
        const double y = onScreen(id).center().y();
        // Three steps up, a narrower and a wider window, and back down: no creeping.
        const std::vector<std::pair<double, int>> steps = {
            {178, 1320}, {206, 1320}, {234, 1320}, {234, 940}, {234, 1320}, {150, 1320}, {150, 940}, {150, 1320}};
        for (auto [size, width] : steps) {
            grid->setThumbSize(size);
            grid->resize(width, 700);
            flush();
            EXPECT_NEAR(onScreen(id).center().y(), y, 1.0) << size << " " << width;
        }
        // A taller window keeps it at the same share of the height.
        grid->resize(1320, 900);
        flush();
        EXPECT_NEAR(onScreen(id).center().y(), y * 900 / 700, 1.0);
        grid->resize(1320, 700);
        flush();
    }
    // Once the user scrolls, the place is found anew.
    scrollTo(6000);
    const int64_t now = *grid->place()->itemID;
    const double y = onScreen(now).center().y();
    grid->setThumbSize(200);
    EXPECT_NEAR(onScreen(now).center().y(), y, 1.0);

    // A place handed back later: the same item at the same height, or the
    // offset when the item is gone.
    const ScreenPlace kept = *grid->place();
    scrollTo(0);
    grid->restorePlace(kept);
    EXPECT_NEAR(onScreen(now).center().y(), y, 1.0);
    grid->restorePlace({999999, 0.5, 1234});
    EXPECT_EQ(grid->scrollOffset(), 1234);
    grid->restorePlace({now, 0.5, 2});
    EXPECT_EQ(grid->scrollOffset(), 0);
}

TEST_F(GridView, CursorFollowsItsAssetAcrossReloads) {
    make();
    grid->setThumbSize(300);  // 3 columns
    grid->setContent(content({5, 2, 7}, 1));
    ASSERT_EQ(grid->gridLayout().columns(), 3);
    key(Qt::Key_Right);  // nothing selected: the first asset
    key(Qt::Key_Right);
    key(Qt::Key_Right);
    EXPECT_EQ(selected(), (std::vector<int64_t>{3}));
    key(Qt::Key_Down, Qt::ShiftModifier);  // S0 row 0 col 2 → its last item, added
    EXPECT_EQ(selected(), (std::vector<int64_t>{3, 5}));
    EXPECT_EQ(grid->cursorID(), 5);

    // Two photos arrive above: the cursor is still on asset 5, now at position 6.
    grid->setContent(content({7, 2, 7}, 2, "library|", {100, 101, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
    key(Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(selected(), (std::vector<int64_t>{3, 5, 6}));

    // The cursor's asset is gone: the next arrow starts from the selection.
    grid->setContent(content({2, 2, 7}, 3, "library|", {100, 101, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(grid->cursorID(), std::nullopt);
    key(Qt::Key_Left);
    EXPECT_EQ(selected(), (std::vector<int64_t>{100}));
    flush();
    ASSERT_FALSE(selections.empty());
    EXPECT_EQ(selections.back(), (std::vector<int64_t>{100}));

    // Keys with Ctrl go to the platform; Ctrl+A selects everything.
    key(Qt::Key_Right, Qt::ControlModifier);
    EXPECT_EQ(selected(), (std::vector<int64_t>{100}));
    key(Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(selected().size(), 11u);
}

// The library's lists are in store order (newest first, equal times by the
// larger id): a reload finds the selected assets and the cursor by their
// place in that order, and a record whose time changed by a pass.
TEST_F(GridView, SelectionFollowsItsAssetsThroughNewPhotosInStoreOrder) {
    make();
    std::vector<int64_t> before;
    for (int64_t id = 20; id >= 1; --id) before.push_back(id);
    grid->setContent(content({8, 12}, 1, "library|", before));
    grid->setSelection(std::vector<int64_t>{3, 15});
    key(Qt::Key_Right, Qt::ShiftModifier);  // from the first selected (15) to 14, added
    EXPECT_EQ(selected(), (std::vector<int64_t>{15, 14, 3}));

    std::vector<int64_t> after = {40, 30, 25};
    for (int64_t id = 20; id >= 1; --id) after.push_back(id);
    grid->setContent(content({5, 18}, 2, "library|", after));
    EXPECT_EQ(selected(), (std::vector<int64_t>{15, 14, 3}));
    EXPECT_EQ(grid->cursorID(), 14);
    EXPECT_EQ(grid->inGridOrder({3, 15, 14, 99}), (std::vector<int64_t>{15, 14, 3, 99}));

    // Asset 15's time changed and it moved to the front: no longer where its old time says.
    auto reordered = std::make_shared<GridContent>(*content({5, 18}, 3, "library|", {15, 40, 30, 25, 20, 19, 18, 17, 16,
                                                                                       14, 13, 12, 11, 10, 9, 8, 7, 6,
                                                                                       5, 4, 3, 2, 1}));
    std::vector<Asset> records = reordered->flat->toVector();
    records[0].taken = -1;
    reordered->flat = std::make_shared<const AssetList>(std::move(records));
    grid->setContent(reordered);
    EXPECT_EQ(selected(), (std::vector<int64_t>{15, 14, 3}));
}

TEST_F(GridView, ClicksBandsAndOpening) {
    make();
    grid->setContent(content({20, 20}, 1));
    click(centre(2));
    EXPECT_EQ(selected(), (std::vector<int64_t>{3}));
    click(centre(5), Qt::ControlModifier);
    EXPECT_EQ(selected(), (std::vector<int64_t>{3, 6}));
    click(centre(8), Qt::ShiftModifier);  // from the last clicked, in grid order
    EXPECT_EQ(selected(), (std::vector<int64_t>{3, 6, 7, 8, 9}));
    click(centre(5), Qt::ControlModifier);
    EXPECT_EQ(selected(), (std::vector<int64_t>{3, 7, 8, 9}));
    click(QPointF(5, 300));  // the margin
    EXPECT_TRUE(selected().empty());
    flush();
    ASSERT_FALSE(selections.empty());
    EXPECT_TRUE(selections.back().empty());

    // A band from empty space selects what it crosses.
    mouse(QEvent::MouseButtonPress, QPointF(5, 70));
    mouse(QEvent::MouseMove, centre(7) + QPointF(0, 1));
    mouse(QEvent::MouseButtonRelease, centre(7));
    EXPECT_EQ(selected(), (std::vector<int64_t>{1, 2, 7, 8}));

    doubleClick(centre(4));
    EXPECT_EQ(opened, (std::vector<int64_t>{5}));
    doubleClick(centre(3), Qt::ShiftModifier);
    EXPECT_EQ(opened.size(), 1u);

    flush();
    grid->setSelection(std::vector<int64_t>{30, 9, 4});
    key(Qt::Key_Return);  // the first selected in grid order
    key(Qt::Key_Space);
    key(Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(opened, (std::vector<int64_t>{5, 4, 4, 4}));
    grid->setSelection(std::vector<int64_t>{});
    key(Qt::Key_Return);
    EXPECT_EQ(opened.size(), 4u);
}

TEST_F(GridView, ContextMenuSelectsAnUnselectedAssetAloneAndPassesGridOrder) {
    make();
    // Newest first, as a library is shown: grid order is not id order.
    grid->setContent(content({12}, 1, "library|", {12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
    grid->setSelection(std::vector<int64_t>{7, 3, 5});
    rightClick(centre(0));
    ASSERT_EQ(menus.size(), 1u);
    EXPECT_EQ(menus[0], (std::pair<int64_t, std::vector<int64_t>>{12, {12}}));
    EXPECT_EQ(selected(), (std::vector<int64_t>{12}));
    flush();
    EXPECT_EQ(selections.back(), (std::vector<int64_t>{12}));

    grid->setSelection(std::vector<int64_t>{3, 9, 5});
    rightClick(centre(7));  // asset 5, selected: the whole selection, in grid order
    ASSERT_EQ(menus.size(), 2u);
    EXPECT_EQ(menus[1], (std::pair<int64_t, std::vector<int64_t>>{5, {9, 5, 3}}));
    rightClick(QPointF(5, 5));  // empty space: no menu
    EXPECT_EQ(menus.size(), 2u);

    key(Qt::Key_A, Qt::ControlModifier);
    flush();
    EXPECT_EQ(selections.back(), (std::vector<int64_t>{12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(grid->inGridOrder({2, 999, 12, 500}), (std::vector<int64_t>{12, 2, 500, 999}));
}

TEST_F(GridView, ScrollRequestsRunOncePerTokenAndTheMadeTokenIsSpent) {
    make(7);
    grid->setContent(content({50, 50, 50, 3}, 1));
    auto* anim = grid->findChild<QVariantAnimation*>();
    ASSERT_NE(anim, nullptr);
    grid->requestScroll("s2", 7);  // current when the grid was made: an old request
    EXPECT_EQ(anim->state(), QAbstractAnimation::Stopped);

    grid->requestScroll("s2", 8);
    EXPECT_EQ(anim->state(), QAbstractAnimation::Running);
    EXPECT_EQ(anim->duration(), 280);
    anim->setCurrentTime(anim->duration());
    EXPECT_EQ(grid->scrollOffset(), int(grid->gridLayout().tops()[2]) - 4);

    grid->requestScroll("s0", 8);  // the same token again
    EXPECT_EQ(anim->state(), QAbstractAnimation::Stopped);
    EXPECT_EQ(grid->scrollOffset(), int(grid->gridLayout().tops()[2]) - 4);

    grid->requestScroll("s3", 9);  // near the end: stops at the bottom
    anim->setCurrentTime(anim->duration());
    EXPECT_EQ(grid->scrollOffset(), grid->verticalScrollBar()->maximum());

    grid->requestScroll("missing", 10);
    EXPECT_EQ(anim->state(), QAbstractAnimation::Stopped);
}

TEST_F(GridView, ReportsTheSectionUnderTheTopOnlyWhenItChanges) {
    make();
    reports.clear();
    grid->setContent(content({50, 50, 50}, 1));
    flush();
    ASSERT_EQ(reports, (std::vector<std::string>{"S0"}));
    scrollTo(200);
    scrollTo(400);
    flush();
    EXPECT_EQ(reports.size(), 1u);
    const int top1 = int(grid->gridLayout().tops()[1]);
    scrollTo(top1 - 24 - 1);
    flush();
    EXPECT_EQ(reports.size(), 1u);
    scrollTo(top1 - 24);
    flush();
    EXPECT_EQ(reports, (std::vector<std::string>{"S0", "S1"}));
}

TEST_F(GridView, RouteHeaderScrollsWithTheContentAndScrollBarFloats) {
    make();
    grid->setContent(content({5}, 1));
    EXPECT_EQ(grid->viewport()->width(), 1000);
    grid->setContent(content({500}, 2));  // far taller than the view
    flush();
    EXPECT_TRUE(grid->verticalScrollBar()->isVisible());
    EXPECT_EQ(grid->viewport()->width(), 1000);
    EXPECT_EQ(grid->gridLayout().width(), 1000);
    EXPECT_EQ(grid->gridLayout().tops()[0], 0);

    QPointer<QWidget> header = new QWidget;
    grid->setHeader(header, 120);
    EXPECT_EQ(header->parentWidget(), grid->viewport());
    EXPECT_EQ(grid->gridLayout().tops()[0], 120);
    EXPECT_EQ(header->geometry(), QRect(0, 0, 1000, 120));
    scrollTo(50);
    EXPECT_EQ(header->y(), -50);
    grid->setHeader(header, 228);  // the same header grows
    EXPECT_EQ(grid->gridLayout().tops()[0], 228);
    grid->setHeader(nullptr, 0);
    EXPECT_EQ(grid->gridLayout().tops()[0], 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(header.isNull());
}

TEST_F(GridView, LateAndFailedLoadsLeaveCellsAlone) {
    make();
    grid->setContent(content({6}, 1));
    ASSERT_EQ(thumbs.requests.size(), 6u);
    const double side = grid->gridLayout().side();
    auto picture = [&](size_t pos) {
        return grid->thumbnails().picture(grid->assetAt(pos), false, side, grid->devicePixelRatioF());
    };

    thumbs.latest(thumbPath(1))->done(solid(Qt::red));
    EXPECT_FALSE(picture(0).source.isNull());
    EXPECT_LT(picture(0).opacity, 1.0);  // a load that had to wait fades in

    // The cells now show other assets: their loads are cancelled, and a
    // result that arrives anyway lands nowhere.
    grid->setContent(content({6}, 2, "library|", {11, 12, 13, 14, 15, 16}));
    EXPECT_TRUE(thumbs.latest(thumbPath(2))->cancelled);
    thumbs.latest(thumbPath(2))->done(solid(Qt::green));
    EXPECT_TRUE(picture(1).empty());

    // A failed decode leaves the placeholder and is not retried for the same record.
    const size_t before = thumbs.requests.size();
    thumbs.latest(thumbPath(13))->done(QImage());
    grid->setThumbSize(151);  // a pass over the same cells
    EXPECT_TRUE(picture(2).empty());
    EXPECT_EQ(thumbs.requests.size(), before);
}

TEST_F(GridView, ScrollingAwayCancelsLoads) {
    make();
    grid->setContent(content({900}, 1));
    const auto first = thumbs.latest(thumbPath(1));
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->cancelled);
    scrollTo(grid->verticalScrollBar()->maximum());
    EXPECT_TRUE(first->cancelled);
    EXPECT_TRUE(thumbs.latest(thumbPath(900)));
    EXPECT_LT(grid->thumbnails().cellCount(), 200u);  // cells in view, never the whole grid
}

TEST_F(GridView, ChangedRecordKeepsItsPictureUntilTheNewOneAndLibrarySwitchClears) {
    make();
    hitAll(6);
    auto c1 = content({6}, 1);
    grid->setContent(c1);
    ASSERT_TRUE(grid->waitForThumbnails(fixtures::patientMs));
    const double side = grid->gridLayout().side();
    const qreal dpr = grid->devicePixelRatioF();
    EXPECT_FALSE(grid->thumbnails().picture(grid->assetAt(0), false, side, dpr).exact.isNull());

    // The file changed: its old picture stays until the new thumbnail arrives.
    thumbs.memory.erase(thumbPath(1));
    grid->setContent(edited(*c1, 2, [](Asset& a) { a.mtime += a.id == 1 ? 60 : 0; }));
    GridPicture p = grid->thumbnails().picture(grid->assetAt(0), false, side, dpr);
    EXPECT_TRUE(p.exact.isNull());
    EXPECT_FALSE(p.fallback.isNull());
    thumbs.latest(thumbPath(1))->done(solid(Qt::green));
    p = grid->thumbnails().picture(grid->assetAt(0), false, side, dpr);
    EXPECT_FALSE(p.source.isNull());
    EXPECT_EQ(p.opacity, 1.0);  // replaced, not faded in from nothing
    ASSERT_TRUE(grid->waitForThumbnails(fixtures::patientMs));
    const QImage now = grid->thumbnails().picture(grid->assetAt(0), false, side, dpr).exact.toImage();
    EXPECT_EQ(QColor(now.pixel(now.width() / 2, now.height() / 2)), QColor(Qt::green));

    ASSERT_GT(pixmaps->count(), 0);
    grid->setLibrary(library(thumbs.source(), 8));
    EXPECT_EQ(pixmaps->count(), 0);
}

TEST_F(GridView, DragsFilesInGridOrderForCopyingOnly) {
    make();
    std::vector<int64_t> ids = {1, 2, 3, 4};
    auto c = content({4}, 1, "library|", ids);
    auto flat = std::make_shared<std::vector<Asset>>(c->flat->toVector());
    (*flat)[0].path = "2023/a b.jpg";
    (*flat)[1].path = "2023/c#d.jpg";
    (*flat)[3].path = "été/é.jpg";
    auto withPaths = std::make_shared<GridContent>(*c);
    withPaths->flat = std::make_shared<const AssetList>(*flat);
    grid->setContent(withPaths);
    grid->setSelection(std::vector<int64_t>{4, 1, 2});

    mouse(QEvent::MouseButtonPress, centre(1));
    mouse(QEvent::MouseMove, centre(1) + QPointF(QApplication::startDragDistance() + 2, 0));
    mouse(QEvent::MouseButtonRelease, centre(1));
    ASSERT_EQ(drags.size(), 1u);
    const GridDrag& d = drags[0];
    EXPECT_EQ(d.actions, Qt::DropActions(Qt::CopyAction));
    EXPECT_EQ(d.defaultAction, Qt::CopyAction);
    EXPECT_EQ(d.mime->data("text/uri-list").toStdString(),
              "file:///media/me/Photos/2023/a%20b.jpg\r\n"
              "file:///media/me/Photos/2023/c%23d.jpg\r\n"
              "file:///media/me/Photos/%C3%A9t%C3%A9/%C3%A9.jpg\r\n");
    EXPECT_FALSE(d.pixmap.isNull());
    // The press did not narrow the selection it dragged.
    EXPECT_EQ(selected(), (std::vector<int64_t>{1, 2, 4}));

    // An unselected cell drags alone.
    mouse(QEvent::MouseButtonPress, centre(2));
    mouse(QEvent::MouseMove, centre(2) + QPointF(0, QApplication::startDragDistance() + 2));
    ASSERT_EQ(drags.size(), 2u);
    EXPECT_EQ(drags[1].mime->urls().size(), 1);
}

TEST_F(GridView, WhileTheSizeMovesCellsDrawFromTheDecodedThumbnail) {
    make();
    hitAll(12);
    grid->setContent(content({12}, 1));
    ASSERT_TRUE(grid->waitForThumbnails(fixtures::patientMs));
    const qsizetype before = pixmaps->count();
    const qreal dpr = grid->devicePixelRatioF();
    for (double size : {160.0, 175.0, 190.0}) grid->setThumbSize(size);
    const double side = grid->gridLayout().side();
    GridPicture p = grid->thumbnails().picture(grid->assetAt(0), false, side, dpr);
    EXPECT_TRUE(p.exact.isNull());
    EXPECT_FALSE(p.source.isNull());
    QCoreApplication::processEvents();
    EXPECT_EQ(pixmaps->count(), before);  // nothing scaled for sizes passed on the way
    ASSERT_TRUE(grid->waitForThumbnails(fixtures::patientMs));
    EXPECT_FALSE(grid->thumbnails().picture(grid->assetAt(0), false, side, dpr).exact.isNull());
    EXPECT_EQ(pixmaps->count(), before + 12);
}

TEST_F(GridView, PageKeysScrollWithoutTouchingTheSelection) {
    make();
    grid->setContent(content({600}, 1));
    grid->setSelection(std::vector<int64_t>{3});
    key(Qt::Key_PageDown);
    EXPECT_EQ(grid->scrollOffset(), grid->viewport()->height());
    key(Qt::Key_End);
    EXPECT_EQ(grid->scrollOffset(), grid->verticalScrollBar()->maximum());
    key(Qt::Key_PageUp);
    EXPECT_EQ(grid->scrollOffset(), grid->verticalScrollBar()->maximum() - grid->viewport()->height());
    key(Qt::Key_Home);
    EXPECT_EQ(grid->scrollOffset(), 0);
    EXPECT_EQ(selected(), (std::vector<int64_t>{3}));
    // An arrow brings the moved-to asset into view.
    key(Qt::Key_End);
    key(Qt::Key_Right);
    const QRectF f = grid->gridLayout().itemFrame(grid->positions().index(3));
    EXPECT_EQ(grid->scrollOffset(), int(f.top()));
}

// Page Down races past cells nothing is decoded for: each gets a stand-in
// read small on the workers (the cells in view and a screen and a half
// below), shown whole at once with no fade; no whole thumbnail is asked for
// until the grid settles, and then it replaces the stand-in, again without
// a fade. A stand-in that cannot be read leaves the placeholder until then
// (and its whole thumbnail then comes as any late one does).
TEST_F(GridView, PagingFastShowsStandInsAndTheWholeThumbnailsOnceSettled) {
    thumbs.standIns = true;
    make();
    grid->setContent(content({3000}, 1));
    flush();
    const size_t before = thumbs.requests.size();
    std::vector<size_t> inView, ahead;
    auto cellsIn = [&](QRectF r) {
        std::vector<size_t> out;
        grid->gridLayout().forEachIn(r, [](int) {}, [&](GridIndex i) { out.push_back(grid->positions().position(i)); });
        return out;
    };
    // Page Down moves the view one screen down.
    const double h = grid->viewport()->height();
    inView = cellsIn(QRectF(0, h, grid->viewport()->width(), h));
    ahead = cellsIn(QRectF(0, 2 * h + 4, grid->viewport()->width(), 1.5 * h - 8));
    const int64_t failing = grid->assetAt(inView.back()).id;
    thumbs.smallFails.insert(thumbPath(failing));
    key(Qt::Key_PageDown);
    ASSERT_EQ(grid->scrollOffset(), int(h));
    EXPECT_TRUE(grid->thumbnails().movingFast());
    EXPECT_EQ(thumbs.requests.size(), before);  // nothing whole while racing

    const double side = grid->gridLayout().side();
    auto picture = [&](size_t pos) { return grid->thumbnails().picture(grid->assetAt(pos), false, side, 1); };
    ASSERT_TRUE(spinUntil([&] {
        flush();
        return std::all_of(inView.begin(), inView.end() - 1, [&](size_t pos) { return !picture(pos).empty(); });
    }));
    for (size_t pos : inView) {
        SCOPED_TRACE(pos);
        if (grid->assetAt(pos).id == failing) {
            EXPECT_TRUE(picture(pos).empty());
        } else {
            EXPECT_FALSE(picture(pos).fallback.isNull());
            EXPECT_EQ(picture(pos).opacity, 1.0);
        }
    }
    auto wasAsked = [&](size_t pos) {
        const std::vector<std::string> asked = thumbs.smallAsked();
        return std::find(asked.begin(), asked.end(), thumbPath(grid->assetAt(pos).id)) != asked.end();
    };
    EXPECT_TRUE(spinUntil([&] {
        flush();
        return std::all_of(ahead.begin(), ahead.end(), wasAsked);
    }));

    // Settled: the whole thumbnails are asked for, and one that arrives
    // takes the stand-in's place without fading in.
    ASSERT_TRUE(spinUntil([&] {
        flush();
        return !grid->thumbnails().movingFast();
    }));
    for (size_t pos : inView) ASSERT_TRUE(thumbs.latest(thumbPath(grid->assetAt(pos).id))) << pos;
    thumbs.latest(thumbPath(grid->assetAt(inView.front()).id))->done(solid(Qt::red));
    thumbs.latest(thumbPath(failing))->done(solid(Qt::blue));
    ASSERT_TRUE(spinUntil([&] {
        flush();
        return !picture(inView.front()).exact.isNull() && !picture(inView.back()).exact.isNull();
    }));
    EXPECT_EQ(picture(inView.front()).opacity, 1.0);
    EXPECT_EQ(picture(inView.front()).exact.toImage().pixelColor(20, 20), QColor(Qt::red));
}

TEST_F(GridView, PressAndBandSurviveAReload) {
    make();
    grid->setContent(content({30}, 1));
    mouse(QEvent::MouseButtonPress, centre(1));  // asset 2
    grid->setContent(content({3}, 2, "library|", {2, 40, 41}));
    mouse(QEvent::MouseMove, centre(1) + QPointF(0, QApplication::startDragDistance() + 2));
    ASSERT_EQ(drags.size(), 1u);
    EXPECT_EQ(drags[0].mime->urls(), QList<QUrl>{QUrl::fromLocalFile("/media/me/Photos/photos/IMG_2.jpg")});
    mouse(QEvent::MouseButtonRelease, centre(1));

    grid->setContent(content({30}, 3));
    mouse(QEvent::MouseButtonPress, QPointF(5, 70));
    mouse(QEvent::MouseMove, centre(29));
    EXPECT_EQ(selected().size(), 30u);
    grid->setContent(content({4}, 4, "library|", {1, 2, 3, 50}));
    mouse(QEvent::MouseMove, centre(2));
    mouse(QEvent::MouseButtonRelease, centre(2));
    EXPECT_EQ(selected(), (std::vector<int64_t>{1, 2, 3}));
    flush();
    EXPECT_EQ(selections.back(), (std::vector<int64_t>{1, 2, 3}));
}

TEST_F(GridView, AnOlderSelectionEchoedBackDoesNotUndoTheUsersChange) {
    make();
    grid->setContent(content({10}, 1));
    grid->setSelection(std::vector<int64_t>{1});
    click(centre(4));  // on its way to the application
    grid->setSelection(std::vector<int64_t>{1});  // an update carrying the value from before the click
    EXPECT_EQ(selected(), (std::vector<int64_t>{5}));
    flush();
    EXPECT_EQ(selections.back(), (std::vector<int64_t>{5}));
    grid->setSelection(std::vector<int64_t>{5});  // the application now agrees: nothing to do
    grid->setSelection(std::vector<int64_t>{2, 3});  // its own change afterwards is taken
    EXPECT_EQ(selected(), (std::vector<int64_t>{2, 3}));
}

// What the window holds (the backing store, painted piece by piece as
// pictures arrive and the view moves) is what a full repaint would show:
// no cell is left with an old or missing picture, after a scroll with
// repaints still waiting nor after a batch of new photos takes the view.
TEST_F(GridView, TheWindowShowsEveryPictureThroughScrollsAndAReplacedView) {
    thumbs.standIns = true;
    make();
    grid->setContent(content({600}, 1));
    flush();
    auto answer = [&](int64_t firstNew) {
        // Every load still open, in colours that tell the assets apart.
        for (const auto& r : thumbs.requests) {
            if (r->cancelled || !r->done) continue;
            const int64_t id = std::stoll(r->path.substr(r->path.rfind('/') + 1));
            auto done = std::exchange(r->done, nullptr);
            done(solid(QColor::fromHsv(int(id * 37 % 360), id >= firstNew ? 90 : 220, 200)));
        }
    };
    auto mismatches = [&] {
        EXPECT_TRUE(grid->waitForThumbnails(fixtures::patientMs));
        flush();
        const QImage shown = grid->screen()->grabWindow(grid->winId()).toImage().convertToFormat(QImage::Format_RGB32);
        const QImage fresh = grid->grab().toImage().convertToFormat(QImage::Format_RGB32);
        if (shown.size() != fresh.size()) return -1;
        // The overlay scroll bar fades out on a clock a while after each
        // scroll: on a busy machine the window holds one frame of the fade
        // and a render moments later the next. The cells are what is compared.
        const QScrollBar* scrollBar = grid->verticalScrollBar();
        const QRect bar(scrollBar->mapTo(grid.get(), QPoint(0, 0)), scrollBar->size());
        int bad = 0;
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x)
                bad += !bar.contains(x, y) && shown.pixel(x, y) != fresh.pixel(x, y);
        return bad;
    };

    // Half the view's loads answer, the view moves before they are
    // painted, then the rest answer and it moves on.
    const size_t open = thumbs.requests.size();
    ASSERT_GT(open, 12u);
    for (size_t i = 0; i < open / 2; ++i)
        std::exchange(thumbs.requests[i]->done, nullptr)(solid(QColor::fromHsv(int(i * 29 % 360), 220, 200)));
    scrollTo(37);
    answer(1000);
    scrollTo(90);
    answer(1000);
    EXPECT_EQ(mismatches(), 0);

    // A batch of new photos lands above: every cell in view changes.
    std::vector<int64_t> ids;
    for (int64_t id = 1001; id <= 1060; ++id) ids.push_back(id);
    for (int64_t id = 1; id <= 600; ++id) ids.push_back(id);
    grid->setContent(content({660}, 2, "library|", ids));
    scrollTo(60);
    answer(1000);
    scrollTo(20);
    answer(1000);
    EXPECT_EQ(mismatches(), 0);

    // Racing down the grid: stand-ins land as the pages go by.
    for (int i = 0; i < 4; ++i) {
        key(Qt::Key_PageDown);
        flush();
    }
    ASSERT_TRUE(spinUntil([&] {
        flush();
        return !grid->thumbnails().movingFast();
    }));
    answer(1000);
    EXPECT_EQ(mismatches(), 0);
}
