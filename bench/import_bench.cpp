// Scrolling the library grid of the real window while an import arrives:
// the application's own main window, built as the application builds it,
// over a library whose index grows by engine batches of 100 photos (one
// folder of an event at a time, as a scan of a backup finds them) up to
// 100,000 photos, while the grid scrolls at 60 steps a second. A frame is
// one scroll step: it logs the time between steps (the lag logger: a step
// the event loop could not run on time is a frame shown late) and the main
// thread's own processor time between them, which a busy machine does not
// inflate; and what each batch costs the main thread as it arrives (the
// store and everything that follows it at once; the grid's reload comes a
// turn later and shows in the frames), by size of the library.
//
// The batches reach the store the way the engine's do: on the main thread,
// one saved batch at a time, each followed by its progress. The thumbnails
// are real JPEG files (a few dozen distinct pictures, linked under every id).
//
// Usage: import_bench [--assets N] [--preload N] [--batch-ms MS] [--size WxH] [--idle-s S] [--still]
// --preload puts the first N photos in the library before the window
// opens, so the batches of a large library can be looked at alone;
// --idle-s scrolls that library for S seconds with no batch at all, the
// frames the machine and the window give without an import; --still
// imports without scrolling, so that everything the main thread does
// between one batch and the next is that batch's cost (the store, the
// sidebar, the grid's new content and whatever it paints).
// Run it under Xvfb (DISPLAY set) to measure a real window; without a
// display it uses the offscreen platform.

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "App/AppModel.h"
#include "Core/Index/LibraryPaths.h"
#include "Core/Engine/LibraryEngine.h"
#include "Store/LibraryStore.h"
#include "UI/Grid/PhotoGridView.h"
#include "VintrelleApp.h"

using namespace vintrelle;

namespace {

struct Options {
    int assets = 100000;
    int preload = 0;
    int idleSeconds = 0;
    bool still = false;
    int batchMs = 100;  // the engine saves a batch of 100, or every 0.9 s
    QSize size{1440, 900};
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string k = argv[i];
        if (k == "--still") {
            o.still = true;
            continue;
        }
        if (i + 1 >= argc) break;
        const std::string v = argv[++i];
        if (k == "--assets") o.assets = std::stoi(v);
        else if (k == "--preload") o.preload = std::stoi(v);
        else if (k == "--idle-s") o.idleSeconds = std::stoi(v);
        else if (k == "--batch-ms") o.batchMs = std::stoi(v);
        else if (k == "--size") o.size = QSize(std::stoi(v), std::stoi(v.substr(v.find('x') + 1)));
    }
    return o;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(std::ceil(p / 100.0 * double(v.size()))) - 1)];
}

// The photos of the import in the order the engine saves them: folders of
// 100 photos of one event each, in the order of their names.
std::vector<Asset> plannedImport(int count) {
    std::mt19937 rng(41);
    std::vector<Asset> out;
    out.reserve(size_t(count));
    const double start = 1.3e9;
    for (int f = 0; f * 100 < count; ++f) {
        const int year = 2011 + f * 10 / std::max(1, count / 100);
        const double day = start + double(year - 2011) * 365 * 86400 + double(rng() % 360) * 86400;
        for (int i = 0; i < 100 && f * 100 + i < count; ++i) {
            Asset a;
            a.id = f * 100 + i + 1;
            a.path = std::to_string(year) + "/Event " + std::to_string(f) + "/IMG_" + std::to_string(a.id) + ".JPG";
            a.kind = i % 17 == 0 ? MediaKind::video : MediaKind::photo;
            a.duration = a.kind == MediaKind::video ? 12 : 0;
            a.taken = day + double(i) * 2400 + double(rng() % 600);
            a.size = 2'000'000 + a.id;
            a.mtime = a.taken;
            a.added = 1.7e9 + double(a.id);
            a.width = 4032;
            a.height = 3024;
            a.camera = "Camera " + std::to_string(f % 5);
            a.favorite = rng() % 40 == 0;
            a.thumbState = 1;
            out.push_back(std::move(a));
        }
    }
    return out;
}

// A few dozen real thumbnails (480 x 360 JPEGs of varied pictures), linked
// under the thumbnail name of every id: decoding them is real work.
bool writeThumbnails(const LibraryPaths& paths, const std::string& sources, int count) {
    std::filesystem::create_directories(sources);
    std::vector<std::string> files;
    for (int k = 0; k < 48; ++k) {
        QImage img(480, 360, QImage::Format_RGB32);
        QPainter p(&img);
        QLinearGradient g(0, 0, 480, 360);
        g.setColorAt(0, QColor::fromHsv(k * 7 % 360, 150, 230));
        g.setColorAt(1, QColor::fromHsv((k * 7 + 140) % 360, 210, 90));
        p.fillRect(img.rect(), g);
        QRandomGenerator rng(uint32_t(k + 1));
        for (int s = 0; s < 400; ++s)
            p.fillRect(QRectF(rng.bounded(480), rng.bounded(360), rng.bounded(40) + 2, rng.bounded(40) + 2),
                       QColor::fromHsv(rng.bounded(360), 120 + rng.bounded(120), 60 + rng.bounded(190)));
        p.end();
        files.push_back(sources + "/t" + std::to_string(k) + ".jpg");
        if (!img.save(QString::fromStdString(files.back()), "JPEG", 74)) return false;
    }
    for (int id = 1; id <= count; ++id) {
        const std::string to = paths.thumbURL(id);
        if (::link(files[size_t(id) % files.size()].c_str(), to.c_str()) != 0 && errno != EEXIST) return false;
    }
    return true;
}

struct Quarter {
    std::vector<double> frames, cpu, batches, work;
};

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    QTemporaryDir tmp;
    if (!tmp.isValid()) return 1;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath(QStringLiteral("config"))));
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::string lib = tmp.filePath(QStringLiteral("Photos")).toStdString();
    std::filesystem::create_directories(lib);
    const LibraryPaths paths = LibraryPaths::resolve(lib);
    paths.prepare();
    if (!writeThumbnails(paths, tmp.filePath(QStringLiteral("sources")).toStdString(), o.assets)) {
        std::fprintf(stderr, "could not write the thumbnails\n");
        return 1;
    }
    const std::vector<Asset> planned = plannedImport(o.assets);

    QApplication app(argc, argv);
    VintrelleApp::prepare(app);
    AppModel& model = AppModel::shared();
    std::unique_ptr<MainWindow> window = VintrelleApp::makeWindow(model);
    window->resize(o.size);
    window->show();
    QElapsedTimer wait;
    wait.start();
    while ((!window->windowHandle() || !window->windowHandle()->isExposed()) && wait.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    model.addLibrary(lib);
    const std::shared_ptr<LibraryStore> store = model.store();
    if (!store) {
        std::fprintf(stderr, "the library did not open\n");
        return 1;
    }
    // This run alone says what the index holds.
    store->engine()->stop();
    if (o.preload > 0) {
        store->engineDidUpsert(std::vector<Asset>(planned.begin(), planned.begin() + std::min(o.preload, o.assets)));
        store->engineDidChangeStatus(EngineStatus::idle());
    }
    wait.restart();
    while (wait.elapsed() < 500) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);

    std::printf("import_bench: %d photos in batches of 100 every %d ms into the library grid at %dx%d, "
                "%s (platform %s)\n",
                o.assets, o.batchMs, o.size.width(), o.size.height(),
                o.still ? "not scrolling" : "scrolling 60 steps a second", qPrintable(QGuiApplication::platformName()));
    std::fflush(stdout);

    std::vector<Quarter> quarters(4);
    auto quarter = [&] { return std::min<size_t>(3, store->assets().size() * 4 / size_t(std::max(1, o.assets))); };

    QElapsedTimer clock;
    clock.start();
    QPointer<PhotoGridView> grid;

    // Scrolling: 60 steps a second, down and back up. Each step is a frame:
    // the time since the last one, and the main thread's processor time.
    int direction = 1;
    qint64 lastStep = -1;
    double lastCpu = 0;
    QTimer scroll;
    scroll.setTimerType(Qt::PreciseTimer);
    scroll.setInterval(16);
    QObject::connect(&scroll, &QTimer::timeout, [&] {
        if (!grid) grid = window->findChild<PhotoGridView*>();
        if (!grid || grid->isHidden()) return;
        const qint64 now = clock.nsecsElapsed();
        const double cpu = threadCpuMs();
        if (lastStep >= 0) {
            quarters[quarter()].frames.push_back(double(now - lastStep) / 1e6);
            quarters[quarter()].cpu.push_back(cpu - lastCpu);
        }
        lastStep = now;
        lastCpu = cpu;
        QScrollBar* bar = grid->verticalScrollBar();
        int next = bar->value() + direction * 60;
        if (next >= bar->maximum() || next <= 0) direction = -direction;
        bar->setValue(std::clamp(next, 0, bar->maximum()));
    });

    // The engine's batches. Still, the main thread's time from one batch to
    // the next is all spent on the batch.
    double lastBatchCpu = -1;
    size_t lastQuarter = 0;
    size_t sent = size_t(std::clamp(o.preload, 0, o.assets));
    QTimer batches;
    batches.setTimerType(Qt::PreciseTimer);
    batches.setInterval(o.batchMs);
    QObject::connect(&batches, &QTimer::timeout, [&] {
        if (sent >= planned.size()) {
            batches.stop();
            QTimer::singleShot(500, &app, [&] { app.quit(); });
            return;
        }
        const size_t q = quarter();
        if (o.still) {
            const double cpu = threadCpuMs();
            if (lastBatchCpu >= 0) quarters[lastQuarter].work.push_back(cpu - lastBatchCpu);
            lastBatchCpu = cpu;
            lastQuarter = q;
        }
        const size_t n = std::min<size_t>(100, planned.size() - sent);
        std::vector<Asset> batch(planned.begin() + long(sent), planned.begin() + long(sent + n));
        sent += n;
        QElapsedTimer t;
        t.start();
        store->engineDidUpsert(batch);
        store->engineDidChangeStatus(EngineStatus::indexing(int(sent), int(planned.size())));
        quarters[q].batches.push_back(double(t.nsecsElapsed()) / 1e6);
    });

    if (!o.still) scroll.start();
    if (o.idleSeconds > 0) QTimer::singleShot(o.idleSeconds * 1000, &app, [&] { app.quit(); });
    else batches.start();
    app.exec();
    store->engineDidChangeStatus(EngineStatus::idle());

    std::vector<double> allFrames, allCpu, allBatches;
    auto maxOf = [](const std::vector<double>& v) { return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()); };
    for (size_t q = 0; q < quarters.size(); ++q) {
        const Quarter& s = quarters[q];
        if (o.still) {
            std::printf("library %6d-%6d: batches %4zu | main thread per batch, all it caused: p50 %5.2f  p99 %6.2f  "
                        "max %6.2f ms | on arrival p50 %5.2f ms\n",
                        int(q) * o.assets / 4, int(q + 1) * o.assets / 4, s.work.size(), percentile(s.work, 50),
                        percentile(s.work, 99), maxOf(s.work), percentile(s.batches, 50));
            continue;
        }
        allFrames.insert(allFrames.end(), s.frames.begin(), s.frames.end());
        allCpu.insert(allCpu.end(), s.cpu.begin(), s.cpu.end());
        allBatches.insert(allBatches.end(), s.batches.begin(), s.batches.end());
        std::printf("library %6d-%6d: frames %5zu  p50 %5.1f  p95 %5.1f  p99 %5.1f  max %6.1f ms | main-thread cpu per "
                    "frame p99 %5.1f  max %5.1f ms | batch on arrival p50 %5.2f  p99 %6.2f  max %6.2f ms\n",
                    int(q) * o.assets / 4, int(q + 1) * o.assets / 4, s.frames.size(), percentile(s.frames, 50),
                    percentile(s.frames, 95), percentile(s.frames, 99), maxOf(s.frames), percentile(s.cpu, 99),
                    maxOf(s.cpu), percentile(s.batches, 50), percentile(s.batches, 99), maxOf(s.batches));
    }
    const double p99 = percentile(allFrames, 99);
    if (!o.still)
        std::printf("whole import: %zu frames, p99 %.1f ms (target <= 20 ms: %s); main-thread cpu per frame p99 %.1f ms; "
                    "batch on arrival p99 %.2f ms\n",
                    allFrames.size(), p99, p99 <= 20 ? "meets target" : "MISSES target", percentile(allCpu, 99),
                    percentile(allBatches, 99));

    model.closeStore();
    model.stopFileWork();
    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
