// The user's hand on the grid: clicks, the rubber band, keys, the context
// menu and file drags.

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>

#include <algorithm>

#include "UI/Grid/PhotoGridView.h"

namespace vintrelle {

void PhotoGridView::publishSelection() {
    lastSelection_ = IdSet(selection_.count());
    selection_.forEach([&](size_t pos) { lastSelection_.insert(assetAt(pos).id); });
    if (selectionPosted_) return;
    selectionPosted_ = true;
    // Handed over later, so the application never hears of it while it is
    // itself updating the grid.
    QMetaObject::invokeMethod(
        this,
        [this] {
            selectionPosted_ = false;
            if (cb_.selectionChanged) cb_.selectionChanged(selectedIDs());
        },
        Qt::QueuedConnection);
}

void PhotoGridView::selectionEdited() {
    publishSelection();
    syncThumbnails();
    viewport()->update();
}

void PhotoGridView::selectAlone(size_t pos) {
    selection_.clear();
    selection_.set(pos, true);
    cursor_ = anchor_ = track(pos);
    selectionEdited();
}

// ---- mouse --------------------------------------------------------------------

void PhotoGridView::mousePressEvent(QMouseEvent* e) {
    setFocus(Qt::MouseFocusReason);
    if (e->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(e);
        return;
    }
    stopScrollAnimation();
    const Qt::KeyboardModifiers mods = e->modifiers();
    const bool toggle = mods & Qt::ControlModifier;
    const bool extend = mods & Qt::ShiftModifier;
    pressPoint_ = e->position();
    lastMouse_ = e->position();
    const std::optional<size_t> under = hit(e->position());
    pressed_.reset();
    if (under) pressed_ = track(*under);
    selectOnRelease_ = false;
    if (!under) {
        // Empty space: clears (unless a modifier keeps the selection) and starts a band.
        if (!toggle && !extend && !selection_.empty()) {
            selection_.clear();
            selectionEdited();
        }
        banding_ = true;
        bandOrigin_ = bandEnd_ = e->position() + QPointF(0, scrollOffset());
        bandBase_ = selection_;
        return;
    }
    const size_t pos = *under;
    if (extend) {
        const std::optional<Tracked> from = resolve(anchor_);
        if (from) selection_.setRange(from->pos, pos, true);
        else selection_.set(pos, true);
        if (!from) anchor_ = track(pos);
        cursor_ = track(pos);
        selectionEdited();
    } else if (toggle) {
        const bool on = !selection_.test(pos);
        selection_.set(pos, on);
        if (on) cursor_ = anchor_ = track(pos);
        selectionEdited();
    } else if (selection_.test(pos)) {
        // Keep a multiple selection for a drag; a plain click narrows it on release.
        selectOnRelease_ = selection_.count() > 1;
        cursor_ = anchor_ = track(pos);
    } else {
        selectAlone(pos);
    }
}

void PhotoGridView::mouseDoubleClickEvent(QMouseEvent* e) {
    mousePressEvent(e);
    if (e->button() != Qt::LeftButton || (e->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier))) return;
    if (const auto pos = hit(e->position()); pos && cb_.open) {
        selectOnRelease_ = false;
        pressed_.reset();
        cb_.open(assetAt(*pos));
    }
}

void PhotoGridView::mouseMoveEvent(QMouseEvent* e) {
    if (!(e->buttons() & Qt::LeftButton)) return;
    lastMouse_ = e->position();
    if (pressed_) {
        if ((e->position() - pressPoint_).manhattanLength() >= QApplication::startDragDistance()) {
            const std::optional<Tracked> from = resolve(pressed_);
            pressed_.reset();
            selectOnRelease_ = false;
            if (from) startDrag(from->pos, pressPoint_);
        }
        return;
    }
    if (!banding_) return;
    bandEnd_ = e->position() + QPointF(0, scrollOffset());
    updateBand();
    const bool outside = e->position().y() < 0 || e->position().y() > viewport()->height();
    if (outside && !bandScroll_.isActive()) bandScroll_.start();
    if (!outside) bandScroll_.stop();
}

void PhotoGridView::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseReleaseEvent(e);
        return;
    }
    if (selectOnRelease_) {
        if (const std::optional<Tracked> at = resolve(pressed_)) selectAlone(at->pos);
    }
    if (banding_) {
        banding_ = false;
        bandScroll_.stop();
        viewport()->update();
    }
    pressed_.reset();
    selectOnRelease_ = false;
}

void PhotoGridView::updateBand() {
    const QRectF band = QRectF(bandOrigin_, bandEnd_).normalized();
    GridSelection next = bandBase_;
    std::optional<size_t> last;
    layout_.forEachIn(band, [](int) {}, [&](GridIndex i) {
        const size_t pos = positions_.position(i);
        next.set(pos, true);
        last = pos;
    });
    viewport()->update();
    if (next == selection_) return;
    selection_ = std::move(next);
    if (last) cursor_ = track(*last);
    selectionEdited();
}

void PhotoGridView::autoScrollBand() {
    if (!banding_) {
        bandScroll_.stop();
        return;
    }
    const double y = lastMouse_.y();
    const double h = viewport()->height();
    const double over = y < 0 ? y : y > h ? y - h : 0;
    if (over == 0) return;
    // Faster the further the pointer is beyond the edge.
    const int step = int(std::clamp(over / 2, -60.0, 60.0));
    verticalScrollBar()->setValue(scrollOffset() + (step == 0 ? (over < 0 ? -1 : 1) : step));
}

// ---- context menu -----------------------------------------------------------------

void PhotoGridView::contextMenuEvent(QContextMenuEvent* e) {
    std::optional<size_t> pos;
    QPoint global = e->globalPos();
    if (e->reason() == QContextMenuEvent::Mouse) {
        pos = hit(e->pos());
    } else {
        // The menu key acts on the cursor, else the first selected asset.
        if (const auto c = resolve(cursor_)) pos = c->pos;
        else if (selection_.first() < positions_.total()) pos = selection_.first();
        if (pos) global = viewport()->mapToGlobal(viewRectOf(*pos).center());
    }
    if (!pos) return;
    if (!selection_.test(*pos)) selectAlone(*pos);
    std::vector<int64_t> ids = selectedIDs();
    const Asset& asset = assetAt(*pos);
    if (ids.empty()) ids.push_back(asset.id);
    if (cb_.contextMenu) cb_.contextMenu(asset, ids, global);
    e->accept();
}

// ---- keys ---------------------------------------------------------------------

void PhotoGridView::keyPressEvent(QKeyEvent* e) {
    if (e->matches(QKeySequence::SelectAll)) {
        if (positions_.total() > 0 && selection_.count() != positions_.total()) {
            selection_.selectAll();
            selectionEdited();
        }
        return;
    }
    if (e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
        QAbstractScrollArea::keyPressEvent(e);
        return;
    }
    const bool extend = e->modifiers() & Qt::ShiftModifier;
    QScrollBar* bar = verticalScrollBar();
    switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space: activate(); return;
    case Qt::Key_Left: move(-1, 0, extend); return;
    case Qt::Key_Right: move(1, 0, extend); return;
    case Qt::Key_Up: move(0, -1, extend); return;
    case Qt::Key_Down: move(0, 1, extend); return;
    case Qt::Key_PageUp: stopScrollAnimation(); bar->triggerAction(QAbstractSlider::SliderPageStepSub); return;
    case Qt::Key_PageDown: stopScrollAnimation(); bar->triggerAction(QAbstractSlider::SliderPageStepAdd); return;
    case Qt::Key_Home: stopScrollAnimation(); bar->triggerAction(QAbstractSlider::SliderToMinimum); return;
    case Qt::Key_End: stopScrollAnimation(); bar->triggerAction(QAbstractSlider::SliderToMaximum); return;
    default: QAbstractScrollArea::keyPressEvent(e);
    }
}

void PhotoGridView::activate() {
    const size_t first = selection_.first();
    if (first < positions_.total() && cb_.open) cb_.open(assetAt(first));
}

void PhotoGridView::move(int dx, int dy, bool extend) {
    if (positions_.total() < 1) return;
    std::optional<GridIndex> start;
    cursor_ = resolve(cursor_);
    if (cursor_) start = positions_.index(cursor_->pos);
    else if (selection_.first() < positions_.total()) start = positions_.index(selection_.first());
    const auto target = arrowTarget(positions_, start, dx, dy, layout_.columns());
    if (!target) return;
    cursor_ = track(*target);
    if (!extend) {
        selection_.clear();
        anchor_ = cursor_;
    }
    selection_.set(*target, true);
    reveal(*target);
    selectionEdited();
}

// ---- drag -----------------------------------------------------------------------

void PhotoGridView::startDrag(size_t pos, QPointF pressPoint) {
    std::vector<std::string> paths;
    if (selection_.test(pos)) {
        paths.reserve(selection_.count());
        selection_.forEach([&](size_t p) { paths.push_back(assetAt(p).path); });
    } else {
        paths.push_back(assetAt(pos).path);
    }
    GridDrag drag;
    drag.mime = fileDragData(library_.paths, paths);
    if (!drag.mime->hasUrls()) return;
    const Asset& a = assetAt(pos);
    const bool selected = selection_.test(pos);
    const qreal dpr = viewport()->devicePixelRatioF();
    GridPicture pic = thumbs_->picture(a, selected, layout_.side(), dpr);
    QPixmap thumb = !pic.exact.isNull() ? pic.exact : !pic.fallback.isNull() ? pic.fallback : QPixmap();
    if (thumb.isNull() && !pic.source.isNull()) {
        thumb = QPixmap::fromImage(roundedThumbnail(pic.source, int(96 * dpr), CellLook::cornerRadius * dpr));
        thumb.setDevicePixelRatio(dpr);
    }
    drag.pixmap = dragPixmap(thumb, int(drag.mime->urls().size()), painter_.palette().accent);
    const QRectF cell = layout_.itemFrame(positions_.index(pos)).translated(0, -scrollOffset());
    const double scale = 96.0 / std::max(1.0, cell.width());
    drag.hotSpot = ((pressPoint - cell.topLeft()) * scale + QPointF(0, 10)).toPoint();
    if (cb_.drag) cb_.drag(drag);
    else execDrag(this, drag);
}

}  // namespace vintrelle
