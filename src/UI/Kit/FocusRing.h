#pragma once
// Where the keyboard is: a control draws its focus ring only while the focus
// it holds came by the keyboard (Tab, Shift+Tab, a shortcut that moved it),
// not after a click and not for the first control of a window just opened.
// Qt's own sign of this, a window's flag set by the first Tab or shortcut
// and never cleared, would ring every control clicked after it.

class QWidget;

namespace vintrelle::FocusRing {

// Follows how the control gets its focus from now on.
void track(QWidget* control);
// Whether the control holds the focus and the keyboard moved it there.
bool shows(const QWidget* control);

}  // namespace vintrelle::FocusRing
