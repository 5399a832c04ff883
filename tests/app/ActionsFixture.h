#pragma once
// A library whose assets are real files on disk, an application model on it,
// and a desktop that records what it was asked instead of starting programs.
// The clipboard is the real one.

#include <QAction>
#include <QMenu>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "AppFixture.h"
#include "App/DesktopServices.h"
#include "fixtures/TreeChecksum.h"

namespace apptest {

struct RecordingDesktop : DesktopServices {
    std::vector<QUrl> opened;
    std::vector<QList<QUrl>> shown;
    std::vector<std::vector<std::string>> mailed;
    QList<QUrl> openedWith;
    std::vector<FolderRequest> asked;
    std::optional<std::string> answer;  // the chooser's answer; cancelled without one
    std::unique_ptr<QMenu> menu;        // the last menu popped up
    std::optional<QPoint> anchor = QPoint(40, 30);

    void openUrl(const QUrl& url) override { opened.push_back(url); }
    void showItems(const QList<QUrl>& files) override { shown.push_back(files); }
    bool realMail = false;  // hands the mail on to xdg-email as well
    void email(const std::vector<std::string>& files,
               std::function<void(std::optional<MailFailure>)> done) override {
        mailed.push_back(files);
        if (realMail) DesktopServices::email(files, std::move(done));
    }
    void openWith(const QUrl& file) override { openedWith.push_back(file); }
    void chooseFolder(const FolderRequest& request, std::function<void(const std::string&)> chosen) override {
        asked.push_back(request);
        if (answer) chosen(*answer);
    }
    void popupMenu(std::unique_ptr<QMenu> m, const QPoint&) override { menu = std::move(m); }
    std::optional<QPoint> menuAnchor() const override { return anchor; }
};

// Titles in order; a submenu's items follow its title, indented; "-" is a separator.
inline std::vector<std::string> titles(const QMenu& menu, const std::string& indent = "") {
    std::vector<std::string> out;
    for (const QAction* a : menu.actions()) {
        out.push_back(indent + (a->isSeparator() ? "-" : a->text().toStdString()));
        if (a->menu())
            for (std::string& t : titles(*a->menu(), indent + "  ")) out.push_back(std::move(t));
    }
    return out;
}

// Triggers the item with this text (searched through submenus too).
inline bool trigger(QMenu& menu, const QString& text) {
    for (QAction* a : menu.actions()) {
        if (a->menu() && trigger(*a->menu(), text)) return true;
        if (!a->isSeparator() && !a->menu() && a->text() == text) {
            a->trigger();
            return true;
        }
    }
    return false;
}

// Assets at the given paths, each written to disk with bytes of its own.
struct FileLibrary : Library {
    explicit FileLibrary(const std::vector<Asset>& list) : Library(list) {
        for (const Asset& a : list)
            if (LibraryPaths::isContainedPath(a.path))
                fixtures::writeFile(dir / a.path, "bytes of " + a.path + std::string(size_t(a.id) * 1000, 'x'));
    }

    std::string root() const { return dir.path(); }
    uint64_t checksum() const { return fixtures::treeChecksum(dir.path()); }
    void setLiveVideo(int64_t id, const std::string& path) {
        db().db().run("UPDATE assets SET live_video=? WHERE id=?", {path, id});
        store->engineDidUpsert(db().assets({id}));
    }

};

struct ActionsModel : Model {
    std::shared_ptr<RecordingDesktop> desktop = std::make_shared<RecordingDesktop>();
    explicit ActionsModel(const std::shared_ptr<LibraryStore>& store) {
        model->setDesktopServices(desktop);
        model->setStore(store);
    }
};

inline std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace apptest
