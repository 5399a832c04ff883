#include "App/KeyFilter.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QWidget>

namespace vintrelle {

bool isEditingText(const QWidget* w) {
    if (!w) return false;
    if (qobject_cast<const QLineEdit*>(w) || qobject_cast<const QAbstractSpinBox*>(w)) return true;
    if (const auto* t = qobject_cast<const QTextEdit*>(w)) return !t->isReadOnly();
    if (const auto* t = qobject_cast<const QPlainTextEdit*>(w)) return !t->isReadOnly();
    // Any other widget that takes typed text asks for the input method.
    return w->testAttribute(Qt::WA_InputMethodEnabled);
}

KeyDecision decideKey(const KeyContext& c, const KeyStroke& s) {
    if (!c.mainWindowActive || c.dialogOpen || c.popupOpen || c.textFocused) return {};
    const bool modified = s.modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (modified) return {};
    // A held key repeats: steps repeat, toggles act once and swallow the rest.
    auto once = [&](KeyAction a) { return KeyDecision{s.autoRepeat ? KeyAction::none : a, true}; };

    if (!c.viewerOpen) {
        if (s.key == Qt::Key_Escape && !c.selectionEmpty) return once(KeyAction::clearSelection);
        return {};
    }
    switch (s.key) {
        case Qt::Key_Right:
        case Qt::Key_Down: return {KeyAction::nextAsset, true};
        case Qt::Key_Left:
        case Qt::Key_Up: return {KeyAction::previousAsset, true};
        case Qt::Key_Space: return once(KeyAction::playOrClose);
        case Qt::Key_Escape: return once(c.viewerFullScreen ? KeyAction::leaveFullScreen : KeyAction::closeViewer);
        default: break;
    }
    const QString typed = s.text.toLower();
    if (typed == QLatin1String("i")) return once(KeyAction::toggleInfo);
    if (typed == QLatin1String("f")) return once(KeyAction::toggleFavorite);
    return {};
}

void applyKey(AppModel& model, KeyAction action) {
    const Asset* shown = model.viewer() ? model.viewer()->current() : nullptr;
    switch (action) {
        case KeyAction::none: break;
        case KeyAction::clearSelection: model.clearSelection(); break;
        case KeyAction::nextAsset: model.stepViewer(1); break;
        case KeyAction::previousAsset: model.stepViewer(-1); break;
        case KeyAction::playOrClose:
            if (shown && shown->kind == MediaKind::video) model.raiseVideoToggleToken();
            else model.closeViewer();
            break;
        case KeyAction::closeViewer: model.closeViewer(); break;
        case KeyAction::leaveFullScreen: break;
        case KeyAction::toggleInfo: model.setShowInfo(!model.showInfo()); break;
        case KeyAction::toggleFavorite:
            if (shown) model.toggleFavorite({shown->id});
            break;
    }
}

KeyFilter::KeyFilter(AppModel& model, QWidget* mainWindow, QObject* parent)
    : QObject(parent), model_(model), mainWindow_(mainWindow) {
    // Full screen that began before the viewer opened is the window's own.
    connect(&model_, &AppModel::isFullScreenChanged, this,
            [this] { viewerFullScreen_ = model_.isFullScreen() && model_.viewer().has_value(); });
    connect(&model_, &AppModel::viewerChanged, this, [this] {
        if (!model_.viewer()) viewerFullScreen_ = false;
    });
}

KeyFilter* KeyFilter::install(AppModel& model, QWidget* mainWindow) {
    auto* filter = new KeyFilter(model, mainWindow, mainWindow);
    qApp->installEventFilter(filter);
    return filter;
}

KeyContext KeyFilter::context() const {
    KeyContext c;
    c.mainWindowActive = mainWindow_ && QApplication::activeWindow() == mainWindow_->window();
    c.dialogOpen = QApplication::activeModalWidget() != nullptr;
    c.popupOpen = QApplication::activePopupWidget() != nullptr;
    c.textFocused = isEditingText(QApplication::focusWidget());
    c.viewerOpen = model_.viewer().has_value();
    c.viewerFullScreen = viewerFullScreen_ && model_.isFullScreen();
    c.selectionEmpty = model_.selection().empty();
    return c;
}

bool KeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const KeyDecision d = decideKey(context(), {key->key(), key->modifiers(), key->text(), key->isAutoRepeat()});
    // A claimed key is accepted, so it goes no further and is seen here once;
    // one passed on may come by again on its way up to the window, and is
    // passed on again.
    if (!d.consumed) return false;
    event->accept();
    if (d.action == KeyAction::leaveFullScreen) {
        if (QWidget* window = mainWindow_ ? mainWindow_->window() : nullptr)
            window->setWindowState(window->windowState() & ~Qt::WindowFullScreen);
    } else {
        applyKey(model_, d.action);
    }
    return true;
}

}  // namespace vintrelle
