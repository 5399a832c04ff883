#pragma once
// The painted, scrolling body shared by the trips, people and albums
// screens: a column of blocks (year headers, text rows, a quiet button,
// grids of cards) laid out in adaptive columns, with no widget per card.
// Cards are known by key; what a card shows and does is the screen's
// (CollectionCanvas::Delegate). The canvas keeps each card's hover and
// drop-target animation, its cover picture (decoded by the library's
// thumbnail cache, scaled once off the main thread to the card's pixels and
// kept in a pixmap cache shared by the screens), and the click, menu and
// drag gestures.
//
// While a menu, a drag or a confirmation the canvas started is open, the
// screen must not rebuild: the engine's reports arrive inside those event
// loops. The canvas says so (isBusy) and tells the screen when it is
// idle again (becameIdle), so the screen rebuilds once then.

#include <QAbstractScrollArea>
#include <QCache>
#include <QElapsedTimer>
#include <QMimeData>
#include <QPixmap>
#include <QPointer>
#include <QTimer>

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QDrag;
class QMenu;
class QPushButton;

namespace vintrelle {

class ThumbnailCache;

// Adaptive columns: as many columns of at least `min` as fit with `spacing`
// between them, each as wide as the room allows but never wider than `max`,
// the whole row centred: n = max(1, floor((W + s) / (min + s))).
struct ColumnSpec {
    qreal min = 0, max = 0, spacing = 0;
};
struct Columns {
    int count = 1;
    qreal width = 0;
    qreal spacing = 0;
    qreal left = 0;  // where the first column starts within the room
    qreal x(int column) const { return left + column * (width + spacing); }
};
Columns adaptiveColumns(qreal available, const ColumnSpec& spec);

// Ease-out (the standard cubic curve 0, 0, 0.58, 1) of t in [0, 1].
qreal easeOut(qreal t);

struct CardKey {
    int kind = 0;  // the screen's own kinds
    int64_t id = 0;
    auto operator<=>(const CardKey&) const = default;
};

// A stored picture a card shows, filling a rectangle of the card.
struct CoverRequest {
    std::string path;      // thumbnail or face-crop file
    uint64_t version = 0;  // changes when the file's picture does
};

struct CollectionBlock {
    enum class Kind { header, text, button, grid };
    Kind kind = Kind::grid;
    qreal top = 0;  // space above
    // header: title (big) and detail on one baseline; text: `title`, wrapped,
    // with a small spinner before it when `spinner`; button: `title`.
    QString title, detail;
    bool spinner = false;
    std::function<void()> action;  // button
    // grid
    ColumnSpec columns;
    qreal rowSpacing = 0;
    std::vector<CardKey> cards;
    qreal opacity = 1;

    static CollectionBlock header(qreal top, QString title, QString detail);
    static CollectionBlock text(qreal top, QString text, bool spinner = false);
    static CollectionBlock button(qreal top, QString title, std::function<void()> action);
    static CollectionBlock grid(qreal top, ColumnSpec columns, qreal rowSpacing, qreal opacity = 1);
};

class CollectionCanvas : public QAbstractScrollArea {
    Q_OBJECT
public:
    class Delegate {
    public:
        virtual ~Delegate() = default;
        virtual qreal cardHeight(const CardKey& key, qreal width) const = 0;
        // Changes whenever what the card shows (texts, flags) changes: a card
        // at rest is drawn from a layer made for this version.
        virtual size_t cardVersion(const CardKey& key) const = 0;
        // The part of the card its cover fills (card coordinates), and the
        // picture; none for a card without a stored picture.
        virtual std::optional<std::pair<QRectF, CoverRequest>> cover(const CardKey& key, const QSizeF& size) const = 0;
        // Paints the card into rect; cover is null until the picture is in
        // (or when there is none), coverOpacity < 1 while it fades in.
        virtual void paintCard(QPainter& painter, const CardKey& key, const QRectF& rect, const QPixmap& cover,
                               qreal coverOpacity, qreal hover, qreal target) const = 0;
        virtual void activate(const CardKey& key) = 0;
        // A menu for the card, made for this one showing; null for none.
        virtual QMenu* menu(const CardKey& key, QWidget* parent) = 0;
        // Drag out of a card: its data, or null when the card is no source.
        virtual std::unique_ptr<QMimeData> dragData(const CardKey&) { return nullptr; }
        // Whether a drag may be for any card at all (its kind of data).
        virtual bool takesDrag(const QMimeData&) const { return false; }
        // Whether the card takes what is dragged over it (and shows it).
        virtual bool accepts(const CardKey&, const QMimeData&) const { return false; }
        virtual void dropped(const CardKey&, const QMimeData&) {}
        // The picture under the pointer while a card is dragged.
        virtual QPixmap dragPixmap(const CardKey&, const QPixmap& cover) const { return cover; }
        // How long the card's hover animation runs.
        virtual int hoverMs() const { return 180; }
        // How far a card's painting reaches beyond its rectangle (shadows).
        virtual qreal overhang() const { return 40; }
    };

    // Shows a card's menu; the default pops it up at the global position.
    using MenuPresenter = std::function<void(QMenu* menu, QPoint global)>;
    static void setMenuPresenter(MenuPresenter presenter);
    // Runs a drag to its end; the default is QDrag::exec.
    using DragRunner = std::function<void(QDrag* drag)>;
    static void setDragRunner(DragRunner runner);

    static constexpr int targetMs = 150;
    static constexpr int fadeMs = 150;
    static constexpr int resizeSettleMs = 150;

    CollectionCanvas(Delegate& delegate, QWidget* parent = nullptr);
    ~CollectionCanvas() override;

    // Padding around the column of blocks.
    void setPadding(const QMarginsF& padding);
    // Replaces the blocks; cards that stay keep their animation and picture.
    void setBlocks(std::vector<CollectionBlock> blocks);
    const std::vector<CollectionBlock>& blocks() const { return blocks_; }
    void setThumbnails(std::shared_ptr<ThumbnailCache> cache);

    // ---- where things are (viewport coordinates) ----
    std::optional<QRectF> cardRect(const CardKey& key) const;
    std::optional<CardKey> cardAt(QPointF viewportPos) const;
    QPushButton* button(int blockIndex) const;
    // The block rectangle in content coordinates, for header and text rows.
    QRectF blockRect(int blockIndex) const;
    qreal contentHeight() const { return contentHeight_; }
    std::optional<CardKey> hovered() const { return hovered_; }
    std::optional<CardKey> targeted() const { return targeted_; }
    qreal hoverProgress(const CardKey& key) const;
    qreal targetProgress(const CardKey& key) const;
    // The picture of a card as it would be painted now (null while none).
    QPixmap coverOf(const CardKey& key) const;

    // ---- gestures ----
    // Opens the card's menu through the presenter; the canvas is busy
    // until the menu hides or goes away.
    void openMenu(const CardKey& key, QPoint global);
    // Starts a drag of the card through the runner (busy while it runs).
    void startDrag(const CardKey& key);
    // Something the screen opened over the canvas (a confirmation): busy
    // until it is destroyed or hidden.
    void holdWhileOpen(QWidget* window);
    bool isBusy() const { return busy_ > 0 || dragOver_; }

    // Covers of the cards in view are in and nothing moves.
    bool isSettled() const;

    int scrollOffset() const;
    // Scrolls to the offset, and back to it again as the list is laid out
    // anew (a fresh screen gets its size and its blocks later), until the
    // user scrolls.
    void restoreScroll(int offset);

signals:
    void becameIdle();

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void scrollContentsBy(int dx, int dy) override;
    void wheelEvent(QWheelEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dragMoveEvent(QDragMoveEvent* e) override;
    void dragLeaveEvent(QDragLeaveEvent* e) override;
    void dropEvent(QDropEvent* e) override;
    void changeEvent(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    bool viewportEvent(QEvent* e) override;

private:
    struct Placed {
        CardKey key;
        QRectF rect;  // content coordinates
        qreal opacity = 1;
    };
    struct Anim {
        qreal from = 0, to = 0;
        qint64 start = 0;
        int duration = 0;
    };
    struct CoverSlot {
        QString want;         // the cache key wanted now
        QString shownKey;     // the cache key of `shown`
        QPixmap shown;
        qint64 arrived = -1;  // when a first picture came in (fades in)
        bool pending = false;
        bool missing = false;  // the file gave no picture
    };
    class Sink;

    void relayout();
    void updateScrollRange();
    void placeButtons();
    qreal scrollY() const;
    QRectF toViewport(const QRectF& content) const;
    std::vector<const Placed*> visibleCards() const;
    void syncCovers();
    void requestCover(const CardKey& key, const CoverSlot& slot, const std::string& path, const QSize& device);
    void coverArrived(const QString& cacheKey, const QPixmap& pixmap, bool missing);
    void animate(std::map<CardKey, Anim>& anims, const CardKey& key, qreal to, int ms);
    static qreal valueOf(const std::map<CardKey, Anim>& anims, const CardKey& key, qint64 now);
    void tick();
    void setHovered(std::optional<CardKey> key);
    void setTargeted(std::optional<CardKey> key);
    void updateHoverFromCursor();
    void beginBusy();
    void endBusy();
    void paintBlock(QPainter& p, const CollectionBlock& block, const QRectF& rect);

    Delegate& delegate_;
    std::shared_ptr<ThumbnailCache> thumbs_;
    std::shared_ptr<Sink> sink_;
    QMarginsF padding_;
    std::vector<CollectionBlock> blocks_;
    std::vector<QRectF> blockRects_;  // content coordinates
    std::vector<Placed> placed_;
    std::map<CardKey, size_t> index_;  // into placed_
    std::vector<QPushButton*> buttons_;
    qreal contentHeight_ = 0;
    qreal laidOutWidth_ = -1;

    std::map<CardKey, Anim> hover_, target_;
    std::optional<CardKey> hovered_, targeted_;
    std::map<CardKey, CoverSlot> covers_;
    QCache<QString, QPixmap> layers_{96 * 1024 * 1024};  // cards at rest, painted
    QElapsedTimer clock_;
    QTimer ticker_;
    QTimer resizeSettle_;  // covers are scaled again only once the size rests
    QTimer spinner_;
    int spinnerStep_ = 0;

    std::optional<int> restoring_;  // the offset restoreScroll() holds
    bool placing_ = false;          // the offset moves by restoreScroll(), not by the user

    std::optional<CardKey> pressed_;
    QPointF pressPos_;
    int busy_ = 0;
    bool dragOver_ = false;
};

}  // namespace vintrelle
