#include "UI/Window/RootView.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QElapsedTimer>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <filesystem>
#include <utility>

#include "App/AppModel.h"
#include "App/KeyFilter.h"
#include "Store/LibraryStore.h"
#include "UI/Kit/EmptyState.h"
#include "UI/Kit/Fonts.h"
#include "UI/Kit/Icons.h"
#include "UI/Kit/StoredImage.h"
#include "UI/Kit/TextPromptSheet.h"
#include "UI/Kit/Theme.h"
#include "UI/Kit/WindowDragArea.h"
#include "UI/Window/AppIcon.h"
#include "UI/Window/PlainParts.h"
#include "UI/Window/StartScreens.h"

namespace vintrelle {

namespace {

// A 1-px rule in the line colour, over whatever lies behind it.
class Rule : public QWidget {
public:
    explicit Rule(Qt::Orientation o, QWidget* parent) : QWidget(parent) {
        if (o == Qt::Horizontal) setFixedHeight(1);
        else setFixedWidth(1);
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), Theme::line());
    }
};

// The window's look while a folder is dragged over it; takes no input.
class DropOverlay : public QWidget {
public:
    explicit DropOverlay(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        hide();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QColor veil = Theme::canvas();
        veil.setAlphaF(0.88f);
        p.fillRect(rect(), veil);

        const QString text = tr("Drop to add this folder");
        const QFont font = Fonts::font(24, QFont::Bold);
        const QFontMetricsF fm(font);
        const qreal side = Icons::sideFor(34), gap = 12;
        const qreal top = (height() - (side + gap + fm.height())) / 2;
        Icons::paint(p, QRectF((width() - side) / 2, top, side, side), QStringLiteral("folder.badge.plus"), 34,
                     Theme::accent(), QFont::Light);
        p.setFont(font);
        p.setPen(Theme::ink());
        p.drawText(QRectF(0, top + side + gap, width(), fm.height()), Qt::AlignHCenter | Qt::AlignVCenter, text);

        // Stroked inside its border: the 2-px line's outer edge lies 18 px in.
        QColor edge = Theme::accent();
        edge.setAlphaF(0.7f);
        QPen pen(edge, 2);
        pen.setDashPattern({8.0 / 2, 7.0 / 2});  // in units of the pen's width
        pen.setCapStyle(Qt::FlatCap);
        pen.setJoinStyle(Qt::MiterJoin);
        pen.setMiterLimit(10);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(rect()).adjusted(19, 19, -19, -19), 17, 17);
    }
};

}  // namespace

// The sidebar and its divider, in a strip whose width slides between 0 and
// the sidebar's; the sidebar keeps its width and moves in from the left edge.
class RootView::SidebarHost : public QWidget {
public:
    explicit SidebarHost(QWidget* parent) : QWidget(parent) {
        divider_ = new Rule(Qt::Vertical, this);
        slide_.setDuration(sidebarAnimationMs);
        slide_.setEasingCurve(QEasingCurve::InOutQuad);
        QObject::connect(&slide_, &QVariantAnimation::valueChanged, this,
                         [this](const QVariant& v) { setShown(v.toInt()); });
        QObject::connect(&slide_, &QVariantAnimation::finished, this, [this] {
            if (target_ == 0) removeSidebar();
        });
        setShown(0);
    }

    QWidget* sidebar() const { return sidebar_; }
    QWidget* divider() const { return divider_; }
    void setSidebar(QWidget* w) {
        sidebar_ = w;
        w->setParent(this);
        w->setFixedWidth(sidebarWidth);
        place();
        w->show();
    }
    void removeSidebar() {
        if (!sidebar_) return;
        // Later: a row of it may be what asked for the change.
        sidebar_->hide();
        sidebar_->deleteLater();
        sidebar_ = nullptr;
    }
    void slideTo(int target, bool animate) {
        target_ = target;
        slide_.stop();
        if (!animate || shown_ == target) {
            setShown(target);
            if (target == 0) removeSidebar();
            return;
        }
        slide_.setStartValue(shown_);
        slide_.setEndValue(target);
        slide_.start();
    }
    void finish() {
        if (slide_.state() == QAbstractAnimation::Running) slide_.setCurrentTime(slide_.duration());
    }
    int fullWidth() const { return sidebarWidth + 1; }

protected:
    void resizeEvent(QResizeEvent*) override { place(); }

private:
    void setShown(int w) {
        shown_ = w;
        setFixedWidth(w);
        setVisible(w > 0);
        place();
    }
    void place() {
        const int x = shown_ - fullWidth();
        if (sidebar_) sidebar_->setGeometry(x, 0, sidebarWidth, height());
        divider_->setGeometry(x + sidebarWidth, 0, 1, height());
    }

    QPointer<QWidget> sidebar_;
    QWidget* divider_;
    QVariantAnimation slide_;
    int shown_ = -1;
    int target_ = 0;
};

RootView::RootView(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), internalDrag_([](const QDropEvent& e) { return e.source() != nullptr; }) {
    setAcceptDrops(true);

    columns_ = new QWidget(this);
    sidebarHost_ = new SidebarHost(columns_);
    main_ = new QStackedWidget(columns_);
    auto* row = new QHBoxLayout(columns_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(sidebarHost_);
    row->addWidget(main_, 1);

    welcome_ = new WelcomeView(model_, main_);
    // A page of the main column: what it shows, under a strip that moves the window.
    auto page = [this](QWidget*& page, auto make) {
        page = new QWidget(main_);
        auto* layout = new QVBoxLayout(page);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        auto* strip = new WindowDragArea(page);
        strip->setFixedHeight(WindowDragArea::stripHeight);
        layout->addWidget(strip);
        layout->addWidget(make(page), 1);
    };
    page(waitingPage_, [&](QWidget* p) { return waiting_ = new DriveMissingView(model_, {}, p); });
    page(rebuildingPage_, [&](QWidget* p) {
        return rebuilding_ = new EmptyState(QStringLiteral("clock"), {}, {}, std::nullopt, {}, p);
    });
    libraryPage_ = new QWidget(main_);
    libraryLayout_ = new QVBoxLayout(libraryPage_);
    libraryLayout_->setContentsMargins(0, 0, 0, 0);
    libraryLayout_->setSpacing(0);
    rule_ = new Rule(Qt::Horizontal, libraryPage_);
    libraryLayout_->addWidget(rule_);
    main_->addWidget(welcome_);
    main_->addWidget(waitingPage_);
    main_->addWidget(rebuildingPage_);
    main_->addWidget(libraryPage_);

    dropOverlay_ = new DropOverlay(this);

    for (auto signal : {&AppModel::storeChanged, &AppModel::libraryPathChanged, &AppModel::waitingForPathChanged,
                        &AppModel::routeChanged, &AppModel::rebuildingChanged})
        connect(&model_, signal, this, &RootView::refresh);
    connect(&model_, &AppModel::libraryPathChanged, this, [this] { refreshSidebar(false); });
    connect(&model_, &AppModel::sidebarVisibleChanged, this, [this] { refreshSidebar(true); });
    connect(&model_, &AppModel::isDropTargetedChanged, this,
            [this] { dropOverlay_->setVisible(model_.isDropTargeted()); });
    connect(&model_, &AppModel::albumPromptChanged, this, &RootView::showAlbumPrompt);
    connect(&model_, &AppModel::renamePromptChanged, this, &RootView::showRenamePrompt);
    connect(&model_, &AppModel::errorMessageChanged, this, &RootView::showError);
    connect(&model_, &AppModel::rebuildOfferChanged, this, &RootView::showError);
    connect(&model_, &AppModel::viewerChanged, this, [this] {
        if (!model_.viewer()) focusScreen();
    });
    // A text field that lets go of the keyboard (Escape in the search field)
    // hands it back to the screen, while the window is the active one.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
        if (!now && old && old->window() == window() && window()->isActiveWindow()) focusScreen();
    });
    // Until a screen takes the keyboard it rests here, so the window does not
    // hand it to the first field it finds when it becomes active.
    setFocus(Qt::OtherFocusReason);

    refresh();
    refreshSidebar(false);
    dropOverlay_->setVisible(model_.isDropTargeted());
    // Whatever is pending when the window is made is shown once it exists.
    QTimer::singleShot(0, this, [this] {
        showAlbumPrompt();
        showRenamePrompt();
        showError();
    });
}

RootView::~RootView() {
    // Its parts give up the keyboard as they go: nothing of this view may
    // answer that any more.
    disconnect(qApp, nullptr, this, nullptr);
}

// ---- parts ------------------------------------------------------------------------

void RootView::setScreen(ScreenKind kind, ScreenPart part) {
    screens_[kind] = std::move(part);
    if (screenKind_ == kind) replaceScreen();
}

void RootView::setTopBar(ScreenPart part) {
    topBarPart_ = std::move(part);
    if (topBar_) replaceTopBar();
}

void RootView::setSidebar(WindowPart part) {
    sidebarPart_ = std::move(part);
    if (sidebarHost_->sidebar()) {
        sidebarHost_->removeSidebar();
        refreshSidebar(false);
    }
}

void RootView::setViewer(WindowPart part) {
    if (viewer_) viewer_->deleteLater();
    viewer_ = part ? part(model_, this) : nullptr;
    placeOverlays();
}

RootView::Column RootView::column() const {
    if (main_->currentWidget() == libraryPage_) return Column::library;
    if (main_->currentWidget() == waitingPage_) return Column::driveMissing;
    if (main_->currentWidget() == rebuildingPage_) return Column::rebuilding;
    return Column::welcome;
}

QWidget* RootView::sidebar() const { return sidebarHost_->sidebar(); }
QWidget* RootView::divider() const { return sidebarHost_->isVisible() ? sidebarHost_->divider() : nullptr; }
QWidget* RootView::topBar() const { return topBar_; }
QWidget* RootView::screen() const { return screen_; }

// ---- the columns --------------------------------------------------------------------

void RootView::refresh() {
    const std::shared_ptr<LibraryStore>& store = model_.store();
    if (store) {
        main_->setCurrentWidget(libraryPage_);
        if (partsStore_ != store.get()) {
            dropLibraryParts();
            partsStore_ = store.get();
            offlineConnection_ = connect(store.get(), &LibraryStore::isOfflineChanged, this, &RootView::refresh);
            replaceTopBar();
        }
        const std::optional<ScreenPlace> back = followBackStack();
        const std::optional<ScreenKind> kind =
            store->isOffline() ? std::nullopt : std::optional<ScreenKind>(screenKind(model_.route()));
        if (!screen_ || kind != screenKind_) {
            screenKind_ = kind;
            replaceScreen();
        }
        if (back)
            if (auto* keeper = dynamic_cast<KeepsPlace*>(screen_.data())) keeper->restorePlace(*back);
        focusScreen();
        return;
    }
    dropLibraryParts();
    if (const auto& rebuild = model_.rebuilding()) {
        const QString name = QString::fromStdString(std::filesystem::path(rebuild->path).filename().string());
        rebuilding_->set(QStringLiteral("clock"), tr("Making the index of \u201c%1\u201d again").arg(name),
                         tr("Every photo is read again. Favourites, albums, names and trips come over from the damaged "
                            "index and the copy kept of them; the library opens when it is done."));
        main_->setCurrentWidget(rebuildingPage_);
    } else if (const auto& awaited = model_.waitingForPath()) {
        waiting_->setPath(*awaited);
        main_->setCurrentWidget(waitingPage_);
    } else {
        main_->setCurrentWidget(welcome_);
    }
}

std::optional<ScreenPlace> RootView::followBackStack() {
    const std::vector<Route>& stack = model_.backStack();
    size_t same = 0;
    while (same < places_.size() && same < stack.size() && places_[same].route == stack[same]) ++same;
    // Back (or a route reached again from the one it was pushed from): the
    // place the route was left at.
    std::optional<ScreenPlace> back;
    if (same < places_.size() && same == stack.size() && places_[same].route == model_.route())
        back = places_[same].place;
    places_.erase(places_.begin() + ptrdiff_t(same), places_.end());
    while (places_.size() < stack.size()) {
        // Pushed from the screen shown now, which has not moved on yet.
        const bool fromHere = places_.size() + 1 == stack.size();
        const auto* keeper = dynamic_cast<const KeepsPlace*>(screen_.data());
        places_.push_back({stack[places_.size()], fromHere && keeper ? keeper->place() : std::nullopt});
    }
    return back;
}

void RootView::dropLibraryParts() {
    disconnect(offlineConnection_);
    places_.clear();
    partsStore_ = nullptr;
    screenKind_.reset();
    // Later, not now: the signal that closed the library may come from inside them.
    for (QWidget* w : {topBar_.data(), screen_.data()}) {
        if (!w) continue;
        parkKeyboard(w);
        w->hide();
        w->deleteLater();
    }
    topBar_ = nullptr;
    screen_ = nullptr;
}

void RootView::replaceTopBar() {
    const std::shared_ptr<LibraryStore>& store = model_.store();
    if (topBar_) {
        topBar_->hide();
        topBar_->deleteLater();
    }
    topBar_ = topBarPart_ ? topBarPart_.make(model_, store, libraryPage_) : new PlainTopBar(model_, store, libraryPage_);
    libraryLayout_->insertWidget(0, topBar_);
    topBar_->show();
    emit screenChanged();
}

void RootView::replaceScreen() {
    const std::shared_ptr<LibraryStore>& store = model_.store();
    if (screen_) {
        parkKeyboard(screen_);
        screen_->hide();
        screen_->deleteLater();
        screen_ = nullptr;
    }
    if (!store) return;
    if (!screenKind_) {
        screen_ = new DriveMissingView(model_, store->paths().root, libraryPage_);
    } else if (const auto it = screens_.find(*screenKind_); it != screens_.end() && it->second) {
        screen_ = it->second.make(model_, store, libraryPage_);
    } else {
        screen_ = new RoutePlaceholder(*screenKind_, model_, store, libraryPage_);
    }
    libraryLayout_->addWidget(screen_, 1);
    screen_->show();
    emit screenChanged();
}

void RootView::refreshSidebar(bool animate) {
    const bool want = model_.sidebarVisible() && model_.libraryPath().has_value();
    if (want && !sidebarHost_->sidebar())
        sidebarHost_->setSidebar(sidebarPart_ ? sidebarPart_(model_, sidebarHost_) : new PlainSidebar(model_, sidebarHost_));
    sidebarHost_->slideTo(want ? sidebarHost_->fullWidth() : 0, animate && isVisible());
}

void RootView::finishAnimations() { sidebarHost_->finish(); }

// ---- the keyboard -------------------------------------------------------------------

void RootView::focusScreen() {
    // Now, so a window that is not active yet gives it to the screen when it
    // becomes active; and once more after the screen has shown its content.
    giveScreenTheKeyboard();
    if (std::exchange(focusPending_, true)) return;
    QTimer::singleShot(0, this, [this] {
        focusPending_ = false;
        giveScreenTheKeyboard();
    });
}

void RootView::parkKeyboard(QWidget* leaving) {
    // Held by a part that goes: it rests here, rather than passing to the
    // next field of the window, until the next screen takes it.
    const QWidget* holder = window()->focusWidget();
    if (holder && (holder == leaving || leaving->isAncestorOf(holder))) setFocus(Qt::OtherFocusReason);
}

void RootView::giveScreenTheKeyboard() {
    // Under the viewer the keys are the viewer's; the grid takes them back
    // when the viewer closes.
    if (!screen_ || model_.viewer()) return;
    QWidget* target = screen_;
    while (target->focusProxy()) target = target->focusProxy();
    const QWidget* holder = window()->focusWidget();
    if (holder == target || (holder && holder->isVisible() && isEditingText(holder))) return;
    if (target->isHidden()) {
        // Not shown yet (a grid whose photos are still to come): the keyboard
        // rests on the window, from where the screen takes it once it shows
        // them, unless the screen already holds it.
        if (!holder || !screen_->isAncestorOf(holder)) setFocus(Qt::OtherFocusReason);
        return;
    }
    if (!target->isEnabled() || target->focusPolicy() == Qt::NoFocus) return;
    target->setFocus(Qt::OtherFocusReason);
}

bool RootView::settle(int msecs) {
    QElapsedTimer timer;
    timer.start();
    finishAnimations();
    // Deferred deletions and layouts first, so only what is shown is waited for.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    const auto left = [&] { return std::max(0, msecs - int(timer.elapsed())); };
    if (screen_ && screenKind_) {
        const auto it = screens_.find(*screenKind_);
        if (it != screens_.end() && it->second.settle) return it->second.settle(screen_, left());
    }
    // The window's own pictures are stored images: wait until none is loading or fading.
    for (;;) {
        bool busy = false;
        for (const StoredImage* image : findChildren<StoredImage*>())
            busy = busy || (image->isVisible() && (image->isLoading() || image->isFading()));
        if (!busy) return true;
        if (left() == 0) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
}

// ---- painting and overlays ----------------------------------------------------------

void RootView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Theme::canvas());
}

void RootView::resizeEvent(QResizeEvent*) { placeOverlays(); }

void RootView::placeOverlays() {
    columns_->setGeometry(rect());
    if (viewer_) {
        viewer_->setGeometry(rect());
        viewer_->raise();
    }
    dropOverlay_->setGeometry(rect());
    dropOverlay_->raise();
}

bool RootView::event(QEvent* e) {
    // A drag cannot hover over a window that was left for another.
    if (e->type() == QEvent::WindowDeactivate) model_.setIsDropTargeted(false);
    return QWidget::event(e);
}

// ---- folders dropped on the window ------------------------------------------------

std::optional<std::string> RootView::localPath(const QUrl& url) {
    if (!url.isLocalFile()) return std::nullopt;
    // The encoded path holds the bytes of any name that is not UTF-8 as %XX.
    const QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    if (bytes.isEmpty()) return std::nullopt;
    return bytes.toStdString();
}

std::optional<std::string> RootView::droppedFolder(const QMimeData& mime) {
    for (const QUrl& url : mime.urls()) {
        const auto path = localPath(url);
        std::error_code ec;
        if (path && std::filesystem::is_directory(*path, ec)) return path;
    }
    return std::nullopt;
}

namespace {

// Folders are added where they lie: the drop copies or links, never moves.
bool offerDrop(QDropEvent* e, const RootView::InternalDrag& internal) {
    if (internal(*e) || !e->mimeData()->hasUrls()) return false;
    bool anyLocal = false;
    for (const QUrl& url : e->mimeData()->urls()) anyLocal = anyLocal || url.isLocalFile();
    if (!anyLocal) return false;
    if (e->possibleActions() & Qt::CopyAction) e->setDropAction(Qt::CopyAction);
    else if (e->possibleActions() & Qt::LinkAction) e->setDropAction(Qt::LinkAction);
    else return false;
    e->accept();
    return true;
}

}  // namespace

void RootView::dragEnterEvent(QDragEnterEvent* e) {
    // A drag that began inside the application (photos from the grid) offers nothing.
    if (!offerDrop(e, internalDrag_)) return e->ignore();
    model_.setIsDropTargeted(true);
}

void RootView::dragMoveEvent(QDragMoveEvent* e) {
    if (!offerDrop(e, internalDrag_)) e->ignore();
}

void RootView::dragLeaveEvent(QDragLeaveEvent*) { model_.setIsDropTargeted(false); }

void RootView::dropEvent(QDropEvent* e) {
    model_.setIsDropTargeted(false);
    const std::optional<std::string> folder = offerDrop(e, internalDrag_) ? droppedFolder(*e->mimeData()) : std::nullopt;
    if (!folder) return e->ignore();
    // After the drop has returned to the dragging application.
    QTimer::singleShot(0, &model_, [model = &model_, path = *folder] { model->addLibrary(path); });
}

// ---- prompts and the alert ----------------------------------------------------------

void RootView::presentPrompt(PromptSlot& slot, std::optional<QUuid> pending, const std::function<TextPrompt()>& look,
                             std::function<void(const QUuid&, const QString&)> confirm,
                             std::function<void(const QUuid&)> cancel) {
    // A sheet whose prompt was answered elsewhere, or replaced, goes.
    if (slot.sheet && pending != slot.id) slot.sheet->reject();
    if (!pending || slot.sheet) return;
    const QUuid id = *pending;
    slot.id = id;
    TextPromptSheet* sheet =
        TextPromptSheet::present(this, look(), [confirm, id](const QString& text) { confirm(id, text); });
    slot.sheet = sheet;
    // The slot is free again as soon as the sheet is answered, before its
    // answer reaches the model (which may ask the next question at once).
    connect(sheet, &QDialog::finished, this, [&slot, sheet, cancel, id](int result) {
        if (slot.sheet == sheet) slot.sheet = nullptr;
        if (result == QDialog::Rejected) cancel(id);
    });
}

void RootView::showAlbumPrompt() {
    const auto& prompt = model_.albumPrompt();
    presentPrompt(
        albumSheet_, prompt ? std::optional<QUuid>(prompt->id) : std::nullopt,
        [] { return TextPrompt{tr("New Album"), tr("Name"), {}, tr("Create"), false}; },
        [this](const QUuid& id, const QString& text) { model_.confirmAlbumPrompt(id, text.toStdString()); },
        [this](const QUuid& id) {
            if (model_.albumPrompt() && model_.albumPrompt()->id == id) model_.setAlbumPrompt(std::nullopt);
        });
}

void RootView::showRenamePrompt() {
    const auto& prompt = model_.renamePrompt();
    presentPrompt(
        renameSheet_, prompt ? std::optional<QUuid>(prompt->id) : std::nullopt,
        [&prompt] {
            return TextPrompt{QString::fromStdString(prompt->title), tr("Name"), QString::fromStdString(prompt->text),
                              tr("Save"), true};
        },
        [this](const QUuid& id, const QString& text) { model_.confirmRenamePrompt(id, text.toStdString()); },
        [this](const QUuid& id) {
            if (model_.renamePrompt() && model_.renamePrompt()->id == id) model_.setRenamePrompt(std::nullopt);
        });
}

void RootView::showError() {
    const auto& message = model_.errorMessage();
    if (!message) {
        if (alert_) alert_->accept();
        return;
    }
    // The offer to make a damaged index again goes with its message.
    const std::optional<std::string> offer = model_.rebuildOffer();
    QString text = QString::fromStdString(*message);
    if (offer)
        text += QStringLiteral("\n\n") + tr("Vintrelle can make it again by reading every photo. Favourites, albums, "
                                             "names and trips come over from whatever of it still reads and from the "
                                             "copy Vintrelle keeps of them, and the damaged index stays in the "
                                             "library\u2019s data folder.");
    if (alert_ && alertOffer_ == offer) return alert_->setMessage(text);
    if (alert_) {
        disconnect(alert_, nullptr, this, nullptr);
        alert_->reject();
    }
    alertOffer_ = offer;
    if (offer) {
        alert_ = MessageSheet::present(
            this, {tr("Vintrelle"), text, tr("Rebuild Index"), Sheet::Action::primary, true, AppIcon::icon()},
            [this, path = *offer] { model_.rebuildIndex(path); });
    } else {
        alert_ = MessageSheet::present(
            this, {tr("Vintrelle"), text, tr("OK"), Sheet::Action::primary, false, AppIcon::icon()});
    }
    // Answered or dismissed alike: the message has been read.
    connect(alert_, &QDialog::finished, this, [this] {
        alert_ = nullptr;
        alertOffer_.reset();
        model_.setErrorMessage(std::nullopt);
    });
}

}  // namespace vintrelle
