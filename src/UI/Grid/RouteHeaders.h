#pragma once
// The headers above the grid of a trip, a person and an album: what the
// route is, and what can be done to it (rename, dismiss, merge, hide,
// delete). Each shows a copy of its record that the grid screen replaces
// when the store changes, and acts through the application model and the
// store. Menus are built fresh by makeMenu() each time they open, and the
// album's confirmation is a sheet opened without a loop of its own, so
// tests drive both without running a nested event loop.

#include <QAbstractButton>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "App/Route.h"
#include "Core/Index/Models.h"
#include "UI/Kit/Theme.h"

class QHBoxLayout;
class QMenu;
class QPushButton;

namespace vintrelle {

class AppModel;
class LibraryStore;
class MessageSheet;
class StoredImage;
class TextBlock;
class TripHeroText;

class RouteHeader : public QWidget {
    Q_OBJECT
public:
    enum class Kind { trip, person, album };
    virtual Kind kind() const = 0;
    virtual int64_t recordID() const = 0;
    // The menu of the header's round button, as it would open now.
    virtual QMenu* makeMenu(QWidget* /*parent*/ = nullptr) { return nullptr; }
    // Whether a picture of the header is still on its way.
    virtual bool isLoading() const { return false; }

protected:
    RouteHeader(AppModel& model, LibraryStore& store, QWidget* parent);
    // Leaves a record that is gone: back where the user came from, else to
    // its overview.
    void leave(const Route& overview);

    AppModel& model_;
    LibraryStore& store_;
};

// The round "…" button of the headers.
class RoundMenuButton : public QAbstractButton {
    Q_OBJECT
public:
    RoundMenuButton(ColorRef symbol, ColorRef fill, QWidget* parent);
    QSize sizeHint() const override { return {30, 30}; }
    // Opens menus that `make` builds, below the button.
    void setMenuMaker(std::function<QMenu*(QWidget*)> make);

protected:
    void paintEvent(QPaintEvent*) override;
    bool hitButton(const QPoint& pos) const override;

private:
    ColorRef symbol_;
    ColorRef fill_;
};

class TripHero : public RouteHeader {
    Q_OBJECT
public:
    static constexpr int height = 300;  // the 276-px card and its padding

    TripHero(AppModel& model, LibraryStore& store, Trip trip, QWidget* parent = nullptr);
    void setTrip(Trip trip);
    const Trip& trip() const { return trip_; }

    Kind kind() const override { return Kind::trip; }
    int64_t recordID() const override { return trip_.id; }
    QMenu* makeMenu(QWidget* parent = nullptr) override;
    bool isLoading() const override;

    // Calendar days the trip touches, counted on the wall clock.
    static long long dayCount(const Trip& trip);
    // The texts over the cover: the dates, the title and the line of facts.
    QString datesText() const;
    QString titleText() const;
    QStringList facts() const;

protected:
    void resizeEvent(QResizeEvent* e) override;

private:
    void refresh();
    void dismiss();

    Trip trip_;
    StoredImage* cover_;
    TripHeroText* text_;
    RoundMenuButton* menu_;
};

class PersonHeader : public RouteHeader {
    Q_OBJECT
public:
    static constexpr int rowHeight = 132;
    static constexpr int suggestionsHeight = 96;
    static constexpr size_t menuPeople = 40;

    PersonHeader(AppModel& model, LibraryStore& store, Person person, QWidget* parent = nullptr);
    void setPerson(Person person);
    const Person& person() const { return person_; }

    // The people the store suggests as the same as `person`, those it still
    // holds, in the order suggested. The header's height follows this list.
    static std::vector<Person> suggested(const LibraryStore& store, int64_t person);
    static int heightFor(const LibraryStore& store, int64_t person);
    // The visible people other than `person`, at most 40, as the merge menu lists them.
    static std::vector<Person> mergeTargets(const LibraryStore& store, int64_t person);

    Kind kind() const override { return Kind::person; }
    int64_t recordID() const override { return person_.id; }
    QMenu* makeMenu(QWidget* parent = nullptr) override;
    bool isLoading() const override;

    // The shown person becomes part of `target` and the window follows it.
    void mergeInto(int64_t target);
    // The suggested person `source` becomes part of the shown one.
    void mergeSuggested(int64_t source);
    void hidePerson();
    void rename();

    QString nameText() const;
    QString countText() const;
    // The suggestion chips shown, in order.
    std::vector<int64_t> chipIDs() const { return chipIDs_; }

private:
    void refresh();
    void rebuildChips();

    Person person_;
    StoredImage* face_;
    QAbstractButton* name_;
    TextBlock* count_;
    RoundMenuButton* menu_;
    QWidget* suggestions_;
    QHBoxLayout* chipRow_;
    std::vector<QWidget*> chips_;
    std::vector<int64_t> chipIDs_;
    std::vector<Person> chipPeople_;
};

class AlbumHeader : public RouteHeader {
    Q_OBJECT
public:
    static constexpr int height = 104;

    AlbumHeader(AppModel& model, LibraryStore& store, Album album, QWidget* parent = nullptr);
    void setAlbum(Album album);
    const Album& album() const { return album_; }

    Kind kind() const override { return Kind::album; }
    int64_t recordID() const override { return album_.id; }

    QPushButton* renameButton() const { return rename_; }
    QPushButton* deleteButton() const { return delete_; }
    QString nameText() const;

    // Asks "Delete the album “X”?"; its "Delete Album" button deletes the
    // album and goes to the albums overview, anything else changes nothing.
    MessageSheet* confirmDelete();

private:
    Album album_;
    TextBlock* name_;
    QPushButton* rename_;
    QPushButton* delete_;
    QPointer<MessageSheet> confirmation_;
};

}  // namespace vintrelle
