#include "UI/Grid/PhotoGridView.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QThread>
#include <QThreadPool>
#include <QVariantAnimation>

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "UI/Kit/OverlayScrollBar.h"

namespace vintrelle {

namespace {

const GridContentPtr& emptyContent() {
    static const GridContentPtr empty = std::make_shared<const GridContent>();
    return empty;
}

}  // namespace

PhotoGridView::PhotoGridView(GridLibrary library, Callbacks callbacks, std::optional<int64_t> servedScrollToken,
                             QWidget* parent, std::shared_ptr<GridPixmapCache> pixmaps)
    : QAbstractScrollArea(parent),
      cb_(std::move(callbacks)),
      pixmaps_(std::move(pixmaps)),
      content_(emptyContent()),
      lastScrollToken_(servedScrollToken) {
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    makeOverlayScrollBar(verticalScrollBar());
    verticalScrollBar()->setSingleStep(40);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setAutoFillBackground(false);
    viewport()->setMouseTracking(false);

    thumbs_ = new GridThumbnails(pixmaps_, this);
    thumbs_->setOnChange([this](size_t pos) { updateCell(pos); });
    setLibrary(std::move(library));

    motionClock_.start();
    motionTimer_.setSingleShot(true);
    motionTimer_.setInterval(fastSettleMs);
    connect(&motionTimer_, &QTimer::timeout, this, [this] {
        steps_.clear();
        thumbs_->setMovingFast(false);
        syncThumbnails();
        viewport()->update();
    });

    settleTimer_.setSingleShot(true);
    settleTimer_.setInterval(settleMs);
    connect(&settleTimer_, &QTimer::timeout, this, [this] {
        sizing_ = false;
        syncThumbnails();
        viewport()->update();
    });

    scrollAnimation_ = new QVariantAnimation(this);
    scrollAnimation_->setDuration(scrollAnimationMs);
    scrollAnimation_->setEasingCurve(QEasingCurve::InOutQuad);
    connect(scrollAnimation_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& v) { verticalScrollBar()->setValue(v.toInt()); });

    bandScroll_.setInterval(16);
    connect(&bandScroll_, &QTimer::timeout, this, &PhotoGridView::autoScrollBand);

    positions_ = GridPositions(std::vector<int>{});
    selection_.reset(0);
    layout_.setSections({}, {});
}

PhotoGridView::~PhotoGridView() = default;

void PhotoGridView::setLibrary(GridLibrary library) {
    library_ = library;
    thumbs_->setLibrary(std::move(library));
    syncThumbnails();
    viewport()->update();
}

// ---- inputs -------------------------------------------------------------------

void PhotoGridView::setHeader(QWidget* header, int height) {
    if (!header || height <= 0) {
        if (header && header != header_) header->deleteLater();
        if (header_) {
            header_->hide();
            header_->deleteLater();
        }
        header_ = nullptr;
        height = 0;
    } else if (header != header_) {
        if (header_) {
            header_->hide();
            header_->deleteLater();
        }
        header_ = header;
        header->setParent(viewport());
        header->show();
    }
    headerHeight_ = height;
    layout_.setTopInset(height);
    relayout();
    placeHeader();
    syncThumbnails();
    viewport()->update();
}

void PhotoGridView::setContent(GridContentPtr content) {
    if (!content) content = emptyContent();
    if (content->token == token_) return;
    const bool sameKey = content->scrollKey == scrollKey_;
    if (sameKey && sameLayout(*content_, *content)) {
        // Only records changed (a favourite, a new thumbnail): repaint in place.
        replaceContent(std::move(content));
        syncThumbnails();
        viewport()->update();
        return;
    }
    reload(std::move(content), !sameKey);
}

template <class F>
void PhotoGridView::forEachPosition(const GridContent& c, F&& f) const {
    size_t pos = 0;
    const AssetList& flat = *c.flat;
    for (const GridContent::Section& s : c.sections) {
        auto it = flat.begin() + std::ptrdiff_t(s.begin);
        for (size_t i = s.begin; i < s.end; ++i, ++it) f(pos++, *it);
    }
}

bool PhotoGridView::sameLayout(const GridContent& a, const GridContent& b) const {
    if (a.sections.size() != b.sections.size()) return false;
    for (size_t s = 0; s < a.sections.size(); ++s) {
        const auto& x = a.sections[s];
        const auto& y = b.sections[s];
        if (x.id != y.id || x.title != y.title || x.detail != y.detail || x.size() != y.size()) return false;
    }
    if ((a.flat == b.flat || a.flat->sameAs(*b.flat)) &&
        std::equal(a.sections.begin(), a.sections.end(), b.sections.begin()))
        return true;
    for (size_t s = 0; s < a.sections.size(); ++s) {
        auto x = a.flat->begin() + std::ptrdiff_t(a.sections[s].begin);
        auto y = b.flat->begin() + std::ptrdiff_t(b.sections[s].begin);
        for (size_t i = 0; i < a.sections[s].size(); ++i, ++x, ++y)
            if (x->id != y->id) return false;
    }
    return true;
}

void PhotoGridView::reload(GridContentPtr content, bool toTop) {
    const std::vector<uint64_t> shown = viewLook();
    // The selection follows its assets: ids, not positions, survive a reload.
    std::vector<Tracked> selected;
    selected.reserve(selection_.count());
    selection_.forEach([&](size_t pos) { selected.push_back(track(pos)); });
    const std::optional<Tracked> cursor = cursor_, anchor = anchor_;

    replaceContent(std::move(content));
    scrollKey_ = content_->scrollKey;
    kept_.reset();
    std::vector<int> counts;
    std::vector<double> heights;
    counts.reserve(content_->sections.size());
    heights.reserve(content_->sections.size());
    for (const auto& s : content_->sections) {
        counts.push_back(int(s.size()));
        heights.push_back(s.title.empty() ? untitledHeaderHeight : titledHeaderHeight);
    }
    positions_ = GridPositions(counts);
    layout_.setSections(std::move(counts), std::move(heights));
    selection_.reset(positions_.total());
    // Most are found where the store's order puts them; a pass over the grid
    // only for the others.
    IdSet missing;
    for (const Tracked& t : selected) {
        if (const auto pos = findInStoreOrder(t.id, t.taken)) selection_.set(*pos, true);
        else missing.insert(t.id);
    }
    if (!missing.empty())
        forEachPosition(*content_, [&](size_t pos, const Asset& a) {
            if (missing.contains(a.id)) selection_.set(pos, true);
        });
    cursor_ = resolve(cursor);
    anchor_ = resolve(anchor);
    if (banding_) bandBase_ = selection_;  // a band in progress goes on over the new positions

    relayout();
    if (toTop) {
        stopScrollAnimation();
        verticalScrollBar()->setValue(0);
    }
    syncThumbnails();
    // New photos of months out of view change nothing on screen: no frame
    // is painted for them.
    if (viewLook() != shown) viewport()->update();
    reportVisibleSection(true);
}

std::vector<uint64_t> PhotoGridView::viewLook() const {
    std::vector<uint64_t> out{uint64_t(scrollOffset())};
    const auto number = [](double v) { return std::bit_cast<uint64_t>(v); };
    layout_.forEachIn(
        visibleContentRect(),
        [&](int s) {
            const auto& sec = content_->sections[size_t(s)];
            out.push_back(std::hash<std::string>{}(sec.title) * 31 + std::hash<std::string>{}(sec.detail));
            if (const auto frame = layout_.headerFrame(s)) out.push_back(number(frame->top()));
        },
        [&](GridIndex i) {
            const size_t pos = positions_.position(i);
            const Asset& a = assetAt(pos);
            const QRectF f = layout_.itemFrame(i);
            out.push_back(uint64_t(a.id));
            out.push_back(pictureVersion(a));
            out.push_back(number(f.left()) * 31 + number(f.top()));
            out.push_back(number(a.duration) * 31 + uint64_t(a.favorite) + 2 * uint64_t(a.kind == MediaKind::video) +
                          4 * uint64_t(a.liveVideo.has_value()) + 8 * uint64_t(selection_.test(pos)));
        });
    return out;
}

std::optional<size_t> PhotoGridView::findInStoreOrder(int64_t id, double taken) const {
    const AssetList& flat = *content_->flat;
    const size_t at = flat.storeOrderBound(taken, id);
    if (at >= flat.size() || flat[at].id != id) return std::nullopt;
    // The section holding that place in the list, and the place in grid order.
    const auto& sections = content_->sections;
    auto it = std::upper_bound(sections.begin(), sections.end(), at,
                               [](size_t i, const GridContent::Section& s) { return i < s.begin; });
    if (it == sections.begin()) return std::nullopt;
    --it;
    if (at >= it->end) return std::nullopt;
    const int section = int(it - sections.begin());
    return positions_.offset(section) + (at - it->begin);
}

void PhotoGridView::replaceContent(GridContentPtr content) {
    GridContentPtr old = std::exchange(content_, std::move(content));
    token_ = content_->token;
    // The grid may hold the last reference to the old records: a hundred
    // thousand of them are freed on a worker, not between two frames.
    if (old.use_count() == 1 && old->flat.use_count() == 1)
        QThreadPool::globalInstance()->start([old = std::move(old)]() mutable { old.reset(); });
}

std::optional<PhotoGridView::Tracked> PhotoGridView::resolve(const std::optional<Tracked>& t) const {
    if (!t) return std::nullopt;
    if (t->pos < positions_.total() && assetAt(t->pos).id == t->id) return t;
    if (const auto pos = findInStoreOrder(t->id, t->taken)) return Tracked{t->id, *pos, t->taken};
    std::optional<Tracked> found;
    forEachPosition(*content_, [&](size_t pos, const Asset& a) {
        if (!found && a.id == t->id) found = Tracked{a.id, pos, a.taken};
    });
    return found;
}

void PhotoGridView::setThumbSize(double size) {
    if (std::abs(layout_.targetSize() - size) <= 0.5) return;
    // Keep the user where they were, unless the view is at the very top.
    const std::optional<Kept> keep = scrollOffset() > 4 ? keptPlace(viewport()->height()) : std::nullopt;
    layout_.setTargetSize(size);
    {
        const bool outer = std::exchange(placing_, true);
        relayout();
        if (keep) putBack(*keep);
        placing_ = outer;
    }
    if (isVisible() && positions_.total() > 0) {
        sizing_ = true;
        settleTimer_.start();
    }
    syncThumbnails();
    viewport()->update();
}

void PhotoGridView::setSelection(const std::unordered_set<int64_t>& ids) {
    // A change of the user's own is on its way to the application; an older
    // value coming back meanwhile must not undo it.
    if (selectionPosted_) return;
    if (ids.size() == lastSelection_.size() &&
        std::all_of(ids.begin(), ids.end(), [&](int64_t id) { return lastSelection_.contains(id); }))
        return;
    lastSelection_ = IdSet(ids.begin(), ids.end());
    GridSelection next;
    next.reset(positions_.total());
    if (!ids.empty())
        forEachPosition(*content_, [&](size_t pos, const Asset& a) {
            if (lastSelection_.contains(a.id)) next.set(pos, true);
        });
    if (next == selection_) return;
    selection_ = std::move(next);
    syncThumbnails();
    viewport()->update();
}

void PhotoGridView::requestScroll(const std::string& sectionID, int64_t token) {
    if (token == lastScrollToken_) return;
    lastScrollToken_ = token;
    scrollToSection(sectionID);
}

// ---- reading ------------------------------------------------------------------

const Asset& PhotoGridView::assetAt(size_t pos) const {
    const GridIndex i = positions_.index(pos);
    return (*content_->flat)[content_->sections[size_t(i.section)].begin + size_t(i.item)];
}

std::vector<int64_t> PhotoGridView::selectedIDs() const {
    std::vector<int64_t> ids;
    ids.reserve(selection_.count());
    selection_.forEach([&](size_t pos) { ids.push_back(assetAt(pos).id); });
    return ids;
}

std::optional<int64_t> PhotoGridView::cursorID() const {
    if (!cursor_) return std::nullopt;
    return cursor_->id;
}

int PhotoGridView::scrollOffset() const { return verticalScrollBar()->value(); }

std::vector<int64_t> PhotoGridView::inGridOrder(const std::unordered_set<int64_t>& ids) const {
    std::vector<int64_t> out;
    out.reserve(ids.size());
    std::unordered_set<int64_t> seen;
    // The ids are usually the grid's own selection: its positions give the order.
    selection_.forEach([&](size_t pos) {
        const int64_t id = assetAt(pos).id;
        if (ids.count(id) && seen.insert(id).second) out.push_back(id);
    });
    if (seen.size() < ids.size()) {
        out.clear();
        seen.clear();
        forEachPosition(*content_, [&](size_t, const Asset& a) {
            if (ids.count(a.id) && seen.insert(a.id).second) out.push_back(a.id);
        });
    }
    std::vector<int64_t> rest;
    for (int64_t id : ids)
        if (!seen.count(id)) rest.push_back(id);
    std::sort(rest.begin(), rest.end());
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

// ---- geometry -----------------------------------------------------------------

void PhotoGridView::relayout() {
    if (layout_.prepareIfNeeded(viewport()->width())) updateScrollRange();
}

void PhotoGridView::updateScrollRange() {
    viewHeight_ = viewport()->height();
    const int maxY = std::max(0, int(std::ceil(layout_.contentSizeHeight())) - viewport()->height());
    QScrollBar* bar = verticalScrollBar();
    bar->setPageStep(std::max(1, viewport()->height()));
    bar->setRange(0, maxY);
}

void PhotoGridView::placeHeader() {
    if (header_) header_->setGeometry(0, -scrollOffset(), viewport()->width(), headerHeight_);
}

QRectF PhotoGridView::visibleContentRect() const {
    return QRectF(0, scrollOffset(), viewport()->width(), viewport()->height());
}

QRect PhotoGridView::viewRectOf(size_t pos) const {
    const QRectF f = layout_.itemFrame(positions_.index(pos)).translated(0, -scrollOffset());
    return f.toAlignedRect();
}

void PhotoGridView::updateCell(size_t pos) {
    if (pos >= positions_.total()) return;
    const QRect r = viewRectOf(pos);
    if (r.intersects(viewport()->rect())) viewport()->update(r);
}

std::optional<size_t> PhotoGridView::hit(QPointF p) const {
    const auto i = layout_.itemAt(p + QPointF(0, scrollOffset()));
    if (!i) return std::nullopt;
    return positions_.position(*i);
}

std::optional<size_t> PhotoGridView::nearestTo(const QRectF& view) const {
    if (positions_.total() == 0) return std::nullopt;
    // In a month of one or two photos the centre is mostly empty: the
    // nearest item is the one closest to it, not the first in view.
    const QPointF c = view.center();
    std::optional<size_t> best;
    double bestDistance = 0, bestDy = 0;
    auto consider = [&](GridIndex i) {
        const QRectF f = layout_.itemFrame(i);
        const double dx = std::max({f.left() - c.x(), 0.0, c.x() - f.right()});
        const double dy = std::max({f.top() - c.y(), 0.0, c.y() - f.bottom()});
        const double d = dx * dx + dy * dy;
        if (!best || d < bestDistance || (d == bestDistance && dy < bestDy)) {
            best = positions_.position(i);
            bestDistance = d;
            bestDy = dy;
        }
    };
    layout_.forEachIn(view, [](int) {}, consider);
    // A view filled by a header band: the items just above and below it.
    if (!best) layout_.forEachIn(view.adjusted(0, -view.height(), 0, view.height()), [](int) {}, consider);
    return best;
}

std::optional<PhotoGridView::Kept> PhotoGridView::placeIn(double viewHeight) const {
    if (viewHeight <= 0) return std::nullopt;
    // On the layout as it stands, which may still be the one of the old width.
    const QRectF view(0, scrollOffset(), layout_.width(), viewHeight);
    const std::optional<size_t> pos = nearestTo(view);
    if (!pos) return std::nullopt;
    const QRectF f = layout_.itemFrame(positions_.index(*pos));
    return Kept{track(*pos), (f.center().y() - scrollOffset()) / viewHeight, scrollOffset()};
}

std::optional<PhotoGridView::Kept> PhotoGridView::keptPlace(double viewHeight) {
    if (kept_) {
        if (const auto item = resolve(kept_->item)) {
            kept_->item = *item;
            return kept_;
        }
    }
    kept_ = placeIn(viewHeight);
    return kept_;
}

void PhotoGridView::putBack(const Kept& kept) {
    int y = kept.offset;
    if (const auto item = resolve(kept.item)) {
        const QRectF f = layout_.itemFrame(positions_.index(item->pos));
        y = int(std::lround(f.center().y() - kept.fraction * viewport()->height()));
    }
    stopScrollAnimation();
    const bool outer = std::exchange(placing_, true);
    verticalScrollBar()->setValue(y);
    placing_ = outer;
}

std::optional<ScreenPlace> PhotoGridView::place() const {
    const std::optional<Kept> k = placeIn(viewport()->height());
    if (!k) return std::nullopt;
    return ScreenPlace{k->item.id, k->fraction, k->offset};
}

void PhotoGridView::restorePlace(const ScreenPlace& place) {
    kept_.reset();
    relayout();
    if (place.offset <= 4 || !place.itemID) {
        stopScrollAnimation();
        verticalScrollBar()->setValue(place.offset <= 4 ? 0 : place.offset);
        return;
    }
    // No position to try first: the item is looked up by its id.
    putBack({Tracked{*place.itemID, positions_.total()}, place.itemY, place.offset});
}

void PhotoGridView::syncThumbnails() {
    std::vector<GridThumbnails::Cell> cells;
    const qreal dpr = viewport()->devicePixelRatioF();
    syncedDpr_ = dpr;
    if (positions_.total() > 0) {
        // The cells in view first, then those ahead: half a screen above and
        // below; while moving fast two and a half screens the way it goes
        // and a little behind, and two screens for a while after (a held key
        // that starts repeating finds the next pages read, not just the next).
        const QRectF view = visibleContentRect();
        const double h = view.height();
        const bool fast = thumbs_->movingFast();
        const bool leaning = lastFast_ >= 0 && motionClock_.elapsed() - lastFast_ < leanAheadMs;
        const double ahead = fast ? 2.5 * h : leaning ? 2 * h : 0.5 * h;
        const double behind = fast || leaning ? 0.25 * h : 0.5 * h;
        const double below = direction_ > 0 ? ahead : behind;
        const double above = direction_ > 0 ? behind : ahead;
        const QRectF first = direction_ > 0 ? QRectF(0, view.bottom(), view.width(), below)
                                            : QRectF(0, view.top() - above, view.width(), above);
        const QRectF second = direction_ > 0 ? QRectF(0, view.top() - above, view.width(), above)
                                             : QRectF(0, view.bottom(), view.width(), below);
        std::unordered_set<size_t> taken;
        auto add = [&](const QRectF& r, int priority) {
            layout_.forEachIn(r, [](int) {}, [&](GridIndex i) {
                const size_t pos = positions_.position(i);
                if (taken.insert(pos).second) cells.push_back({&assetAt(pos), pos, selection_.test(pos), priority});
            });
        };
        add(view, 2);
        add(first, 1);
        add(second, 0);
    }
    thumbs_->sync(cells, layout_.side(), dpr, !sizing_);
}

void PhotoGridView::noteMotion(int dy) {
    if (dy == 0) return;
    const qint64 now = motionClock_.elapsed();
    std::erase_if(steps_, [&](const auto& step) { return step.first < now - fastWindowMs; });
    steps_.emplace_back(now, dy);
    int moved = 0;
    for (const auto& step : steps_) moved += std::abs(step.second);
    // Content moving up means the view goes down the grid.
    const int direction = dy < 0 ? 1 : -1;
    if (moved * 10 >= viewport()->height() * 9 || thumbs_->movingFast()) {
        direction_ = direction;
        lastFast_ = now;
        thumbs_->setMovingFast(true);
        motionTimer_.start();
    }
}

// ---- painting -----------------------------------------------------------------

void PhotoGridView::paintEvent(QPaintEvent* e) {
    QPainter p(viewport());
    paintContents(p, e->rect());
}

void PhotoGridView::paintContents(QPainter& p, const QRect& viewRect) {
    painter_.setPalette(GridPalette::current());
    p.fillRect(viewRect, painter_.palette().canvas);
    const qreal dpr = p.device()->devicePixelRatioF();
    // The pixel ratio changed under us (another screen): loads are started
    // outside painting, so ask for a pass after this frame.
    if (dpr != syncedDpr_ && p.device() == viewport())
        QMetaObject::invokeMethod(this, [this] { syncThumbnails(); viewport()->update(); }, Qt::QueuedConnection);
    const int offset = scrollOffset();
    p.save();
    p.translate(0, -offset);
    const QRectF r = QRectF(viewRect).translated(0, offset);
    const double side = layout_.side();
    layout_.forEachIn(
        r,
        [&](int s) {
            const auto& sec = content_->sections[size_t(s)];
            painter_.paintHeader(p, *layout_.headerFrame(s), sec.title, sec.detail);
        },
        [&](GridIndex i) {
            const size_t pos = positions_.position(i);
            const Asset& a = assetAt(pos);
            const bool selected = selection_.test(pos);
            painter_.paintCell(p, cellLook(layout_.itemFrame(i), selected, a),
                               thumbs_->picture(a, selected, side, dpr));
        });
    if (banding_) {
        const QRectF band = QRectF(bandOrigin_, bandEnd_).normalized();
        QColor fill = painter_.palette().accent;
        fill.setAlphaF(0.12f);
        QColor edge = painter_.palette().accent;
        edge.setAlphaF(0.6f);
        p.setPen(QPen(edge, 1));
        p.setBrush(fill);
        p.drawRect(band.adjusted(0.5, 0.5, -0.5, -0.5));
    }
    p.restore();
}

bool PhotoGridView::waitForThumbnails(int msecs) {
    QElapsedTimer t;
    t.start();
    for (;;) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (thumbs_->idle() && !settleTimer_.isActive() && !motionTimer_.isActive()) return true;
        if (t.elapsed() > msecs) return false;
        QThread::msleep(2);
    }
}

// ---- events -------------------------------------------------------------------

void PhotoGridView::resizeEvent(QResizeEvent* e) {
    QAbstractScrollArea::resizeEvent(e);
    // The item nearest the centre stays where it was on the screen: found
    // on the layout and the height the view had before this resize.
    const std::optional<Kept> keep = scrollOffset() > 4 ? keptPlace(viewHeight_) : std::nullopt;
    {
        const bool outer = std::exchange(placing_, true);
        relayout();
        updateScrollRange();
        if (keep) putBack(*keep);
        placing_ = outer;
    }
    placeHeader();
    syncThumbnails();
    reportVisibleSection(false);
}

void PhotoGridView::showEvent(QShowEvent* e) {
    QAbstractScrollArea::showEvent(e);
    relayout();
    syncThumbnails();
}

void PhotoGridView::scrollContentsBy(int dx, int dy) {
    // Moved by the user (or to a section, or to the cursor): the place
    // kept across size changes is found anew next time.
    if (!placing_) kept_.reset();
    viewport()->scroll(dx, dy);
    // Holding a place through a change of size moves no picture on screen.
    if (!placing_) noteMotion(dy);
    syncThumbnails();
    reportVisibleSection(false);
    if (banding_) {
        bandEnd_ = lastMouse_ + QPointF(0, scrollOffset());
        updateBand();
    }
}

void PhotoGridView::changeEvent(QEvent* e) {
    QAbstractScrollArea::changeEvent(e);
    if (e->type() == QEvent::PaletteChange || e->type() == QEvent::StyleChange) viewport()->update();
}

bool PhotoGridView::event(QEvent* e) {
    if (e->type() == QEvent::ScreenChangeInternal) {
        syncThumbnails();
        viewport()->update();
    }
    return QAbstractScrollArea::event(e);
}

void PhotoGridView::wheelEvent(QWheelEvent* e) {
    stopScrollAnimation();
    QAbstractScrollArea::wheelEvent(e);
}

// ---- scrolling and the report ---------------------------------------------------

void PhotoGridView::reportVisibleSection(bool force) {
    const auto s = layout_.sectionAt(scrollOffset() + sectionProbe);
    std::string title;
    if (s && size_t(*s) < content_->sections.size()) title = content_->sections[size_t(*s)].title;
    if (!force && title == lastSection_) return;
    lastSection_ = title;
    QMetaObject::invokeMethod(
        this,
        [this, title] {
            if (cb_.visibleSectionChanged) cb_.visibleSectionChanged(title);
        },
        Qt::QueuedConnection);
}

void PhotoGridView::scrollToSection(const std::string& id) {
    const auto& sections = content_->sections;
    const auto it = std::find_if(sections.begin(), sections.end(), [&](const auto& s) { return s.id == id; });
    if (it == sections.end()) return;
    relayout();
    const size_t index = size_t(it - sections.begin());
    const double maxY = std::max(layout_.contentSizeHeight() - viewport()->height(), 0.0);
    double y = index < layout_.tops().size() ? std::max(layout_.tops()[index] - 4, 0.0) : 0.0;
    y = std::min(y, maxY);
    stopScrollAnimation();
    scrollAnimation_->setStartValue(scrollOffset());
    scrollAnimation_->setEndValue(int(std::lround(y)));
    scrollAnimation_->start();
}

void PhotoGridView::stopScrollAnimation() {
    if (scrollAnimation_->state() != QAbstractAnimation::Stopped) scrollAnimation_->stop();
}

void PhotoGridView::reveal(size_t pos) {
    const QRectF f = layout_.itemFrame(positions_.index(pos));
    const int top = scrollOffset();
    const int h = viewport()->height();
    stopScrollAnimation();
    if (f.top() < top) verticalScrollBar()->setValue(int(std::floor(f.top())));
    else if (f.bottom() > top + h) verticalScrollBar()->setValue(int(std::ceil(f.bottom() - h)));
}

}  // namespace vintrelle
