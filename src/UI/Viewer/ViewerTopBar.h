#pragma once
// The 52-pixel bar over the viewer: a back button titled with the screen
// below, the day and time of the shown asset (with its trip's name), and the
// asset's actions: favourite, share, Show in Files, an overflow menu (open,
// copy, export, albums) and the details toggle. It keeps no state of its own;
// its empty parts are a window-drag strip like every column's top (a drag
// moves the window, a double click maximises or restores it).

#include <QList>
#include <QUrl>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "Core/Index/Models.h"
#include "UI/Kit/WindowDragArea.h"

class QAbstractButton;
class QMenu;

namespace vintrelle {

class AppModel;
class BarButton;
class LibraryStore;
class TextBlock;

// The desktop actions on assets that the window supplies; a control whose
// action is missing is disabled.
struct ViewerAssetActions {
    using Ids = std::vector<int64_t>;
    std::function<void(const Ids&)> share;
    std::function<void(const QList<QUrl>&)> reveal;  // selected in the file manager
    std::function<void(const Ids&)> openExternally;
    std::function<void(const Ids&)> copyFiles;
    std::function<void(const Ids&)> exportCopy;
};

class ViewerTopBar : public WindowDragArea {
    Q_OBJECT
public:
    static constexpr int barHeight = stripHeight;

    ViewerTopBar(AppModel& model, QWidget* parent = nullptr);

    // The shown asset (the store's current record) in the open library.
    void setAsset(std::shared_ptr<LibraryStore> store, const Asset& asset);
    void setActions(ViewerAssetActions actions);
    // Re-reads the route title, favourite, details and trip.
    void refresh();

    // The capture time, then the name of the trip holding the asset, joined
    // by "  ·  ".
    static QString detail(const LibraryStore& store, const Asset& asset);
    // The overflow menu as it pops up (its actions run themselves); the
    // caller owns it.
    QMenu* makeOverflowMenu();

    QAbstractButton* backButton() const;
    BarButton* favouriteButton() const { return favourite_; }
    BarButton* shareButton() const { return share_; }
    BarButton* revealButton() const { return reveal_; }
    BarButton* moreButton() const { return more_; }
    BarButton* detailsButton() const { return details_; }
    QString dayText() const;
    QString detailText() const;

private:
    std::vector<int64_t> ids() const;

    AppModel& model_;
    std::shared_ptr<LibraryStore> store_;
    std::optional<Asset> asset_;
    ViewerAssetActions actions_;

    class BackButton;
    BackButton* back_;
    TextBlock* day_;
    TextBlock* detail_;
    BarButton* favourite_;
    BarButton* share_;
    BarButton* reveal_;
    BarButton* more_;
    BarButton* details_;
};

}  // namespace vintrelle
