#pragma once
// How one cell and one section header look: where the picture and each badge
// go, and the painter that draws them. Everything a frame needs beyond the
// thumbnails themselves (placeholder, ring, scrim, glyphs, texts) is drawn
// once per size and pixel ratio and blitted afterwards.

#include <QHash>
#include <QImage>
#include <QPixmap>
#include <QRectF>
#include <QStaticText>
#include <QString>

#include <string>
#include <unordered_map>

#include "Core/Index/Models.h"
#include "UI/Kit/Fonts.h"

class QPainter;

namespace vintrelle {

// The theme colours a frame is drawn with, read once per frame.
struct GridPalette {
    QColor canvas, placeholder, ink, ink2, accent;
    static GridPalette current();
    bool operator==(const GridPalette&) const = default;
};

// Where the parts of a cell go, in the cell's content coordinates.
struct CellLook {
    static constexpr double selectionInset = 6;
    static constexpr double cornerRadius = 5;
    static constexpr double ringWidth = 2.5;
    static constexpr double ringRadius = 8;
    static constexpr double badgeMinWidth = 84;  // narrower cells show no duration and no live badge

    QRectF bounds;
    QRectF image;  // bounds, shrunk on every side while selected
    bool selected = false;
    bool scrim = false;
    bool heart = false;
    bool live = false;
    bool duration = false;  // the duration text and the play triangle
    QRectF scrimRect, heartRect, liveRect, playRect, durationRect;
    QString durationText;
};

CellLook cellLook(const QRectF& bounds, bool selected, const Asset& asset);

// What a cell shows of its thumbnail, best first.
struct GridPicture {
    QPixmap exact;     // scaled to the cell's pixels, corners baked in
    QImage source;     // the decoded thumbnail, drawn scaled while no exact pixmap exists
    QPixmap fallback;  // an earlier picture of the same asset, drawn scaled
    double opacity = 1;
    bool empty() const { return exact.isNull() && source.isNull() && fallback.isNull(); }
};

// The decoded thumbnail cropped to a centred square of `pixelSide` pixels
// with rounded corners: what a cell blits. Safe on any thread.
QImage roundedThumbnail(const QImage& source, int pixelSide, double radiusPixels);

class GridPainter {
public:
    void setPalette(const GridPalette& palette);
    const GridPalette& palette() const { return palette_; }

    void paintCell(QPainter& p, const CellLook& look, const GridPicture& picture);
    void paintHeader(QPainter& p, const QRectF& band, const std::string& title, const std::string& detail);

private:
    enum class Art : int { placeholder, ring, scrim, heart, play, live };
    QPixmap art(Art kind, QSizeF size, qreal dpr);
    QPixmap drawArt(Art kind, QSizeF size, qreal dpr) const;
    const QStaticText& text(const QString& s, const QFont& font, int slot);

    GridPalette palette_ = GridPalette::current();
    QFont durationFont_ = Fonts::font(11, QFont::DemiBold);
    QFont titleFont_ = Fonts::font(21, QFont::Bold);
    QFont detailFont_ = Fonts::font(11.5, QFont::Normal);
    std::unordered_map<uint64_t, QPixmap> art_;
    QHash<QString, QStaticText> texts_[3];
};

}  // namespace vintrelle
