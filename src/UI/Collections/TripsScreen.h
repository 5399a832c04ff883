#pragma once
// The screen of the trips route: every trip of the open library as a 3:2
// card (cover, title, dates and item count) under year headers, newest
// first. A card opens the trip's grid, can be renamed, and can be dismissed
// ("This Isn't a Trip"); dismissed trips show, faded, only on request below
// the years. Without any trip the screen says why: the engine is still
// reading, or the photos were taken close to home, or carry no location.

#include <QString>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "Core/Index/Models.h"
#include "UI/Collections/CollectionScreen.h"

namespace vintrelle {

class TripsScreen final : public CollectionScreen {
    Q_OBJECT
public:
    static constexpr int cardKind = 1;
    static constexpr int cardHoverMs = 220;

    struct YearGroup {
        int year = 0;
        std::vector<Trip> trips;
    };
    // Runs of consecutive trips with the same year of their start's
    // calendar date (wall clock), in the order given.
    static std::vector<YearGroup> groupByYear(const std::vector<Trip>& trips);

    explicit TripsScreen(AppModel& model, QWidget* parent = nullptr);

    // The years shown, and whether the dismissed trips are unfolded.
    const std::vector<YearGroup>& groups() const { return groups_; }
    bool showsDismissed() const { return showDismissed_; }
    // The button under the years; null when no trip is dismissed.
    QPushButton* dismissedButton() const;
    // The card of a trip and the texts it shows.
    static CardKey card(int64_t trip) { return {cardKind, trip}; }
    QString titleOf(int64_t trip) const;
    QString detailOf(int64_t trip) const;

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
    int hoverMs() const override { return cardHoverMs; }
    qreal overhang() const override;

private:
    struct Card {
        Trip trip;
        QString title, detail;
        std::optional<CoverRequest> cover;
    };
    void setHidden(int64_t trip, bool hidden);

    bool showDismissed_ = false;
    std::vector<YearGroup> groups_;
    std::map<int64_t, Card> cards_;
    int buttonBlock_ = -1;
};

}  // namespace vintrelle
