#pragma once
// The thumbnail life of the cells in view. A cell whose exact pixmap is
// cached blits it; otherwise its decoded thumbnail is asked of the library's
// thumbnail cache (a hit arrives at once, a miss later and fades in) and
// scaled to the cell's pixels on worker threads. Cells that leave the view
// cancel what they asked for; a result for a cell no longer in view is
// dropped; a changed record keeps its old picture until the new one is ready.
// While the grid moves fast (a page at a time), a cell that has nothing in
// memory gets a stand-in at once: its thumbnail file decoded small, on the
// workers, cells in view first; the whole thumbnail follows once the grid
// settles, without a fade, as a picture is already there.
//
// There is one entry per cell in view, never one per asset of the grid.

#include <QElapsedTimer>
#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Core/Index/LibraryPaths.h"
#include "Core/Index/Models.h"
#include "UI/Grid/GridCells.h"
#include "UI/Grid/GridPixmapCache.h"

namespace vintrelle {

class LibraryStore;
class ThumbnailCache;

// How the grid reaches decoded thumbnails: the store's cache in the
// application; tests may complete loads by hand.
struct ThumbnailSource {
    using Completion = std::function<void(const QImage&)>;  // a null image: nothing to show
    using Cancel = std::function<void()>;
    // Completes before returning on a memory hit (and gives no cancel);
    // otherwise completes later on the main thread unless cancelled.
    std::function<Cancel(const std::string& path, Completion)> load;
    // What memory holds already, or a null image; never reads the disk.
    // Unset: nothing is held.
    std::function<QImage(const std::string& path)> cached;
    // The file decoded small, its shorter side at least minSide pixels; runs
    // on a worker thread. Unset: no stand-ins.
    std::function<QImage(const std::string& path, int minSide)> decodeSmall;

    static ThumbnailSource of(std::shared_ptr<ThumbnailCache> cache);
};

// What the grid needs of the open library.
struct GridLibrary {
    ThumbnailSource thumbs;
    LibraryPaths paths;  // thumbnail files, and the folder dragged files live in
    uint64_t key = 0;    // tells one library from another (pixmaps are kept per library)

    static GridLibrary of(const LibraryStore& store);
};

class GridThumbnails : public QObject {
    Q_OBJECT

public:
    static constexpr int fadeMs = 140;

    struct Cell {
        const Asset* asset = nullptr;
        size_t pos = 0;  // grid position, handed back when the cell should be painted again
        bool inset = false;
        int priority = 0;  // work for higher ones first: cells in view before those ahead of it
    };

    explicit GridThumbnails(std::shared_ptr<GridPixmapCache> cache, QObject* parent = nullptr);
    ~GridThumbnails() override;

    void setLibrary(GridLibrary library);
    const GridLibrary& library() const { return library_; }
    GridPixmapCache& pixmaps() { return *cache_; }

    // Called with the cells in view whenever they may have changed (never
    // while painting). With exact false (the cell size is moving) no pixmaps
    // are made: cells draw from the decoded thumbnails until it settles.
    void sync(const std::vector<Cell>& cells, double side, qreal dpr, bool exact);
    // What to paint for a cell.
    GridPicture picture(const Asset& asset, bool inset, double side, qreal dpr);
    ThumbKey keyFor(const Asset& asset, bool inset, double side, qreal dpr) const;

    // A cell at this grid position should be painted again.
    void setOnChange(std::function<void(size_t pos)> f) { onChange_ = std::move(f); }
    // While set, cells without a picture get stand-ins and no whole
    // thumbnail is read; the next sync after clearing it reads them.
    void setMovingFast(bool fast) { movingFast_ = fast; }
    bool movingFast() const { return movingFast_; }

    // No load, no scaling and no fade under way.
    bool idle() const;
    size_t cellCount() const { return slots_.size(); }

private:
    struct Slot {
        size_t pos = 0;
        uint32_t seen = 0;
        uint64_t version = 0;
        bool inset = false;
        bool loading = false;
        bool failed = false;
        uint64_t ticket = 0;
        ThumbnailSource::Cancel cancel;
        QImage source;
        QPixmap shown;
        qint64 fadeStart = -1;
        std::shared_ptr<std::atomic<bool>> scaling;
        ThumbKey scaleKey;
        std::shared_ptr<std::atomic<bool>> quick;  // a stand-in on its way
        bool quickFailed = false;
    };

    void ensure(int64_t id, Slot& s, int priority);
    void startLoad(int64_t id, Slot& s);
    void loaded(int64_t id, uint64_t ticket, const QImage& img);
    void requestScale(Slot& s, const ThumbKey& key, int priority = 0);
    void scaled(const ThumbKey& key, QImage img, const std::shared_ptr<std::atomic<bool>>& flag);
    void requestQuick(int64_t id, Slot& s, const ThumbKey& key, int priority);
    void quickDone(int64_t id, QImage img, const std::shared_ptr<std::atomic<bool>>& flag);
    void forget(Slot& s);
    void fadeTick();
    ThumbKey slotKey(int64_t id, const Slot& s) const;

    std::shared_ptr<GridPixmapCache> cache_;
    GridLibrary library_;
    std::unordered_map<int64_t, Slot> slots_;
    std::function<void(size_t)> onChange_;
    QThreadPool pool_;
    QTimer fadeTimer_;
    QElapsedTimer clock_;
    double side_ = 0;
    qreal dpr_ = 1;
    bool exact_ = true;
    uint32_t generation_ = 0;
    uint64_t tickets_ = 0;
    uint64_t loadingNow_ = 0;  // the ticket whose load call is running, to tell a hit from a miss
    int scalesInFlight_ = 0;
    int quicksInFlight_ = 0;
    bool movingFast_ = false;
};

}  // namespace vintrelle
