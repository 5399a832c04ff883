#pragma once
// The application-wide keys that are not menu commands: Escape empties the
// grid selection, and while the viewer is open the arrows step through its
// list, Space plays a video or closes a photo, Escape closes, "i" shows the
// details and "f" marks the favourite. Full screen entered while the viewer
// is open (the player's button, F11) is the viewer's: Escape leaves it
// first, as video players do, and closes the viewer the next time. They are
// served before any widget sees the key, but only while the main window is
// active and nothing else wants the keyboard: no dialog or popup open, no
// text being edited.

#include <QObject>
#include <QPointer>
#include <QString>

#include "App/AppModel.h"

class QWidget;

namespace vintrelle {

struct KeyContext {
    bool mainWindowActive = false;
    bool dialogOpen = false;   // any modal window
    bool popupOpen = false;    // a menu or another popup
    bool textFocused = false;  // a text field or editable text area has the focus
    bool viewerOpen = false;
    bool viewerFullScreen = false;  // the window went full screen while the viewer was open, and still is
    bool selectionEmpty = true;
};

struct KeyStroke {
    int key = 0;  // Qt::Key
    Qt::KeyboardModifiers modifiers;
    QString text;
    bool autoRepeat = false;
};

enum class KeyAction {
    none,
    clearSelection,
    nextAsset,
    previousAsset,
    playOrClose,
    closeViewer,
    leaveFullScreen,
    toggleInfo,
    toggleFavorite
};

struct KeyDecision {
    KeyAction action = KeyAction::none;
    bool consumed = false;  // the key goes no further
    bool operator==(const KeyDecision&) const = default;
};

// What a key does. Only Control, Alt and Meta count as modifiers (Shift,
// keypad and Caps Lock are ignored); "i" and "f" are matched on the typed
// character in either case. A held toggle key acts once: its repeats are
// claimed but do nothing.
KeyDecision decideKey(const KeyContext& context, const KeyStroke& stroke);

// Whether the widget takes typed text: a line or text edit that is not read
// only, a spin box, or any widget asking for the input method.
bool isEditingText(const QWidget* widget);

// Carries out an action on the model (leaving full screen is the window's).
void applyKey(AppModel& model, KeyAction action);

class KeyFilter : public QObject {
    Q_OBJECT

public:
    KeyFilter(AppModel& model, QWidget* mainWindow, QObject* parent = nullptr);
    // A filter for every key press of the application, living as long as the
    // main window.
    static KeyFilter* install(AppModel& model, QWidget* mainWindow);

    // The context of a key press now.
    KeyContext context() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    AppModel& model_;
    QPointer<QWidget> mainWindow_;
    bool viewerFullScreen_ = false;
};

}  // namespace vintrelle
