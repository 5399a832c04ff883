#pragma once
// The screen of the albums route: the library's albums as square cards
// (the most recently added item as cover, the name, the item count) in the
// store's order, followed by a dashed "New Album" tile; without albums, an
// empty state that offers to make one. A card opens its album as a
// top-level route; its menu opens, renames or deletes the album (the
// photos stay). Names are asked for through the application state's
// prompts.

#include <map>

#include "Core/Index/Models.h"
#include "UI/Collections/CollectionScreen.h"

namespace vintrelle {

class AlbumsScreen final : public CollectionScreen {
    Q_OBJECT
public:
    static constexpr int albumKind = 1;
    static constexpr int newAlbumKind = 2;
    static constexpr qreal padding = 28;
    static constexpr ColumnSpec columns{190, 260, 22};

    explicit AlbumsScreen(AppModel& model, QWidget* parent = nullptr);

    static CardKey card(int64_t album) { return {albumKind, album}; }
    static CardKey newAlbumTile() { return {newAlbumKind, 0}; }
    // Asks for the name of a new, empty album.
    void newAlbum();

protected:
    void follow(LibraryStore& store) override;
    void rebuild(LibraryStore& store) override;

    qreal cardHeight(const CardKey& key, qreal width) const override;
    size_t cardVersion(const CardKey& key) const override;
    std::optional<std::pair<QRectF, CoverRequest>> cover(const CardKey& key, const QSizeF& size) const override;
    void paintCard(QPainter& p, const CardKey& key, const QRectF& rect, const QPixmap& cover, qreal coverOpacity,
                   qreal hover, qreal target) const override;
    void activate(const CardKey& key) override;
    QMenu* menu(const CardKey& key, QWidget* parent) override;
    qreal overhang() const override;

private:
    struct Card {
        Album album;
        std::optional<CoverRequest> cover;
    };
    std::map<int64_t, Card> cards_;
};

}  // namespace vintrelle
