// The start-up of AppModel, the removal of libraries, the observers of
// drives and of the application coming to the front, and the appearance.

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QPointer>
#include <QSettings>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "App/AppModel.h"
#include "App/FolderReturn.h"
#include "App/MountTable.h"
#include "App/MountWatcher.h"
#include "App/PathText.h"
#include "App/PortableLibraries.h"
#include "App/PreUnmountWatcher.h"
#include "App/SystemAppearance.h"
#include "App/VolumeName.h"
#include "Store/LibraryStore.h"

namespace vintrelle {

namespace {

const QString kLastLibrary = QStringLiteral("lastLibrary");
// Library path -> the device its folder was on when last opened.
const QString kLibraryDevices = QStringLiteral("libraryDevices");

bool isDirectory(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

// ---- reachability and removal ------------------------------------------------------

bool AppModel::isReachable(const std::string& path) const {
    if (!(mounts_ ? mounts_->isReachable(path) : isDirectory(path))) return false;
    return !isLeftByItsDrive(path);
}

bool AppModel::isLeftByItsDrive(const std::string& path) const {
    // A link into a drive counts by where it leads.
    const std::string real = resolvedPath(path);
    if (real.empty() || !LibraryPaths::holdsNothingButData(real)) return false;
    if (mounts_ ? mounts_->isMountPoint(real) : isOnDeviceOfItsOwn(real)) return false;
    const std::string user = currentUserName();
    if (volumeRoot(real, user) == real) return true;
    const QVariant seen = settings_->value(kLibraryDevices).toMap().value(pathText(path));
    bool known = false;
    const qulonglong device = seen.toString().toULongLong(&known);
    struct stat st {};
    return known && ::stat(real.c_str(), &st) == 0 && qulonglong(st.st_dev) != device;
}

void AppModel::rememberWhereSeen(const std::string& path, const LibraryStore& store) {
    if (store.openedDevice() == 0) return;
    QVariantMap seen = settings_->value(kLibraryDevices).toMap();
    const QString key = pathText(path), value = QString::number(qulonglong(store.openedDevice()));
    if (seen.value(key).toString() == value) return;
    seen.insert(key, value);
    settings_->setValue(kLibraryDevices, seen);
}

void AppModel::forgetWhereSeen(const std::string& path) {
    QVariantMap seen = settings_->value(kLibraryDevices).toMap();
    if (seen.remove(pathText(path)) == 0) return;
    if (seen.isEmpty()) settings_->remove(kLibraryDevices);
    else settings_->setValue(kLibraryDevices, seen);
}

void AppModel::removeLibrary(std::string path) {
    Batch batch(*this);
    if (rebuilding_ && rebuilding_->path == path) stopRebuild();
    std::erase(libraries_, path);
    pending_ |= cLibraries;
    saveLibraries();
    forgetWhereSeen(path);
    deletedWithIndex_.erase(path);
    if (libraryPath_ != path) return;
    closeStore();
    setLibraryPath(std::nullopt);
    setWaitingForPath(std::nullopt);
    for (const std::string& other : libraries_) {
        if (folderCheck_(other)) {
            openLibrary(other);
            break;
        }
    }
}

void AppModel::chooseFolder() {
    if (!folderChooser_) return;
    QPointer<AppModel> self(this);
    folderChooser_([self](std::optional<std::string> folder) {
        if (self && folder) self->addLibrary(*folder);
    });
}

// ---- start-up ----------------------------------------------------------------------

void AppModel::setDesktop(Desktop desktop) {
    desktop_ = std::move(desktop);
    mounts_.reset();
    preUnmount_.reset();
    systemAppearance_.reset();
    lastActivationScan_ = desktop_.now();
    applyAppearance();
}

void AppModel::bootstrap(const LaunchRequest& launch) {
    Batch batch(*this);
    applyAppearance();
    installObservers();
    discoverPortableLibraries();
    if (openLaunchRequest(launch)) return;

    std::optional<std::string> preferred;
    const QVariant last = settings_->value(kLastLibrary);
    if (last.isValid() && contains(libraries_, pathFromText(last.toString()))) preferred = pathFromText(last.toString());
    std::optional<std::string> firstReachable;
    for (const std::string& path : libraries_) {
        if (folderCheck_(path)) {
            firstReachable = path;
            break;
        }
    }
    if (preferred && folderCheck_(*preferred)) {
        openLibrary(*preferred);
    } else if (firstReachable) {
        openLibrary(*firstReachable);
    } else if (preferred || !libraries_.empty()) {
        // Nothing is written: the drive may come back before anything changes.
        const std::string awaited = preferred ? *preferred : libraries_.front();
        setWaitingForPath(awaited);
        setLibraryPath(awaited);
    }
}

bool AppModel::openLaunchRequest(const LaunchRequest& launch) {
    if (launch.library) {
        addLibrary(*launch.library);
        return true;
    }
    for (const std::string& folder : launch.folders) {
        if (isDirectory(folder)) {
            addLibrary(folder);
            return true;
        }
    }
    return false;
}

void AppModel::discoverPortableLibraries() {
    const std::string appDir = desktop_.applicationDir.empty()
                                   ? QCoreApplication::applicationDirPath().toStdString()
                                   : desktop_.applicationDir;
    const std::string home = desktop_.homeDir.empty() ? QDir::homePath().toStdString() : desktop_.homeDir;
    const std::vector<std::string> found = findPortableLibraries(appDir, home, currentUserName());
    if (found.empty()) return;
    Batch batch(*this);
    for (const std::string& path : found) {
        if (!contains(libraries_, path)) {
            libraries_.push_back(path);
            pending_ |= cLibraries;
        }
    }
    saveLibraries();
}

// ---- observers ---------------------------------------------------------------------

void AppModel::installObservers() {
    if (mounts_) return;
    mounts_ = std::make_unique<MountWatcher>(
        desktop_.mountInfoPath.isEmpty() ? QString::fromLatin1(MountWatcher::kMountInfo) : desktop_.mountInfoPath,
        desktop_.fstabPath.isEmpty() ? QString::fromLatin1(MountWatcher::kFstab) : desktop_.fstabPath);
    connect(mounts_.get(), &MountWatcher::unmounted, this, [this](const QStringList& points) {
        for (const QString& point : points) volumeWillUnmount(point.toStdString());
        checkStillReachable();
    });
    connect(mounts_.get(), &MountWatcher::mounted, this, [this] { volumeDidMount(); });
    preUnmount_ = std::make_unique<PreUnmountWatcher>(desktop_.volumeMonitor);
    connect(preUnmount_.get(), &PreUnmountWatcher::willUnmount, this,
            [this](const std::string& point) { volumeWillUnmount(point); });
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive) appBecameActive();
        });
    }
}

// GIO tells before an unmount the desktop was asked for: the index closes
// while it still can, so the unmount is not refused as busy. The kernel tells
// only after the fact, when the drive was pulled out without asking. A
// library reached through a link counts by where the link leads.
void AppModel::volumeWillUnmount(const std::string& mountPoint) {
    // A rebuild holds the drive's files open: it stops, so the unmount is not refused.
    if (rebuilding_ && (pathIsOnMount(rebuilding_->path, mountPoint) ||
                        pathIsOnMount(resolvedPath(rebuilding_->path), mountPoint)))
        return leaveRebuildOf(rebuilding_->path);
    if (!libraryPath_ || !store_) return;
    if (!pathIsOnMount(*libraryPath_, mountPoint) && !pathIsOnMount(resolvedPath(*libraryPath_), mountPoint)) return;
    Batch batch(*this);
    closeStore();
    setWaitingForPath(libraryPath_);
}

void AppModel::checkStillReachable() {
    if (rebuilding_ && !folderCheck_(rebuilding_->path)) return leaveRebuildOf(rebuilding_->path);
    if (!libraryPath_ || !store_) return;
    if (folderCheck_(*libraryPath_)) {
        reopenIfReplaced();
        return;
    }
    Batch batch(*this);
    closeStore();
    setWaitingForPath(libraryPath_);
}

void AppModel::reopenIfReplaced() {
    if (!libraryPath_ || !store_) return;
    if (store_->folderStands()) return followIndex();
    // Deleted with its folder: put back from a backup, the folder may still
    // be in the copying, and its index with it.
    if (indexDeletedWithFolder()) {
        noteIndexDeleted();
        watchForReturn();
    } else if (store_->folderReplaced()) {
        openLibrary(*libraryPath_);
    }
}

void AppModel::followIndex() {
    if (!libraryPath_ || !store_) return;
    const Database::Standing standing = store_->indexStanding();
    if (standing == Database::Standing::kept) return;
    // Left open when it cannot be written: what the user marks meanwhile
    // still goes into it, and is written with it later.
    if (standing == Database::Standing::deleted && !store_->putIndexBack()) return;
    const std::string path = *libraryPath_;
    Batch batch(*this);
    closeStore();
    openLibrary(path);
}

bool AppModel::indexDeletedWithFolder() const {
    return store_ && store_->indexDeleted() && !store_->folderStands();
}

void AppModel::noteIndexDeleted() {
    if (libraryPath_ && indexDeletedWithFolder()) deletedWithIndex_.insert(*libraryPath_);
}

bool AppModel::stillComingBack(const std::string& path) {
    return deletedWithIndex_.count(path) && !returned(path);
}

bool AppModel::returned(const std::string& path) {
    // Only the watch over the whole folder tells when a copy is done.
    if (!returnWatch_ || returnWatch_->path() != path || !returnWatch_->isStill()) return false;
    // Still and empty, or with a data folder and no index in it: the rest
    // of the copy may yet come.
    return FolderReturnWatch::holdsItsIndex(path) || !LibraryPaths::holdsNothingButData(path);
}

std::optional<std::string> AppModel::returnAwaited() const {
    if (libraryPath_ && indexDeletedWithFolder()) return libraryPath_;
    return waitingForPath_;
}

void AppModel::watchForReturn() {
    const std::optional<std::string> awaited = returnAwaited();
    if (returnWatch_ && awaited == returnWatch_->path()) return;
    // Deleted later: this may run from the watch's own report.
    if (returnWatch_) returnWatch_.release()->deleteLater();
    if (!awaited) return;
    returnWatch_ = std::make_unique<FolderReturnWatch>(*awaited);
    connect(returnWatch_.get(), &FolderReturnWatch::settled, this, &AppModel::lookForReturn);
}

void AppModel::lookForReturn() {
    const std::optional<std::string> awaited = returnAwaited();
    if (!awaited || !returnWatch_ || *awaited != returnWatch_->path()) {
        watchForReturn();
        return;
    }
    // Whether or not it was seen going with its index: a folder put back by
    // a copy that brought no data folder is no less the library.
    if (folderCheck_(*awaited) && returned(*awaited)) openLibrary(*awaited);
}

void AppModel::volumeDidMount() {
    // The desktop mounts a drive before its folders can be listed; give it a
    // moment before looking for the awaited library, or at the open one's
    // folder, which the drive may have been mounted over.
    QTimer::singleShot(kReopenAfterMountMs, this, [this] {
        if (waitingForPath_ && folderCheck_(*waitingForPath_)) openLibrary(*waitingForPath_);
        else reopenIfReplaced();
    });
}

void AppModel::appBecameActive() {
    if (waitingForPath_ && folderCheck_(*waitingForPath_)) {
        openLibrary(*waitingForPath_);
        return;
    }
    checkStillReachable();
    const auto now = desktop_.now();
    if (store_ && now - lastActivationScan_ > kActivationScanInterval && store_->status() == EngineStatus::idle()) {
        lastActivationScan_ = now;
        store_->rescan();
    }
}

// ---- appearance --------------------------------------------------------------------

void AppModel::applyAppearance() {
    bool dark = false;
    if (appearance_ == "dark") {
        dark = true;
    } else if (appearance_ != "light") {
        if (!systemAppearance_) {
            systemAppearance_ = std::make_unique<SystemAppearance>(desktop_.bus());
            connect(systemAppearance_.get(), &SystemAppearance::prefersDarkChanged, this,
                    [this] { applyAppearance(); });
        }
        dark = systemAppearance_->prefersDark();
    }
    assign(darkAppearance_, dark, cDarkAppearance);
}

}  // namespace vintrelle
