#include "UI/Window/SettingsView.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTextLayout>
#include <QThread>
#include <QThreadPool>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "App/AppModel.h"
#include "App/DesktopServices.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "UI/Kit/Buttons.h"
#include "UI/Kit/FocusRing.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Labels.h"
#include "UI/Kit/MessageSheet.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

namespace {

constexpr int margin = 20;
constexpr int columnWidth = SettingsView::windowWidth - 2 * margin;
constexpr int rowPadX = 12;
constexpr int rowPadY = 9;
constexpr qreal cardRadius = 8;
constexpr int sectionGap = 18;
constexpr qreal bodyPx = 13;
constexpr qreal notePx = 11.5;
constexpr qreal captionPx = 11;
constexpr int folderLines = 2;

// The rounded group of rows, a hairline between each two.
class Card : public QWidget {
public:
    explicit Card(QWidget* parent) : QWidget(parent) {
        rows_ = new QVBoxLayout(this);
        rows_->setContentsMargins(0, 0, 0, 0);
        rows_->setSpacing(1);
        setFixedWidth(columnWidth);
    }
    void addRow(QWidget* row) { rows_->addWidget(row); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const bool dark = Theme::isDark(this);
        const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QPainterPath shape;
        shape.addRoundedRect(r, cardRadius, cardRadius);
        p.fillPath(shape, Theme::color(ThemeColor::card, dark));
        p.strokePath(shape, QPen(Theme::color(ThemeColor::line, dark), 1));
        QWidget* previous = nullptr;
        for (int i = 0; i < rows_->count(); ++i) {
            QWidget* w = rows_->itemAt(i)->widget();
            if (!w || w->isHidden()) continue;
            if (previous) p.fillRect(QRectF(rowPadX, w->y() - 1, width() - 2 * rowPadX, 1), Theme::color(ThemeColor::line, dark));
            previous = w;
        }
    }

private:
    QVBoxLayout* rows_;
};

// A labelled row: the label on the left, the value on the right.
QWidget* labelledRow(QWidget* parent, const QString& label, QWidget* value, Qt::Alignment valueAlign = Qt::AlignVCenter) {
    auto* row = new QWidget(parent);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(rowPadX, rowPadY, rowPadX, rowPadY);
    line->setSpacing(12);
    auto* name = new TextBlock(label, bodyPx, QFont::Normal, ThemeColor::ink, row);
    name->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    // A label beside a taller value stays level with its first line.
    line->addWidget(name, 0, valueAlign & Qt::AlignTop ? Qt::AlignTop : Qt::AlignVCenter);
    line->addStretch(1);
    line->addWidget(value, 0, Qt::AlignRight | valueAlign);
    return row;
}

// A wrapped note under or above a card, as tall as its lines at the column's width.
TextBlock* note(QWidget* parent, const QString& text, qreal px, QFont::Weight weight, ThemeColor color) {
    auto* block = new TextBlock(text, px, weight, color, parent);
    block->setWordWrap(true);
    block->setFixedWidth(columnWidth - 2 * rowPadX);
    block->setFixedHeight(block->heightForWidth(block->width()));
    return block;
}

QWidget* section(QWidget* parent, const QString& header, Card* card, TextBlock* footer) {
    auto* box = new QWidget(parent);
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    if (!header.isEmpty()) {
        auto* h = new TextBlock(header, bodyPx, QFont::DemiBold, ThemeColor::ink, box);
        h->setContentsMargins(rowPadX, 0, 0, 0);
        column->addWidget(h);
    }
    column->addWidget(card);
    if (footer) {
        auto* indented = new QHBoxLayout();
        indented->setContentsMargins(rowPadX, 0, rowPadX, 0);
        indented->addWidget(footer);
        column->addLayout(indented);
    }
    return box;
}

// The lines a text takes at a width, wrapped as a word-wrapped label wraps it.
int lineCount(const QString& text, const QFont& font, qreal width) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    int n = 0;
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        ++n;
    }
    layout.endLayout();
    return n;
}

// The text cut in the middle until it takes at most `lines` lines.
QString middleElided(const QString& text, const QFont& font, qreal width, int lines) {
    if (lineCount(text, font, width) <= lines) return text;
    int lo = 0, hi = int(text.size());
    while (lo < hi) {  // the most characters that still fit
        const int mid = (lo + hi + 1) / 2;
        const QString candidate = text.left(mid / 2) + u'\u2026' + text.right(mid - mid / 2);
        if (lineCount(candidate, font, width) <= lines) lo = mid;
        else hi = mid - 1;
    }
    return text.left(lo / 2) + u'\u2026' + text.right(lo - lo / 2);
}

}  // namespace

// ---- segmented control ----

SegmentedControl::SegmentedControl(QStringList titles, QWidget* parent) : QWidget(parent), titles_(std::move(titles)) {
    setFocusPolicy(Qt::StrongFocus);
    FocusRing::track(this);
    setFont(Fonts::font(12));
    setFixedSize(sizeHint());
}

QSize SegmentedControl::sizeHint() const {
    const QFontMetricsF fm(font());
    qreal widest = 0;
    for (const QString& t : titles_) widest = std::max(widest, fm.horizontalAdvance(t));
    return {int(std::ceil((widest + 24) * titles_.size())) + 4, 24};
}

QRectF SegmentedControl::segmentRect(int index) const {
    const qreal w = (width() - 4.0) / std::max<qsizetype>(1, titles_.size());
    return {2 + index * w, 2, w, height() - 4.0};
}

void SegmentedControl::setCurrent(int index) {
    if (index == current_) return;
    current_ = index;
    update();
}

void SegmentedControl::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool dark = Theme::isDark(this);
    QPainterPath track;
    track.addRoundedRect(QRectF(rect()), 7, 7);
    p.fillPath(track, Theme::color(ThemeColor::hover, dark));
    const QRectF chosen = segmentRect(current_);
    QPainterPath knob;
    knob.addRoundedRect(chosen, 5, 5);
    p.fillPath(knob, dark ? Theme::color(ThemeColor::selected, dark) : Theme::color(ThemeColor::card, dark));
    p.strokePath(knob, QPen(Theme::color(ThemeColor::line, dark), 1));
    for (int i = 0; i < titles_.size(); ++i) {
        QFont f = font();
        if (i == current_) f.setWeight(QFont::Medium);
        p.setFont(f);
        p.setPen(Theme::color(i == current_ ? ThemeColor::ink : ThemeColor::ink2, dark));
        p.drawText(segmentRect(i), Qt::AlignCenter, titles_[i]);
    }
    if (FocusRing::shows(this)) {
        QColor ring = Theme::color(ThemeColor::accent, dark);
        ring.setAlphaF(0.7f);
        p.strokePath(track, QPen(ring, 1.5));
    }
}

void SegmentedControl::mousePressEvent(QMouseEvent* e) {
    for (int i = 0; i < titles_.size(); ++i) {
        if (!segmentRect(i).contains(e->position())) continue;
        setCurrent(i);
        emit chosen(i);
        return;
    }
}

void SegmentedControl::keyPressEvent(QKeyEvent* e) {
    int next = current_;
    if (e->key() == Qt::Key_Left) next = std::max(0, current_ - 1);
    else if (e->key() == Qt::Key_Right) next = std::min(int(titles_.size()) - 1, current_ + 1);
    else return QWidget::keyPressEvent(e);
    if (next == current_) return;
    setCurrent(next);
    emit chosen(next);
}

// ---- switch ----

ToggleSwitch::ToggleSwitch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    FocusRing::track(this);
    setFixedSize(sizeHint());
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool dark = Theme::isDark(this);
    const QRectF r = rect();
    const qreal radius = r.height() / 2;
    QPainterPath track;
    track.addRoundedRect(r, radius, radius);
    p.fillPath(track, isChecked() ? Theme::color(ThemeColor::accent, dark)
                                  : (dark ? QColor(255, 255, 255, 46) : QColor(0, 0, 0, 36)));
    const qreal knob = r.height() - 4;
    const qreal x = isChecked() ? r.right() - 2 - knob : r.left() + 2;
    p.setPen(QPen(QColor(0, 0, 0, 26), 0.5));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(x, r.top() + 2, knob, knob));
    if (FocusRing::shows(this)) {
        QColor ring = Theme::color(ThemeColor::accent, dark);
        ring.setAlphaF(0.5f);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(ring, 1.5));
        p.drawRoundedRect(r.adjusted(0.75, 0.75, -0.75, -0.75), radius, radius);
    }
}

// ---- the window ----

struct SettingsView::Measuring {
    SettingsView* view;
    std::stop_source stop;
};

uint64_t SettingsView::folderSize(const std::string& folder, std::stop_token stop) {
    namespace fs = std::filesystem;
    std::error_code ec;
    uint64_t total = 0;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        if (stop.stop_requested()) break;
        std::error_code sec;
        // Links count as themselves: what they point to lies elsewhere.
        if (!it->is_symlink(sec) && it->is_regular_file(sec)) {
            const auto size = it->file_size(sec);
            if (!sec) total += size;
        }
    }
    return total;
}

QString SettingsView::formatSize(uint64_t bytes) {
    return QLocale().formattedDataSize(qint64(bytes), 1, QLocale::DataSizeSIFormat);
}

SettingsView::SettingsView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model), meter_(folderSize) {
    setWindowTitle(tr("Settings"));
    setAttribute(Qt::WA_StyledBackground, false);
    column_ = new QVBoxLayout(this);
    column_->setContentsMargins(margin, margin, margin, margin);
    column_->setSpacing(sectionGap);
    column_->setSizeConstraint(QLayout::SetFixedSize);

    auto* appearance = new Card(this);
    theme_ = new SegmentedControl({tr("Light"), tr("Dark"), tr("Match System")}, appearance);
    appearance->addRow(labelledRow(appearance, tr("Theme"), theme_));
    column_->addWidget(section(this, tr("Appearance"), appearance, nullptr));

    // The library's group goes here, at position 1, while a library is open.

    auto* people = new Card(this);
    faces_ = new ToggleSwitch(people);
    people->addRow(labelledRow(people, tr("Group photos by the people in them"), faces_));
    startOver_ = new QPushButton(tr("Start Over with People\u2026"), people);
    QuietButtonStyle::apply(startOver_);
    auto* startRow = new QWidget(people);
    auto* startLine = new QHBoxLayout(startRow);
    startLine->setContentsMargins(rowPadX, rowPadY, rowPadX, rowPadY);
    startLine->addStretch(1);
    startLine->addWidget(startOver_);
    people->addRow(startRow);
    column_->addWidget(section(this, tr("People"), people,
                               note(this,
                                    tr("When this is on, Vintrelle looks for faces in your photos and gathers each "
                                       "person into People. Turn it off to stop looking; people already found are "
                                       "kept. Faces are recognised on this computer only. Nothing is uploaded."),
                                    notePx, QFont::Normal, ThemeColor::ink2)));

    auto* about = new Card(this);
    const QString v = QCoreApplication::applicationVersion();
    version_ = new TextBlock(v.isEmpty() ? QStringLiteral("1.0") : v, bodyPx, QFont::Normal, ThemeColor::ink2, about);
    version_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    about->addRow(labelledRow(about, tr("Version"), version_));
    column_->addWidget(section(this, {}, about,
                               note(this, tr("Vintrelle only ever reads your photos. It never edits, moves or deletes them."),
                                    notePx, QFont::Normal, ThemeColor::ink2)));

    connect(theme_, &SegmentedControl::chosen, this, [this](int i) {
        static const char* values[] = {"light", "dark", "system"};
        model_.setAppearance(values[std::clamp(i, 0, 2)]);
    });
    connect(faces_, &ToggleSwitch::toggled, this, [this](bool on) { model_.setFacesEnabled(on); });
    connect(startOver_, &QPushButton::clicked, this, [this] { confirmStartOver(); });
    const auto followAppearance = [this] {
        const std::string& a = model_.appearance();
        theme_->setCurrent(a == "light" ? 0 : a == "dark" ? 1 : 2);
    };
    const auto followFaces = [this] {
        const QSignalBlocker quiet(faces_);
        faces_->setChecked(model_.facesEnabled());
    };
    connect(&model_, &AppModel::appearanceChanged, this, followAppearance);
    connect(&model_, &AppModel::facesEnabledChanged, this, followFaces);
    connect(&model_, &AppModel::storeChanged, this, &SettingsView::rebuildLibrary);
    followAppearance();
    followFaces();
    rebuildLibrary();
}

SettingsView::~SettingsView() {
    if (measuring_) {
        measuring_->view = nullptr;
        measuring_->stop.request_stop();
    }
}

void SettingsView::setSizeMeter(SizeMeter meter) {
    meter_ = std::move(meter);
    requestedKey_.reset();
    measureIfNeeded();
}

QString SettingsView::folderText() const { return folder_ ? folder_->text() : QString(); }
QString SettingsView::contentsText() const { return contents_ ? contents_->text() : QString(); }
QString SettingsView::indexCaption() const { return caption_ ? caption_->text() : QString(); }
QString SettingsView::versionText() const { return version_->text(); }

void SettingsView::rebuildLibrary() {
    startOver_->setVisible(bool(model_.store()));
    startOver_->parentWidget()->setVisible(bool(model_.store()));
    if (store_ == model_.store() && bool(library_) == bool(store_)) {
        column_->activate();
        return;
    }
    if (store_) disconnect(store_.get(), nullptr, this, nullptr);
    delete library_;
    library_ = nullptr;
    folder_ = nullptr;
    contents_ = size_ = caption_ = nullptr;
    rescan_ = showIndex_ = nullptr;
    store_ = model_.store();
    if (!store_) {
        if (measuring_) measuring_->stop.request_stop();
        measuring_.reset();
        requestedKey_.reset();
        column_->activate();
        return;
    }

    auto* card = new Card(this);
    folder_ = new QLabel(card);
    folder_->setFont(Fonts::font(bodyPx));
    folder_->setWordWrap(true);
    folder_->setAlignment(Qt::AlignRight | Qt::AlignTop);
    folder_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    folder_->setTextFormat(Qt::PlainText);
    const auto tint = [label = folder_] {
        QPalette pal = label->palette();
        pal.setColor(QPalette::WindowText, Theme::color(ThemeColor::ink2, Theme::isDark(label)));
        label->setPalette(pal);
    };
    tint();
    connect(&Theme::instance(), &Theme::appearanceChanged, folder_, tint);
    const int valueWidth = columnWidth - 2 * rowPadX - 12 - 80;
    folder_->setFixedWidth(valueWidth);
    const QString root = QString::fromStdString(store_->paths().root);
    const QString shown = middleElided(root, folder_->font(), valueWidth, folderLines);
    folder_->setText(shown);
    folder_->setFixedHeight(int(std::ceil(QFontMetricsF(folder_->font()).lineSpacing() *
                                          std::clamp(lineCount(shown, folder_->font(), valueWidth), 1, folderLines))));
    folder_->setToolTip(root);
    card->addRow(labelledRow(card, tr("Folder"), folder_, Qt::AlignTop));

    contents_ = new TextBlock({}, bodyPx, QFont::Normal, ThemeColor::ink2, card);
    contents_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    card->addRow(labelledRow(card, tr("Contents"), contents_));

    auto* index = new QWidget(card);
    auto* stack = new QVBoxLayout(index);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(2);
    size_ = new TextBlock(indexSize_, bodyPx, QFont::Normal, ThemeColor::ink2, index);
    size_->setAlignment(Qt::AlignRight);
    caption_ = new TextBlock(store_->paths().portable ? tr("Kept inside the folder, so it travels with the drive.")
                                                      : tr("Kept on this computer because the drive is read-only."),
                             captionPx, QFont::Normal, ThemeColor::ink3, index);
    caption_->setAlignment(Qt::AlignRight);
    stack->addWidget(size_, 0, Qt::AlignRight);
    stack->addWidget(caption_, 0, Qt::AlignRight);
    card->addRow(labelledRow(card, tr("Index"), index, Qt::AlignTop));

    auto* actions = new QWidget(card);
    auto* buttons = new QHBoxLayout(actions);
    buttons->setContentsMargins(rowPadX, rowPadY, rowPadX, rowPadY);
    rescan_ = new QPushButton(tr("Look for New Photos"), actions);
    showIndex_ = new QPushButton(tr("Show Index in Files"), actions);
    QuietButtonStyle::apply(rescan_);
    QuietButtonStyle::apply(showIndex_);
    buttons->addWidget(rescan_);
    buttons->addWidget(showIndex_);
    buttons->addStretch(1);
    card->addRow(actions);

    library_ = section(this, tr("Library"), card, nullptr);
    column_->insertWidget(1, library_);
    column_->activate();

    const std::weak_ptr<LibraryStore> weak = store_;
    connect(rescan_, &QPushButton::clicked, this, [weak] {
        if (auto s = weak.lock()) s->rescan();
    });
    // The data folder itself: a hidden folder cannot be shown selected in
    // its parent, so its own window opens.
    connect(showIndex_, &QPushButton::clicked, this, [this, dir = store_->paths().dataDir] {
        model_.services().openUrl(fileUrl(dir));
    });
    connect(store_.get(), &LibraryStore::revisionChanged, this, &SettingsView::refreshLibrary);
    refreshLibrary();
}

void SettingsView::refreshLibrary() {
    if (!store_ || !contents_) return;
    const int photos = store_->photoCount();
    const int videos = int(store_->assets().size()) - photos;
    contents_->setText(QString::fromStdString(Format::items(photos, "photo") + ", " + Format::items(videos, "video")));
    measureIfNeeded();
}

void SettingsView::measureIfNeeded() {
    if (!store_) return;
    const SizeKey key{store_->paths().dataDir, store_->revision() / revisionsPerMeasure};
    if (requestedKey_ == key) return;
    requestedKey_ = key;
    // Another library's size would be wrong here; within one library the
    // last size stays until the new one is known.
    if (!shownKey_ || shownKey_->dataDir != key.dataDir) {
        indexSize_ = QStringLiteral("\u2026");
        shownKey_.reset();
        if (size_) size_->setText(indexSize_);
    }
    if (measuring_) {
        measuring_->view = nullptr;
        measuring_->stop.request_stop();
    }
    measuring_ = std::make_shared<Measuring>(Measuring{this, {}});
    const std::weak_ptr<Measuring> weak = measuring_;
    QThreadPool::globalInstance()->start([weak, key, meter = meter_, stop = measuring_->stop.get_token()] {
        QThread::currentThread()->setPriority(QThread::LowPriority);
        const uint64_t bytes = meter(key.dataDir, stop);
        QThread::currentThread()->setPriority(QThread::NormalPriority);
        if (stop.stop_requested()) return;
        QMetaObject::invokeMethod(
            qApp,
            [weak, key, bytes] {
                if (auto m = weak.lock(); m && m->view) m->view->measured(key, bytes);
            },
            Qt::QueuedConnection);
    });
}

void SettingsView::measured(const SizeKey& key, uint64_t bytes) {
    // Only the measurement asked for last counts.
    if (!requestedKey_ || key != *requestedKey_) return;
    shownKey_ = key;
    indexSize_ = formatSize(bytes);
    if (size_) size_->setText(indexSize_);
}

MessageSheet* SettingsView::confirmStartOver() {
    if (confirm_) confirm_->close();
    // The library asked about, not whichever is open when the answer comes.
    const std::weak_ptr<LibraryStore> asked = model_.store();
    confirm_ = MessageSheet::present(
        this,
        {tr("Forget everyone and start again?"),
         tr("Names, merges and corrections will be lost, and every photo will be looked through again."),
         tr("Start Over"), Sheet::Action::destructive},
        [model = QPointer<AppModel>(&model_), asked] {
            const std::shared_ptr<LibraryStore> store = asked.lock();
            if (model && store && store == model->store()) store->resetPeople();
        });
    model_.closeWithLibrary(confirm_);
    return confirm_;
}

MessageSheet* SettingsView::pendingConfirmation() const { return confirm_; }

}  // namespace vintrelle
