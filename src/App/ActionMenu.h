#pragma once
// A menu as plain data: titles, separators, submenus, and the function each
// item runs. The application state decides a menu without any widget; the
// QMenu is made from it only when it is shown.

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QMenu;
class QWidget;

namespace vintrelle {

struct ActionMenuItem {
    enum class Kind { action, separator, submenu };
    Kind kind = Kind::action;
    std::string title;  // as shown: plain text, no mnemonics
    std::function<void()> handler;
    std::vector<ActionMenuItem> submenu;

    static ActionMenuItem action(std::string title, std::function<void()> handler) {
        return {Kind::action, std::move(title), std::move(handler), {}};
    }
    static ActionMenuItem separator() { return {Kind::separator, {}, {}, {}}; }
    static ActionMenuItem menu(std::string title, std::vector<ActionMenuItem> items) {
        return {Kind::submenu, std::move(title), {}, std::move(items)};
    }
};

using ActionMenu = std::vector<ActionMenuItem>;

// The title as a QMenu shows it literally: "&" doubled (else it marks a
// mnemonic) and tabs and line breaks as blanks (a tab starts the shortcut
// column). A title longer than kMenuTextLimit characters (an album or a
// person named at length) keeps its beginning and its end around an
// ellipsis, so menus of names stay narrow and the names stay told apart.
inline constexpr int kMenuTextLimit = 50;
std::string menuText(const std::string& title);

// The menu's widgets; each item runs its handler when triggered. No item has
// a shortcut, and every item is enabled.
std::unique_ptr<QMenu> makeMenu(const ActionMenu& menu, QWidget* parent = nullptr);

}  // namespace vintrelle
