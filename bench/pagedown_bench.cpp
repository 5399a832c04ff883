// Holding Page Down over real photos: the photo grid over a library whose
// thumbnails are the 480-pixel thumbnails that processing makes of 12-MP
// photos (made once and kept under the user's cache folder), read through
// the library's thumbnail cache as the application reads them. The key is
// pressed, held, and repeated as a desktop repeats a held key; at every
// frame the grid paints, the bench counts the cells in view that hold a
// picture (at full strength: a cell still fading in is not yet filled).
//
// With --faces, a face pass runs all the while, as it does after indexing,
// with every worker it would have (one per processor but one), over 12-MP
// photos read from their files (again and again, as long as the key is
// held); the bench says how many photos it analysed meanwhile, and at which
// priority the threads ran. Run it with and without to see what the pass
// costs the grid.
//
// Usage: pagedown_bench [--photos N] [--assets N] [--hold-ms MS] [--delay-ms MS] [--rate HZ] [--thumb PX]
//                       [--faces] [--frames]   (prints every frame's share)

#include <sys/stat.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QKeyEvent>
#include <QPainter>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Core/Base/Processors.h"
#include "Core/Engine/FacePass.h"
#include "Core/Faces/FaceEngine.h"
#include "Core/Index/LibraryDB.h"
#include "Core/Index/LibraryPaths.h"
#include "Core/Media/MediaProcessor.h"
#include "Store/ThumbnailCache.h"
#include "UI/Grid/PhotoGridView.h"
#include "UI/Kit/Theme.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

struct Options {
    int photos = 120;    // distinct 12-MP photos
    int assets = 12000;  // grid cells, each with a thumbnail file of one of the photos
    int holdMs = 3000;
    int delayMs = 300;   // before a held key starts repeating
    int rate = 30;       // repeats a second
    double thumb = 150;
    bool frames = false;
    bool faces = false;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string k = argv[i];
        if (k == "--frames" || k == "--faces") {
            (k == "--frames" ? o.frames : o.faces) = true;
            continue;
        }
        if (i + 1 >= argc) break;
        const std::string v = argv[++i];
        if (k == "--photos") o.photos = std::stoi(v);
        else if (k == "--assets") o.assets = std::stoi(v);
        else if (k == "--hold-ms") o.holdMs = std::stoi(v);
        else if (k == "--delay-ms") o.delayMs = std::stoi(v);
        else if (k == "--rate") o.rate = std::stoi(v);
        else if (k == "--thumb") o.thumb = std::stod(v);
    }
    return o;
}

std::string cacheFolder() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    const std::string base = xdg && *xdg ? xdg : std::string(home ? home : "/tmp") + "/.cache";
    return base + "/vintrelle-bench/pagedown";
}

// A 12-MP picture with the detail of a photo: light, shapes, edges and grain.
QImage photoLike(int seed) {
    QImage img(4000, 3000, QImage::Format_RGB32);
    QRandomGenerator rng(uint32_t(seed * 7919 + 1));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 3000);
    sky.setColorAt(0, QColor::fromHsv(rng.bounded(360), 90 + rng.bounded(80), 200 + rng.bounded(55)));
    sky.setColorAt(1, QColor::fromHsv(rng.bounded(360), 120 + rng.bounded(100), 60 + rng.bounded(120)));
    p.fillRect(img.rect(), sky);
    for (int k = 0; k < 900; ++k) {
        const QRectF r(rng.bounded(4000) - 200, rng.bounded(3000) - 200, 20 + rng.bounded(600), 20 + rng.bounded(500));
        QRadialGradient g(r.center(), r.width() / 2);
        g.setColorAt(0, QColor::fromHsv(rng.bounded(360), rng.bounded(256), rng.bounded(256)));
        g.setColorAt(1, QColor::fromHsv(rng.bounded(360), rng.bounded(256), rng.bounded(256), 120));
        p.setPen(QPen(QColor::fromHsv(rng.bounded(360), 200, 40), 1 + rng.bounded(6)));
        p.setBrush(g);
        if (k % 3 == 0) p.drawEllipse(r);
        else if (k % 3 == 1) p.drawRect(r);
        else p.drawLine(r.topLeft(), r.bottomRight());
    }
    p.end();
    for (int y = 0; y < img.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        uint32_t state = uint32_t(seed * 2654435761u + uint32_t(y) * 40503u);
        for (int x = 0; x < img.width(); ++x) {
            state = state * 1664525u + 1013904223u;
            const int n = int(state >> 27) - 16;
            const QRgb c = line[x];
            line[x] = qRgb(std::clamp(qRed(c) + n, 0, 255), std::clamp(qGreen(c) + n, 0, 255),
                           std::clamp(qBlue(c) + n, 0, 255));
        }
    }
    return img;
}

// Files made once under the cache folder, four at a time: `make` writes
// the file of the k-th at the path given; false when it could not.
std::vector<std::string> madeOnce(int count, const std::string& name, const char* what,
                                  const std::function<bool(int, const std::string&)>& make) {
    const std::string dir = cacheFolder();
    fs::create_directories(dir);
    std::vector<std::string> out(static_cast<size_t>(count));
    std::atomic<int> made{0};
    QThreadPool pool;
    pool.setMaxThreadCount(4);
    for (int k = 0; k < count; ++k) {
        out[size_t(k)] = dir + "/" + name + std::to_string(k) + ".jpg";
        if (fs::exists(out[size_t(k)])) continue;
        pool.start([k, file = out[size_t(k)], &made, &make] {
            if (!make(k, file + ".part")) return;
            fs::rename(file + ".part", file);
            ++made;
        });
    }
    pool.waitForDone();
    if (made > 0) std::printf("made %d %s in %s\n", made.load(), what, dir.c_str());
    for (const std::string& f : out)
        if (!fs::exists(f)) return {};
    return out;
}

// The thumbnails of the photos, made by processing as indexing makes them.
std::vector<std::string> thumbnails(int count) {
    return madeOnce(count, "thumb", "thumbnails of 12-MP photos", [](int k, const std::string& file) {
        const std::string photo = file + ".photo.jpg";
        if (!photoLike(k).save(QString::fromStdString(photo), "JPEG", 92)) return false;
        const ProcessedMedia m = MediaProcessor::processPhoto(photo, 0, file);
        fs::remove(photo);
        return m.thumbOK && m.width * m.height >= 12'000'000;
    });
}

// A face pass over `photos`, run again as soon as it ends, on a thread of
// its own until the load is let go: the engine's pass with its workers,
// analyser, saving and grouping, over a library in a temporary folder.
class FaceLoad {
public:
    FaceLoad(const std::vector<std::string>& photos, const std::string& root)
        : paths_((fs::create_directories(root), LibraryPaths::resolve(root))) {
        paths_.prepare();
        db_ = std::make_shared<LibraryDB>(paths_.databasePath());
        for (size_t i = 0; i < photos.size(); ++i) {
            const std::string name = "p" + std::to_string(i) + ".jpg";
            if (::link(photos[i].c_str(), (root + "/" + name).c_str()) != 0) fs::copy_file(photos[i], root + "/" + name);
            // As the scan saw the file: the pass reads only what is still so.
            struct stat st {};
            ::stat((root + "/" + name).c_str(), &st);
            db_->db().run("INSERT INTO assets(path, kind, size, mtime, taken, meta_done, thumb) VALUES(?,0,?,?,?,1,1)",
                          {name, int64_t(st.st_size),
                           double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9, double(i)});
        }
        thread_ = std::jthread([this](std::stop_token stop) {
            FacePassHooks hooks;
            hooks.stopped = [stop] { return stop.stop_requested(); };
            // The shared analyser, counted as it goes.
            auto analyse = [this](const Image& image) {
                std::vector<DetectedFace> faces = FaceEngine::shared().analyze(image);
                ++analysed_;
                return faces;
            };
            while (!stop.stop_requested()) {
                FacePass(paths_, db_, hooks, analyse).run();
                if (stop.stop_requested()) break;
                db_->db().exec("DELETE FROM faces; DELETE FROM persons; UPDATE assets SET faces_done=0");
            }
        });
    }
    ~FaceLoad() { stop(); }
    // The photos analysed so far, counted from the start.
    int analysed() const { return analysed_; }
    // Ends the pass at its next batch.
    void stop() {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();
        }
    }

private:
    LibraryPaths paths_;
    std::shared_ptr<LibraryDB> db_;
    std::atomic<int> analysed_{0};
    std::jthread thread_;  // last: stops first
};

// The threads of this process by scheduling class and niceness, as
// "normal 0: 12, idle 0: 8".
std::string threadPriorities() {
    std::map<std::string, int> count;
    for (const auto& e : fs::directory_iterator("/proc/self/task")) {
        std::ifstream in(e.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // The fields after the name, which may hold spaces and parentheses.
        std::istringstream rest(stat.substr(stat.rfind(')') + 2));
        std::vector<std::string> f((std::istream_iterator<std::string>(rest)), std::istream_iterator<std::string>());
        if (f.size() < 39) continue;
        const int policy = std::stoi(f[38]);  // field 41 of the whole line
        const char* name = policy == SCHED_IDLE    ? "idle"
                           : policy == SCHED_BATCH ? "batch"
                           : policy == SCHED_OTHER ? "normal"
                                                   : "other";
        ++count[std::string(name) + " " + f[16]];  // field 19: nice
    }
    std::string out;
    for (const auto& [k, n] : count) out += (out.empty() ? "" : ", ") + k + ": " + std::to_string(n);
    return out;
}

GridContentPtr content(int count) {
    std::vector<Asset> flat;
    flat.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        Asset a;
        a.id = count - i;
        a.path = "2020/IMG_" + std::to_string(a.id) + ".JPG";
        a.taken = 1.6e9 - i * 3600.0;
        a.thumbState = 1;
        a.mtime = 1.6e9;
        a.size = 3'000'000 + a.id;
        flat.push_back(std::move(a));
    }
    auto c = std::make_shared<GridContent>();
    for (int at = 0, s = 0; at < count; ++s) {
        const int n = std::min(count - at, 300 + (s * 37) % 200);
        c->sections.push_back({"m" + std::to_string(s), "Month " + std::to_string(s), std::to_string(n) + " photos",
                               size_t(at), size_t(at + n)});
        at += n;
    }
    c->flat = std::make_shared<const AssetList>(std::move(flat));
    c->token = 1;
    c->scrollKey = "library|";
    return c;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(std::floor(p / 100.0 * double(v.size() - 1))))];
}

struct Frame {
    double ms = 0;
    int cells = 0, filled = 0, fading = 0;
    double share() const { return cells ? double(filled) / cells : 1; }
};

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    Theme::install(app);
    MediaProcessor::initialize();

    const std::vector<std::string> sources = thumbnails(o.photos);
    if (sources.empty()) {
        std::fprintf(stderr, "could not make the thumbnails\n");
        return 1;
    }
    std::vector<std::string> facePhotos;
    if (o.faces) {
        if (!FaceEngine::shared().model) {
            std::fprintf(stderr, "--faces needs the face networks (scripts/setup.sh fetches them)\n");
            return 1;
        }
        // As many as the pass's batches keep its workers busy for a while.
        facePhotos = madeOnce(3 * FacePass::batchSize, "photo", "12-MP photos for the face pass",
                              [](int k, const std::string& file) {
                                  return photoLike(1000 + k).save(QString::fromStdString(file), "JPEG", 92);
                              });
        if (facePhotos.empty()) {
            std::fprintf(stderr, "could not make the photos for the face pass\n");
            return 1;
        }
    }
    QTemporaryDir tmp;
    const std::string root = tmp.filePath(QStringLiteral("Photos")).toStdString();
    fs::create_directories(root);
    const LibraryPaths paths = LibraryPaths::resolve(root);
    paths.prepare();
    for (int id = 1; id <= o.assets; ++id)
        if (::link(sources[size_t(id) % sources.size()].c_str(), paths.thumbURL(id).c_str()) != 0) {
            // Another file system: a copy does as well.
            fs::copy_file(sources[size_t(id) % sources.size()], paths.thumbURL(id));
        }

    auto cache = std::make_shared<ThumbnailCache>();
    GridLibrary lib;
    lib.thumbs = ThumbnailSource::of(cache);
    lib.paths = paths;
    lib.key = 11;
    PhotoGridView grid(lib, {}, std::nullopt, nullptr, std::make_shared<GridPixmapCache>());
    grid.resize(1440, 900);
    grid.show();
    grid.setContent(content(o.assets));
    grid.setThumbSize(o.thumb);
    grid.setFocus();
    if (!grid.waitForThumbnails(60000)) std::printf("(the first screen did not settle)\n");

    std::optional<FaceLoad> faces;
    QElapsedTimer facesClock;
    int facesBefore = 0;
    std::string priorities;
    if (o.faces) {
        faces.emplace(facePhotos, tmp.filePath(QStringLiteral("Faces")).toStdString());
        // Under way, every worker busy, before the key goes down.
        QElapsedTimer waited;
        waited.start();
        while (faces->analysed() == 0 && waited.elapsed() < 60000) QThread::msleep(10);
        if (faces->analysed() == 0) std::printf("(the face pass analysed nothing in a minute)\n");
        priorities = threadPriorities();
        facesBefore = faces->analysed();
        facesClock.start();
    }

    QElapsedTimer clock;
    std::vector<Frame> frames;
    struct Sampler : QObject {
        std::function<void()> onPaint;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint && onPaint) onPaint();
            return false;
        }
    } sampler;
    sampler.onPaint = [&] {
        if (!clock.isValid()) return;
        Frame f;
        f.ms = double(clock.nsecsElapsed()) / 1e6;
        const qreal dpr = grid.viewport()->devicePixelRatioF();
        const double side = grid.gridLayout().side();
        grid.gridLayout().forEachIn(QRectF(0, grid.scrollOffset(), grid.viewport()->width(), grid.viewport()->height()),
                                    [](int) {}, [&](GridIndex i) {
                                        const Asset& a = grid.assetAt(grid.positions().position(i));
                                        const GridPicture pic = grid.thumbnails().picture(a, false, side, dpr);
                                        ++f.cells;
                                        if (!pic.empty() && pic.opacity >= 1) ++f.filled;
                                        else if (!pic.empty()) ++f.fading;
                                    });
        frames.push_back(f);
    };
    grid.viewport()->installEventFilter(&sampler);

    // The key goes down, waits, and repeats until it is let go.
    int presses = 0;
    auto press = [&](bool repeat) {
        QKeyEvent e(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier, QString(), repeat);
        QCoreApplication::sendEvent(&grid, &e);
        ++presses;
    };
    QTimer repeater;
    repeater.setTimerType(Qt::PreciseTimer);
    repeater.setInterval(1000 / o.rate);
    QObject::connect(&repeater, &QTimer::timeout, [&] {
        if (clock.elapsed() >= o.holdMs) {
            repeater.stop();
            QKeyEvent up(QEvent::KeyRelease, Qt::Key_PageDown, Qt::NoModifier);
            QCoreApplication::sendEvent(&grid, &up);
            QTimer::singleShot(1000, &app, [&] { app.quit(); });
            return;
        }
        press(true);
    });
    clock.start();
    press(false);
    QTimer::singleShot(o.delayMs, &app, [&] { repeater.start(); });
    app.exec();
    const int analysed = faces ? faces->analysed() - facesBefore : 0;
    const double facesSeconds = double(facesClock.isValid() ? facesClock.elapsed() : 0) / 1000;
    if (faces) faces->stop();

    std::vector<double> shares, any;
    int under = 0, counted = 0;
    double worst = 1;
    for (const Frame& f : frames) {
        if (f.ms < 100 || f.ms > o.holdMs) continue;
        ++counted;
        shares.push_back(f.share() * 100);
        any.push_back(f.cells ? 100.0 * (f.filled + f.fading) / f.cells : 100);
        worst = std::min(worst, f.share());
        if (f.share() < 0.9) ++under;
    }
    std::printf("pagedown_bench: %d cells at %.0f px over %zu thumbnails of 12-MP photos, 1440x900; Page Down held "
                "%d ms (repeats after %d ms, %d a second): %d presses, scrolled to %d of %d\n",
                o.assets, o.thumb, sources.size(), o.holdMs, o.delayMs, o.rate, presses, grid.scrollOffset(),
                grid.verticalScrollBar()->maximum());
    std::printf("frames after the first 100 ms: %d; cells in view holding a picture: worst %.1f %%, p5 %.1f %%, "
                "median %.1f %%; frames under 90 %%: %d (target: none): %s\n",
                counted, worst * 100, percentile(shares, 5), percentile(shares, 50), under,
                under == 0 && counted > 0 ? "meets target" : "MISSES target");
    std::printf("counting cells still fading in as filled: worst %.1f %%, p5 %.1f %%, median %.1f %%\n",
                any.empty() ? 100.0 : *std::min_element(any.begin(), any.end()), percentile(any, 5),
                percentile(any, 50));
    if (o.faces)
        std::printf("a face pass ran all the while on %d workers (%d processors): %d photos of 12 MP analysed in "
                    "the %.1f s from the key going down (%.1f a second); threads by class and niceness: %s\n",
                    FacePass::workers(), activeProcessorCount(), analysed, facesSeconds,
                    facesSeconds > 0 ? analysed / facesSeconds : 0.0, priorities.c_str());
    if (o.frames) {
        std::printf("per frame (ms: filled%% [fading]):");
        for (const Frame& f : frames) {
            if (f.ms > o.holdMs) continue;
            std::printf(" %.0f:%.0f", f.ms, f.share() * 100);
            if (f.fading) std::printf("[%d]", f.fading);
        }
        std::printf("\n");
    }
    return 0;
}
