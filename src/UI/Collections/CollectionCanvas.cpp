#include "UI/Collections/CollectionCanvas.h"

#include <QApplication>
#include <QCache>
#include <QDrag>
#include <QEasingCurve>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QThreadPool>

#include <algorithm>
#include <climits>
#include <cmath>
#include <numbers>
#include <utility>

#include "Store/ThumbnailCache.h"
#include "UI/Kit/Buttons.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/OverlayScrollBar.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

Columns adaptiveColumns(qreal available, const ColumnSpec& spec) {
    Columns c;
    c.spacing = spec.spacing;
    available = std::max<qreal>(available, 0);
    c.count = std::max(1, int(std::floor((available + spec.spacing) / (spec.min + spec.spacing))));
    c.width = std::min(spec.max, (available - (c.count - 1) * spec.spacing) / c.count);
    const qreal used = c.count * c.width + (c.count - 1) * spec.spacing;
    c.left = std::max<qreal>(0, (available - used) / 2);
    return c;
}

qreal easeOut(qreal t) {
    static const QEasingCurve curve = [] {
        QEasingCurve c(QEasingCurve::BezierSpline);
        c.addCubicBezierSegment(QPointF(0, 0), QPointF(0.58, 1), QPointF(1, 1));
        return c;
    }();
    return curve.valueForProgress(std::clamp<qreal>(t, 0, 1));
}

CollectionBlock CollectionBlock::header(qreal top, QString title, QString detail) {
    CollectionBlock b;
    b.kind = Kind::header;
    b.top = top;
    b.title = std::move(title);
    b.detail = std::move(detail);
    return b;
}

CollectionBlock CollectionBlock::text(qreal top, QString text, bool spinner) {
    CollectionBlock b;
    b.kind = Kind::text;
    b.top = top;
    b.title = std::move(text);
    b.spinner = spinner;
    return b;
}

CollectionBlock CollectionBlock::button(qreal top, QString title, std::function<void()> action) {
    CollectionBlock b;
    b.kind = Kind::button;
    b.top = top;
    b.title = std::move(title);
    b.action = std::move(action);
    return b;
}

CollectionBlock CollectionBlock::grid(qreal top, ColumnSpec columns, qreal rowSpacing, qreal opacity) {
    CollectionBlock b;
    b.kind = Kind::grid;
    b.top = top;
    b.columns = columns;
    b.rowSpacing = rowSpacing;
    b.opacity = opacity;
    return b;
}

namespace {

constexpr qreal kHeaderTitlePx = 26, kHeaderDetailPx = 11.5, kHeaderGap = 10;
constexpr qreal kTextPx = 12, kSpinnerSide = 16, kSpinnerGap = 9;
constexpr int kSpinnerMs = 80, kTickMs = 16;

CollectionCanvas::MenuPresenter& menuPresenter() {
    static CollectionCanvas::MenuPresenter presenter;
    return presenter;
}

CollectionCanvas::DragRunner& dragRunner() {
    static CollectionCanvas::DragRunner runner;
    return runner;
}

// Covers scaled to card pixels, shared by the screens so that coming back
// to one shows its cards at once.
QCache<QString, QPixmap>& pixmaps() {
    static QCache<QString, QPixmap> cache(64 * 1024 * 1024);
    return cache;
}

// The picture scaled to cover `device` pixels, centred and cropped.
QImage coverFill(const QImage& image, QSize device) {
    const double scale = std::max(double(device.width()) / image.width(), double(device.height()) / image.height());
    const QSize cover(std::max(device.width(), int(std::ceil(image.width() * scale))),
                      std::max(device.height(), int(std::ceil(image.height() * scale))));
    const QImage scaled = image.scaled(cover, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return scaled.copy((cover.width() - device.width()) / 2, (cover.height() - device.height()) / 2, device.width(),
                       device.height());
}

qreal headerHeight() { return QFontMetricsF(Fonts::font(kHeaderTitlePx, QFont::Bold)).height(); }

}  // namespace

// What a finished load reaches: it outlives the canvas only as an empty
// shell, so a late picture goes into the shared cache and nowhere else.
class CollectionCanvas::Sink {
public:
    explicit Sink(CollectionCanvas* c) : canvas(c) {}
    CollectionCanvas* canvas;
};

void CollectionCanvas::setMenuPresenter(MenuPresenter presenter) { menuPresenter() = std::move(presenter); }
void CollectionCanvas::setDragRunner(DragRunner runner) { dragRunner() = std::move(runner); }

CollectionCanvas::CollectionCanvas(Delegate& delegate, QWidget* parent)
    : QAbstractScrollArea(parent), delegate_(delegate), sink_(std::make_shared<Sink>(this)) {
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    makeOverlayScrollBar(verticalScrollBar());
    verticalScrollBar()->setSingleStep(24);
    viewport()->setMouseTracking(true);
    viewport()->setAcceptDrops(true);
    viewport()->setAutoFillBackground(false);
    clock_.start();
    ticker_.setInterval(kTickMs);
    connect(&ticker_, &QTimer::timeout, this, &CollectionCanvas::tick);
    resizeSettle_.setSingleShot(true);
    resizeSettle_.setInterval(resizeSettleMs);
    connect(&resizeSettle_, &QTimer::timeout, this, [this] {
        syncCovers();
        viewport()->update();
    });
    spinner_.setInterval(kSpinnerMs);
    connect(&spinner_, &QTimer::timeout, this, [this] {
        spinnerStep_ = (spinnerStep_ + 1) % 8;
        viewport()->update();
    });
}

CollectionCanvas::~CollectionCanvas() {
    sink_->canvas = nullptr;
    // A menu still open ends its busy spell as it goes. Let it go now, while
    // this canvas is whole (the widget teardown would delete it from a canvas
    // half destroyed), and without telling the screen, which is going too.
    disconnect(this, &CollectionCanvas::becameIdle, nullptr, nullptr);
    qDeleteAll(findChildren<QMenu*>(Qt::FindDirectChildrenOnly));
}

void CollectionCanvas::setPadding(const QMarginsF& padding) {
    padding_ = padding;
    relayout();
}

void CollectionCanvas::setThumbnails(std::shared_ptr<ThumbnailCache> cache) {
    if (cache == thumbs_) return;
    thumbs_ = std::move(cache);
    covers_.clear();
    syncCovers();
}

void CollectionCanvas::setBlocks(std::vector<CollectionBlock> blocks) {
    blocks_ = std::move(blocks);
    // One button per button block, reused in order; a button whose block
    // went away is deleted later, as it may be the one being clicked.
    size_t wanted = 0;
    for (const CollectionBlock& b : blocks_) wanted += b.kind == CollectionBlock::Kind::button;
    while (buttons_.size() > wanted) {
        buttons_.back()->hide();
        buttons_.back()->deleteLater();
        buttons_.pop_back();
    }
    while (buttons_.size() < wanted) {
        auto* b = new QPushButton(viewport());
        QuietButtonStyle::apply(b);
        const size_t ordinal = buttons_.size();
        connect(b, &QPushButton::clicked, this, [this, ordinal] {
            size_t seen = 0;
            for (const CollectionBlock& block : blocks_) {
                if (block.kind != CollectionBlock::Kind::button) continue;
                if (seen++ != ordinal) continue;
                if (auto action = block.action) action();  // a copy: the action may replace the blocks
                return;
            }
        });
        buttons_.push_back(b);
    }
    size_t n = 0;
    bool spinner = false;
    for (const CollectionBlock& b : blocks_) {
        if (b.kind == CollectionBlock::Kind::button) buttons_[n++]->setText(b.title);
        spinner = spinner || (b.kind == CollectionBlock::Kind::text && b.spinner);
    }
    if (spinner && !spinner_.isActive()) spinner_.start();
    if (!spinner) spinner_.stop();

    relayout();
    // Cards that went away drop their state.
    for (auto* anims : {&hover_, &target_})
        std::erase_if(*anims, [this](const auto& kv) { return !index_.count(kv.first); });
    std::erase_if(covers_, [this](const auto& kv) { return !index_.count(kv.first); });
    if (hovered_ && !index_.count(*hovered_)) hovered_.reset();
    if (targeted_ && !index_.count(*targeted_)) targeted_.reset();
    if (pressed_ && !index_.count(*pressed_)) pressed_.reset();
    updateHoverFromCursor();
    syncCovers();
    viewport()->update();
}

// ---- layout -------------------------------------------------------------------------

void CollectionCanvas::relayout() {
    const qreal width = viewport()->width();
    const qreal inner = std::max<qreal>(0, width - padding_.left() - padding_.right());
    laidOutWidth_ = width;
    placed_.clear();
    index_.clear();
    blockRects_.clear();
    qreal y = padding_.top();
    size_t buttonIndex = 0;
    for (const CollectionBlock& b : blocks_) {
        y += b.top;
        QRectF r(padding_.left(), y, inner, 0);
        switch (b.kind) {
            case CollectionBlock::Kind::header: r.setHeight(headerHeight()); break;
            case CollectionBlock::Kind::text: {
                const qreal indent = b.spinner ? kSpinnerSide + kSpinnerGap : 0;
                const QFontMetricsF fm(Fonts::font(kTextPx));
                const QRectF text =
                    fm.boundingRect(QRectF(0, 0, std::max<qreal>(1, inner - indent), 1e6), Qt::TextWordWrap, b.title);
                r.setHeight(std::max(text.height(), b.spinner ? kSpinnerSide : 0.0));
                break;
            }
            case CollectionBlock::Kind::button: {
                const QSize hint = buttonIndex < buttons_.size() ? buttons_[buttonIndex]->sizeHint() : QSize();
                ++buttonIndex;
                r.setSize(hint);
                break;
            }
            case CollectionBlock::Kind::grid: {
                const Columns cols = adaptiveColumns(inner, b.columns);
                // Whole pixels, so a card's layer lands on the same pixels
                // wherever it scrolls; one width for the whole grid, so
                // every card of a row has the same size and its texts
                // stand on one line.
                const qreal width = std::max<qreal>(1, std::round(cols.width));
                qreal rowTop = y;
                for (size_t i = 0; i < b.cards.size(); i += size_t(cols.count)) {
                    qreal rowHeight = 0;
                    const size_t end = std::min(b.cards.size(), i + size_t(cols.count));
                    for (size_t k = i; k < end; ++k)
                        rowHeight = std::max(rowHeight, delegate_.cardHeight(b.cards[k], width));
                    for (size_t k = i; k < end; ++k) {
                        const qreal x = padding_.left() + cols.x(int(k - i));
                        const QRectF cell(std::round(x), std::round(rowTop), width,
                                          std::round(delegate_.cardHeight(b.cards[k], width)));
                        index_[b.cards[k]] = placed_.size();
                        placed_.push_back({b.cards[k], cell, b.opacity});
                    }
                    rowTop += rowHeight + (end < b.cards.size() ? b.rowSpacing : 0);
                }
                r.setHeight(rowTop - y);
                break;
            }
        }
        blockRects_.push_back(r);
        y = r.bottom();
    }
    contentHeight_ = y + padding_.bottom();
    updateScrollRange();
    placeButtons();
}

void CollectionCanvas::updateScrollRange() {
    QScrollBar* bar = verticalScrollBar();
    const bool outer = std::exchange(placing_, true);
    bar->setPageStep(viewport()->height());
    bar->setRange(0, std::max(0, int(std::ceil(contentHeight_ - viewport()->height()))));
    if (restoring_) bar->setValue(*restoring_);
    placing_ = outer;
}

int CollectionCanvas::scrollOffset() const { return verticalScrollBar()->value(); }

void CollectionCanvas::restoreScroll(int offset) {
    restoring_ = offset;
    updateScrollRange();
}

void CollectionCanvas::placeButtons() {
    size_t n = 0;
    for (size_t i = 0; i < blocks_.size() && i < blockRects_.size(); ++i) {
        if (blocks_[i].kind != CollectionBlock::Kind::button || n >= buttons_.size()) continue;
        QPushButton* b = buttons_[n++];
        b->setGeometry(toViewport(blockRects_[i]).toRect());
        b->show();
    }
}

qreal CollectionCanvas::scrollY() const { return verticalScrollBar()->value(); }

QRectF CollectionCanvas::toViewport(const QRectF& content) const { return content.translated(0, -scrollY()); }

std::optional<QRectF> CollectionCanvas::cardRect(const CardKey& key) const {
    const auto it = index_.find(key);
    if (it == index_.end()) return std::nullopt;
    return toViewport(placed_[it->second].rect);
}

std::optional<CardKey> CollectionCanvas::cardAt(QPointF pos) const {
    const QPointF content = pos + QPointF(0, scrollY());
    for (const Placed& p : placed_)
        if (p.rect.contains(content)) return p.key;
    return std::nullopt;
}

QPushButton* CollectionCanvas::button(int blockIndex) const {
    size_t n = 0;
    for (int i = 0; i < int(blocks_.size()); ++i) {
        if (blocks_[size_t(i)].kind != CollectionBlock::Kind::button) continue;
        if (i == blockIndex) return n < buttons_.size() ? buttons_[n] : nullptr;
        ++n;
    }
    return nullptr;
}

QRectF CollectionCanvas::blockRect(int blockIndex) const {
    return blockIndex >= 0 && blockIndex < int(blockRects_.size()) ? blockRects_[size_t(blockIndex)] : QRectF();
}

std::vector<const CollectionCanvas::Placed*> CollectionCanvas::visibleCards() const {
    std::vector<const Placed*> out;
    const qreal reach = delegate_.overhang();
    const QRectF view(0, scrollY() - reach, viewport()->width(), viewport()->height() + 2 * reach);
    for (const Placed& p : placed_)
        if (p.rect.intersects(view)) out.push_back(&p);
    return out;
}

void CollectionCanvas::resizeEvent(QResizeEvent* e) {
    QAbstractScrollArea::resizeEvent(e);
    if (viewport()->width() != laidOutWidth_) {
        relayout();
        resizeSettle_.start();
        syncCovers();  // cards without a picture yet ask at once
    } else {
        updateScrollRange();
        syncCovers();
    }
}

void CollectionCanvas::scrollContentsBy(int, int) {
    if (!placing_) restoring_.reset();
    placeButtons();
    updateHoverFromCursor();
    syncCovers();
    viewport()->update();
}

void CollectionCanvas::wheelEvent(QWheelEvent* e) {
    // Touchpads report pixels: follow them exactly for smooth scrolling.
    if (!e->pixelDelta().isNull()) {
        verticalScrollBar()->setValue(verticalScrollBar()->value() - e->pixelDelta().y());
        e->accept();
        return;
    }
    QAbstractScrollArea::wheelEvent(e);
}

// ---- covers -------------------------------------------------------------------------

void CollectionCanvas::syncCovers() {
    if (!thumbs_) return;
    const qreal dpr = viewport()->devicePixelRatioF();
    // Cards one screen above and below are asked for too, so scrolling finds them in.
    const qreal ahead = viewport()->height();
    const QRectF view(0, scrollY() - ahead, viewport()->width(), viewport()->height() + 2 * ahead);
    for (const Placed& p : placed_) {
        if (!p.rect.intersects(view)) continue;
        const auto c = delegate_.cover(p.key, p.rect.size());
        if (!c) {
            covers_.erase(p.key);
            continue;
        }
        const QSize device(std::max(1, int(std::lround(c->first.width() * dpr))),
                           std::max(1, int(std::lround(c->first.height() * dpr))));
        const QString key = QString::fromStdString(c->second.path) + u'#' + QString::number(c->second.version) +
                            u'@' + QString::number(device.width()) + u'x' + QString::number(device.height());
        CoverSlot& slot = covers_[p.key];
        if (slot.want == key && (slot.pending || slot.missing || slot.shownKey == key)) continue;
        slot.want = key;
        slot.missing = false;
        if (const QPixmap* hit = pixmaps().object(key)) {
            slot.shown = *hit;
            slot.shownKey = key;
            slot.pending = false;
            continue;
        }
        // While the size moves, the old picture is stretched; the exact one
        // is made once the size rests.
        if (resizeSettle_.isActive() && !slot.shown.isNull()) continue;
        slot.pending = true;
        requestCover(p.key, slot, c->second.path, device);
    }
}

void CollectionCanvas::requestCover(const CardKey&, const CoverSlot& slot, const std::string& path,
                                    const QSize& device) {
    std::weak_ptr<Sink> weak = sink_;
    const QString key = slot.want;
    thumbs_->load(path, [weak, key, device](const QImage& image) {
        if (image.isNull()) {
            if (auto sink = weak.lock(); sink && sink->canvas) sink->canvas->coverArrived(key, {}, true);
            return;
        }
        QThreadPool::globalInstance()->start([weak, key, device, image] {
            QImage scaled = coverFill(image, device);
            QMetaObject::invokeMethod(
                qApp,
                [weak, key, scaled = std::move(scaled)] {
                    QPixmap pm = QPixmap::fromImage(scaled);
                    pixmaps().insert(key, new QPixmap(pm), int(std::min<qint64>(pm.width() * pm.height() * 4, INT_MAX)));
                    if (auto sink = weak.lock(); sink && sink->canvas) sink->canvas->coverArrived(key, pm, false);
                },
                Qt::QueuedConnection);
        });
    });
}

void CollectionCanvas::coverArrived(const QString& cacheKey, const QPixmap& pixmap, bool missing) {
    bool fading = false;
    for (auto& [card, slot] : covers_) {
        if (slot.want != cacheKey) continue;
        slot.pending = false;
        if (missing) {
            slot.missing = true;
            slot.shown = {};
            slot.shownKey.clear();
            continue;
        }
        if (slot.shown.isNull()) {
            slot.arrived = clock_.elapsed();
            fading = true;
        }
        slot.shown = pixmap;
        slot.shownKey = cacheKey;
    }
    if (fading && !ticker_.isActive()) ticker_.start();
    viewport()->update();
}

QPixmap CollectionCanvas::coverOf(const CardKey& key) const {
    const auto it = covers_.find(key);
    return it == covers_.end() ? QPixmap() : it->second.shown;
}

// ---- animation ----------------------------------------------------------------------

qreal CollectionCanvas::valueOf(const std::map<CardKey, Anim>& anims, const CardKey& key, qint64 now) {
    const auto it = anims.find(key);
    if (it == anims.end()) return 0;
    const Anim& a = it->second;
    const qreal t = a.duration > 0 ? qreal(now - a.start) / a.duration : 1;
    return a.from + (a.to - a.from) * easeOut(t);
}

qreal CollectionCanvas::hoverProgress(const CardKey& key) const { return valueOf(hover_, key, clock_.elapsed()); }
qreal CollectionCanvas::targetProgress(const CardKey& key) const { return valueOf(target_, key, clock_.elapsed()); }

void CollectionCanvas::animate(std::map<CardKey, Anim>& anims, const CardKey& key, qreal to, int ms) {
    const qint64 now = clock_.elapsed();
    const qreal from = valueOf(anims, key, now);
    anims[key] = Anim{from, to, now, ms};
    if (!ticker_.isActive()) ticker_.start();
}

void CollectionCanvas::tick() {
    const qint64 now = clock_.elapsed();
    bool running = false;
    for (auto* anims : {&hover_, &target_}) {
        for (auto it = anims->begin(); it != anims->end();) {
            const bool done = now - it->second.start >= it->second.duration;
            if (done && it->second.to == 0) {
                it = anims->erase(it);
                continue;
            }
            running = running || !done;
            ++it;
        }
    }
    for (auto& [card, slot] : covers_) {
        if (slot.arrived < 0) continue;
        if (now - slot.arrived >= fadeMs) slot.arrived = -1;
        else running = true;
    }
    if (!running) ticker_.stop();
    viewport()->update();
}

void CollectionCanvas::setHovered(std::optional<CardKey> key) {
    if (key == hovered_) return;
    if (hovered_) animate(hover_, *hovered_, 0, delegate_.hoverMs());
    hovered_ = key;
    if (hovered_) animate(hover_, *hovered_, 1, delegate_.hoverMs());
}

void CollectionCanvas::setTargeted(std::optional<CardKey> key) {
    if (key == targeted_) return;
    if (targeted_) animate(target_, *targeted_, 0, targetMs);
    targeted_ = key;
    if (targeted_) animate(target_, *targeted_, 1, targetMs);
}

void CollectionCanvas::updateHoverFromCursor() {
    if (!viewport()->underMouse()) return setHovered(std::nullopt);
    setHovered(cardAt(viewport()->mapFromGlobal(QCursor::pos())));
}

bool CollectionCanvas::isSettled() const {
    if (ticker_.isActive() || resizeSettle_.isActive()) return false;
    for (const Placed* p : visibleCards()) {
        const auto it = covers_.find(p->key);
        if (it != covers_.end() && it->second.pending) return false;
    }
    return true;
}

// ---- gestures -----------------------------------------------------------------------

void CollectionCanvas::beginBusy() { ++busy_; }

void CollectionCanvas::endBusy() {
    busy_ = std::max(0, busy_ - 1);
    if (!isBusy()) emit becameIdle();
}

void CollectionCanvas::openMenu(const CardKey& key, QPoint global) {
    QMenu* menu = delegate_.menu(key, this);
    if (!menu) return;
    beginBusy();
    // Ends once, whichever comes first: the menu closing or going away.
    auto ended = std::make_shared<bool>(false);
    QPointer<CollectionCanvas> self(this);
    auto end = [self, ended] {
        if (*ended) return;
        *ended = true;
        if (self) self->endBusy();
    };
    connect(menu, &QMenu::aboutToHide, this, end);
    connect(menu, &QObject::destroyed, this, end);
    if (menuPresenter()) return menuPresenter()(menu, global);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(global);
}

void CollectionCanvas::startDrag(const CardKey& key) {
    std::unique_ptr<QMimeData> mime = delegate_.dragData(key);
    pressed_.reset();
    if (!mime) return;
    auto* drag = new QDrag(viewport());
    drag->setMimeData(mime.release());
    const QPixmap picture = delegate_.dragPixmap(key, coverOf(key));
    if (!picture.isNull()) {
        drag->setPixmap(picture);
        drag->setHotSpot(QPoint(int(picture.width() / picture.devicePixelRatio() / 2),
                                int(picture.height() / picture.devicePixelRatio() / 2)));
    }
    QPointer<CollectionCanvas> self(this);
    beginBusy();
    if (dragRunner()) dragRunner()(drag);
    else drag->exec(Qt::MoveAction | Qt::CopyAction, Qt::MoveAction);
    drag->deleteLater();
    // The drag's own event loop may have seen the screen go.
    if (self) self->endBusy();
}

void CollectionCanvas::mouseMoveEvent(QMouseEvent* e) {
    const QPointF pos = e->position();
    if (pressed_ && (e->buttons() & Qt::LeftButton) &&
        (pos - pressPos_).manhattanLength() >= QApplication::startDragDistance()) {
        const CardKey key = *pressed_;
        pressed_.reset();
        if (index_.count(key)) startDrag(key);
        return;
    }
    setHovered(cardAt(pos));
}

void CollectionCanvas::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(e);
    pressed_ = cardAt(e->position());
    pressPos_ = e->position();
}

void CollectionCanvas::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return QAbstractScrollArea::mouseReleaseEvent(e);
    const std::optional<CardKey> pressed = pressed_;
    pressed_.reset();
    if (pressed && cardAt(e->position()) == pressed) delegate_.activate(*pressed);
}

bool CollectionCanvas::viewportEvent(QEvent* e) {
    if (e->type() == QEvent::Leave) setHovered(std::nullopt);
    return QAbstractScrollArea::viewportEvent(e);
}

void CollectionCanvas::contextMenuEvent(QContextMenuEvent* e) {
    const std::optional<CardKey> key = cardAt(e->pos());
    if (!key) return;
    e->accept();
    openMenu(*key, e->globalPos());
}

void CollectionCanvas::dragEnterEvent(QDragEnterEvent* e) {
    if (!e->mimeData() || !delegate_.takesDrag(*e->mimeData())) return e->ignore();
    dragOver_ = true;
    // Taken, so that moves over the cards are offered; each position is then
    // answered for the card under the pointer.
    e->acceptProposedAction();
    const std::optional<CardKey> key = cardAt(e->position());
    setTargeted(key && delegate_.accepts(*key, *e->mimeData()) ? key : std::nullopt);
}

void CollectionCanvas::dragMoveEvent(QDragMoveEvent* e) {
    const std::optional<CardKey> key = cardAt(e->position());
    if (key && e->mimeData() && delegate_.accepts(*key, *e->mimeData())) {
        e->acceptProposedAction();
        setTargeted(key);
    } else {
        e->ignore();
        setTargeted(std::nullopt);
    }
}

void CollectionCanvas::dragLeaveEvent(QDragLeaveEvent*) {
    setTargeted(std::nullopt);
    if (dragOver_) {
        dragOver_ = false;
        if (!isBusy()) emit becameIdle();
    }
}

void CollectionCanvas::dropEvent(QDropEvent* e) {
    const std::optional<CardKey> key = cardAt(e->position());
    setTargeted(std::nullopt);
    const bool accepted = key && e->mimeData() && delegate_.accepts(*key, *e->mimeData());
    if (accepted) {
        e->acceptProposedAction();
        delegate_.dropped(*key, *e->mimeData());
    } else {
        e->ignore();
    }
    if (dragOver_) {
        dragOver_ = false;
        if (!isBusy()) emit becameIdle();
    }
}

void CollectionCanvas::showEvent(QShowEvent* e) {
    QAbstractScrollArea::showEvent(e);
    syncCovers();
}

void CollectionCanvas::changeEvent(QEvent* e) {
    QAbstractScrollArea::changeEvent(e);
    if (e->type() == QEvent::PaletteChange) viewport()->update();
}

// ---- painting -----------------------------------------------------------------------

void CollectionCanvas::paintBlock(QPainter& p, const CollectionBlock& b, const QRectF& r) {
    switch (b.kind) {
        case CollectionBlock::Kind::header: {
            const QFont title = Fonts::font(kHeaderTitlePx, QFont::Bold);
            const QFont detail = Fonts::font(kHeaderDetailPx);
            const QFontMetricsF fm(title);
            const qreal baseline = r.top() + fm.ascent();
            p.setFont(title);
            p.setPen(Theme::ink());
            p.drawText(QPointF(r.left(), baseline), b.title);
            p.setFont(detail);
            p.setPen(Theme::ink2());
            p.drawText(QPointF(r.left() + fm.horizontalAdvance(b.title) + kHeaderGap, baseline), b.detail);
            break;
        }
        case CollectionBlock::Kind::text: {
            qreal x = r.left();
            if (b.spinner) {
                // A small indeterminate spinner: eight spokes, the lead one darkest.
                const QPointF c(x + kSpinnerSide / 2, r.top() + r.height() / 2);
                p.save();
                p.setRenderHint(QPainter::Antialiasing);
                for (int i = 0; i < 8; ++i) {
                    QColor ink = Theme::ink2();
                    ink.setAlphaF(float(ink.alphaF() * (0.25 + 0.75 * (((i - spinnerStep_ + 8) % 8) / 7.0))));
                    QPen pen(ink, 1.6, Qt::SolidLine, Qt::RoundCap);
                    p.setPen(pen);
                    const qreal a = i * std::numbers::pi / 4;
                    p.drawLine(c + QPointF(std::cos(a), std::sin(a)) * 3.6, c + QPointF(std::cos(a), std::sin(a)) * 7);
                }
                p.restore();
                x += kSpinnerSide + kSpinnerGap;
            }
            p.setFont(Fonts::font(kTextPx));
            p.setPen(Theme::ink2());
            p.drawText(QRectF(x, r.top(), r.right() - x, r.height()), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignVCenter,
                       b.title);
            break;
        }
        case CollectionBlock::Kind::button:
        case CollectionBlock::Kind::grid: break;
    }
}

void CollectionCanvas::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    p.fillRect(viewport()->rect(), Theme::canvas());
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QRectF view(0, 0, viewport()->width(), viewport()->height());
    for (size_t i = 0; i < blocks_.size() && i < blockRects_.size(); ++i) {
        const QRectF r = toViewport(blockRects_[i]);
        if (r.intersects(view) && blocks_[i].kind != CollectionBlock::Kind::grid) paintBlock(p, blocks_[i], r);
    }
    const qint64 now = clock_.elapsed();
    const qreal dpr = viewport()->devicePixelRatioF();
    const qreal reach = delegate_.overhang();
    for (const Placed* card : visibleCards()) {
        QPixmap cover;
        qreal coverOpacity = 1;
        if (const auto it = covers_.find(card->key); it != covers_.end()) {
            cover = it->second.shown;
            if (it->second.arrived >= 0) coverOpacity = easeOut(qreal(now - it->second.arrived) / fadeMs);
        }
        const QRectF r = toViewport(card->rect);
        const qreal hover = valueOf(hover_, card->key, now), target = valueOf(target_, card->key, now);
        const bool still = hover == 0 && target == 0 && coverOpacity >= 1;
        if (!still && card->opacity >= 1) {
            p.save();
            delegate_.paintCard(p, card->key, r, cover, coverOpacity, hover, target);
            p.restore();
            continue;
        }
        // A card at rest is painted once into a layer and then only blitted;
        // a faded card is always painted through a layer, so it fades as a
        // whole and its shadow does not show through it.
        const int margin = int(std::ceil(reach));
        const QRect area = r.toAlignedRect().adjusted(-margin, -margin, margin, margin);
        QString key;
        if (still) {
            const auto it = covers_.find(card->key);
            key = QString::number(card->key.kind) + u':' + QString::number(card->key.id) + u'@' +
                  QString::number(area.width()) + u'x' + QString::number(area.height()) + u'*' +
                  QString::number(dpr) + (Theme::isDark() ? u'D' : u'L') + u'#' +
                  QString::number(delegate_.cardVersion(card->key)) + u'|' +
                  (it == covers_.end() ? QString() : it->second.shownKey);
            if (const QPixmap* hit = layers_.object(key)) {
                p.save();
                p.setOpacity(card->opacity);
                p.drawPixmap(area.topLeft(), *hit);
                p.restore();
                continue;
            }
        }
        QPixmap layer(area.size() * dpr);
        layer.setDevicePixelRatio(dpr);
        layer.fill(Qt::transparent);
        {
            QPainter lp(&layer);
            lp.setRenderHints(p.renderHints());
            lp.translate(-area.topLeft());
            delegate_.paintCard(lp, card->key, r, cover, coverOpacity, hover, target);
        }
        p.save();
        p.setOpacity(card->opacity);
        p.drawPixmap(area.topLeft(), layer);
        p.restore();
        if (still) layers_.insert(key, new QPixmap(layer), int(std::min<qint64>(qint64(layer.width()) * layer.height() * 4, INT_MAX)));
    }
}

}  // namespace vintrelle
