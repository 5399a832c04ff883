#include "UI/Grid/YearScrubber.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QToolTip>

#include <algorithm>
#include <cmath>
#include <utility>

#include "App/AppModel.h"
#include "Core/Base/WallClock.h"
#include "UI/Kit/CardShadow.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

namespace {

constexpr qreal padV = 9, padH = 6, labelPad = 3, spacing = 5, radius = 9;
constexpr qreal edgeRoom = 8;  // kept free above and below the column
const ShadowSpec shadow{0.2, 10, {0, 3}};

}  // namespace

std::vector<ScrubberYear> YearScrubber::years(const GridContent& content) {
    std::vector<ScrubberYear> out;
    for (const GridContent::Section& s : content.sections) {
        if (s.size() == 0) continue;
        const int year = WallClock::civil(WallClock::dayNumber((*content.flat)[s.begin].taken)).y;
        if (out.empty() || out.back().year != year) out.push_back({year, s.id});
    }
    return out;
}

size_t YearScrubber::shownCount(size_t count, size_t step) {
    if (count == 0) return 0;
    step = std::max<size_t>(step, 1);
    return (count - 1) / step + 1 + ((count - 1) % step != 0 ? 1 : 0);
}

size_t YearScrubber::step(size_t count, size_t fit) {
    size_t s = std::max<size_t>(count / yearsPerStep, 1);
    // Beyond count - 1 only the first and the last are left: never fewer.
    while (s + 1 < count && shownCount(count, s) > fit) ++s;
    return s;
}

std::vector<size_t> YearScrubber::shown(size_t count, size_t step) {
    std::vector<size_t> out;
    step = std::max<size_t>(step, 1);
    for (size_t i = 0; i < count; ++i)
        if (i % step == 0 || i + 1 == count) out.push_back(i);
    return out;
}

YearScrubber::YearScrubber(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    hide();
    fade_.setEasingCurve(QEasingCurve::OutCubic);
    connect(&fade_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        opacity_ = v.toReal();
        if (opacity_ <= 0 && !hovering_) hide();
        update();
    });
}

YearScrubber::~YearScrubber() {
    if (viewport_) viewport_->removeEventFilter(this);
}

void YearScrubber::attach(QWidget* gridViewport) {
    if (viewport_) viewport_->removeEventFilter(this);
    viewport_ = gridViewport;
    if (viewport_) {
        // The grid ignores moves without a button; the scrubber needs them to
        // know where the pointer is.
        viewport_->setMouseTracking(true);
        viewport_->installEventFilter(this);
    }
    relayout();
}

void YearScrubber::setContent(const GridContentPtr& content) {
    if (!content || content->token == token_) return;
    token_ = content->token;
    entries_ = years(*content);
    relayout();
}

QFont YearScrubber::labelFont() const { return Fonts::font(10.5, QFont::DemiBold); }

qreal YearScrubber::lineHeight() const { return std::ceil(QFontMetricsF(labelFont()).height()); }

void YearScrubber::relayout() {
    // The labels a held press went down on are laid out anew: it names none.
    pressedLabel_.reset();
    visible_.clear();
    texts_.clear();
    if (!viewport_ || entries_.size() < minimumYears) {
        setHovering(false);
        hide();
        return;
    }
    const qreal lh = lineHeight();
    const qreal room = viewport_->height() - 2 * edgeRoom - 2 * padV + spacing;
    const size_t fit = room <= 0 ? 0 : size_t(room / (lh + spacing));
    visible_ = shown(entries_.size(), step(entries_.size(), fit));

    const QFont font = labelFont();
    qreal widest = 0;
    for (size_t i : visible_) {
        texts_.push_back(QString::number(entries_[i].year));
        widest = std::max(widest, TabularDigits::width(font, texts_.back()));
    }
    const qreal k = qreal(visible_.size());
    panel_ = QSizeF(std::ceil(widest) + 2 * labelPad + 2 * padH, 2 * padV + k * lh + (k - 1) * spacing);
    panelAt_ = QPointF(viewport_->width() - trailingInset - panel_.width(),
                       std::round((viewport_->height() - panel_.height()) / 2));

    const int m = int(std::ceil(CardShadow::margin(shadow)));
    QRect box = QRectF(panelAt_, panel_).toAlignedRect().adjusted(-m, -m, m, m);
    origin_ = box.topLeft();
    if (parentWidget()) box.moveTopLeft(viewport_->mapTo(parentWidget(), box.topLeft()));
    setGeometry(box);
    if (hovering_) raise();
    update();
}

QRectF YearScrubber::panelInViewport() const {
    if (visible_.empty()) return {};
    return QRectF(panelAt_, panel_);
}

QRectF YearScrubber::labelInViewport(size_t k) const {
    if (k >= visible_.size()) return {};
    const qreal lh = lineHeight();
    const qreal w = TabularDigits::width(labelFont(), texts_[k]) + 2 * labelPad;
    return QRectF(panelAt_.x() + panel_.width() - padH - w, panelAt_.y() + padV + qreal(k) * (lh + spacing), w, lh);
}

bool YearScrubber::inZone(QPointF p) const {
    if (visible_.empty() || !viewport_) return false;
    return p.x() >= panelAt_.x() - hotZone && p.x() <= viewport_->width() && p.y() >= 0 &&
           p.y() <= viewport_->height();
}

std::optional<size_t> YearScrubber::labelAt(QPointF p) const {
    // The row's whole width and half the gap on each side take the click, so
    // a short year is as easy to hit as a long one.
    for (size_t k = 0; k < visible_.size(); ++k) {
        const QRectF label = labelInViewport(k);
        const QRectF row(panelAt_.x(), label.top() - spacing / 2, panel_.width(), label.height() + spacing);
        if (row.contains(p)) return k;
    }
    return std::nullopt;
}

QRect YearScrubber::helpGeometry(const QSize& tip, QPoint at) const {
    if (!viewport_ || visible_.empty()) return {};
    // Beside the column, clear of the zone that keeps it shown, so the help
    // never hides a year and moving towards it does not end the hover.
    const QPoint edge = viewport_->mapToGlobal(QPointF(panelAt_.x() - hotZone - helpGap, at.y()).toPoint());
    QRect r(QPoint(edge.x() - tip.width(), edge.y() - tip.height() / 2), tip);
    if (const QScreen* screen = viewport_->screen()) {
        const QRect room = screen->availableGeometry();
        r.moveTop(std::clamp(r.top(), room.top(), std::max(room.top(), room.bottom() - r.height() + 1)));
        r.moveLeft(std::max(r.left(), room.left()));
    }
    return r;
}

QWidget* YearScrubber::helpTip() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("qtooltip_label") && w->isVisible()) return w;
    return nullptr;
}

void YearScrubber::showHelp(QPoint at) {
    // Shown for the column alone: it goes when the pointer leaves it.
    QToolTip::showText(viewport_->mapToGlobal(at), tr("Jump to a year"), viewport_,
                       panelInViewport().toAlignedRect());
    if (QWidget* tip = helpTip()) tip->move(helpGeometry(tip->size(), at).topLeft());
}

void YearScrubber::setHovering(bool on) {
    if (visible_.empty()) on = false;
    if (on == hovering_) return;
    hovering_ = on;
    if (!on && helpTip()) QToolTip::hideText();
    const qreal target = on ? 1 : 0;
    fade_.stop();
    if (on) {
        show();
        raise();
    }
    if (!isVisible() && !on) {
        opacity_ = 0;
        return;
    }
    fade_.setStartValue(opacity_);
    fade_.setEndValue(target);
    fade_.setDuration(std::max(1, int(std::lround(fadeMs * std::abs(target - opacity_)))));
    fade_.start();
}

bool YearScrubber::eventFilter(QObject* watched, QEvent* e) {
    if (watched != viewport_) return QWidget::eventFilter(watched, e);
    switch (e->type()) {
        case QEvent::Resize: relayout(); break;
        case QEvent::Leave:
            if (!pressed_) setHovering(false);
            break;
        case QEvent::MouseMove: {
            auto* m = static_cast<QMouseEvent*>(e);
            if (pressed_) return true;
            // A drag of the grid's (a band, files) passing by does not call it up.
            if (m->buttons() == Qt::NoButton) setHovering(inZone(m->position()));
            break;
        }
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick: {
            auto* m = static_cast<QMouseEvent*>(e);
            if (!hovering_ || !panelInViewport().contains(m->position())) break;
            pressed_ = true;
            if (m->button() == Qt::LeftButton) pressedLabel_ = labelAt(m->position());
            return true;
        }
        case QEvent::MouseButtonRelease: {
            if (!pressed_) break;
            auto* m = static_cast<QMouseEvent*>(e);
            if (m->buttons() != Qt::NoButton) return true;
            pressed_ = false;
            // Each label is a button: it acts when let go over the label it
            // was pressed on, and a press carried off it is called off.
            const std::optional<size_t> k = std::exchange(pressedLabel_, std::nullopt);
            if (m->button() == Qt::LeftButton && k && labelAt(m->position()) == k)
                model_.requestScroll(entries_[visible_[*k]].section);
            setHovering(inZone(m->position()));
            return true;
        }
        case QEvent::ContextMenu: {
            auto* c = static_cast<QContextMenuEvent*>(e);
            if (hovering_ && panelInViewport().contains(c->pos())) return true;
            break;
        }
        case QEvent::ToolTip: {
            auto* h = static_cast<QHelpEvent*>(e);
            if (!hovering_ || !panelInViewport().contains(h->pos())) break;
            showHelp(h->pos());
            return true;
        }
        default: break;
    }
    return false;
}

void YearScrubber::paintEvent(QPaintEvent*) {
    if (visible_.empty() || opacity_ <= 0 || !viewport_) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setOpacity(opacity_);
    const QPointF shift = -QPointF(origin_);
    const QRectF panel = panelInViewport().translated(shift);
    CardShadow::paint(p, panel, radius, shadow);
    QColor card = Theme::card();
    card.setAlphaF(0.96f);
    QPainterPath path;
    path.addRoundedRect(panel, radius, radius);
    p.fillPath(path, card);
    p.setFont(labelFont());
    p.setPen(Theme::ink());
    for (size_t k = 0; k < visible_.size(); ++k) {
        const QRectF label = labelInViewport(k).translated(shift).adjusted(labelPad, 0, -labelPad, 0);
        TabularDigits::draw(p, label, Qt::AlignRight | Qt::AlignVCenter, texts_[k]);
    }
}

}  // namespace vintrelle
