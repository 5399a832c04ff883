#include "UI/Window/StatusFooter.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>

#include <algorithm>
#include <cmath>

#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Labels.h"
#include "UI/Window/SymbolButton.h"

namespace vintrelle {

namespace {

constexpr qreal ruleHeight = 1;
constexpr qreal stackSpacing = 7;
constexpr qreal bottomPadding = 12;
constexpr qreal sidePadding = 16;
constexpr qreal dot = 7;
constexpr qreal gap = 9;
constexpr qreal gear = 26;
constexpr qreal barHeight = 3;
constexpr qreal barMinimum = 4;

QFont textFont() { return Fonts::font(11.5, QFont::Medium); }
// A state that says why indexing stopped is a sentence: it takes a second
// line rather than lose its end.
constexpr int maxTextLines = 2;
QFont detailFont() { return Fonts::font(10.5); }

QString counted(int done, int total) {
    return StatusFooter::tr("%1 of %2")
        .arg(QString::fromStdString(Format::integer(done)), QString::fromStdString(Format::integer(total)));
}

double fractionOf(int done, int total) { return total < 1 ? 0.0 : std::clamp(double(done) / total, 0.0, 1.0); }

}  // namespace

const QColor StatusFooter::upToDate = QColor::fromRgbF(0.2f, 0.83f, 0.56f);
const QColor StatusFooter::offline = QColor(255, 149, 0);

StatusFooter::StatusFooter(std::shared_ptr<LibraryStore> store, QWidget* parent)
    : QWidget(parent), store_(std::move(store)) {
    setUp();
    connect(store_.get(), &LibraryStore::statusChanged, this, &StatusFooter::refresh);
    connect(store_.get(), &LibraryStore::isOfflineChanged, this, &StatusFooter::refresh);
    connect(store_.get(), &LibraryStore::haltChanged, this, &StatusFooter::refresh);
    connect(store_.get(), &LibraryStore::isDamagedChanged, this, &StatusFooter::refresh);
    connect(store_.get(), &LibraryStore::copyFaultChanged, this, &StatusFooter::refresh);
    connect(store_.get(), &LibraryStore::indexStandingChanged, this, &StatusFooter::refresh);
}

StatusFooter::StatusFooter(AppModel& model, QWidget* parent) : QWidget(parent), model_(&model) {
    setUp();
    connect(model_, &AppModel::rebuildingChanged, this, &StatusFooter::refresh);
}

StatusFooter::Info StatusFooter::current() const {
    if (store_) return info(*store_);
    if (model_ && model_->rebuilding()) return info(*model_->rebuilding());
    return {};
}

void StatusFooter::setUp() {
    setAttribute(Qt::WA_TranslucentBackground);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    gear_ = new SymbolButton(QStringLiteral("gearshape"), 13, ThemeColor::ink2, QSize(int(gear), int(gear)), this);
    gear_->setToolTip(tr("Settings"));
    connect(gear_, &SymbolButton::clicked, this, &StatusFooter::settingsRequested);

    glide_.setDuration(progressMs);
    glide_.setEasingCurve(QEasingCurve::Linear);
    connect(&glide_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        drawn_ = v.toDouble();
        update(barRect().toAlignedRect().adjusted(-1, -1, 1, 1));
    });
    info_ = current();
    drawn_ = info_.fraction.value_or(0);
    setFixedHeight(sizeHint().height());
}

StatusFooter::Info StatusFooter::info(const AppModel::Rebuilding& rebuild) {
    // Pages of the damaged file, as it is read: a count of pages means
    // nothing to a person, the bar does.
    if (rebuild.total == 0) return {tr("Making the index again\u2026"), std::nullopt, std::nullopt, ThemeColor::accent};
    return {tr("Making the index again\u2026"), std::nullopt,
            std::clamp(double(rebuild.done) / double(rebuild.total), 0.0, 1.0), ThemeColor::accent};
}

StatusFooter::Info StatusFooter::info(const LibraryStore& store) {
    // The index open is no longer the library's: whatever the engine last
    // said was about it.
    switch (store.indexStanding()) {
        case Database::Standing::kept: break;
        case Database::Standing::deleted:
            return {tr("The index was deleted."),
                    store.indexPutBackFailed() ? tr("It can\u2019t be written again") : tr("Writing it again\u2026"),
                    std::nullopt, offline};
        case Database::Standing::moved:
            return {tr("The index was moved away."), tr("Opening the library again\u2026"), std::nullopt, offline};
        case Database::Standing::replaced:
            return {tr("The index was replaced."), tr("Opening the library again\u2026"), std::nullopt, offline};
        case Database::Standing::emptied:
            return {tr("The index was emptied."), tr("Opening the library again\u2026"), std::nullopt, offline};
        case Database::Standing::overwritten:
            return {tr("The index was written over."), tr("Opening the library again\u2026"), std::nullopt,
                    offline};
    }
    if (store.isOffline()) return {tr("Drive not connected"), std::nullopt, std::nullopt, offline};
    // Indexing stopped with work left: never "Up to date".
    if (store.isDamaged()) return {tr("The index is damaged."), std::nullopt, std::nullopt, offline};
    if (store.halt() == EngineHalt::diskFull)
        return {tr("The disk holding the index is full."), tr("Goes on once there is room"), std::nullopt, offline};
    if (store.halt() == EngineHalt::unwritable)
        return {tr("The disk holding the index can\u2019t be written."), std::nullopt, std::nullopt, offline};
    if (store.halt() == EngineHalt::readerUnavailable)
        return {tr("Vintrelle\u2019s photo reader is missing."), tr("Some photos wait to be read"), std::nullopt,
                offline};
    if (store.halt() == EngineHalt::readAgainLater)
        return {tr("Some photos wait to be read again."), tr("Vintrelle tries again in a few minutes"), std::nullopt,
                offline};
    // The copy of the marks that a damaged index is made again from cannot
    // follow: the library is not "Up to date" either.
    const QString copyBehind = tr("The copy of favourites and albums is behind.");
    switch (store.copyFault()) {
        case MarksKeeper::Fault::none: break;
        case MarksKeeper::Fault::diskFull: return {copyBehind, tr("The disk is full"), std::nullopt, offline};
        case MarksKeeper::Fault::unwritable:
            return {copyBehind, tr("Its disk can\u2019t be written"), std::nullopt, offline};
        case MarksKeeper::Fault::notAFile:
            return {copyBehind, tr("Something else is in the place of library.marks"), std::nullopt, offline};
        case MarksKeeper::Fault::newer: return {copyBehind, tr("A newer Vintrelle wrote it"), std::nullopt, offline};
    }
    const EngineStatus& s = store.status();
    switch (s.kind) {
        case EngineStatus::Kind::indexing:
            return {tr("Reading photos"), counted(s.done, s.total), fractionOf(s.done, s.total), ThemeColor::accent};
        case EngineStatus::Kind::faces:
            return {tr("Finding faces"), counted(s.done, s.total), fractionOf(s.done, s.total), ThemeColor::accent};
        case EngineStatus::Kind::idle:
            return {tr("Up to date"), tr("Watching for new photos"), std::nullopt, upToDate};
        case EngineStatus::Kind::scanning: break;
    }
    return {tr("Looking for new photos\u2026"), std::nullopt, std::nullopt, ThemeColor::accent};
}

void StatusFooter::refresh() {
    Info next = current();
    if (next == info_) return;
    const bool hadBar = info_.fraction.has_value();
    const bool hadDetail = info_.detail.has_value();
    const qsizetype linesBefore = textLines().size();
    info_ = std::move(next);
    const bool resized = info_.detail.has_value() != hadDetail || info_.fraction.has_value() != hadBar ||
                         textLines().size() != linesBefore;
    if (info_.fraction) {
        if (hadBar) {
            glide_.stop();
            glide_.setStartValue(drawn_);
            glide_.setEndValue(*info_.fraction);
            glide_.start();
        } else {
            drawn_ = *info_.fraction;
        }
    } else {
        glide_.stop();
    }
    if (resized) {
        setFixedHeight(sizeHint().height());
        gear_->move(gear_->x(), int(std::lround(rowTop() + (rowHeight() - gear) / 2)));
    }
    update();
}

qreal StatusFooter::textWidth() const { return std::max<qreal>(1, width() - sidePadding - gear - gap - (sidePadding + dot + gap)); }

QStringList StatusFooter::textLines() const {
    const QFont font = textFont();
    const qreal width = textWidth();
    if (info_.text != linesText_ || width != linesWidth_ || font != linesFont_) {
        lines_ = wrapLines(info_.text, font, width, maxTextLines);
        linesText_ = info_.text;
        linesWidth_ = width;
        linesFont_ = font;
    }
    return lines_;
}

qreal StatusFooter::rowHeight() const {
    const QFontMetricsF tm(textFont());
    qreal text = tm.height() + qreal(std::max<qsizetype>(textLines().size() - 1, 0)) * tm.lineSpacing();
    if (info_.detail) text += 1 + QFontMetricsF(detailFont()).height();
    return std::max({dot, gear, std::ceil(text)});
}

qreal StatusFooter::rowTop() const { return ruleHeight + stackSpacing; }

QSize StatusFooter::sizeHint() const {
    qreal h = rowTop() + rowHeight();
    if (info_.fraction) h += stackSpacing + barHeight;
    return {200, int(std::ceil(h + bottomPadding))};
}

void StatusFooter::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    // The state's lines follow the width.
    if (e->size().width() != e->oldSize().width() && sizeHint().height() != height()) setFixedHeight(sizeHint().height());
    gear_->move(int(std::lround(width() - sidePadding - gear)), int(std::lround(rowTop() + (rowHeight() - gear) / 2)));
}

QRectF StatusFooter::barRect() const {
    return QRectF(sidePadding, rowTop() + rowHeight() + stackSpacing, width() - 2 * sidePadding, barHeight);
}

void StatusFooter::paintEvent(QPaintEvent* e) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool dark = Theme::isDark(this);
    auto c = [dark](ThemeColor t) { return Theme::color(t, dark); };
    p.fillRect(QRectF(0, 0, width(), ruleHeight), c(ThemeColor::line));

    const qreal top = rowTop(), h = rowHeight();
    // A gliding bar repaints only itself: the row's text is not drawn again.
    if (e->rect().intersects(QRectF(0, top, width(), h).toAlignedRect())) {
        p.setPen(Qt::NoPen);
        p.setBrush(info_.color.resolve(dark));
        p.drawEllipse(QRectF(sidePadding, top + (h - dot) / 2, dot, dot));

        const qreal left = sidePadding + dot + gap;
        const qreal right = left + textWidth();
        const QFont tf = textFont(), df = detailFont();
        const QFontMetricsF tm(tf), dm(df);
        const QStringList lines = textLines();
        const qreal textHeight = tm.height() + qreal(std::max<qsizetype>(lines.size() - 1, 0)) * tm.lineSpacing();
        const qreal block = textHeight + (info_.detail ? 1 + dm.height() : 0);
        qreal y = top + (h - block) / 2;
        p.setFont(tf);
        p.setPen(c(ThemeColor::ink));
        for (qsizetype i = 0; i < lines.size(); ++i)
            p.drawText(QRectF(left, y + qreal(i) * tm.lineSpacing(), right - left, tm.height()),
                       Qt::AlignLeft | Qt::AlignVCenter, lines[i]);
        if (info_.detail) {
            y += textHeight + 1;
            p.setFont(df);
            p.setPen(c(ThemeColor::ink2));
            TabularDigits::draw(p, QRectF(left, y, right - left, dm.height()), Qt::AlignLeft | Qt::AlignVCenter,
                                *info_.detail);
        }
    }

    if (info_.fraction) {
        const QRectF track = barRect();
        p.setPen(Qt::NoPen);
        QPainterPath whole;
        whole.addRoundedRect(track, barHeight / 2, barHeight / 2);
        p.fillPath(whole, c(ThemeColor::line));
        QRectF fill = track;
        fill.setWidth(std::min(track.width(), std::max(barMinimum, track.width() * drawn_)));
        QPainterPath part;
        part.addRoundedRect(fill, barHeight / 2, barHeight / 2);
        p.fillPath(part, c(ThemeColor::accent));
    }
}

}  // namespace vintrelle
