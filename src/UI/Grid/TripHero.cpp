#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

#include "App/AppModel.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "UI/Grid/RouteHeaders.h"
#include "UI/Kit/CardShadow.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Labels.h"
#include "UI/Kit/StoredImage.h"

namespace vintrelle {

namespace {

constexpr qreal cardRadius = 16;
constexpr qreal textInset = 28, textBottom = 24, textSpacing = 6;

QColor white(qreal alpha) {
    QColor c(Qt::white);
    c.setAlphaF(float(alpha));
    return c;
}

}  // namespace

// The gradient and the texts over the cover. The texts and their soft shadow
// are drawn once per size and text into images, so a header scrolling with
// the grid blurs nothing.
class TripHeroText : public QWidget {
public:
    explicit TripHeroText(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_TransparentForMouseEvents); }

    void setTexts(QString dates, QString title, QStringList facts) {
        if (dates == dates_ && title == title_ && facts == facts_) return;
        dates_ = std::move(dates);
        title_ = std::move(title);
        facts_ = std::move(facts);
        layer_ = {};
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath clip;
        clip.addRoundedRect(QRectF(rect()), cardRadius, cardRadius);
        p.setClipPath(clip);
        QLinearGradient shade(0, 0, 0, height());
        shade.setColorAt(0, QColor(0, 0, 0, int(0.08 * 255)));
        shade.setColorAt(0.4, QColor(0, 0, 0, int(0.1 * 255)));
        shade.setColorAt(1, QColor(0, 0, 0, int(0.72 * 255)));
        p.fillRect(rect(), shade);
        const qreal dpr = devicePixelRatioF();
        if (layer_.isNull() || layer_.size() != size() * dpr) render(dpr);
        p.drawImage(QPointF(0, 1), shadow_);
        p.drawImage(QPointF(0, 0), layer_);
    }

private:
    void render(qreal dpr) {
        layer_ = QImage(size() * dpr, QImage::Format_ARGB32_Premultiplied);
        layer_.setDevicePixelRatio(dpr);
        layer_.fill(Qt::transparent);
        {
            QPainter p(&layer_);
            p.setRenderHint(QPainter::TextAntialiasing);
            const qreal width = std::max<qreal>(0, this->width() - 2 * textInset);
            qreal bottom = height() - textBottom;

            const QFont factFont = Fonts::font(12.5, QFont::Medium);
            const QFontMetricsF ff(factFont);
            p.setFont(factFont);
            p.setPen(white(0.85));
            qreal x = textInset;
            for (const QString& fact : facts_) {
                const qreal room = textInset + width - x;
                if (room <= 0) break;
                const QString shown = ff.elidedText(fact, Qt::ElideRight, room);
                p.drawText(QPointF(x, bottom - ff.descent()), shown);
                x += ff.horizontalAdvance(shown) + 8;
            }
            bottom -= ff.height() + textSpacing;

            const QFont titleFont = Fonts::font(40, QFont::Bold);
            const QFontMetricsF tf(titleFont);
            const QStringList lines = wrapLines(title_, titleFont, width, 2);
            p.setFont(titleFont);
            p.setPen(Qt::white);
            qreal y = bottom - qreal(lines.size()) * tf.height();
            for (const QString& line : lines) {
                p.drawText(QPointF(textInset, y + tf.ascent()), line);
                y += tf.height();
            }
            bottom -= qreal(lines.size()) * tf.height() + textSpacing;

            QFont dateFont = Fonts::font(11, QFont::DemiBold);
            dateFont.setLetterSpacing(QFont::AbsoluteSpacing, 1.1);
            const QFontMetricsF df(dateFont);
            p.setFont(dateFont);
            p.setPen(white(0.85));
            p.drawText(QPointF(textInset, bottom - df.descent()), df.elidedText(dates_, Qt::ElideRight, width));
        }
        QImage alpha = layer_.convertToFormat(QImage::Format_Alpha8);
        CardShadow::blurAlpha(alpha, 6 * dpr);
        shadow_ = QImage(layer_.size(), QImage::Format_ARGB32_Premultiplied);
        shadow_.setDevicePixelRatio(dpr);
        shadow_.fill(Qt::transparent);
        QPainter s(&shadow_);
        s.drawImage(QRectF(QPointF(0, 0), QSizeF(size())), alpha);
        s.setCompositionMode(QPainter::CompositionMode_SourceIn);
        s.fillRect(shadow_.rect(), QColor(0, 0, 0, int(0.35 * 255)));
    }

    QString dates_, title_;
    QStringList facts_;
    QImage layer_, shadow_;
};

TripHero::TripHero(AppModel& model, LibraryStore& store, Trip trip, QWidget* parent)
    : RouteHeader(model, store, parent), trip_(std::move(trip)) {
    cover_ = new StoredImage(this);
    cover_->setCornerRadius(cardRadius);
    text_ = new TripHeroText(this);
    menu_ = new RoundMenuButton(Qt::white, QColor(0, 0, 0, int(0.35 * 255)), this);
    menu_->setMenuMaker([this](QWidget* parent) { return makeMenu(parent); });
    refresh();
}

void TripHero::setTrip(Trip trip) {
    trip_ = std::move(trip);
    refresh();
}

long long TripHero::dayCount(const Trip& trip) {
    const double from = std::min(trip.start, trip.end), to = std::max(trip.start, trip.end);
    return WallClock::dayNumber(to) - WallClock::dayNumber(from) + 1;
}

QString TripHero::datesText() const {
    const double from = std::min(trip_.start, trip_.end), to = std::max(trip_.start, trip_.end);
    return QLocale().toUpper(QString::fromStdString(WallClock::rangeString(from, to)));
}

QString TripHero::titleText() const { return QString::fromStdString(trip_.title()); }

QStringList TripHero::facts() const {
    QStringList out;
    if (!trip_.subtitle.empty()) out << QString::fromStdString(trip_.subtitle) << tr("·");
    const AssetRange range = store_.range(std::min(trip_.start, trip_.end), std::max(trip_.start, trip_.end));
    out << QString::fromStdString(Format::items(dayCount(trip_), "day")) << tr("·")
        << QString::fromStdString(Format::items((long long)range.size(), "item"));
    return out;
}

void TripHero::refresh() {
    const std::optional<int64_t> cover = store_.coverID(trip_);
    cover_->setSource(cover ? std::optional(store_.paths().thumbURL(*cover)) : std::nullopt, store_.thumbs(),
                      store_.revision());
    text_->setTexts(datesText(), titleText(), facts());
}

bool TripHero::isLoading() const { return cover_->isLoading() || cover_->isFading(); }

void TripHero::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    const QRect card = rect().adjusted(22, 14, -22, -10);
    cover_->setGeometry(card);
    text_->setGeometry(card);
    menu_->move(card.right() + 1 - 14 - menu_->width(), card.top() + 14);
}

QMenu* TripHero::makeMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    const int64_t id = trip_.id;
    const std::string shown = trip_.title();
    menu->addAction(tr("Rename Trip…"), this, [this, id, shown] {
        AppModel::RenamePrompt prompt;
        prompt.target = {AppModel::RenamePrompt::Target::Kind::trip, id};
        prompt.title = tr("Rename Trip").toStdString();
        prompt.text = shown;
        model_.setRenamePrompt(std::move(prompt));
    });
    if (trip_.customTitle)
        menu->addAction(tr("Use Suggested Name"), this, [this, id] { store_.renameTrip(id, ""); });
    menu->addSeparator();
    menu->addAction(tr("This Isn’t a Trip"), this, [this] { dismiss(); });
    model_.closeWithLibrary(menu);
    return menu;
}

void TripHero::dismiss() {
    // Only the flag is written, against the row as it stands: a name given or
    // a detection made since this header was built is kept.
    store_.setTripHidden(trip_.id, true);
    leave(Route::trips());
}

}  // namespace vintrelle
