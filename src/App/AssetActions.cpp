// What the user does to photos and videos: favourites, files for other
// programs (open, reveal, clipboard, mail, export), albums, people and trip
// covers, and the grid's context menu that offers them.

#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QSettings>

#include <algorithm>

#include "App/AppModel.h"
#include "App/DesktopServices.h"
#include "App/FileExport.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"

namespace vintrelle {

namespace {
// Where the last export went, as the bytes of the folder's path.
const QString kLastExportFolder = QStringLiteral("lastExportFolder");
}  // namespace

std::vector<Asset> AppModel::resolve(const std::vector<int64_t>& ids) const {
    std::vector<Asset> out;
    if (!store_) return out;
    out.reserve(ids.size());
    for (int64_t id : ids)
        if (auto a = store_->asset(id)) out.push_back(std::move(*a));
    return out;
}

void AppModel::toggleFavorite(const std::vector<int64_t>& ids) {
    if (!store_ || ids.empty()) return;
    const bool allFavorite = std::all_of(ids.begin(), ids.end(), [&](int64_t id) {
        const auto a = store_->asset(id);
        return a && a->favorite;
    });
    store_->setFavorite(ids, !allFavorite);
}

QList<QUrl> AppModel::urls(const std::vector<int64_t>& ids) const {
    QList<QUrl> out;
    for (const Asset& a : resolve(ids))
        if (const auto file = store_->paths().fileOf(a.path)) out.push_back(fileUrl(*file));
    return out;
}

void AppModel::openExternally(const std::vector<int64_t>& ids) {
    const QList<QUrl> files = urls(ids);
    for (qsizetype i = 0; i < std::min<qsizetype>(files.size(), kMaxOpened); ++i) services_->openUrl(files[i]);
}

void AppModel::copyFiles(const std::vector<int64_t>& ids) {
    const QList<QUrl> files = urls(ids);
    if (files.isEmpty()) return;
    services_->setClipboard(fileClipboardData(files));
}

void AppModel::showInFiles(const std::vector<int64_t>& ids) {
    const QList<QUrl> files = urls(ids);
    if (!files.isEmpty()) services_->showItems(files);
}

void AppModel::share(const std::vector<int64_t>& ids) {
    const QList<QUrl> files = urls(ids);
    if (files.isEmpty()) return;
    const std::optional<QPoint> anchor = services_->menuAnchor();
    if (!anchor) return;
    popUpLibraryMenu(shareMenu(ids, files), *anchor);
}

ActionMenu AppModel::shareMenu(const std::vector<int64_t>& ids, const QList<QUrl>& files) {
    std::vector<std::string> paths;
    for (const QUrl& url : files) paths.push_back(localPath(url));
    ActionMenu menu;
    menu.push_back(ActionMenuItem::action("Email\u2026", guarded([paths](AppModel& m) {
        using Failure = DesktopServices::MailFailure;
        const long long n = (long long)paths.size();
        const auto report = [self = QPointer<AppModel>(&m), n](std::optional<Failure> failure) {
            if (!self || !failure) return;
            self->setErrorMessage(*failure == Failure::noMailProgram
                                      ? "No mail program is set up to send " + Format::items(n, "item") + "."
                                      : Format::items(n, "item") + " could not be attached to a new mail.");
        };
        m.services().email(paths, report);
    })));
    menu.push_back(ActionMenuItem::action("Copy", guarded([ids](AppModel& m) { m.copyFiles(ids); })));
    // The desktop's chooser takes one file at a time.
    if (files.size() == 1)
        menu.push_back(ActionMenuItem::action("Open With\u2026",
                                              guarded([file = files.front()](AppModel& m) { m.services().openWith(file); })));
    return menu;
}

void AppModel::exportCopies(const std::vector<int64_t>& ids) {
    const size_t count = resolve(ids).size();
    if (count == 0) return;
    const std::string title = "Choose where to copy " + Format::items((long long)count, "item") + ".";
    // The chooser opens where the last export went; the folder is kept as
    // the bytes of its name, which need not be text.
    const std::string last = settings_->value(kLastExportFolder).toByteArray().toStdString();
    services_->chooseFolder({QString::fromStdString(title), QStringLiteral("Export"), last, true},
                            [self = QPointer<AppModel>(this), made = std::weak_ptr(store_), ids](const std::string& folder) {
                                if (!self) return;
                                self->settings_->setValue(kLastExportFolder, QByteArray::fromStdString(folder));
                                if (self->storeIsStillOpen(made)) self->startExport(ids, folder);
                            });
}

void AppModel::startExport(const std::vector<int64_t>& ids, const std::string& destination) {
    if (!store_) return;
    const LibraryPaths& paths = store_->paths();
    const std::vector<Asset> assets = resolve(ids);
    std::vector<std::string> sources;
    int unreadable = 0;
    auto add = [&](const std::string& stored) {
        if (auto file = paths.fileOf(stored)) sources.push_back(std::move(*file));
        else ++unreadable;
    };
    for (const Asset& a : assets) add(a.path);
    // The moving part of each live photo follows the stills.
    for (const Asset& a : assets)
        if (a.liveVideo) add(*a.liveVideo);
    exports_->start(std::move(sources), unreadable, destination,
                    [self = QPointer<AppModel>(this)](const ExportReport& report) {
                        if (!self) return;
                        if (report.failures == 0) self->services_->showItems({fileUrl(report.destination)});
                        else
                            self->setErrorMessage(Format::items(report.failures, "item") + " could not be copied.");
                    });
}

size_t AppModel::runningExports() const { return exports_->running(); }

void AppModel::stopFileWork() { exports_->stopAll(); }

void AppModel::setDesktopServices(std::shared_ptr<DesktopServices> services) {
    services_ = services ? std::move(services) : std::make_shared<DesktopServices>();
}

void AppModel::askNewAlbum(const std::vector<int64_t>& ids) {
    if (!store_) return;
    setAlbumPrompt(AlbumPrompt{QUuid::createUuid(), ids});
}

void AppModel::addToAlbum(int64_t album, const std::vector<int64_t>& ids) {
    if (store_) store_->addToAlbum(album, ids);
}

void AppModel::removeFromAlbum(int64_t album, const std::vector<int64_t>& ids) {
    Batch batch(*this);
    if (store_) store_->removeFromAlbum(album, ids);
    clearSelection();
}

void AppModel::removeFromPerson(int64_t person, const std::vector<int64_t>& ids) {
    Batch batch(*this);
    if (store_) store_->removeFromPerson(person, ids);
    clearSelection();
}

void AppModel::useAsTripCover(int64_t tripID, int64_t asset) {
    if (!store_ || !store_->acceptsMarks()) return;
    std::optional<Trip> trip = store_->trip(tripID);
    if (!trip) return;
    trip->coverAssetID = asset;
    store_->db().updateTrip(*trip);
    store_->engineDidUpdateTrips();
}

void AppModel::openInGrid(const Asset& asset) { open(asset, gridContent()->flat); }

// ---- the grid's context menu ----------------------------------------------------

std::function<void()> AppModel::guarded(std::function<void(AppModel&)> action, Closed closed) {
    return [self = QPointer<AppModel>(this), made = std::weak_ptr<LibraryStore>(store_), action = std::move(action),
            closed] {
        if (!self) return;
        if (self->storeIsStillOpen(made)) action(*self);
        else if (closed == Closed::clearSelection) self->clearSelection();
    };
}

ActionMenu AppModel::contextMenu(const Asset& asset, const std::vector<int64_t>& ids) {
    ActionMenu menu;
    if (!store_) return menu;
    const size_t n = ids.size();
    const bool allFavorite = std::all_of(ids.begin(), ids.end(), [&](int64_t id) {
        const auto a = store_->asset(id);
        return a && a->favorite;
    });
    using Item = ActionMenuItem;

    if (n <= 1) {
        menu.push_back(Item::action("Open", guarded([asset](AppModel& m) { m.openInGrid(asset); })));
        menu.push_back(Item::separator());
    }
    menu.push_back(Item::action(allFavorite ? "Remove from Favourites" : "Add to Favourites",
                                guarded([ids](AppModel& m) { m.toggleFavorite(ids); })));

    ActionMenu albums;
    albums.push_back(Item::action("New Album\u2026", guarded([ids](AppModel& m) { m.askNewAlbum(ids); })));
    if (!store_->albums().empty()) albums.push_back(Item::separator());
    for (const Album& album : store_->albums())
        albums.push_back(
            Item::action(album.name, guarded([ids, id = album.id](AppModel& m) { m.addToAlbum(id, ids); })));
    menu.push_back(Item::menu("Add to Album", std::move(albums)));

    const Route::Kind routeKind = route_.kind();
    const int64_t routeID = route_.id();
    if (routeKind == Route::Kind::person) {
        const auto person = store_->person(routeID);
        const std::string name = person && !person->name.empty() ? person->name : "This Person";
        menu.push_back(Item::action((n < 2 ? "This Is Not " : "These Are Not ") + name,
                                    guarded([routeID, ids](AppModel& m) { m.removeFromPerson(routeID, ids); },
                                            Closed::clearSelection)));
    } else if (routeKind == Route::Kind::album) {
        menu.push_back(Item::action("Remove from Album",
                                    guarded([routeID, ids](AppModel& m) { m.removeFromAlbum(routeID, ids); },
                                            Closed::clearSelection)));
    } else if (routeKind == Route::Kind::trip && n <= 1) {
        menu.push_back(Item::action("Use as Trip Cover", guarded([routeID, id = asset.id](AppModel& m) {
                                        m.useAsTripCover(routeID, id);
                                    })));
    }

    menu.push_back(Item::separator());
    menu.push_back(Item::action("Show in Files", guarded([ids](AppModel& m) { m.showInFiles(ids); })));
    if (n < 2)
        menu.push_back(Item::action("Open in Default App", guarded([ids](AppModel& m) { m.openExternally(ids); })));
    menu.push_back(Item::action(n < 2 ? "Copy" : "Copy " + std::to_string(n) + " Items",
                                guarded([ids](AppModel& m) { m.copyFiles(ids); })));
    menu.push_back(Item::action("Export a Copy\u2026", guarded([ids](AppModel& m) { m.exportCopies(ids); })));
    menu.push_back(Item::action("Share\u2026", guarded([ids](AppModel& m) { m.share(ids); })));
    return menu;
}

void AppModel::showContextMenu(const Asset& asset, const std::vector<int64_t>& selection, const QPoint& globalPos) {
    const ActionMenu menu = contextMenu(asset, selection);
    if (menu.empty()) return;
    popUpLibraryMenu(menu, globalPos);
}

void AppModel::popUpLibraryMenu(const ActionMenu& items, const QPoint& globalPos) {
    std::unique_ptr<QMenu> menu = makeMenu(items);
    closeWithLibrary(menu.get());
    services_->popupMenu(std::move(menu), globalPos);
}

}  // namespace vintrelle
