#pragma once
// What the trips, people and albums screens share: the open library they
// show (followed when the application state's store changes), the choice
// between their empty-state block and their painted list, and rebuilding
// that list from the store, held back while a menu or a drag of the list is
// open and done once when it closes.

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "UI/Collections/CollectionCanvas.h"
#include "UI/Kit/ScreenPlace.h"

class QMenu;
class QStackedLayout;

namespace vintrelle {

class AppModel;
class EmptyState;
class LibraryStore;
struct Asset;

class CollectionScreen : public QWidget, public KeepsPlace, protected CollectionCanvas::Delegate {
    Q_OBJECT
public:
    ~CollectionScreen() override;

    CollectionCanvas* canvas() const { return canvas_; }
    EmptyState* emptyState() const { return empty_; }
    bool showsEmptyState() const;
    // Nothing left to come in: the list's covers in view are there and
    // nothing moves (the empty state is always settled).
    virtual bool isSettled() const;
    // Runs the event loop until isSettled(); false when msecs pass first.
    bool settle(int msecs);

    // The list's scroll offset; none while the empty state shows.
    std::optional<ScreenPlace> place() const override;
    void restorePlace(const ScreenPlace& place) override;

    // A card's menu, as a right click would show it (owned by the caller).
    QMenu* menuFor(const CardKey& key) { return menu(key, canvas_); }

protected:
    CollectionScreen(AppModel& model, QWidget* parent);

    // Takes the application state's store and shows it; the subclass calls
    // it at the end of its constructor, and it runs again whenever the store
    // changes.
    void attach();
    // Connects the store's signals the screen follows to refresh().
    virtual void follow(LibraryStore& store) = 0;
    // Shows the empty state or the list for the store as it is now.
    virtual void rebuild(LibraryStore& store) = 0;
    // Rebuilds now, or once the list is idle again.
    void refresh();
    void showEmpty(const QString& symbol, const QString& title, const QString& message,
                   std::optional<QString> actionTitle = std::nullopt, std::function<void()> action = {});
    void showList(std::vector<CollectionBlock> blocks);

    // The store the screen shows; null while no library is open.
    LibraryStore* store() const { return store_.get(); }
    // What of an asset changes its thumbnail.
    static uint64_t pictureVersion(const Asset& asset);

    AppModel& model_;

private:
    std::shared_ptr<LibraryStore> store_;
    QStackedLayout* stack_;
    EmptyState* empty_;
    CollectionCanvas* canvas_;
    bool dirty_ = false;
};

}  // namespace vintrelle
