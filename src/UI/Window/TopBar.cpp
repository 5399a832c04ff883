#include "UI/Window/TopBar.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <cmath>

#include "App/AppModel.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "UI/Kit/Buttons.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Labels.h"
#include "UI/Kit/Theme.h"
#include "UI/Window/RouteText.h"
#include "UI/Window/SymbolButton.h"
#include "UI/Window/ThumbSizeSlider.h"

namespace vintrelle {

namespace {
constexpr qreal focusRing = 1.5;
constexpr qreal symbolSize = 11.5;
constexpr int padding = 9, spacing = 6;
// A line edit keeps its text this far in from its own edges.
constexpr int lineEditMargin = 2;
}  // namespace

SearchField::SearchField(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setFixedSize(fieldSize);
    setAttribute(Qt::WA_TranslucentBackground);
    auto* glass = new SymbolView(QStringLiteral("magnifyingglass"), symbolSize, QFont::Medium, ThemeColor::ink3, this);
    // The padding and the spacing lie between what shows: the glyphs, which
    // sit in squares a quarter larger than they are, and the text, inside
    // the line edit's own margin. Counted between the widgets instead, they
    // would take the room the whole hint needs.
    const int glyphInset = int(std::lround((glass->sizeHint().width() - symbolSize) / 2));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(padding - glyphInset, 0, padding - lineEditMargin, 0);
    row->setSpacing(spacing - glyphInset - lineEditMargin);
    row->addWidget(glass);

    edit_ = new QLineEdit(this);
    edit_->setFrame(false);
    edit_->setFont(Fonts::font(12.5));
    edit_->setPlaceholderText(tr("Search names, trips, people, dates"));
    edit_->setAttribute(Qt::WA_MacShowFocusRect, false);
    // Only the transparent base is the field's own; every other colour
    // follows the application's palette as the appearance changes.
    QPalette pal;
    pal.setColor(QPalette::Base, Qt::transparent);
    edit_->setPalette(pal);
    edit_->installEventFilter(this);
    row->addWidget(edit_, 1);

    clear_ = new SymbolButton(QStringLiteral("xmark.circle.fill"), symbolSize, ThemeColor::ink3, QSize(16, 16), this);
    clear_->setToolTip(tr("Clear"));
    row->addWidget(clear_);

    connect(edit_, &QLineEdit::textEdited, this, [this](const QString& text) { model_.setSearch(text.toStdString()); });
    // The focus stays where it is: the clear button takes none.
    connect(clear_, &SymbolButton::clicked, this, [this] { model_.setSearch({}); });
    connect(&model_, &AppModel::searchChanged, this, &SearchField::follow);
    follow();
}

bool SearchField::isFocused() const { return edit_->hasFocus(); }

void SearchField::follow() {
    const QString text = QString::fromStdString(model_.search());
    if (edit_->text() != text) edit_->setText(text);
    clear_->setVisible(!text.isEmpty());
}

bool SearchField::eventFilter(QObject* watched, QEvent* e) {
    if (watched == edit_) {
        if (e->type() == QEvent::FocusIn || e->type() == QEvent::FocusOut) update();
        if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape) {
            model_.setSearch({});
            // Let go of the keyboard: the window hands it back to the screen.
            edit_->clearFocus();
            return true;
        }
    }
    return QWidget::eventFilter(watched, e);
}

void SearchField::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool dark = Theme::isDark(this);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
    p.fillPath(shape, Theme::color(ThemeColor::hover, dark));
    if (isFocused()) {
        QColor ring = Theme::color(ThemeColor::accent, dark);
        ring.setAlphaF(0.7f);
        const qreal inset = focusRing / 2;
        QPainterPath border;
        border.addRoundedRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset), cornerRadius - inset,
                              cornerRadius - inset);
        p.strokePath(border, QPen(ring, focusRing));
    }
}

TopBar::TopBar(AppModel& model, std::shared_ptr<LibraryStore> store, QWidget* parent)
    : WindowDragArea(parent), model_(model), store_(std::move(store)) {
    setFixedHeight(stripHeight);
    setAttribute(Qt::WA_TranslucentBackground);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 0, 12, 0);
    row->setSpacing(6);

    sidebar_ = new BarButton(QStringLiteral("sidebar.left"), tr("Show or hide the sidebar"), this);
    back_ = new BarButton(QStringLiteral("chevron.left"), tr("Back"), this);
    row->addWidget(sidebar_);
    row->addWidget(back_);

    // The title lets presses through, so it moves the window like the bar.
    auto* titles = new QWidget(this);
    titles->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* column = new QVBoxLayout(titles);
    column->setContentsMargins(6, 0, 0, 0);
    column->setSpacing(1);
    title_ = new TextBlock({}, 17, QFont::Bold, ThemeColor::ink, titles);
    subtitle_ = new TextBlock({}, 11, QFont::Normal, ThemeColor::ink2, titles);
    subtitle_->setTabularDigits(true);
    column->addStretch();
    column->addWidget(title_);
    column->addWidget(subtitle_);
    column->addStretch();
    // The title gives way first when the window narrows.
    titles->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row->addWidget(titles, 1);

    sizeControl_ = new QWidget(this);
    sizeControl_->setToolTip(tr("Thumbnail size"));
    auto* sizes = new QHBoxLayout(sizeControl_);
    sizes->setContentsMargins(0, 0, 8, 0);
    sizes->setSpacing(7);
    slider_ = new ThumbSizeSlider(model_, sizeControl_);
    sizes->addWidget(new SymbolView(QStringLiteral("square.grid.3x3"), 10, QFont::Normal, ThemeColor::ink3, sizeControl_));
    sizes->addWidget(slider_);
    sizes->addWidget(new SymbolView(QStringLiteral("square.grid.2x2"), 12, QFont::Normal, ThemeColor::ink3, sizeControl_));
    row->addWidget(sizeControl_);

    search_ = new SearchField(model_, this);
    row->addWidget(search_);

    connect(sidebar_, &BarButton::clicked, this, [this] { model_.setSidebarVisible(!model_.sidebarVisible()); });
    connect(back_, &BarButton::clicked, this, [this] { model_.back(); });
    connect(&model_, &AppModel::backStackChanged, this, &TopBar::refreshRoute);
    connect(&model_, &AppModel::routeChanged, this, &TopBar::refreshRoute);
    connect(&model_, &AppModel::routeTitleChanged, this, &TopBar::refreshRoute);
    connect(&model_, &AppModel::searchFocusTokenChanged, this, &TopBar::focusSearch);
    for (auto signal : {&AppModel::gridContentChanged, &AppModel::visibleSectionChanged, &AppModel::selectionChanged})
        connect(&model_, signal, this, &TopBar::refreshSubtitle);
    if (store_) {
        for (auto signal : {&LibraryStore::tripsChanged, &LibraryStore::personsChanged, &LibraryStore::albumsChanged,
                            &LibraryStore::assetsChanged})
            connect(store_.get(), signal, this, &TopBar::refreshSubtitle);
    }
    refreshRoute();
}

QString TopBar::title() const { return title_->text(); }
QString TopBar::subtitleText() const { return subtitle_->text(); }

void TopBar::refreshRoute() {
    back_->setVisible(!model_.backStack().empty());
    title_->setText(QString::fromStdString(model_.routeTitle()));
    const bool assets = model_.route().isAssetRoute();
    sizeControl_->setVisible(assets);
    search_->setVisible(assets);
    refreshSubtitle();
}

void TopBar::refreshSubtitle() {
    if (store_) subtitle_->setText(routeSubtitle(model_, *store_));
}

void TopBar::focusSearch() {
    if (search_->isVisible()) search_->edit()->setFocus(Qt::ShortcutFocusReason);
}

}  // namespace vintrelle
