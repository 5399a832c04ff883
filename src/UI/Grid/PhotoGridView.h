#pragma once
// The photo grid: a scroll area that paints its own viewport from the grid
// content (sections over one flat list of assets), with the route header
// scrolling above the first section, an overlay scroll bar, thumbnails from
// the library's cache, selection by mouse and keyboard, file drags out, and
// a report of the section at the top. It keeps no object per asset: the
// layout is arithmetic, the selection one bit per asset, and only the cells
// in view hold thumbnail state.
//
// It talks back through callbacks only, so it runs without the window.

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "App/GridContent.h"
#include "UI/Grid/GridCells.h"
#include "UI/Grid/GridDrag.h"
#include "UI/Grid/GridNavigation.h"
#include "UI/Grid/GridPixmapCache.h"
#include "UI/Grid/GridSelection.h"
#include "UI/Grid/GridThumbnails.h"
#include "UI/Grid/PhotoGridLayout.h"
#include "UI/Kit/ScreenPlace.h"

class QVariantAnimation;

namespace vintrelle {

class PhotoGridView : public QAbstractScrollArea {
    Q_OBJECT

public:
    struct Callbacks {
        // Double-click, Return, Enter or Space.
        std::function<void(const Asset&)> open;
        // The user changed the selection; the ids in grid order. Posted to the
        // event loop, never called from inside one of the setters below.
        std::function<void(const std::vector<int64_t>&)> selectionChanged;
        // The title of the section at the top of the view (empty when none). Posted.
        std::function<void(const std::string&)> visibleSectionChanged;
        // Right-click or the menu key: the clicked asset, the ids the menu acts
        // on in grid order, and where to show the menu.
        std::function<void(const Asset&, const std::vector<int64_t>&, const QPoint& globalPos)> contextMenu;
        // In front of QDrag::exec; unset, the drag runs with the grid as its source.
        std::function<void(GridDrag&)> drag;
    };

    static constexpr double titledHeaderHeight = 62;
    static constexpr double untitledHeaderHeight = 6;
    static constexpr int scrollAnimationMs = 280;
    static constexpr int settleMs = 150;           // after the size stops moving, exact pixmaps are made
    static constexpr double sectionProbe = 24;     // the reported section is the one this far below the top
    // Moving a screen's height within this time is moving fast (a page key,
    // held or not, a flick); the grid has settled this long after the last such step.
    static constexpr int fastWindowMs = 200;
    static constexpr int fastSettleMs = 150;
    // For this long after fast movement, the grid at rest reads ahead the way
    // it went (a held key pauses before it repeats).
    static constexpr int leanAheadMs = 2000;

    // `servedScrollToken` is the token of the scroll request standing when the
    // grid is made (none without one): that request belongs to an earlier
    // screen and is never replayed.
    PhotoGridView(GridLibrary library, Callbacks callbacks, std::optional<int64_t> servedScrollToken,
                  QWidget* parent = nullptr,
                  std::shared_ptr<GridPixmapCache> pixmaps = GridPixmapCache::shared());
    ~PhotoGridView() override;

    // Inputs. An update applies them in this order: header, content, size,
    // selection, scroll request. Each does nothing when given what it holds.
    void setLibrary(GridLibrary library);
    // The grid owns the header; nullptr or a height of 0 removes it.
    void setHeader(QWidget* header, int height);
    // A new token with the same scroll key and the same ids in the same
    // sections refreshes the cells in place; anything else reloads, and a new
    // scroll key (another route or search) also returns to the top.
    void setContent(GridContentPtr content);
    void setThumbSize(double size);
    void setSelection(const std::unordered_set<int64_t>& ids);
    template <class Ids>
    void setSelection(const Ids& ids) {
        setSelection(std::unordered_set<int64_t>(std::begin(ids), std::end(ids)));
    }
    // Scrolls to the section once per new token (animated).
    void requestScroll(const std::string& sectionID, int64_t token);
    // Where the view stands: the item nearest the centre of the viewport,
    // and where its centre lies in it (none while nothing is shown).
    std::optional<ScreenPlace> place() const;
    // Puts that item's centre back at the same height in the viewport, or
    // the view at the same offset when the item is gone; a place at the
    // very top stays at the top.
    void restorePlace(const ScreenPlace& place);

    const GridContentPtr& content() const { return content_; }
    const PhotoGridLayout& gridLayout() const { return layout_; }
    const GridPositions& positions() const { return positions_; }
    std::vector<int64_t> selectedIDs() const;  // grid order
    std::optional<int64_t> cursorID() const;
    int scrollOffset() const;
    QWidget* header() const { return header_; }
    GridThumbnails& thumbnails() { return *thumbs_; }
    // Ids in grid order, those the grid does not show last (ascending).
    std::vector<int64_t> inGridOrder(const std::unordered_set<int64_t>& ids) const;
    const Asset& assetAt(size_t pos) const;

    // Paints the part `viewRect` of the viewport (viewport coordinates) onto
    // any device, e.g. an image for an offscreen picture of the grid.
    void paintContents(QPainter& p, const QRect& viewRect);
    // Runs the event loop until no thumbnail is loading, scaling or fading and
    // the size has settled.
    bool waitForThumbnails(int msecs);

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void scrollContentsBy(int dx, int dy) override;
    void changeEvent(QEvent* e) override;
    bool event(QEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    // An asset followed by its id, so a reload cannot move it to another photo
    // (and by its capture time, to find it again in a list in store order).
    struct Tracked {
        int64_t id = 0;
        size_t pos = 0;
        double taken = 0;
    };

    bool sameLayout(const GridContent& a, const GridContent& b) const;
    void reload(GridContentPtr content, bool toTop);
    void replaceContent(GridContentPtr content);
    std::optional<Tracked> resolve(const std::optional<Tracked>& t) const;
    Tracked track(size_t pos) const { return {assetAt(pos).id, pos, assetAt(pos).taken}; }
    // The grid position of the asset with this id and capture time: found by
    // a binary search when the content lists it in store order (the library
    // and the lists filtered from it), none when not found that way.
    std::optional<size_t> findInStoreOrder(int64_t id, double taken) const;
    template <class F>
    void forEachPosition(const GridContent& c, F&& f) const;

    // What the cells and headers in view show: a reload that leaves it alone
    // paints nothing.
    std::vector<uint64_t> viewLook() const;
    void relayout();
    void updateScrollRange();
    void placeHeader();
    void syncThumbnails();
    void noteMotion(int dy);
    // A place held across changes of the layout (thumbnail size, width): the
    // item nearest the centre, found once and kept through a run of such
    // changes until the view is moved otherwise, so no rounding creeps.
    struct Kept {
        Tracked item;
        double fraction = 0.5;  // of the viewport's height, where the item's centre lies
        int offset = 0;
    };
    std::optional<size_t> nearestTo(const QRectF& view) const;
    std::optional<Kept> placeIn(double viewHeight) const;
    std::optional<Kept> keptPlace(double viewHeight);
    void putBack(const Kept& kept);
    QRectF visibleContentRect() const;
    QRect viewRectOf(size_t pos) const;
    void updateCell(size_t pos);
    std::optional<size_t> hit(QPointF viewportPoint) const;

    void reportVisibleSection(bool force);
    void publishSelection();
    void selectionEdited();
    void selectAlone(size_t pos);
    void move(int dx, int dy, bool extend);
    void activate();
    void reveal(size_t pos);
    void scrollToSection(const std::string& id);
    void stopScrollAnimation();
    void startDrag(size_t pos, QPointF pressPoint);
    void updateBand();
    void autoScrollBand();

    GridLibrary library_;
    Callbacks cb_;
    std::shared_ptr<GridPixmapCache> pixmaps_;
    GridThumbnails* thumbs_ = nullptr;
    GridPainter painter_;

    GridContentPtr content_;
    int64_t token_ = -1;
    std::string scrollKey_;
    std::optional<int64_t> lastScrollToken_;
    PhotoGridLayout layout_;
    GridPositions positions_;
    GridSelection selection_;
    IdSet lastSelection_;  // what the application last heard or said
    std::optional<Tracked> cursor_;
    std::optional<Tracked> anchor_;       // where Shift-click ranges start
    std::string lastSection_ = std::string(1, '\0');
    bool selectionPosted_ = false;

    QPointer<QWidget> header_;
    int headerHeight_ = 0;

    std::optional<Kept> kept_;
    bool placing_ = false;  // the offset moves to keep a place, not by the user
    int viewHeight_ = 0;    // the viewport's height the layout was last fitted to

    bool sizing_ = false;
    QTimer settleTimer_;
    // Recent scroll steps (when, how far), to tell fast movement and its direction.
    std::vector<std::pair<qint64, int>> steps_;
    QElapsedTimer motionClock_;
    QTimer motionTimer_;
    int direction_ = 1;  // of the last fast movement: 1 down the grid, -1 up
    qint64 lastFast_ = -1;  // when it was last seen
    QVariantAnimation* scrollAnimation_ = nullptr;
    qreal syncedDpr_ = 0;

    // Mouse.
    std::optional<Tracked> pressed_;  // the cell pressed, followed across reloads
    QPointF pressPoint_;
    bool selectOnRelease_ = false;
    bool banding_ = false;
    QPointF bandOrigin_, bandEnd_;  // content coordinates
    QPointF lastMouse_;             // viewport coordinates
    GridSelection bandBase_;
    QTimer bandScroll_;
};

}  // namespace vintrelle
