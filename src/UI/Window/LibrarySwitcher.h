#pragma once
// The button at the top of the sidebar that names the open library and where
// it lives (the drive's name, or this computer), with the library menu:
// every known library (a check at the open one, " — not connected" after
// those that cannot be reached now), "Add Folder…", and for the open library
// "Show Folder in Files" and "Remove from Vintrelle…", which asks first.

#include <QAbstractButton>
#include <QPointer>

#include <optional>
#include <string>

class QMenu;

namespace vintrelle {

class AppModel;
class MessageSheet;

class LibrarySwitcher : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int buttonHeight = 42;
    static constexpr qreal cornerRadius = 10;

    explicit LibrarySwitcher(AppModel& model, QWidget* parent = nullptr);

    // Where a library folder lives: empty without one, the drive's name for
    // a folder on a removable drive, else "This Computer".
    static QString location(const std::optional<std::string>& libraryPath);
    // The open library's name: its folder's name, or "Vintrelle" without one.
    static QString name(const std::optional<std::string>& libraryPath);

    // The menu as it would open now (the caller owns it).
    QMenu* makeMenu(QWidget* parent = nullptr);
    // Asks whether to forget the library at `path` and forgets exactly that
    // one when confirmed, whichever library is open by then. Opened without
    // a loop of its own; the sheet deletes itself when answered.
    MessageSheet* confirmRemoval(const std::string& path);
    MessageSheet* pendingConfirmation() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    void popup();

    AppModel& model_;
    QPointer<MessageSheet> confirm_;
};

}  // namespace vintrelle
