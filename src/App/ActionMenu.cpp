#include "App/ActionMenu.h"

#include <QMenu>

namespace vintrelle {

namespace {

void fill(QMenu& qmenu, const ActionMenu& items) {
    for (const ActionMenuItem& item : items) {
        const QString text = QString::fromStdString(menuText(item.title));
        switch (item.kind) {
            case ActionMenuItem::Kind::separator: qmenu.addSeparator(); break;
            case ActionMenuItem::Kind::action: {
                QAction* action = qmenu.addAction(text);
                if (item.handler) QObject::connect(action, &QAction::triggered, action, [h = item.handler] { h(); });
                break;
            }
            case ActionMenuItem::Kind::submenu: {
                auto* sub = new QMenu(text, &qmenu);
                fill(*sub, item.submenu);
                qmenu.addMenu(sub);
                break;
            }
        }
    }
}

}  // namespace

std::string menuText(const std::string& title) {
    std::string out;
    out.reserve(title.size());
    for (char c : title) {
        if (c == '&') out += "&&";
        else if (c == '\t' || c == '\n' || c == '\r') out += ' ';
        else out += c;
    }
    return out;
}

std::unique_ptr<QMenu> makeMenu(const ActionMenu& menu, QWidget* parent) {
    auto qmenu = std::make_unique<QMenu>(parent);
    fill(*qmenu, menu);
    return qmenu;
}

}  // namespace vintrelle
