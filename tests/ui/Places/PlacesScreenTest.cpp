#include <gtest/gtest.h>

#include <QLineEdit>
#include <QSettings>
#include <QVBoxLayout>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "App/AppModel.h"
#include "Store/LibraryStore.h"
#include "UI/Places/MapWidget.h"
#include "UI/Places/PlaceBubbles.h"
#include "UI/Places/PlacesScreen.h"
#include "store/StoreFixture.h"

using namespace vintrelle;
using storetest::makeAsset;
using storetest::spinUntil;

namespace {

Asset geotagged(int64_t id, double lat, double lon) {
    Asset a = makeAsset(id, "trip/" + std::to_string(id) + ".jpg", 1.6e9 + double(id));
    a.lat = lat;
    a.lon = lon;
    return a;
}

struct Library : storetest::Library {
    explicit Library(const std::vector<Asset>& list) {
        add(list);
        store->start(false);
        spinUntil([&] { return store->hasLoaded(); });
    }
};

// A place lookup that answers only when the test lets it.
struct Latch {
    std::mutex mutex;
    std::condition_variable cv;
    bool released = false;
    int calls = 0;
    std::optional<PlaceName> answer;

    PlacesScreen::LookupSource source() {
        return [this](LibraryStore&) -> PlacesScreen::Lookup {
            return [this](double, double) {
                std::unique_lock lock(mutex);
                ++calls;
                cv.wait(lock, [&] { return released; });
                return answer;
            };
        };
    }
    void release(std::optional<PlaceName> a) {
        std::lock_guard lock(mutex);
        answer = std::move(a);
        released = true;
        cv.notify_all();
    }
    int callCount() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

struct Fixture {
    fixtures::TempDir settingsDir;
    AppModel model{std::make_unique<QSettings>(QString::fromStdString(settingsDir / "settings.conf"),
                                               QSettings::IniFormat)};
    Library lib{{geotagged(1, 38.72, -9.14), geotagged(2, 38.73, -9.15), geotagged(3, 48.85, 2.35),
                 makeAsset(4, "plain.jpg", 1.6e9)}};
    std::shared_ptr<Latch> latch = std::make_shared<Latch>();
    std::unique_ptr<PlacesScreen> screen;

    Fixture() {
        model.setStore(lib.store);
        model.navigate(Route::places());
        screen = std::make_unique<PlacesScreen>(model);
        screen->setLookupSource(latch->source());
        screen->resize(900, 600);
        screen->show();
    }
    ~Fixture() {
        latch->release(std::nullopt);  // nothing may stay blocked on the test
        screen.reset();
        model.closeStore();
        QThreadPool::globalInstance()->waitForDone(fixtures::patientMs);
    }
    const PlaceCluster& lisbon() const {
        for (const auto& c : screen->clusters())
            if (c.count == 2) return c;
        throw std::runtime_error("no Lisbon cluster");
    }
    const PlaceCluster& paris() const {
        for (const auto& c : screen->clusters())
            if (c.count == 1) return c;
        throw std::runtime_error("no Paris cluster");
    }
};

}  // namespace

TEST(PlacesScreen, fitsOnAppearanceAndAgainAfterBack) {
    Fixture f;
    ASSERT_FALSE(f.screen->showsEmptyState());
    ASSERT_TRUE(f.screen->region());
    EXPECT_EQ(f.screen->clusters().size(), 2u);
    // Somewhere else, then into a place and back: the map fits everything again.
    f.screen->zoomTo(0, 100, 6);
    EXPECT_TRUE(f.screen->clusters().empty());
    f.model.push(Route::place(PlaceBox{38, 39, -10, -9, "Lisbon"}));
    EXPECT_FALSE(f.screen->region());
    f.model.back();
    ASSERT_TRUE(f.screen->region());
    EXPECT_EQ(f.screen->clusters().size(), 2u);
    EXPECT_GE(f.screen->region()->spanLon, 11.49 * 1.35);
}

TEST(PlacesScreen, emptyUntilSomethingIsGeotagged) {
    fixtures::TempDir settingsDir;
    AppModel model(std::make_unique<QSettings>(QString::fromStdString(settingsDir / "s.conf"), QSettings::IniFormat));
    Library lib({makeAsset(1, "a.jpg", 1.6e9)});
    model.setStore(lib.store);
    model.navigate(Route::places());
    PlacesScreen screen(model);
    screen.show();
    EXPECT_TRUE(screen.showsEmptyState());
    EXPECT_FALSE(screen.region());
    // The first geotagged photo brings the map, fitted to it.
    lib.store->engineDidUpsert({geotagged(2, 64.14, -21.94)});
    EXPECT_FALSE(screen.showsEmptyState());
    ASSERT_TRUE(screen.region());
    ASSERT_EQ(screen.clusters().size(), 1u);
    EXPECT_EQ(screen.clusters()[0].count, 1);
    EXPECT_NEAR(screen.region()->centerLat, 64.14, 0.05);
}

TEST(PlacesScreen, aClickNamesThePlaceThenOpensIt) {
    struct Case {
        const char* what;
        std::optional<PlaceName> answer;
        std::string title;
    };
    const PlaceName lisbon{"Lisbon", "Lisbon District", "Portugal"};
    for (const Case& c : {Case{"named", lisbon, *lisbon.display()}, Case{"no name", std::nullopt, "Photos Taken Here"},
                          Case{"no parts", PlaceName{}, "Photos Taken Here"}}) {
        Fixture f;
        const PlaceCluster target = f.lisbon();
        f.screen->open(target);
        EXPECT_EQ(f.screen->opening(), target.id) << c.what;  // the bubble dims
        // A second click, on any bubble, while the first is looked up: ignored.
        f.screen->open(f.paris());
        ASSERT_TRUE(spinUntil([&] { return f.latch->callCount() == 1; })) << c.what;
        EXPECT_EQ(f.screen->opening(), target.id);
        EXPECT_EQ(f.model.route(), Route::places());

        f.latch->release(c.answer);
        ASSERT_TRUE(spinUntil([&] { return f.model.route().kind() == Route::Kind::place; })) << c.what;
        PlaceBox box = target.box;
        box.title = c.title;
        EXPECT_EQ(f.model.route(), Route::place(box)) << c.what;
        EXPECT_EQ(f.model.backStack(), std::vector<Route>{Route::places()});
        EXPECT_EQ(f.latch->callCount(), 1);
    }
}

TEST(PlacesScreen, anAnswerAfterLeavingOpensNothing) {
    enum class Leave { route, screenGone, libraryClosed, otherLibrary };
    for (Leave leave : {Leave::route, Leave::screenGone, Leave::libraryClosed, Leave::otherLibrary}) {
        Fixture f;
        std::optional<Library> other;
        f.screen->open(f.lisbon());
        ASSERT_TRUE(spinUntil([&] { return f.latch->callCount() == 1; }));
        switch (leave) {
        case Leave::route:
            f.model.navigate(Route::albums());
            EXPECT_FALSE(f.screen->opening());
            break;
        case Leave::screenGone:
            f.screen.reset();
            break;
        case Leave::libraryClosed:
            f.model.closeStore();
            break;
        case Leave::otherLibrary:
            other.emplace(std::vector<Asset>{geotagged(9, 10, 10)});
            f.model.setStore(other->store);
            break;
        }
        const Route before = f.model.route();
        f.latch->release(PlaceName{"Lisbon", {}, {}});
        QThreadPool::globalInstance()->waitForDone(fixtures::patientMs);
        QCoreApplication::processEvents();
        EXPECT_EQ(f.model.route(), before) << int(leave);
        EXPECT_TRUE(f.model.backStack().empty()) << int(leave);
        if (f.screen) {
            // Back on the map, a click works again.
            f.model.setStore(f.lib.store);
            f.model.navigate(Route::places());
            ASSERT_FALSE(f.screen->clusters().empty());
            f.screen->open(f.screen->clusters().back());
            EXPECT_TRUE(f.screen->opening()) << int(leave);
        }
        if (leave == Leave::otherLibrary) f.model.setStore(nullptr);
    }
}

TEST(PlacesScreen, theLibrarysResolverNamesThePlaceAndNoEngineMeansNoLookup) {
    Fixture f;
    f.screen->setLookupSource(PlacesScreen::resolverLookup());
    const PlaceCluster target = f.lisbon();
    f.screen->open(target);
    ASSERT_TRUE(spinUntil([&] { return f.model.route().kind() == Route::Kind::place; }, fixtures::patientMs));
    EXPECT_EQ(f.model.route().box().title, *PlaceName({"Lisbon", "Lisbon District", "Portugal"}).display());
    f.model.back();

    f.screen->setLookupSource([](LibraryStore&) { return PlacesScreen::Lookup{}; });
    f.screen->open(f.lisbon());
    EXPECT_FALSE(f.screen->opening());
    QCoreApplication::processEvents();
    EXPECT_EQ(f.model.route(), Route::places());
}

TEST(PlacesScreen, takesTheKeyboardWhenShownUnlessATextFieldHasIt) {
    fixtures::TempDir settingsDir;
    AppModel model(std::make_unique<QSettings>(QString::fromStdString(settingsDir / "s.conf"), QSettings::IniFormat));
    Library lib({geotagged(1, 38.72, -9.14)});
    model.setStore(lib.store);
    model.navigate(Route::places());
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* edit = new QLineEdit;
    auto* screen = new PlacesScreen(model);
    layout->addWidget(edit);
    layout->addWidget(screen);
    window.resize(900, 600);
    window.show();
    edit->setFocus();
    screen->hide();
    screen->show();
    EXPECT_EQ(window.focusWidget(), edit);
    edit->clearFocus();
    screen->hide();
    screen->show();
    EXPECT_EQ(window.focusWidget(), screen->map());
    model.closeStore();
}

TEST(PlacesScreen, aBubbleHidesTheLabelsUnderIt) {
    Fixture f;
    f.screen->zoomTo(38.72, -9.14, 9);
    ASSERT_TRUE(spinUntil(
        [&] {
            f.screen->map()->repaint();
            return f.screen->isSettled();
        },
        20000));
    MapWidget& map = *f.screen->map();
    std::vector<QRectF> bubbles;
    for (const PlaceCluster& c : f.screen->clusters())
        bubbles.push_back(PlaceBubbleLayer::bubbleRect(c, map.camera()));
    ASSERT_FALSE(bubbles.empty());
    ASSERT_FALSE(map.labels().empty());
    for (const auto& label : map.labels()) {
        EXPECT_NE(label.name, "Lisbon");  // its dot is under the bubble
        for (const QRectF& b : bubbles) EXPECT_FALSE(label.box.intersects(b)) << label.name.toStdString();
    }
}
