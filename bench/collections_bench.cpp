// The trips overview with 400 trips over 400 photos with real thumbnails
// (a real index in a temporary folder): one rebuild from the store (what
// every engine report costs the screen), the time until every cover of a
// 1440x900 view is decoded and scaled, and the frames of a scroll through
// the whole list in 60-px steps with the covers in, against painting the
// same number of cards' pixmaps with no logic at all.
//
// Usage: collections_bench

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QScrollBar>
#include <QSettings>
#include <QThreadPool>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <numeric>
#include <vector>

#include "App/AppModel.h"
#include "Core/Engine/LibraryEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "Store/LibraryStore.h"
#include "UI/Collections/TripsScreen.h"
#include "UI/Kit/Theme.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

namespace {

constexpr int kTrips = 400;

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
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
        for (int i = 0; i < kTrips; ++i) {
            const double start = 1.3e9 + i * 86400.0 * 9;
            db.db().run("INSERT INTO assets(id, path, kind, size, mtime, taken, width, height, thumb, added, meta_done) "
                        "VALUES(?,?,0,1000,1.6e9,?,480,360,1,1.7e9,1)",
                        {int64_t(i + 1), "t/" + std::to_string(i) + ".jpg", start + 3600});
            db.db().run("INSERT INTO trips(title, subtitle, start, end, cover_asset) VALUES(?,'',?,?,?)",
                        {"Trip number " + std::to_string(i), start, start + 86400 * 3, int64_t(i + 1)});
        }
    });
    for (int i = 0; i < kTrips; ++i)
        fixtures::makeJPEG(store->paths().thumbURL(i + 1), 480, 360,
                           {uint8_t(i * 7 % 255), uint8_t(i * 13 % 255), uint8_t(i * 29 % 255)});
    store->start(false);
    while (!store->hasLoaded()) QCoreApplication::processEvents();

    fixtures::TempDir settings;
    AppModel model(std::make_unique<QSettings>(QString::fromStdString(settings / "s.conf"), QSettings::IniFormat));
    model.setStore(store);
    TripsScreen screen(model);
    screen.resize(1440, 900);
    screen.show();

    QElapsedTimer t;
    t.start();
    const int rebuilds = 20;
    for (int i = 0; i < rebuilds; ++i) emit store->revisionChanged();
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
    const QPixmap cover = canvas.coverOf(TripsScreen::card(1));
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
    std::printf("trips %d  rebuild %.2f ms  first view settled %.0f ms  frames %zu: mean %.2f ms, p95 %.2f ms, "
                "max %.2f ms  (bare blits %.2f ms, ratio %.1f)\n",
                kTrips, rebuildMs, firstViewMs, frames.size(), mean, percentile(frames, 0.95),
                percentile(frames, 1.0), blitMean, mean / blitMean);
    model.closeStore();
    QThreadPool::globalInstance()->waitForDone();
    return 0;
}
