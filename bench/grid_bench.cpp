// The photo grid on 100,000 assets in 240 month sections: the layout pass
// and a rectangle query, a full reload and a refresh in place, one 1440x900
// frame with every thumbnail cached (against blitting the same pixmaps with
// no logic at all) at device pixel ratio 1 and, in a second run of this
// program, 2; and the memory the grid holds apart from its pixmap cache.
//
// Usage: grid_bench            (runs itself again with QT_SCALE_FACTOR=2)

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QProcess>
#include <QScrollBar>

#include <malloc.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "UI/Grid/PhotoGridView.h"
#include "UI/Kit/Theme.h"

using namespace vintrelle;

namespace {

constexpr int kAssets = 100000;
constexpr int kSections = 240;
const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};

// Newest first, one section per month, with the badges a real library has.
GridContentPtr makeContent(int64_t token, int64_t firstId = 1, int extra = 0) {
    auto c = std::make_shared<GridContent>();
    auto flat = std::make_shared<std::vector<Asset>>();
    const int total = kAssets + extra;
    flat->reserve(size_t(total));
    for (int i = 0; i < total; ++i) {
        Asset a;
        a.id = firstId + i;
        a.path = "20" + std::to_string(10 + i * 20 / total) + "/Event " + std::to_string(i / 400) + "/IMG_" +
                 std::to_string(i) + ".JPG";
        a.kind = i % 10 == 0 ? MediaKind::video : MediaKind::photo;
        a.duration = a.kind == MediaKind::video ? 5 + i % 300 : 0;
        a.favorite = i % 7 == 0;
        if (i % 13 == 0) a.liveVideo = "IMG_" + std::to_string(i) + ".MOV";
        a.thumbState = 1;
        a.mtime = 1.6e9 + i;
        a.size = 3000000 + i;
        flat->push_back(std::move(a));
    }
    size_t at = 0;
    for (int s = 0; s < kSections; ++s) {
        GridContent::Section sec;
        const size_t n = size_t(total / kSections + (s < total % kSections ? 1 : 0));
        sec.id = std::to_string(2030 - s / 12) + "-" + std::to_string(12 - s % 12);
        sec.title = std::string(kMonths[11 - s % 12]) + " " + std::to_string(2030 - s / 12);
        sec.detail = std::to_string(n) + " items";
        sec.begin = at;
        sec.end = at + n;
        at = sec.end;
        c->sections.push_back(std::move(sec));
    }
    c->flat = std::make_shared<const AssetList>(std::move(*flat));
    c->token = token;
    c->scrollKey = "library|";
    return c;
}

GridContentPtr withToken(const GridContentPtr& c, int64_t token) {
    auto copy = std::make_shared<GridContent>(*c);
    copy->token = token;
    return copy;
}

double medianMs(int runs, const std::function<void()>& setup, const std::function<void()>& work) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        if (setup) setup();
        QElapsedTimer t;
        t.start();
        work();
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

size_t heapBytes() {
    malloc_trim(0);
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// Thumbnails decoded already: every load is a memory hit on one of a few
// gradient pictures (so scaling does real work).
ThumbnailSource memoryThumbs() {
    auto images = std::make_shared<std::vector<QImage>>();
    for (int k = 0; k < 16; ++k) {
        QImage img(480, 360, QImage::Format_RGB32);
        QPainter p(&img);
        QLinearGradient g(0, 0, 480, 360);
        g.setColorAt(0, QColor::fromHsv(k * 22, 160, 220));
        g.setColorAt(1, QColor::fromHsv((k * 22 + 90) % 360, 200, 120));
        p.fillRect(img.rect(), g);
        images->push_back(img);
    }
    ThumbnailSource s;
    s.load = [images](const std::string& path, ThumbnailSource::Completion done) -> ThumbnailSource::Cancel {
        done((*images)[std::hash<std::string>{}(path) % images->size()]);
        return {};
    };
    return s;
}

GridLibrary library(ThumbnailSource thumbs) {
    GridLibrary lib;
    lib.thumbs = std::move(thumbs);
    lib.paths.root = "/media/bench/Photos";
    lib.paths.dataDir = "/media/bench/Photos/.vintrelle";
    lib.key = 1;
    return lib;
}

const char* verdict(bool ok) { return ok ? "meets target" : "MISSES target"; }

void frames(const GridContentPtr& content) {
    for (double size : {150.0, 72.0, 320.0}) {
        PhotoGridView grid(library(memoryThumbs()), {}, std::nullopt, nullptr, std::make_shared<GridPixmapCache>());
        grid.resize(1440, 900);
        grid.show();
        grid.setContent(content);
        grid.setThumbSize(size);
        grid.verticalScrollBar()->setValue(grid.verticalScrollBar()->maximum() / 2);
        // A few selected cells, so rings and insets are part of the frame.
        std::vector<int64_t> chosen;
        grid.gridLayout().forEachIn(QRectF(0, grid.scrollOffset(), 1440, 900), [](int) {}, [&](GridIndex i) {
            const size_t pos = grid.positions().position(i);
            if (pos % 11 == 0) chosen.push_back(grid.assetAt(pos).id);
        });
        grid.setSelection(chosen);
        if (!grid.waitForThumbnails(120000)) std::printf("  (thumbnails did not settle)\n");

        const qreal dpr = grid.viewport()->devicePixelRatioF();
        QImage target(int(1440 * dpr), int(900 * dpr), QImage::Format_ARGB32_Premultiplied);
        target.setDevicePixelRatio(dpr);
        const QRect view(0, 0, 1440, 900);
        const double gridMs = medianMs(200, nullptr, [&] {
            QPainter p(&target);
            grid.paintContents(p, view);
        });

        // The same pixmaps at the same places, nothing else.
        std::vector<std::pair<QPointF, QPixmap>> blits;
        int missing = 0;
        const double side = grid.gridLayout().side();
        grid.gridLayout().forEachIn(QRectF(0, grid.scrollOffset(), 1440, 900), [](int) {}, [&](GridIndex i) {
            const size_t pos = grid.positions().position(i);
            const bool sel = std::find(chosen.begin(), chosen.end(), grid.assetAt(pos).id) != chosen.end();
            const GridPicture pic = grid.thumbnails().picture(grid.assetAt(pos), sel, side, dpr);
            if (pic.exact.isNull()) ++missing;
            const CellLook look = cellLook(grid.gridLayout().itemFrame(i), sel, grid.assetAt(pos));
            blits.emplace_back(look.image.topLeft() - QPointF(0, grid.scrollOffset()), pic.exact);
        });
        const QColor canvas = Theme::canvas();
        const double blitMs = medianMs(200, nullptr, [&] {
            QPainter p(&target);
            p.fillRect(view, canvas);
            for (const auto& [at, pm] : blits) p.drawPixmap(at, pm);
        });
        const double limit = dpr > 1.5 ? 8.0 : 4.0;
        std::printf("frame 1440x900 @%gx, thumb %3.0f (%3zu cells%s)  %6.3f ms   blits alone %6.3f ms   ratio %4.2f"
                    "   target <= %.0f ms: %s\n",
                    dpr, size, blits.size(), missing ? ", some not cached" : "", gridMs, blitMs, gridMs / blitMs,
                    limit, verdict(gridMs <= limit));
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool frameOnly = argc > 1 && std::string(argv[1]) == "--frame-only";
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    Theme::install(app);

    const GridContentPtr content = makeContent(1);
    if (frameOnly) {
        frames(content);
        return 0;
    }
    std::printf("grid_bench: %d assets in %d month sections, viewport 1440x900\n", kAssets, kSections);

    // Layout.
    PhotoGridLayout layout;
    {
        std::vector<int> counts;
        std::vector<double> heights;
        for (const auto& s : content->sections) {
            counts.push_back(int(s.size()));
            heights.push_back(62);
        }
        layout.setSections(counts, heights);
    }
    const double prepareMs = medianMs(500, [&] { layout.setTargetSize(layout.targetSize() == 150 ? 151 : 150); },
                                      [&] { layout.prepare(1440); });
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> anywhere(0, layout.contentHeight() - 900);
    size_t cells = 0;
    const double queryMs = medianMs(2000, nullptr, [&] {
        cells = 0;
        layout.forEachIn(QRectF(0, anywhere(rng), 1440, 900), [](int) {}, [&](GridIndex) { ++cells; });
    });
    std::printf("layout pass                 %8.4f ms\n", prepareMs);
    std::printf("rect query 1440x900         %8.4f ms  (%zu cells)\n", queryMs, cells);

    // Memory, with thumbnails that never arrive: the grid's own structures
    // for the content (the window's backing store is not the grid's).
    {
        ThumbnailSource never;
        never.load = [](const std::string&, ThumbnailSource::Completion) -> ThumbnailSource::Cancel { return [] {}; };
        std::vector<int64_t> all;
        for (const Asset& a : *content->flat) all.push_back(a.id);
        auto grid = std::make_unique<PhotoGridView>(library(never), PhotoGridView::Callbacks{}, std::nullopt, nullptr,
                                                    std::make_shared<GridPixmapCache>());
        grid->resize(1440, 900);
        grid->show();
        QCoreApplication::processEvents();
        const size_t before = heapBytes();
        grid->setContent(content);
        QCoreApplication::processEvents();
        const size_t held = heapBytes() - before;
        grid->setSelection(all);
        const size_t heldAll = heapBytes() - before;
        std::printf("grid memory                 %8.2f MB (everything selected: %.2f MB)   target < 10 MB: %s\n",
                    double(held) / 1048576, double(heldAll) / 1048576, verdict(heldAll < 10 * 1048576));

        // Reloads: new photos at the top of the same route, so every id moves.
        const GridContentPtr moved = makeContent(2, 0, 1);
        int64_t token = 10;
        const GridContentPtr* next = &content;
        auto reloads = [&](size_t selected) {
            grid->setSelection(std::vector<int64_t>(all.begin(), all.begin() + long(selected)));
            return medianMs(
                40, [&] { next = next == &moved ? &content : &moved; },
                [&] { grid->setContent(withToken(*next, ++token)); });
        };
        const double none = reloads(0), tenth = reloads(kAssets / 10), every = reloads(kAssets);
        std::printf("full reload                 %8.3f ms (10%% selected: %.3f ms, all: %.3f ms)   target <= 15 ms: %s\n",
                    none, tenth, every, verdict(std::max({none, tenth, every}) <= 15));

        // Records changed, same ids: the cells refresh in place.
        auto copy = std::make_shared<const AssetList>(*(*next)->flat);
        const double refreshMs = medianMs(
            40,
            [&] {
                Asset flipped = (*copy)[5];
                flipped.favorite = !flipped.favorite;
                const size_t at[] = {5};
                copy = std::make_shared<const AssetList>(copy->edited(at, at, {flipped}));
            },
            [&] {
                auto c = std::make_shared<GridContent>(**next);
                c->flat = copy;
                c->token = ++token;
                grid->setContent(c);
            });
        std::printf("refresh in place            %8.3f ms\n", refreshMs);
    }
    std::fflush(stdout);

    frames(content);
    // Device pixel ratio 2 needs a screen that has it: run again on one.
    qputenv("QT_SCALE_FACTOR", "2");
    return QProcess::execute(QCoreApplication::applicationFilePath(), {QStringLiteral("--frame-only")});
}
