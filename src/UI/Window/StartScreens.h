#pragma once
// The two screens the main column shows instead of a library: the welcome
// screen of the first run (no library open, none awaited), and the screen of
// a library whose drive is not connected. Both offer the folder panel; the
// welcome screen can be dragged like a title bar where it is empty.

#include <QString>
#include <QWidget>

#include <string>

#include "UI/Kit/WindowDragArea.h"

class QPushButton;

namespace vintrelle {

class AppModel;
class EmptyState;

class WelcomeView : public WindowDragArea {
    Q_OBJECT
public:
    explicit WelcomeView(AppModel& model, QWidget* parent = nullptr);

    static QString headline();
    QPushButton* chooseButton() const { return choose_; }

private:
    QPushButton* choose_;
};

class DriveMissingView : public QWidget {
    Q_OBJECT
public:
    // path: the library folder that cannot be reached.
    DriveMissingView(AppModel& model, const std::string& path, QWidget* parent = nullptr);

    void setPath(const std::string& path);
    const std::string& path() const { return path_; }

    // The drive named in curly quotes from the path's mount folder
    // ("/media/USER/NAME", "/run/media/USER/NAME", "/media/NAME", "/mnt/NAME",
    // "/Volumes/NAME"), else "the drive".
    static QString driveName(const std::string& path);
    static QString title(const std::string& path);
    static QString message(const std::string& path);
    EmptyState* block() const { return block_; }

private:
    static QString chooseTitle();

    AppModel& model_;
    std::string path_;
    EmptyState* block_;
};

}  // namespace vintrelle
