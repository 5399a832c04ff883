#include "UI/Kit/FocusRing.h"

#include <QApplication>
#include <QFocusEvent>
#include <QPointer>
#include <QWidget>

namespace vintrelle::FocusRing {

namespace {

constexpr const char* kByKeyboard = "vintrelleKeyboardFocus";

class Tracker final : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* e) override {
        auto* control = qobject_cast<QWidget*>(watched);
        if (!control) return false;
        switch (e->type()) {
            case QEvent::FocusIn:
                switch (static_cast<QFocusEvent*>(e)->reason()) {
                    case Qt::TabFocusReason:
                    case Qt::BacktabFocusReason:
                    case Qt::ShortcutFocusReason:
                        control->setProperty(kByKeyboard, true);
                        break;
                    // The focus coming back with its window or after a menu
                    // is where it was: so is the ring.
                    case Qt::ActiveWindowFocusReason:
                    case Qt::PopupFocusReason:
                        break;
                    default:
                        control->setProperty(kByKeyboard, false);
                }
                break;
            // A click on a control the keyboard reached puts the pointer in charge.
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonDblClick:
                if (control->property(kByKeyboard).toBool()) {
                    control->setProperty(kByKeyboard, false);
                    control->update();
                }
                break;
            default:
                break;
        }
        return false;
    }
};

// One for the application; a second application (tests) gets a new one.
Tracker* tracker() {
    static QPointer<Tracker> slot;
    if (!slot) slot = new Tracker(qApp);
    return slot.data();
}

}  // namespace

void track(QWidget* control) {
    if (control) control->installEventFilter(tracker());
}

bool shows(const QWidget* control) {
    return control && control->hasFocus() && control->property(kByKeyboard).toBool();
}

}  // namespace vintrelle::FocusRing
