#include "UI/Viewer/DetailsPanel.h"

#include <QAbstractButton>
#include <QCache>
#include <QCoreApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <charconv>
#include <cmath>
#include <filesystem>

#include "App/AppModel.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Icons.h"
#include "UI/Kit/Labels.h"
#include "UI/Kit/StoredImage.h"
#include "UI/Kit/Theme.h"
#include "UI/Viewer/ViewerView.h"

namespace vintrelle {

namespace {

const QString kDot = QStringLiteral("  \u00B7  ");

QString qs(const std::string& s) { return QString::fromStdString(s); }

// Fixed notation with a full stop whatever the locale: these texts follow
// the camera's conventions, not the user's number format.
std::string fixed(double v, int decimals) {
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    return std::string(buf, r.ptr);
}

std::string lastComponent(const std::string& path) {
    std::filesystem::path p(path);
    if (!p.has_filename() && p.has_parent_path()) p = p.parent_path();  // "/photos/" names "photos"
    return p.filename().string();
}

QFont sectionFont() {
    QFont f = Fonts::font(10.5, QFont::DemiBold);
    f.setLetterSpacing(QFont::AbsoluteSpacing, 0.9);
    return f;
}

// The pictures of finished maps, by asset, place, size, pixel ratio and
// appearance. About 160 kB each at 1x.
QCache<QString, QImage>& mapPictures() {
    static QCache<QString, QImage> cache(32);
    return cache;
}

}  // namespace

// ---- parts ---------------------------------------------------------------------

// Plain text the user can select and copy, in a palette colour that follows
// the appearance.
class DetailsPanel::SelectableText final : public QLabel {
public:
    SelectableText(qreal px, QFont::Weight weight, ThemeColor color, QWidget* parent)
        : QLabel(parent), color_(color) {
        setTextFormat(Qt::PlainText);
        setTextInteractionFlags(Qt::TextSelectableByMouse);
        setFont(Fonts::font(px, weight));
        setCursor(Qt::IBeamCursor);
        applyColor();
    }

protected:
    void changeEvent(QEvent* e) override {
        QLabel::changeEvent(e);
        if (e->type() == QEvent::PaletteChange && !applying_) applyColor();
    }

private:
    void applyColor() {
        applying_ = true;
        QPalette p = palette();
        p.setColor(QPalette::WindowText, Theme::color(color_, this));
        setPalette(p);
        applying_ = false;
    }
    ThemeColor color_;
    bool applying_ = false;
};

// A face in a circle over a name; the whole is one button.
class DetailsPanel::PersonButton final : public QAbstractButton {
public:
    PersonButton(const Person& person, const std::shared_ptr<LibraryStore>& store, QWidget* parent)
        : QAbstractButton(parent), id(person.id), face_(new StoredImage(this)) {
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::NoFocus);
        const QString name = person.name.empty() ? tr("Unnamed") : qs(person.name);
        setText(name);
        setAccessibleName(name);
        setToolTip(name);
        unnamed_ = person.name.empty();
        face_->setCircular(true);
        face_->setGeometry((52 - 44) / 2, 0, 44, 44);
        face_->setAttribute(Qt::WA_TransparentForMouseEvents);
        std::optional<std::string> path;
        if (person.coverFaceID) path = store->paths().faceURL(*person.coverFaceID);
        face_->setSource(path, store->thumbs(), 0);
        setFixedSize(52, 44 + 5 + nameHeight());
    }
    const int64_t id;
    bool isLoading() const { return face_->isLoading(); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setFont(Fonts::font(10.5));
        p.setPen(Theme::color(unnamed_ ? ThemeColor::ink3 : ThemeColor::ink, this));
        const QRect r(0, 44 + 5, width(), nameHeight());
        p.drawText(r, Qt::AlignHCenter | Qt::AlignTop, p.fontMetrics().elidedText(text(), Qt::ElideRight, width()));
    }

private:
    static int nameHeight() { return QFontMetrics(Fonts::font(10.5)).height(); }
    StoredImage* face_;
    bool unnamed_ = false;
};

// The trip the asset belongs to: its title and dates on a rounded card.
class DetailsPanel::TripCard final : public QAbstractButton {
public:
    explicit TripCard(QWidget* parent) : QAbstractButton(parent) {
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::NoFocus);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    void setTrip(const Trip& trip) {
        id = trip.id;
        setText(qs(trip.title()));
        dates_ = qs(WallClock::rangeString(trip.start, trip.end));
        setAccessibleName(text());
        updateGeometry();
        update();
    }
    int64_t id = 0;
    QSize sizeHint() const override {
        return {200, pad + QFontMetrics(titleFont()).height() + 2 + QFontMetrics(datesFont()).height() + pad};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath card;
        card.addRoundedRect(QRectF(rect()), 9, 9);
        p.fillPath(card, Theme::color(ThemeColor::hover, this));
        const qreal chevron = Icons::sideFor(10);
        const int textWidth = int(width() - 2 * pad - chevron - 8);
        const QFontMetrics tm(titleFont()), dm(datesFont());
        p.setFont(titleFont());
        p.setPen(Theme::color(ThemeColor::ink, this));
        p.drawText(QRect(pad, pad, textWidth, tm.height()), Qt::AlignLeft | Qt::AlignVCenter,
                   tm.elidedText(text(), Qt::ElideRight, textWidth));
        p.setFont(datesFont());
        p.setPen(Theme::color(ThemeColor::ink2, this));
        p.drawText(QRect(pad, pad + tm.height() + 2, textWidth, dm.height()), Qt::AlignLeft | Qt::AlignVCenter,
                   dm.elidedText(dates_, Qt::ElideRight, textWidth));
        Icons::paint(p, QRectF(width() - pad - chevron, (height() - chevron) / 2.0, chevron, chevron),
                     QStringLiteral("chevron.right"), 10, Theme::color(ThemeColor::ink3, this), QFont::DemiBold);
    }

private:
    static constexpr int pad = 11;
    static QFont titleFont() { return Fonts::font(15, QFont::Bold); }
    static QFont datesFont() { return Fonts::font(11); }
    QString dates_;
};

// A plain text button in the accent colour.
class DetailsPanel::LinkButton final : public QAbstractButton {
public:
    LinkButton(const QString& title, QWidget* parent) : QAbstractButton(parent) {
        setText(title);
        setAccessibleName(title);
        setFont(Fonts::font(12, QFont::Medium));
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::NoFocus);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }
    QSize sizeHint() const override {
        const QFontMetrics fm(font());
        return {fm.horizontalAdvance(text()) + 2, fm.height()};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        QColor c = Theme::color(ThemeColor::accent, this);
        if (isDown()) c = c.darker(120);
        p.setPen(c);
        p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, text());
    }
};

// The small map: the picture of a finished map when one is kept, else the
// live still map, whose picture is kept once it is complete.
class DetailsPanel::MapSlot final : public QWidget {
public:
    MapSlot(StillMap::Factory factory, QWidget* parent) : QWidget(parent), factory_(std::move(factory)) {
        setFixedHeight(mapHeight);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        connect(&Theme::instance(), &Theme::appearanceChanged, this, [this] { choose(); });
    }
    void setPlace(int64_t assetID, double lat, double lon) {
        if (place_ && place_->id == assetID && place_->lat == lat && place_->lon == lon) return;
        place_ = Place{assetID, lat, lon};
        delete live_;
        choose();
    }
    void clearPlace() {
        place_.reset();
        delete live_;
        picture_ = QImage();
        update();
    }
    StillMap* live() const { return live_; }
    bool isComplete() const { return !place_ || !picture_.isNull() || (live_ && live_->isComplete()); }

protected:
    void resizeEvent(QResizeEvent*) override {
        if (live_) live_->setGeometry(rect());
        choose();
    }
    void paintEvent(QPaintEvent*) override {
        if (picture_.isNull() || live_) return;
        QPainter p(this);
        p.drawImage(QRectF(rect()), picture_);
    }

private:
    struct Place {
        int64_t id;
        double lat, lon;
    };
    QString key() const {
        return QStringLiteral("%1|%2|%3|%4x%5|%6|%7")
            .arg(place_->id)
            .arg(place_->lat, 0, 'g', 12)
            .arg(place_->lon, 0, 'g', 12)
            .arg(width())
            .arg(height())
            .arg(devicePixelRatioF())
            .arg(Theme::isDark() ? 1 : 0);
    }
    // The kept picture for this place, size and look, else a live map.
    void choose() {
        if (!place_ || width() <= 0) return;
        if (QImage* kept = mapPictures().object(key())) {
            picture_ = *kept;
            delete live_;
            update();
            return;
        }
        picture_ = QImage();
        if (live_ || !factory_) return;
        live_ = factory_(this);
        if (!live_) return;
        live_->setGeometry(rect());
        live_->setPlace(place_->lat, place_->lon, mapSpan);
        connect(live_, &StillMap::completed, this, [this] {
            // Taken after the paint that finished it has returned.
            QTimer::singleShot(0, this, [this] { keep(); });
        });
        live_->show();
    }
    void keep() {
        if (!live_ || !place_ || !live_->isComplete()) return;
        const QString k = key();
        if (mapPictures().contains(k)) return;
        auto* image = new QImage(live_->grab().toImage());
        if (image->isNull()) {
            delete image;
            return;
        }
        mapPictures().insert(k, image);
    }

    StillMap::Factory factory_;
    std::optional<Place> place_;
    QPointer<StillMap> live_;
    QImage picture_;
};

// ---- texts ---------------------------------------------------------------------

QString DetailsPanel::sizeText(int64_t bytes) {
    const QLocale locale;
    if (bytes < 1000) return tr("%1 bytes").arg(locale.toString(qlonglong(std::max<int64_t>(bytes, 0))));
    // Whole kilobytes, one decimal of a megabyte, two of the larger units; a
    // value that would round to 1000 is written in the next unit.
    const double b = double(bytes);
    if (std::round(b / 1e3) < 1000) return locale.toString(b / 1e3, 'f', 0) + QStringLiteral(" kB");
    if (std::round(b / 1e5) < 10000) return locale.toString(b / 1e6, 'f', 1) + QStringLiteral(" MB");
    if (std::round(b / 1e7) < 100000) return locale.toString(b / 1e9, 'f', 2) + QStringLiteral(" GB");
    return locale.toString(b / 1e12, 'f', 2) + QStringLiteral(" TB");
}

QString DetailsPanel::facts(const Asset& a) {
    QStringList parts;
    // A file without an extension simply has no type part.
    const std::string ext = std::filesystem::path(lastComponent(a.path)).extension().string();
    if (ext.size() > 1) parts << qs(ext.substr(1)).toUpper();
    if (a.width >= 1) {
        parts << QStringLiteral("%1 \u00D7 %2").arg(a.width).arg(a.height);
        if (a.kind != MediaKind::video) {
            const double mp = double(a.width) * double(a.height) / 1e6;
            if (mp >= 1.0) parts << qs(fixed(mp, 0) + " MP");
        }
    }
    if (a.kind == MediaKind::video) parts << qs(Format::duration(a.duration));
    parts << sizeText(a.size);
    if (a.liveVideo) parts << QStringLiteral("Live");
    return parts.join(kDot);
}

QString DetailsPanel::exposureLine(const Asset& a) {
    QStringList parts;
    if (a.fnumber && *a.fnumber > 0) {
        QString f = qs("\u0192/" + fixed(*a.fnumber, 1));
        f.remove(QStringLiteral(".0"));
        parts << f;
    }
    if (a.exposure && *a.exposure > 0) parts << qs(Format::exposure(*a.exposure));
    if (a.iso) parts << QStringLiteral("ISO %1").arg(*a.iso);
    if (a.focal && *a.focal > 0) parts << qs(fixed(*a.focal, 0) + " mm");
    return parts.join(QStringLiteral("   "));
}

QString DetailsPanel::folderText(const std::string& root, const Asset& a) {
    std::string text = lastComponent(root);
    const size_t slash = a.path.rfind('/');
    if (slash != std::string::npos && slash > 0) text += "/" + a.path.substr(0, slash);
    return qs(text);
}

// ---- the panel -------------------------------------------------------------------

QWidget* DetailsPanel::block(const QString& title, QWidget* content) {
    auto* box = new QWidget;
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(9);
    auto* heading = new TextBlock(title.toUpper(), 10.5, QFont::DemiBold, ThemeColor::ink3, box);
    heading->setFont(sectionFont());
    column->addWidget(heading);
    column->addWidget(content);
    return box;
}

DetailsPanel::DetailsPanel(ViewerView& viewer, StillMap::Factory map)
    : QWidget(viewer.detailsContainer()),
      viewer_(viewer),
      model_(viewer.model()),
      lookupSource_(placelookup::resolver()),
      scroll_(new QScrollArea(this)) {
    auto* outer = new QVBoxLayout(viewer.detailsContainer());
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(this);
    auto* own = new QVBoxLayout(this);
    own->setContentsMargins(0, 0, 0, 0);
    own->addWidget(scroll_);

    // The column's background is the sidebar's colour, under the scroll bar too.
    class Content final : public QWidget {
    public:
        using QWidget::QWidget;

    protected:
        void paintEvent(QPaintEvent*) override {
            QPainter p(this);
            p.fillRect(rect(), Theme::color(ThemeColor::sidebar, this));
        }
    };
    auto* content = new Content;
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll_->setWidgetResizable(true);
    scroll_->setWidget(content);
    auto* rows = new QVBoxLayout(content);
    rows->setContentsMargins(20, 20, 20, 20);
    rows->setSpacing(22);

    // Header.
    auto* header = new QWidget;
    auto* headerRows = new QVBoxLayout(header);
    headerRows->setContentsMargins(0, 0, 0, 0);
    headerRows->setSpacing(6);
    name_ = new SelectableText(14, QFont::DemiBold, ThemeColor::ink, header);
    name_->setWordWrap(true);
    date_ = new TextBlock(QString(), 12, QFont::Normal, ThemeColor::ink2, header);
    facts_ = new TextBlock(QString(), 12, QFont::Normal, ThemeColor::ink2, header);
    facts_->setTabularDigits(true);
    // A long line (a live HEIC's) wraps between its parts, as the column's other texts wrap.
    facts_->setWordWrap(true);
    facts_->setBreakAfter(kDot);
    headerRows->addWidget(name_);
    headerRows->addWidget(date_);
    headerRows->addWidget(facts_);
    rows->addWidget(header);

    // Camera.
    auto* cameraRows = new QWidget;
    auto* cameraColumn = new QVBoxLayout(cameraRows);
    cameraColumn->setContentsMargins(0, 0, 0, 0);
    cameraColumn->setSpacing(4);
    camera_ = new TextBlock(QString(), 12.5, QFont::Medium, ThemeColor::ink, cameraRows);
    lens_ = new TextBlock(QString(), 11.5, QFont::Normal, ThemeColor::ink2, cameraRows);
    exposure_ = new TextBlock(QString(), 11.5, QFont::Normal, ThemeColor::ink2, cameraRows);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    Fonts::setSize(mono, 11.5);
    exposure_->setFont(mono);
    auto* exposureRow = new QWidget(cameraRows);  // 2 px more above the exposure
    auto* exposurePad = new QVBoxLayout(exposureRow);
    exposurePad->setContentsMargins(0, 2, 0, 0);
    exposurePad->addWidget(exposure_);
    cameraColumn->addWidget(camera_);
    cameraColumn->addWidget(lens_);
    cameraColumn->addWidget(exposureRow);
    cameraBlock_ = block(tr("Camera"), cameraRows);
    rows->addWidget(cameraBlock_);

    // People.
    peopleRow_ = new QWidget;
    auto* peopleLine = new QHBoxLayout(peopleRow_);
    peopleLine->setContentsMargins(0, 0, 0, 0);
    peopleLine->setSpacing(10);
    peopleLine->addStretch(1);
    peopleBlock_ = block(tr("People"), peopleRow_);
    rows->addWidget(peopleBlock_);

    // Place.
    auto* placeRows = new QWidget;
    auto* placeColumn = new QVBoxLayout(placeRows);
    placeColumn->setContentsMargins(0, 0, 0, 0);
    placeColumn->setSpacing(8);
    map_ = new MapSlot(std::move(map), placeRows);
    placeName_ = new TextBlock(QString(), 12.5, QFont::Medium, ThemeColor::ink, placeRows);
    placeName_->setWordWrap(true);
    placeColumn->addWidget(map_);
    placeColumn->addWidget(placeName_);
    placeBlock_ = block(tr("Place"), placeRows);
    rows->addWidget(placeBlock_);

    // Trip.
    trip_ = new TripCard(nullptr);
    tripBlock_ = block(tr("Trip"), trip_);
    rows->addWidget(tripBlock_);
    connect(trip_, &QAbstractButton::clicked, this, [this] {
        const int64_t id = trip_->id;
        model_.closeViewer();
        model_.navigate(Route::trips());
        model_.push(Route::trip(id));
    });

    // Folder.
    auto* folderRows = new QWidget;
    auto* folderColumn = new QVBoxLayout(folderRows);
    folderColumn->setContentsMargins(0, 0, 0, 0);
    folderColumn->setSpacing(8);
    folder_ = new SelectableText(11.5, QFont::Normal, ThemeColor::ink2, folderRows);
    folder_->setWordWrap(true);
    showInFiles_ = new LinkButton(tr("Show in Files"), folderRows);
    folderColumn->addWidget(folder_);
    folderColumn->addWidget(showInFiles_);
    rows->addWidget(block(tr("In Your Folder"), folderRows));
    connect(showInFiles_, &QAbstractButton::clicked, this, [this] {
        if (asset_) model_.showInFiles({asset_->id});
    });
    rows->addStretch(1);

    connect(&viewer_, &ViewerView::shownAssetChanged, this, &DetailsPanel::refresh);
    connect(&model_, &AppModel::showInfoChanged, this, &DetailsPanel::refresh);
    connect(&model_, &AppModel::storeChanged, this, [this] {
        connectStore();
        refresh();
    });
    connectStore();
    refresh();
}

DetailsPanel::~DetailsPanel() {
    for (const auto& c : storeConnections_) disconnect(c);
}

void DetailsPanel::setLookupSource(LookupSource source) {
    lookupSource_ = std::move(source);
    if (asset_ && !place_) startLookup();
}

void DetailsPanel::connectStore() {
    for (const auto& c : storeConnections_) disconnect(c);
    storeConnections_.clear();
    const std::shared_ptr<LibraryStore> store = model_.store();
    if (!store) return;
    storeConnections_.push_back(connect(store.get(), &LibraryStore::personsChanged, this, [this] {
        if (auto s = store_.lock(); s && asset_) {
            people_ = s->peopleIn(*asset_);
            showPeople();
        }
    }));
    storeConnections_.push_back(connect(store.get(), &LibraryStore::tripsChanged, this, &DetailsPanel::showTrip));
}

void DetailsPanel::refresh() {
    const std::optional<Asset>& shown = viewer_.shownAsset();
    const std::shared_ptr<LibraryStore> store = model_.store();
    if (!model_.showInfo() || !shown || !store) {
        // Hidden details do no work; showing them again starts afresh.
        if (asset_) {
            asset_.reset();
            ++lookupGeneration_;
            lookingUp_ = false;
            map_->clearPlace();
        }
        return;
    }
    const bool newAsset = !asset_ || asset_->id != shown->id || store != store_.lock();
    present(*shown, store, newAsset);
}

void DetailsPanel::present(const Asset& asset, const std::shared_ptr<LibraryStore>& store, bool newAsset) {
    const bool newPlace = newAsset || asset_->lat != asset.lat || asset_->lon != asset.lon;
    asset_ = asset;
    store_ = store;
    if (newAsset) people_ = store->peopleIn(asset);

    name_->setText(qs(lastComponent(asset.path)));
    date_->setText(qs(WallClock::format(WallClock::Template::full, asset.taken)));
    facts_->setText(facts(asset));

    // The lens or an exposure time alone do not make a camera section.
    cameraBlock_->setVisible(asset.camera || asset.fnumber);
    camera_->setText(qs(asset.camera.value_or("")));
    camera_->setVisible(asset.camera.has_value());
    lens_->setText(qs(asset.lens.value_or("")));
    lens_->setVisible(asset.lens.has_value());
    const QString exposure = exposureLine(asset);
    exposure_->setText(exposure);
    exposure_->parentWidget()->setVisible(!exposure.isEmpty());

    if (newAsset) showPeople();
    if (newPlace) {
        // Never the previous asset's place under this one.
        place_.reset();
        startLookup();
    }
    showPlace();
    showTrip();
    folder_->setText(folderText(store->paths().root, asset));
    if (newAsset) scroll_->verticalScrollBar()->setValue(0);
}

void DetailsPanel::showPeople() {
    for (PersonButton* b : personButtons_) delete b;
    personButtons_.clear();
    const std::shared_ptr<LibraryStore> store = store_.lock();
    peopleBlock_->setVisible(store && !people_.empty());
    if (!store) return;
    auto* line = static_cast<QHBoxLayout*>(peopleRow_->layout());
    for (size_t i = 0; i < people_.size() && i < size_t(maxPeople); ++i) {
        auto* button = new PersonButton(people_[i], store, peopleRow_);
        line->insertWidget(int(i), button, 0, Qt::AlignTop);
        personButtons_.push_back(button);
        connect(button, &QAbstractButton::clicked, this, [this, id = button->id] {
            model_.closeViewer();
            model_.navigate(Route::people());
            model_.push(Route::person(id));
        });
    }
}

void DetailsPanel::showPlace() {
    const bool has = asset_ && asset_->lat && asset_->lon;
    placeBlock_->setVisible(has);
    if (!has) {
        map_->clearPlace();
        return;
    }
    map_->setPlace(asset_->id, *asset_->lat, *asset_->lon);
    const std::optional<std::string> name = place_ ? place_->display() : std::nullopt;
    placeName_->setText(name ? qs(*name)
                             : QStringLiteral("%1, %2")
                                   .arg(qs(fixed(*asset_->lat, 4)))
                                   .arg(qs(fixed(*asset_->lon, 4))));
}

void DetailsPanel::showTrip() {
    const std::shared_ptr<LibraryStore> store = store_.lock();
    const std::optional<Trip> trip = store && asset_ ? store->tripContaining(*asset_) : std::nullopt;
    tripBlock_->setVisible(trip.has_value());
    if (trip) trip_->setTrip(*trip);
}

void DetailsPanel::startLookup() {
    const int generation = ++lookupGeneration_;
    lookingUp_ = false;
    const std::shared_ptr<LibraryStore> store = store_.lock();
    if (!asset_ || !asset_->lat || !asset_->lon || !store || !lookupSource_) return;
    Lookup lookup = lookupSource_(*store);
    if (!lookup) return;  // no engine: the coordinates stay
    lookingUp_ = true;
    placelookup::start(this, std::move(lookup), *asset_->lat, *asset_->lon,
                       [this, generation](const std::optional<PlaceName>& name) { placeArrived(generation, name); });
}

void DetailsPanel::placeArrived(int generation, const std::optional<PlaceName>& name) {
    // Another asset, another library, or details closed since: not ours.
    if (generation != lookupGeneration_) return;
    lookingUp_ = false;
    if (!asset_ || store_.lock() != model_.store()) return;
    place_ = name;
    showPlace();
}

// ---- what is on show -------------------------------------------------------------

QString DetailsPanel::nameText() const { return name_->text(); }
QString DetailsPanel::dateText() const { return date_->text(); }
QString DetailsPanel::factsText() const { return facts_->text(); }
QStringList DetailsPanel::factsLines() const { return facts_->shownLines(); }
QString DetailsPanel::placeText() const { return placeName_->text(); }
QString DetailsPanel::tripTitle() const { return tripBlock_->isVisibleTo(this) ? trip_->text() : QString(); }
QString DetailsPanel::folderLine() const { return folder_->text(); }
bool DetailsPanel::showsCamera() const { return cameraBlock_->isVisibleTo(this); }
bool DetailsPanel::showsPeople() const { return peopleBlock_->isVisibleTo(this); }
bool DetailsPanel::showsPlace() const { return placeBlock_->isVisibleTo(this); }
bool DetailsPanel::showsTrip() const { return tripBlock_->isVisibleTo(this); }
QAbstractButton* DetailsPanel::tripCard() const { return trip_; }
QAbstractButton* DetailsPanel::showInFilesButton() const { return showInFiles_; }
QWidget* DetailsPanel::map() const { return map_; }

QStringList DetailsPanel::cameraLines() const {
    QStringList out;
    if (!showsCamera()) return out;
    if (!camera_->isHidden()) out << camera_->text();
    if (!lens_->isHidden()) out << lens_->text();
    if (!exposure_->parentWidget()->isHidden()) out << exposure_->text();
    return out;
}

std::vector<QAbstractButton*> DetailsPanel::personButtons() const {
    return {personButtons_.begin(), personButtons_.end()};
}

bool DetailsPanel::isSettled() const {
    if (lookingUp_) return false;
    if (showsPlace() && !map_->isComplete()) return false;
    for (const PersonButton* b : personButtons_)
        if (b->isLoading()) return false;
    return true;
}

}  // namespace vintrelle
