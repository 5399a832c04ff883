#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLocale>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>

#include "App/AppModel.h"
#include "Store/FullImageCache.h"
#include "UI/Kit/Fonts.h"
#include "UI/Places/StaticMapPainter.h"
#include "UI/Viewer/DetailsPanel.h"
#include "UI/Viewer/ViewerView.h"
#include "app/AppFixture.h"
#include "fixtures/LatchedDecoder.h"

using namespace vintrelle;
using apptest::spinUntil;

namespace {

// Texts in the C locale's number format, whatever the machine's.
struct CLocale {
    QLocale before;
    CLocale() { QLocale::setDefault(QLocale::c()); }
    ~CLocale() { QLocale::setDefault(before); }
};

Asset asset(const std::string& path, int width, int height, int64_t size) {
    Asset a;
    a.path = path;
    a.width = width;
    a.height = height;
    a.size = size;
    return a;
}

// A place lookup that answers only the latitudes the test lets through. The
// lookups share its state: one may still be waiting on its thread when the
// test ends.
struct Gate {
    struct State {
        std::mutex m;
        std::condition_variable cv;
        std::set<double> open;
        int asked = 0;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
    void let(double lat) {
        std::lock_guard lock(state->m);
        state->open.insert(lat);
        state->cv.notify_all();
    }
    int asked() const {
        std::lock_guard lock(state->m);
        return state->asked;
    }
    DetailsPanel::LookupSource source() {
        return [state = state](LibraryStore&) -> DetailsPanel::Lookup {
            return [state](double lat, double) -> std::optional<PlaceName> {
                std::unique_lock lock(state->m);
                ++state->asked;
                state->cv.wait(lock, [&] { return state->open.count(lat) > 0; });
                return PlaceName{lat > 50 ? "London" : "Paris", std::nullopt, lat > 50 ? "UK" : "France"};
            };
        };
    }
    ~Gate() {
        for (double lat : {48.8566, 51.5074}) let(lat);
    }
};

// A viewer with its details panel over a library of three photos: one in
// Paris with seven people in it and a lens but no camera, one in London
// taken with a camera, one in the library folder itself without a place.
struct Screen {
    apptest::Model model;
    storetest::Library lib;
    fixtures::LatchedDecoder decoder;
    FullImageCache cache{decoder.fn()};
    QWidget window;
    ViewerView* viewer;
    DetailsPanel* panel;
    Gate gate;

    Screen() {
        lib.add({apptest::makeAsset(1, "2024/paris/a.jpg", 3e5), apptest::makeAsset(2, "2024/b.jpg", 2e5),
                 apptest::makeAsset(3, "c.jpg", 1e5)});
        auto& db = lib.db().db();
        db.run("UPDATE assets SET lat=48.8566, lon=2.3522, lens='26 mm lens' WHERE id=1");
        db.run("UPDATE assets SET lat=51.5074, lon=-0.1278, camera='Pixel 8', fnumber=1.7, iso=0 WHERE id=2");
        for (int64_t p = 1; p <= 7; ++p) {
            storetest::insertPerson(lib.db(), p, p == 1 ? "" : "Person " + std::to_string(p));
            storetest::insertFace(lib.db(), 1, p);
        }
        lib.store->start(false);
        window.resize(1200, 800);
        viewer = new ViewerView(*model, cache, &window);
        panel = new DetailsPanel(*viewer, [](QWidget* parent) -> StillMap* { return new StaticMapView(parent); });
        panel->setLookupSource(gate.source());
        window.show();
        model->setShowInfo(true);
        model->setStore(lib.store);
        EXPECT_TRUE(spinUntil([&] { return lib.store->assets().size() == 3; }));
    }
    ~Screen() { decoder.releaseAll(); }
    void open(int64_t id) {
        const auto& all = lib.store->assets();
        for (const Asset& a : all)
            if (a.id == id) model->open(a, all);
    }
};

}  // namespace

TEST(DetailsPanel, FactsExposureAndFolderTexts) {
    CLocale c;
    Asset live = asset("DCIM/IMG_0001.HEIC", 4032, 3024, 2'400'000);
    live.liveVideo = "DCIM/IMG_0001.MOV";
    Asset video = asset("clip.mov", 1920, 1080, 532);
    video.kind = MediaKind::video;
    video.duration = 75;
    struct FactsCase {
        const char* name;
        Asset asset;
        QString expected;
    } facts[] = {
        {"live photo", live, u8"HEIC  ·  4032 × 3024  ·  12 MP  ·  2.4 MB  ·  Live"},
        {"video: duration, no megapixels", video, u8"MOV  ·  1920 × 1080  ·  1:15  ·  532 bytes"},
        {"width 0: no dimensions", asset("a.png", 0, 0, 12'000), u8"PNG  ·  12 kB"},
        {"under a megapixel", asset("a.jpg", 800, 500, 999), u8"JPG  ·  800 × 500  ·  999 bytes"},
        {"1.5 MP rounds up", asset("a.jpg", 1500, 1000, 1'000), u8"JPG  ·  1500 × 1000  ·  2 MP  ·  1 kB"},
        {"no extension: no empty part", asset("README", 0, 0, 10), u8"10 bytes"},
    };
    for (const auto& f : facts) EXPECT_EQ(DetailsPanel::facts(f.asset), f.expected) << f.name;

    struct ExposureCase {
        std::optional<double> fnumber, exposure, focal;
        std::optional<int> iso;
        QString expected;
    } exposures[] = {
        {2.0, 0.004, 26, 100, u8"ƒ/2   1/250 s   ISO 100   26 mm"},
        {1.8, std::nullopt, std::nullopt, 0, u8"ƒ/1.8   ISO 0"},
        {0.0, std::nullopt, 4.2, std::nullopt, u8"4 mm"},
        {10.0, 0.0, std::nullopt, std::nullopt, u8"ƒ/10"},
        {std::nullopt, std::nullopt, std::nullopt, std::nullopt, ""},
    };
    for (const auto& e : exposures) {
        Asset a;
        a.fnumber = e.fnumber, a.exposure = e.exposure, a.focal = e.focal, a.iso = e.iso;
        EXPECT_EQ(DetailsPanel::exposureLine(a), e.expected);
    }

    EXPECT_EQ(DetailsPanel::folderText("/home/me/Photos", asset("a.jpg", 0, 0, 0)), "Photos");
    EXPECT_EQ(DetailsPanel::folderText("/home/me/Photos/", asset("2024/trip/a.jpg", 0, 0, 0)), "Photos/2024/trip");
}

TEST(DetailsPanel, ShowsTheSectionsOfEachAssetAndDropsALatePlaceName) {
    Screen s;
    s.open(1);
    DetailsPanel& p = *s.panel;
    ASSERT_TRUE(p.asset());
    EXPECT_EQ(p.nameText(), "a.jpg");
    // A lens alone opens no camera section; seven people show five.
    EXPECT_FALSE(p.showsCamera());
    ASSERT_EQ(p.personButtons().size(), 5u);
    QStringList names;
    for (QAbstractButton* b : p.personButtons()) names << b->text();
    EXPECT_TRUE(names.contains("Unnamed"));
    EXPECT_EQ(p.folderLine(), QString::fromStdString(std::filesystem::path(s.lib.dir.path()).filename().string()) +
                                  "/2024/paris");
    // The coordinates until the name comes.
    ASSERT_TRUE(p.showsPlace());
    EXPECT_EQ(p.placeText(), "48.8566, 2.3522");
    EXPECT_TRUE(spinUntil([&] { return s.gate.asked() == 1; }));

    // Stepped before Paris was named: London's coordinates at once, and
    // Paris's late answer is not shown under it.
    s.model->setViewer(ViewerState{s.model->viewer()->assets, 1});
    ASSERT_EQ(p.asset()->id, 2);
    EXPECT_EQ(p.placeText(), "51.5074, -0.1278");
    EXPECT_EQ(p.cameraLines(), (QStringList{"Pixel 8", u8"ƒ/1.7   ISO 0"}));
    EXPECT_FALSE(p.showsPeople());
    s.gate.let(48.8566);
    spinUntil([] { return false; }, 200);
    EXPECT_EQ(p.placeText(), "51.5074, -0.1278");
    s.gate.let(51.5074);
    EXPECT_TRUE(spinUntil([&] { return p.placeText() == "London, UK"; }));
    EXPECT_FALSE(p.isLookingUp());

    // In the library folder itself, without a place.
    s.model->setViewer(ViewerState{s.model->viewer()->assets, 2});
    EXPECT_FALSE(p.showsPlace());
    EXPECT_EQ(p.folderLine(), QString::fromStdString(std::filesystem::path(s.lib.dir.path()).filename().string()));
}

TEST(DetailsPanel, ALiveHEICsFactsWrapBetweenTheirPartsInTheColumn) {
    CLocale c;
    Screen s;
    Asset live = *s.lib.store->asset(3);
    live.path = "IMG_0001.HEIC";
    live.width = 3024, live.height = 4032, live.size = 2'200'000;
    live.liveVideo = "IMG_0001.MOV";
    s.lib.store->engineDidUpsert({live});
    s.open(3);
    const QString facts = s.panel->factsText();
    ASSERT_EQ(facts, u8"HEIC  ·  3024 × 4032  ·  12 MP  ·  2.2 MB  ·  Live");
    ASSERT_TRUE(spinUntil([&] { return s.viewer->detailsColumnWidth() == ViewerView::detailsWidth + 1; }));
    QApplication::processEvents();
    const QStringList lines = s.panel->factsLines();
    ASSERT_GE(lines.size(), 2);
    // Nothing cut: the lines hold the whole text, each ends between two
    // parts, and each fits the column inside its 20-pixel margins.
    EXPECT_EQ(lines.join("  "), facts);
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) EXPECT_TRUE(lines[i].endsWith(u8"·")) << lines[i].toStdString();
    for (const QString& line : lines)
        EXPECT_LE(TabularDigits::width(Fonts::font(12), line), ViewerView::detailsWidth - 40) << line.toStdString();
}

TEST(DetailsPanel, AFaceClosesTheViewerAndOpensThePerson) {
    Screen s;
    s.open(1);
    ASSERT_FALSE(s.panel->personButtons().empty());
    QAbstractButton* face = s.panel->personButtons()[1];
    const int64_t id = s.panel->people()[1].id;
    face->click();
    EXPECT_FALSE(s.model->viewer());
    EXPECT_EQ(s.model->route(), Route::person(id));
}

TEST(DetailsPanel, AClosedPanelDoesNoWorkAndALibraryWithoutEngineKeepsCoordinates) {
    Screen s;
    s.model->setShowInfo(false);
    s.open(1);
    EXPECT_FALSE(s.panel->asset());
    EXPECT_EQ(s.gate.asked(), 0);
    s.panel->setLookupSource([](LibraryStore&) { return DetailsPanel::Lookup(); });
    s.model->setShowInfo(true);
    ASSERT_TRUE(s.panel->asset());
    EXPECT_EQ(s.panel->placeText(), "48.8566, 2.3522");
    EXPECT_FALSE(s.panel->isLookingUp());
}
