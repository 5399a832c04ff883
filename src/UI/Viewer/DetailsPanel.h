#pragma once
// The viewer's details column: for the asset on screen, the file name,
// capture time and a line of file facts; camera, lens and exposure; up to
// five people found in it; a small map of where it was taken with the
// place's name; the trip it belongs to; and its folder with "Show in Files".
// A face or the trip closes the viewer and opens that person's or trip's
// grid.
//
// It fills the viewer's details container and follows the shown asset while
// details are on. The place name is asked for off the main thread through
// the open library's place resolver; until it comes (or when there is none)
// the coordinates show, and an answer is taken only while the same asset of
// the same library is still shown. The map is the offline map's still
// painter, handed in as a factory (the viewer cannot name it); each finished
// map is kept as a picture per asset, size and appearance, so stepping back
// shows it at once.

#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/Index/Models.h"
#include "UI/Kit/PlaceLookup.h"
#include "UI/Kit/StillMap.h"

class QAbstractButton;
class QScrollArea;
class QVBoxLayout;

namespace vintrelle {

class AppModel;
class LibraryStore;
class TextBlock;
class ViewerView;

class DetailsPanel final : public QWidget {
    Q_OBJECT
public:
    // Names a coordinate off the main thread; none when the store has no engine.
    using Lookup = placelookup::Lookup;
    using LookupSource = placelookup::Source;

    static constexpr int mapHeight = 150;
    // Degrees of latitude the small map shows around the place: the
    // atlas's outlines and the nearest towns read at this scale.
    static constexpr double mapSpan = 1.0;
    static constexpr int maxPeople = 5;

    // Fills viewer.detailsContainer().
    DetailsPanel(ViewerView& viewer, StillMap::Factory map);
    ~DetailsPanel() override;

    void setLookupSource(LookupSource source);

    // The texts, as the panel shows them.
    // "EXT  ·  W × H  ·  N MP  ·  size  ·  Live" with the parts that apply.
    static QString facts(const Asset& asset);
    // "ƒ/2   1/250 s   ISO 100   26 mm" with the parts that apply.
    static QString exposureLine(const Asset& asset);
    // The library folder's name, then the asset's folder inside it.
    static QString folderText(const std::string& root, const Asset& asset);
    // A file size in the user's locale ("532 bytes", "12 kB", "2.4 MB").
    static QString sizeText(int64_t bytes);

    // What is on show (tests and diagnostics).
    const std::optional<Asset>& asset() const { return asset_; }
    const std::optional<PlaceName>& place() const { return place_; }
    const std::vector<Person>& people() const { return people_; }
    QString nameText() const;
    QString dateText() const;
    QString factsText() const;
    // The facts as wrapped into the column, one entry per line.
    QStringList factsLines() const;
    QStringList cameraLines() const;
    QString placeText() const;
    QString tripTitle() const;
    QString folderLine() const;
    bool showsCamera() const;
    bool showsPeople() const;
    bool showsPlace() const;
    bool showsTrip() const;
    std::vector<QAbstractButton*> personButtons() const;
    QAbstractButton* tripCard() const;
    QAbstractButton* showInFilesButton() const;
    QWidget* map() const;
    // Nothing left to arrive: the place's name, the map and the faces.
    bool isSettled() const;
    bool isLookingUp() const { return lookingUp_; }

private:
    class MapSlot;
    class PersonButton;
    class TripCard;
    class LinkButton;
    class SelectableText;

    void connectStore();
    void refresh();
    void present(const Asset& asset, const std::shared_ptr<LibraryStore>& store, bool newAsset);
    void showPeople();
    void showPlace();
    void showTrip();
    void startLookup();
    void placeArrived(int generation, const std::optional<PlaceName>& name);
    QWidget* block(const QString& title, QWidget* content);

    ViewerView& viewer_;
    AppModel& model_;
    LookupSource lookupSource_;
    std::weak_ptr<LibraryStore> store_;
    std::vector<QMetaObject::Connection> storeConnections_;
    std::optional<Asset> asset_;
    std::vector<Person> people_;
    std::optional<PlaceName> place_;
    int lookupGeneration_ = 0;
    bool lookingUp_ = false;

    QScrollArea* scroll_;
    SelectableText* name_;
    TextBlock* date_;
    TextBlock* facts_;
    QWidget* cameraBlock_;
    TextBlock* camera_;
    TextBlock* lens_;
    TextBlock* exposure_;
    QWidget* peopleBlock_;
    QWidget* peopleRow_;
    std::vector<PersonButton*> personButtons_;
    QWidget* placeBlock_;
    MapSlot* map_;
    TextBlock* placeName_;
    QWidget* tripBlock_;
    TripCard* trip_;
    SelectableText* folder_;
    LinkButton* showInFiles_;
};

}  // namespace vintrelle
