#pragma once
// The screen of every route that shows a plain set of assets (library,
// favourites, videos, recently added, a trip, a person, a place, an album,
// a folder, and any of them under a search): the photo grid with the route's
// header scrolling inside it, the year scrubber over its trailing edge on
// the library, and the selection bar floating at its foot while something is
// selected; or, with nothing to show, the header above an empty-state block.
//
// It keeps no state of its own beyond its widgets: every change of the model
// or the store it reads schedules one update on the next turn of the event
// loop, which reads the grid content once and hands it on. Nothing reads the
// model while painting.

#include <QPointer>
#include <QVariantAnimation>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "App/GridContent.h"
#include "App/Route.h"
#include "Core/Engine/EngineTypes.h"
#include "UI/Grid/RouteHeaders.h"
#include "UI/Kit/ScreenPlace.h"

class QVBoxLayout;

namespace vintrelle {

class AppModel;
class EmptyState;
class LibraryStore;
class PhotoGridView;
class SelectionBar;
class YearScrubber;

class AssetGridScreen : public QWidget, public KeepsPlace {
    Q_OBJECT

public:
    static constexpr int barAnimationMs = 300;

    // What an empty screen shows: an empty-state block, or (progress) the
    // block that says the library is still being read.
    struct EmptyScreen {
        QString symbol, title, message;
        std::optional<QString> action;  // "Look Again"
        bool progress = false;
        bool operator==(const EmptyScreen&) const = default;
    };
    // While indexing is halted (`halt`) or the index is damaged, the photos
    // found and not saved are not there to show: the screen says why
    // rather than call the folder empty.
    static EmptyScreen emptyScreen(const Route& route, const std::string& activeSearch, const EngineStatus& status,
                                   bool hasLoaded, std::optional<EngineHalt> halt = std::nullopt,
                                   bool damaged = false);

    // The header a route gets, and the height reserved for it; none under a
    // search, on other routes, or for a record the store no longer holds.
    struct HeaderChoice {
        RouteHeader::Kind kind;
        int64_t id = 0;
        int height = 0;
        bool operator==(const HeaderChoice&) const = default;
    };
    static std::optional<HeaderChoice> headerFor(const Route& route, const std::string& activeSearch,
                                                 const LibraryStore& store);

    // `store` is the model's open store; the screen stops following the
    // model once another store is open (the window replaces it then).
    AssetGridScreen(AppModel& model, std::shared_ptr<LibraryStore> store, QWidget* parent = nullptr);
    ~AssetGridScreen() override;

    // Runs a scheduled update now.
    void refreshNow();
    // Runs the event loop until the update is done and every picture in view
    // (thumbnails, the header's cover or faces) is drawn and the bar is still;
    // false when msecs pass first.
    bool settle(int msecs);

    // What is shown, for the window, the diagnostics and tests.
    const GridContentPtr& content() const { return content_; }
    size_t itemCount() const;
    bool isShowingGrid() const;
    PhotoGridView* grid() const { return grid_; }
    RouteHeader* header() const { return header_; }
    int headerHeight() const { return headerHeight_; }
    EmptyState* emptyState() const { return empty_; }  // meaningful while isShowingEmptyState()
    bool isShowingEmptyState() const;
    bool isShowingProgress() const;
    YearScrubber* scrubber() const { return scrubber_; }
    SelectionBar* selectionBar() const { return bar_; }
    bool isSelectionBarShown() const { return barWanted_; }
    int updates() const { return updates_; }  // how many updates ran

    // The grid's place; one restored waits for the content of the route
    // it belongs to, which the next update brings.
    std::optional<ScreenPlace> place() const override;
    void restorePlace(const ScreenPlace& place) override;

protected:
    void resizeEvent(QResizeEvent* e) override;

private:
    void schedule();
    void apply();
    void placeHeader(const std::optional<HeaderChoice>& want, bool inGrid);
    RouteHeader* makeHeader(const HeaderChoice& choice);
    void updateHeaderRecord(const HeaderChoice& choice);
    void showEmpty(const EmptyScreen& screen);
    void showBar(bool shown);
    bool holdsKeyboard(const QWidget* part) const;
    void takeKeyboardIfFree();
    void placeOverlays();

    AppModel& model_;
    std::shared_ptr<LibraryStore> store_;
    GridContentPtr content_;
    bool pending_ = false;
    int updates_ = 0;
    std::optional<ScreenPlace> placeToRestore_;

    PhotoGridView* grid_;
    QWidget* emptyPage_;
    QVBoxLayout* headerSlot_;
    EmptyState* empty_;
    QWidget* progress_;
    YearScrubber* scrubber_;
    SelectionBar* bar_;

    QPointer<RouteHeader> header_;
    bool headerInGrid_ = false;
    int headerHeight_ = 0;

    bool barWanted_ = false;
    qreal barReveal_ = 0;
    QVariantAnimation barAnimation_;
};

}  // namespace vintrelle
