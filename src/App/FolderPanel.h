#pragma once
// Asks the user for one folder. Where a desktop portal runs, its FileChooser
// shows the desktop's own chooser; where none answers (no session bus, no
// portal, no chooser behind it), Qt's widget dialog stands in, with the
// question shown inside it above the folders, where it is read, and the
// button's title in its title bar. Either way nothing runs a loop of its
// own: the answer comes through a callback, once, with nothing on cancel.
// One panel at a time: asking while one is open brings a widget panel
// forward and is otherwise ignored.

#include <QDBusConnection>
#include <QString>

#include <functional>
#include <optional>
#include <string>

class QDialog;
class QWidget;

namespace vintrelle {

struct FolderQuestion {
    QString message;          // "Choose where to copy 3 items."
    QString accept;           // the confirming button, e.g. "Export"
    std::string startFolder;  // where the panel opens; empty: the panel's own choice
    bool mayCreate = false;   // whether new folders can be made in it
};

class FolderPanel {
public:
    using Answer = std::function<void(std::optional<std::string>)>;

    // Over `window` (may be null).
    static void ask(const FolderQuestion& question, QWidget* window, Answer answer,
                    QDBusConnection bus = QDBusConnection::sessionBus());
    // The widget dialog alone, as the fallback opens it (deleted when closed).
    static QDialog* widgetPanel(const FolderQuestion& question, QWidget* window, Answer answer);
    // Whether a panel is open now.
    static bool isOpen();

    // The object the portal answers a request on: its handle for the token
    // on this connection.
    static QString requestPath(const QDBusConnection& bus, const QString& token);
};

}  // namespace vintrelle
