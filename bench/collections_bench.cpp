// The trips, people and albums overviews with 400 cards each over 400
// photos with real thumbnails and face crops (a real index in a temporary
// folder): one rebuild from the store (what every engine report costs the
// screen), the time until every cover of a 1440x900 view is decoded and
// scaled, and the frames of a scroll through the whole list in 60-px steps
// with the covers in, against painting the same number of covers with no
// logic at all.
//
// Usage: collections_bench

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QScrollBar>
#include <QSettings>
#include <QThreadPool>

#include <algorithm>
#include <functional>
#include <clocale>
#include <cstdio>
#include <numeric>
#include <vector>

#include "App/AppModel.h"
#include "Core/Engine/LibraryEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "Store/LibraryStore.h"
#include "UI/Collections/AlbumsScreen.h"
#include "UI/Collections/FaceModelStatus.h"
#include "UI/Collections/PeopleScreen.h"
#include "UI/Collections/TripsScreen.h"
#include "UI/Kit/Theme.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

namespace {

constexpr int kCards = 400;

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

// Builds, settles and scrolls one screen through its whole list; `change`
// is a store report the screen rebuilds on, `sample` a card with a cover.
void measure(const char* name, CollectionScreen& screen, const std::function<void()>& change, const CardKey& sample) {
    screen.resize(1440, 900);
    screen.show();
    QElapsedTimer t;
    t.start();
    const int rebuilds = 20;
    for (int i = 0; i < rebuilds; ++i) change();
    const double rebuildMs = double(t.nsecsElapsed()) / 1e6 / rebuilds;

    t.restart();
    screen.settle(60000);
    const double firstViewMs = double(t.nsecsElapsed()) / 1e6;

    CollectionCanvas& canvas = *screen.canvas();
    QScrollBar& bar = *canvas.verticalScrollBar();
    QPixmap target(canvas.viewport()->size());
    std::vector<double> frames;
    for (int y = 0; y <= bar.maximum(); y += 60) {
        bar.setValue(y);
        screen.settle(60000);  // covers of the new rows in, as a person scrolling sees them
        QElapsedTimer f;
        f.start();
        canvas.viewport()->render(&target);
        frames.push_back(double(f.nsecsElapsed()) / 1e6);
    }

    // The floor: the same cards' covers blitted with nothing else.
    const QPixmap cover = canvas.coverOf(sample);
    const int perView = 12;
    std::vector<double> blits;
    for (size_t i = 0; i < frames.size(); ++i) {
        QElapsedTimer f;
        f.start();
        QPainter p(&target);
        for (int k = 0; k < perView; ++k) p.drawPixmap((k % 4) * 350, (k / 4) * 250, cover);
        p.end();
        blits.push_back(double(f.nsecsElapsed()) / 1e6);
    }
    const double mean = std::accumulate(frames.begin(), frames.end(), 0.0) / double(frames.size());
    const double blitMean = std::accumulate(blits.begin(), blits.end(), 0.0) / double(blits.size());
    std::printf("%s %d  rebuild %.2f ms  first view settled %.0f ms  frames %zu: mean %.2f ms, p95 %.2f ms, "
                "max %.2f ms  (bare blits %.2f ms, ratio %.1f)\n",
                name, kCards, rebuildMs, firstViewMs, frames.size(), mean, percentile(frames, 0.95),
                percentile(frames, 1.0), blitMean, mean / blitMean);
    screen.hide();
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    Theme::install(app);
    MediaProcessor::initialize();

    fixtures::TempDir dir;
    auto store = LibraryStore::init(dir.path());
    store->engine()->stop();
    LibraryDB& db = store->db();
    db.db().transaction([&] {
        for (int i = 0; i < kCards; ++i) {
            const double start = 1.3e9 + i * 86400.0 * 9;
            db.db().run("INSERT INTO assets(id, path, kind, size, mtime, taken, width, height, thumb, added, meta_done, "
                        "faces_done) VALUES(?,?,0,1000,1.6e9,?,480,360,1,1.7e9,1,1)",
                        {int64_t(i + 1), "t/" + std::to_string(i) + ".jpg", start + 3600});
            db.db().run("INSERT INTO trips(title, subtitle, start, end, cover_asset) VALUES(?,'',?,?,?)",
                        {"Trip number " + std::to_string(i), start, start + 86400 * 3, int64_t(i + 1)});
            // A named person with three faces (the first its cover), and an album of one photo.
            const int64_t id = i + 1;
            db.db().run("INSERT INTO persons(id, name, cover_face) VALUES(?,?,?)",
                        {id, "Person " + std::to_string(i), id * 3});
            for (int k = 2; k >= 0; --k)
                db.db().run("INSERT INTO faces(id, asset_id, x, y, w, h, quality, person_id) VALUES(?,?,0,0,1,1,1,?)",
                            {id * 3 - k, id, id});
            db.db().run("INSERT INTO albums(id, name, created) VALUES(?,?,0)", {id, "Album " + std::to_string(i)});
            db.db().run("INSERT INTO album_assets(album_id, asset_id, added) VALUES(?,?,0)", {id, id});
        }
    });
    for (int i = 0; i < kCards; ++i) {
        const fixtures::Colour colour{uint8_t(i * 7 % 255), uint8_t(i * 13 % 255), uint8_t(i * 29 % 255)};
        fixtures::makeJPEG(store->paths().thumbURL(i + 1), 480, 360, colour);
        fixtures::makeJPEG(store->paths().faceURL((i + 1) * 3), 240, 240, colour);
    }
    store->start(false);
    while (!store->hasLoaded()) QCoreApplication::processEvents();

    fixtures::TempDir settings;
    AppModel model(std::make_unique<QSettings>(QString::fromStdString(settings / "s.conf"), QSettings::IniFormat));
    model.setStore(store);
    // Only what the screens draw: the engine's face check stays out of the figures.
    FaceModelStatus::shared().setState(FaceModelStatus::State::available);
    TripsScreen trips(model);
    measure("trips", trips, [&] { emit store->revisionChanged(); }, TripsScreen::card(1));
    PeopleScreen people(model);
    measure("people", people, [&] { emit store->personsChanged(); }, PeopleScreen::tile(store->visiblePersons().front()));
    AlbumsScreen albums(model);
    measure("albums", albums, [&] { emit store->albumsChanged(); }, AlbumsScreen::card(store->albums().front().id));
    model.closeStore();
    QThreadPool::globalInstance()->waitForDone();
    return 0;
}
