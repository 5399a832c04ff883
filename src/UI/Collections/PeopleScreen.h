#pragma once
// The screen of the people route: a round face tile per person, named or
// not, with a hint for naming and merging, a progress row while faces are
// still analysed, and the people the user chose not to show behind a button
// at the bottom. Dragging one face onto another asks "Are these the same
// person?" and merges the dragged person into the other on confirmation.
// With nobody to show it says why: face grouping is off, the face model is
// missing, the engine is still looking, or nobody was found.
//
// Person tiles (painted, keyed by person id):
// - the 116-px face with a ring, the name or "Add name", "N photos"; the
//   face grows a little and its shadow lifts under the pointer, and the
//   ring turns accent-coloured while a drag it would take is over it;
// - a click opens the person's grid; the menu opens, names, merges into a
//   named person ("This Is…") and hides or shows the person;
// - each tile drags its person (see PersonDrag.h); only visible tiles take
//   a drop, and only of another person the store still holds.
//
// Menus and drags capture person ids, never tiles, and the list is not
// rebuilt while one is open: people reloads that arrive meanwhile are
// applied when it closes. The confirmation is opened from the event loop,
// never inside the drop, and Merge checks both people again.

#include <QPointer>

#include <cstdint>
#include <map>
#include <optional>
#include <utility>

#include "Core/Index/Models.h"
#include "UI/Collections/CollectionScreen.h"

namespace vintrelle {

class MessageSheet;

class PeopleScreen final : public CollectionScreen {
    Q_OBJECT
public:
    static constexpr int visibleKind = 1;
    static constexpr int hiddenKind = 2;
    static constexpr qreal faceSide = 116;
    static constexpr int thisIsLimit = 40;

    explicit PeopleScreen(AppModel& model, QWidget* parent = nullptr);

    // Also waits for the answer on the face model, which may change the screen.
    bool isSettled() const override;

    static CardKey tile(const Person& p) { return {p.hidden ? hiddenKind : visibleKind, p.id}; }
    bool showsHidden() const { return showHidden_; }
    QPushButton* hiddenButton() const;
    // The texts of the rows above the grid, empty when not shown.
    QString progressText() const { return progress_; }
    QString hintText() const { return hint_; }
    // The people of each grid, in order.
    const std::vector<Person>& visiblePeople() const { return visible_; }
    const std::vector<Person>& hiddenPeople() const { return hidden_; }

    // A person dropped on a visible tile: asks to merge `dragged` into
    // `onto`, from the event loop; nothing for a person the store no longer
    // holds, or for a tile dropped on itself.
    void dropPerson(int64_t dragged, int64_t onto);
    // The merge waiting for its answer: (source, target).
    std::optional<std::pair<int64_t, int64_t>> pendingMerge() const { return pending_; }
    MessageSheet* confirmation() const;
    // The confirmation's text for merging source into target.
    static QString mergeMessage(const Person& source, const Person& target);

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
    std::unique_ptr<QMimeData> dragData(const CardKey& key) override;
    bool takesDrag(const QMimeData& mime) const override;
    bool accepts(const CardKey& key, const QMimeData& mime) const override;
    void dropped(const CardKey& key, const QMimeData& mime) override;
    QPixmap dragPixmap(const CardKey& key, const QPixmap& cover) const override;
    qreal overhang() const override;

private:
    void askToMerge(int64_t source, int64_t target);
    // Both still held and different: the merge may run.
    bool mayMerge(int64_t source, int64_t target) const;
    void setPersonHidden(int64_t id, bool hidden);
    const Person* personOf(const CardKey& key) const;

    bool showHidden_ = false;
    std::vector<Person> visible_, hidden_;
    std::map<CardKey, Person> tiles_;
    QString progress_, hint_;
    int buttonBlock_ = -1;
    std::optional<std::pair<int64_t, int64_t>> pending_;
    QPointer<MessageSheet> confirm_;
};

}  // namespace vintrelle
