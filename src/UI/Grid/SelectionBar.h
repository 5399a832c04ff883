#pragma once
// The floating bar of a selection: how many assets are chosen, and what can
// be done to all of them at once (favourite, add to an album, share, export,
// show in the file manager, clear). Every action goes to the application
// model or the store with the ids in the grid's order.

#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class QGraphicsOpacityEffect;
class QMenu;

namespace vintrelle {

class AppModel;
class BarButton;
class LibraryStore;
class SelectionBarShadow;
class TextBlock;

class SelectionBar : public QWidget {
    Q_OBJECT

public:
    using IdsAction = std::function<void(const std::vector<int64_t>&)>;
    // The desktop's part: sharing, copying out and revealing files.
    struct Actions {
        IdsAction share;
        IdsAction exportCopy;
        IdsAction showInFiles;
    };

    static constexpr qreal cornerRadius = 13;
    static constexpr qreal bottomGap = 18;  // above the bottom of the grid

    // The bar's shadow is a sibling beneath it in `parent`, so the bar takes
    // only the clicks that land on it.
    SelectionBar(AppModel& model, LibraryStore& store, Actions actions, QWidget* parent);
    ~SelectionBar() override;

    // The ids every action receives; the bar's count and heart follow them
    // and the store's records.
    void setIds(std::vector<int64_t> ids);
    void refresh();
    const std::vector<int64_t>& ids() const { return ids_; }

    // True when every id names a favourite the store holds (an empty list too).
    static bool allFavorite(const LibraryStore& store, const std::vector<int64_t>& ids);
    // "1,234 selected", grouped as the user's locale groups numbers.
    static QString countText(size_t count);

    bool isAllFavorite() const { return allFavorite_; }
    QString text() const;
    BarButton* favoriteButton() const { return favorite_; }
    BarButton* albumButton() const { return album_; }
    BarButton* shareButton() const { return share_; }
    BarButton* exportButton() const { return export_; }
    BarButton* showInFilesButton() const { return reveal_; }
    BarButton* clearButton() const { return clear_; }
    // The add-to-album menu as it would open now (the caller owns it).
    QMenu* makeAlbumMenu(QWidget* parent = nullptr);

    // For the slide in and out: the whole bar, its shadow included, drawn at
    // this opacity and this far below its resting place.
    void setReveal(qreal opacity, qreal drop);
    void place(const QRect& area);  // centred at the bottom of area

protected:
    void paintEvent(QPaintEvent* e) override;
    void moveEvent(QMoveEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;

private:
    void syncShadow();

    AppModel& model_;
    LibraryStore& store_;
    Actions actions_;
    std::vector<int64_t> ids_;
    bool allFavorite_ = true;
    qreal opacity_ = 1;
    qreal drop_ = 0;
    QRect area_;

    TextBlock* count_;
    BarButton* favorite_;
    BarButton* album_;
    BarButton* share_;
    BarButton* export_;
    BarButton* reveal_;
    BarButton* clear_;
    QPointer<SelectionBarShadow> shadow_;
    QGraphicsOpacityEffect* fadeEffect_ = nullptr;
};

}  // namespace vintrelle
