#include "UI/Collections/CollectionScreen.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStackedLayout>

#include "App/AppModel.h"
#include "Store/LibraryStore.h"
#include "UI/Kit/EmptyState.h"

namespace vintrelle {

CollectionScreen::CollectionScreen(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    empty_ = new EmptyState({}, {}, {}, std::nullopt, {}, this);
    canvas_ = new CollectionCanvas(*this, this);
    stack_ = new QStackedLayout(this);
    stack_->setContentsMargins(0, 0, 0, 0);
    stack_->addWidget(empty_);
    stack_->addWidget(canvas_);
    // The keyboard goes to the list (its keys scroll it) when the screen takes it.
    setFocusProxy(canvas_);
    connect(canvas_, &CollectionCanvas::becameIdle, this, [this] {
        if (dirty_) refresh();
    });
    connect(&model_, &AppModel::storeChanged, this, [this] {
        if (model_.store() != store_) attach();
    });
}

CollectionScreen::~CollectionScreen() {
    // The list goes first, while nothing can reach it any more: the widget
    // teardown that follows sends leave events, and the list would ask this
    // screen's cards, already gone, how to animate them.
    delete canvas_;
}

void CollectionScreen::attach() {
    if (store_) disconnect(store_.get(), nullptr, this, nullptr);
    store_ = model_.store();
    canvas_->setThumbnails(store_ ? store_->thumbs() : nullptr);
    if (store_) follow(*store_);
    // A new library is a new list: nothing held back belongs to it.
    dirty_ = false;
    if (!store_) return showList({});
    rebuild(*store_);
}

void CollectionScreen::refresh() {
    if (!store_) return;
    if (canvas_->isBusy()) {
        dirty_ = true;
        return;
    }
    dirty_ = false;
    rebuild(*store_);
}

void CollectionScreen::showEmpty(const QString& symbol, const QString& title, const QString& message,
                                 std::optional<QString> actionTitle, std::function<void()> action) {
    empty_->set(symbol, title, message, std::move(actionTitle), std::move(action));
    canvas_->setBlocks({});
    stack_->setCurrentWidget(empty_);
}

void CollectionScreen::showList(std::vector<CollectionBlock> blocks) {
    canvas_->setBlocks(std::move(blocks));
    stack_->setCurrentWidget(canvas_);
}

std::optional<ScreenPlace> CollectionScreen::place() const {
    if (showsEmptyState()) return std::nullopt;
    ScreenPlace place;
    place.offset = canvas_->scrollOffset();
    return place;
}

void CollectionScreen::restorePlace(const ScreenPlace& place) { canvas_->restoreScroll(place.offset); }

bool CollectionScreen::showsEmptyState() const { return stack_->currentWidget() == empty_; }

bool CollectionScreen::isSettled() const { return showsEmptyState() || canvas_->isSettled(); }

bool CollectionScreen::settle(int msecs) {
    QElapsedTimer t;
    t.start();
    while (!isSettled()) {
        if (t.elapsed() >= msecs) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

uint64_t CollectionScreen::pictureVersion(const Asset& a) {
    // The thumbnail is rewritten when the file changes, and appears once made.
    const auto mix = [](uint64_t h, uint64_t v) { return (h ^ v) * 0x100000001b3ULL; };
    uint64_t h = 0xcbf29ce484222325ULL;
    h = mix(h, uint64_t(int64_t(a.mtime * 1000)));
    h = mix(h, uint64_t(a.size));
    h = mix(h, uint64_t(a.thumbState));
    return h;
}

}  // namespace vintrelle
