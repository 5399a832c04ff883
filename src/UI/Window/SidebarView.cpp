#include "UI/Window/SidebarView.h"

#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "App/AppModel.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Icons.h"
#include "UI/Kit/Theme.h"
#include "UI/Kit/WindowDragArea.h"
#include "UI/Window/LibrarySwitcher.h"
#include "UI/Window/StatusFooter.h"

namespace vintrelle {

namespace {

constexpr qreal rowPadding = 9;
constexpr qreal indentStep = 14;
constexpr qreal iconColumn = 20;
constexpr qreal itemSpacing = 8;
constexpr qreal minGap = 4;
constexpr qreal chevronBox = 18;
constexpr qreal headingAbove = 20;
constexpr qreal headingBelow = 6;

QFont headingFont() {
    QFont f = Fonts::font(10.5, QFont::DemiBold);
    f.setLetterSpacing(QFont::AbsoluteSpacing, 0.9);
    return f;
}

QFont titleFont(bool selected) { return Fonts::font(13, selected ? QFont::DemiBold : QFont::Normal); }
QFont countFont() { return Fonts::font(11); }

qreal headingHeight() { return headingAbove + std::ceil(QFontMetricsF(headingFont()).height()) + headingBelow; }

}  // namespace

// ---- the list ----

SidebarList::SidebarList(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_TranslucentBackground);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void SidebarList::setRows(std::vector<SidebarRow> rows) {
    // A batch of new thumbnails changes no count: the rows take the new
    // actions, but nothing moves and nothing is painted again.
    auto looksAlike = [](const SidebarRow& a, const SidebarRow& b) {
        return a.kind == b.kind && a.title == b.title && a.symbol == b.symbol && a.indent == b.indent &&
               a.count == b.count && a.selected == b.selected && a.showIcon == b.showIcon &&
               a.disclosure == b.disclosure;
    };
    const bool same = std::equal(rows.begin(), rows.end(), rows_.begin(), rows_.end(), looksAlike);
    if (same) {
        for (size_t i = 0; i < rows.size(); ++i) rows[i].rect = rows_[i].rect;
        rows_ = std::move(rows);
        return;
    }
    rows_ = std::move(rows);
    layoutRows();
    update();
}

void SidebarList::layoutRows() {
    const qreal width = this->width() - 2 * sidePadding;
    qreal y = 0;
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (i > 0) y += rowSpacing;
        const qreal h = rows_[i].kind == SidebarRow::Kind::heading ? headingHeight() : rowHeight;
        rows_[i].rect = QRectF(sidePadding, y, width, h);
        y += h;
    }
    contentHeight_ = y + bottomPadding;
    if (std::lround(contentHeight_) != height()) {
        setFixedHeight(int(std::lround(contentHeight_)));
        updateGeometry();
    }
    if (hovered_ >= int(rows_.size())) hovered_ = -1;
}

QSize SidebarList::sizeHint() const { return {200, int(std::lround(contentHeight_))}; }

void SidebarList::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    layoutRows();
}

QString SidebarList::countText(const SidebarRow& row) {
    if (!row.count || *row.count <= 0) return {};
    return QString::fromStdString(Format::integer(*row.count));
}

QRectF SidebarList::disclosureRect(const SidebarRow& row) const {
    qreal right = row.rect.right() - rowPadding;
    if (const QString count = countText(row); !count.isEmpty())
        right -= TabularDigits::width(countFont(), count) + itemSpacing;
    return {right - chevronBox, row.rect.center().y() - chevronBox / 2, chevronBox, chevronBox};
}

int SidebarList::rowAt(QPointF p) const {
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].kind == SidebarRow::Kind::row && rows_[i].rect.contains(p)) return int(i);
    return -1;
}

void SidebarList::paintEvent(QPaintEvent* e) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool dark = Theme::isDark(this);
    const QRectF dirty = e->rect();
    for (size_t i = 0; i < rows_.size(); ++i) {
        const SidebarRow& row = rows_[i];
        if (!row.rect.intersects(dirty)) continue;
        if (row.kind == SidebarRow::Kind::heading) paintHeading(p, row, dark);
        else paintRow(p, row, int(i) == hovered_, dark);
    }
}

void SidebarList::paintHeading(QPainter& p, const SidebarRow& row, bool dark) const {
    const QFont font = headingFont();
    p.setFont(font);
    p.setPen(Theme::color(ThemeColor::ink3, dark));
    const QRectF text = row.rect.adjusted(rowPadding, headingAbove, -rowPadding, -headingBelow);
    const QString title = QFontMetricsF(font).elidedText(row.title.toUpper(), Qt::ElideRight, text.width());
    p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, title);
}

void SidebarList::paintRow(QPainter& p, const SidebarRow& row, bool hovered, bool dark) const {
    const QColor fill = row.selected ? Theme::color(ThemeColor::selected, dark)
                        : hovered    ? Theme::color(ThemeColor::hover, dark)
                                     : QColor(Qt::transparent);
    if (fill.alpha() > 0) {
        QPainterPath shape;
        shape.addRoundedRect(row.rect, cornerRadius, cornerRadius);
        p.fillPath(shape, fill);
    }
    qreal x = row.rect.left() + rowPadding;
    if (row.indent > 0) x += row.indent * indentStep + itemSpacing;
    const QRectF icon(x, row.rect.top(), iconColumn, row.rect.height());
    if (row.showIcon) {
        const QString symbol = row.selected ? Icons::filled(row.symbol) : row.symbol;
        Icons::paint(p, icon, symbol, 12.5,
                     Theme::color(row.selected ? ThemeColor::accent : ThemeColor::ink2, dark), QFont::Medium);
    }
    x += iconColumn + itemSpacing;

    qreal right = row.rect.right() - rowPadding;
    if (const QString text = countText(row); !text.isEmpty()) {
        const QFont font = countFont();
        const qreal w = TabularDigits::width(font, text);
        p.setFont(font);
        p.setPen(Theme::color(ThemeColor::ink3, dark));
        TabularDigits::draw(p, QRectF(right - w, row.rect.top(), w, row.rect.height()), Qt::AlignRight | Qt::AlignVCenter,
                            text);
        right -= w + itemSpacing;
    }
    if (row.disclosure) {
        const QRectF box = disclosureRect(row);
        p.save();
        if (*row.disclosure) {
            p.translate(box.center());
            p.rotate(90);
            p.translate(-box.center());
        }
        Icons::paint(p, box, QStringLiteral("chevron.right"), 9, Theme::color(ThemeColor::ink3, dark), QFont::Bold);
        p.restore();
        right = box.left() - itemSpacing;
    }
    right -= minGap + itemSpacing;

    const QFont font = titleFont(row.selected);
    p.setFont(font);
    p.setPen(Theme::color(ThemeColor::ink, dark));
    const qreal width = std::max<qreal>(0, right - x);
    const QString title = QFontMetricsF(font).elidedText(row.title, Qt::ElideMiddle, width);
    p.drawText(QRectF(x, row.rect.top(), width, row.rect.height()), Qt::AlignLeft | Qt::AlignVCenter, title);
}

void SidebarList::mouseMoveEvent(QMouseEvent* e) {
    const int at = rowAt(e->position());
    if (at == hovered_) return;
    if (hovered_ >= 0) update(rows_[size_t(hovered_)].rect.toAlignedRect());
    hovered_ = at;
    if (hovered_ >= 0) update(rows_[size_t(hovered_)].rect.toAlignedRect());
}

void SidebarList::leaveEvent(QEvent*) {
    if (hovered_ < 0) return;
    update(rows_[size_t(hovered_)].rect.toAlignedRect());
    hovered_ = -1;
}

void SidebarList::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return QWidget::mousePressEvent(e);
    pressed_ = rowAt(e->position());
    pressedChevron_ = pressed_ >= 0 && rows_[size_t(pressed_)].disclosure &&
                      disclosureRect(rows_[size_t(pressed_)]).contains(e->position());
}

void SidebarList::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(e);
    const int at = rowAt(e->position());
    const int pressed = std::exchange(pressed_, -1);
    if (at < 0 || at != pressed) return;
    const SidebarRow& row = rows_[size_t(at)];
    const bool chevron = row.disclosure && disclosureRect(row).contains(e->position());
    if (chevron != pressedChevron_) return;
    // The call may replace the rows.
    const std::function<void()> run = chevron ? row.onDisclosure : row.action;
    if (run) run();
}

// ---- the column ----

SidebarView::SidebarView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    strip_ = new WindowDragArea(this);
    strip_->setFixedHeight(WindowDragArea::stripHeight);
    column->addWidget(strip_);

    switcher_ = new LibrarySwitcher(model_, this);
    auto* switcherBox = new QVBoxLayout();
    switcherBox->setContentsMargins(10, 0, 10, 10);
    switcherBox->addWidget(switcher_);
    column->addLayout(switcherBox);

    connect(&model_, &AppModel::storeChanged, this, &SidebarView::rebuildLibraryPart);
    connect(&model_, &AppModel::rebuildingChanged, this, &SidebarView::rebuildLibraryPart);
    connect(&model_, &AppModel::routeChanged, this, &SidebarView::refresh);
    connect(&model_, &AppModel::sidebarRouteChanged, this, &SidebarView::refresh);
    rebuildLibraryPart();
}

SidebarView::~SidebarView() = default;

const std::vector<SidebarRow>& SidebarView::rows() const {
    static const std::vector<SidebarRow> none;
    return list_ ? list_->rows() : none;
}

const SidebarRow* SidebarView::row(const QString& title) const {
    for (const SidebarRow& r : rows())
        if (r.title == title) return &r;
    return nullptr;
}

void SidebarView::paintEvent(QPaintEvent* e) {
    QPainter p(this);
    p.fillRect(e->rect(), Theme::color(ThemeColor::sidebar, this));
}

void SidebarView::rebuildLibraryPart() {
    const bool rebuilding = !model_.store() && model_.rebuilding();
    if (store_ == model_.store() &&
        (store_ ? list_ != nullptr : filler_ != nullptr && rebuilding == (footer_ != nullptr)))
        return refresh();
    auto* column = static_cast<QVBoxLayout*>(layout());
    for (QWidget* w : {static_cast<QWidget*>(scroll_), static_cast<QWidget*>(footer_), filler_}) {
        if (!w) continue;
        column->removeWidget(w);
        delete w;
    }
    scroll_ = nullptr;
    list_ = nullptr;
    footer_ = nullptr;
    filler_ = nullptr;
    if (store_) disconnect(store_.get(), nullptr, this, nullptr);
    // Another library: its folders are other folders.
    if (store_ != model_.store()) expanded_.clear();
    store_ = model_.store();

    if (!store_) {
        filler_ = new QWidget(this);
        column->addWidget(filler_, 1);
        // A library whose index is made again: how far that is.
        if (rebuilding) {
            footer_ = new StatusFooter(model_, this);
            column->addWidget(footer_);
            connect(footer_, &StatusFooter::settingsRequested, this, &SidebarView::settingsRequested);
        }
        return;
    }
    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The rows are clicked, never typed into: a click on one leaves the
    // keyboard with the screen it goes to.
    scroll_->setFocusPolicy(Qt::NoFocus);
    scroll_->viewport()->setAutoFillBackground(false);
    scroll_->setAutoFillBackground(false);
    list_ = new SidebarList();
    scroll_->setWidget(list_);
    // The scroll area fills its widget; the sidebar's colour lies behind it.
    list_->setAutoFillBackground(false);
    scroll_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    column->addWidget(scroll_, 1);
    footer_ = new StatusFooter(store_, this);
    column->addWidget(footer_);
    connect(footer_, &StatusFooter::settingsRequested, this, &SidebarView::settingsRequested);

    for (auto signal : {&LibraryStore::revisionChanged, &LibraryStore::collectionsRevisionChanged})
        connect(store_.get(), signal, this, &SidebarView::refresh);
    for (auto signal : {&LibraryStore::tripsChanged, &LibraryStore::personsChanged, &LibraryStore::albumsChanged})
        connect(store_.get(), signal, this, &SidebarView::refresh);
    refresh();
}

void SidebarView::refresh() {
    if (!list_ || !store_) return;
    LibraryStore& store = *store_;
    const Route highlighted = model_.sidebarRoute();
    const Route& route = model_.route();
    std::vector<SidebarRow> out;
    auto fixed = [&](const Route& r, const QString& title, const char* symbol, std::optional<int> count) {
        SidebarRow row;
        row.title = title;
        row.symbol = QString::fromLatin1(symbol);
        row.count = count;
        row.selected = highlighted == r;
        row.action = [this, r] { model_.navigate(r); };
        out.push_back(std::move(row));
    };
    auto heading = [&](const QString& title) {
        SidebarRow row;
        row.kind = SidebarRow::Kind::heading;
        row.title = title;
        out.push_back(std::move(row));
    };

    // Counts the store keeps as the list changes: no pass over the library.
    const int total = int(store.assets().size());
    fixed(Route::library(), tr("Library"), "photo.on.rectangle.angled", total);
    fixed(Route::favorites(), tr("Favourites"), "heart", store.favoriteCount());
    fixed(Route::videos(), tr("Videos"), "video", total - store.photoCount());
    fixed(Route::recent(), tr("Recently Added"), "clock", std::nullopt);
    heading(tr("Collections"));
    fixed(Route::trips(), tr("Trips"), "suitcase", int(store.visibleTrips().size()));
    fixed(Route::people(), tr("People"), "person.2", int(store.visiblePersons().size()));
    fixed(Route::places(), tr("Places"), "map", std::nullopt);
    fixed(Route::albums(), tr("Albums"), "rectangle.stack", int(store.albums().size()));
    for (const Album& album : store.albums()) {
        SidebarRow row;
        row.title = QString::fromStdString(album.name);
        row.symbol = QStringLiteral("rectangle.stack");
        row.indent = 1;
        row.showIcon = false;
        row.count = int(album.assetIDs.size());
        const Route r = Route::album(album.id);
        row.selected = route == r;
        row.action = [this, r] { model_.navigate(r); };
        out.push_back(std::move(row));
    }
    const std::vector<FolderNode>& tree = store.folderTree();
    if (!tree.empty()) {
        heading(tr("Folders"));
        for (const FolderNode& node : tree) addFolderRows(out, node, 0);
    }
    list_->setRows(std::move(out));
}

void SidebarView::addFolderRows(std::vector<SidebarRow>& out, const FolderNode& node, int depth) {
    const bool open = expanded_.contains(node.path);
    SidebarRow row;
    row.title = QString::fromStdString(node.name);
    row.symbol = QStringLiteral("folder");
    row.indent = depth;
    row.count = node.count;
    const Route r = Route::folder(node.path);
    row.selected = model_.route() == r;
    if (!node.children.empty()) row.disclosure = open;
    row.onDisclosure = [this, path = node.path, open] {
        if (open) expanded_.erase(path);
        else expanded_.insert(path);
        refresh();
    };
    row.action = [this, r] { model_.navigate(r); };
    out.push_back(std::move(row));
    if (open)
        for (const FolderNode& child : node.children) addFolderRows(out, child, depth + 1);
}

}  // namespace vintrelle
