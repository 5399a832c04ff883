#pragma once
// What the asset actions ask of the desktop: the clipboard, opening files in
// their applications, showing them in the file manager, mail, the folder
// chooser and popping up menus. One thin layer, so the decisions above it run
// in tests without starting programs, and no menu or dialog ever runs a loop
// of its own: menus pop up, the chooser answers through a callback.

#include <QList>
#include <QPoint>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QMenu;
class QMimeData;

namespace vintrelle {

// Files for the clipboard: "text/uri-list" for every application and
// "x-special/gnome-copied-files" ("copy" and the URLs, one a line), which the
// file managers read to paste copies.
std::unique_ptr<QMimeData> fileClipboardData(const QList<QUrl>& files);

// The local path of a file URL as bytes on disk (undoing the percent-encoding
// of fileUrl(), so names that are not UTF-8 survive).
std::string localPath(const QUrl& file);

class DesktopServices {
public:
    struct FolderRequest {
        QString title;            // what the chooser asks, e.g. "Choose where to copy 3 items."
        QString accept;           // the confirming button, e.g. "Export"
        std::string startFolder;  // where it opens; empty: the pictures folder
        bool mayCreate = false;   // whether new folders can be made in it
    };

    virtual ~DesktopServices() = default;

    // Replaces the clipboard's content.
    virtual void setClipboard(std::unique_ptr<QMimeData> data);
    // The file's default application.
    virtual void openUrl(const QUrl& url);
    // The file manager, with all the files selected, through its
    // org.freedesktop.FileManager1 service; without one, the folder of the
    // first file is opened once. Never waits for the file manager.
    virtual void showItems(const QList<QUrl>& files);
    // What kept a mail from starting: no mail program set up (or no
    // xdg-email to ask the desktop for one), or xdg-email failing otherwise.
    enum class MailFailure { noMailProgram, failed };
    // A new mail with the files attached (xdg-email). Returns at once;
    // `done` runs on the main thread once xdg-email has ended (not while a
    // mail program it started stays in front of it), with what kept the
    // mail from starting, if anything.
    virtual void email(const std::vector<std::string>& files,
                       std::function<void(std::optional<MailFailure>)> done = {});
    // The desktop's application chooser for one file (the OpenURI portal);
    // without a portal, the default application.
    virtual void openWith(const QUrl& file);
    // A folder chooser over the active window: the desktop's own through its
    // portal, else Qt's (FolderPanel); `chosen` runs with the folder's path
    // once the user confirms, never on cancel.
    virtual void chooseFolder(const FolderRequest& request, std::function<void(const std::string&)> chosen);
    // Shows the menu at a screen position and returns at once; the menu is
    // deleted after it closes.
    virtual void popupMenu(std::unique_ptr<QMenu> menu, const QPoint& globalPos);
    // Where a menu that belongs to no click appears: the pointer, while one
    // of the application's windows is active; nothing otherwise.
    virtual std::optional<QPoint> menuAnchor() const;
};

}  // namespace vintrelle
