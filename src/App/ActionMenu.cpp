#include "App/ActionMenu.h"

#include <QMenu>
#include <QTextBoundaryFinder>

#include <vector>

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
    QString text = QString::fromStdString(title);
    for (QChar& c : text)
        if (c == u'\t' || c == u'\n' || c == u'\r') c = u' ';
    // Characters as a reader counts them: an accent or an emoji is never cut apart.
    std::vector<qsizetype> starts;
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype at = 0; at >= 0 && at < text.size(); at = graphemes.toNextBoundary()) starts.push_back(at);
    if (qsizetype(starts.size()) > kMenuTextLimit) {
        const size_t head = (kMenuTextLimit - 1) / 2, tail = kMenuTextLimit - 1 - head;
        QString front = text.left(starts[head]), back = text.mid(starts[starts.size() - tail]);
        while (front.endsWith(u' ')) front.chop(1);
        while (back.startsWith(u' ')) back.remove(0, 1);
        text = front + QChar(0x2026) + back;
    }
    text.replace(u'&', QStringLiteral("&&"));
    return text.toStdString();
}

std::unique_ptr<QMenu> makeMenu(const ActionMenu& menu, QWidget* parent) {
    auto qmenu = std::make_unique<QMenu>(parent);
    fill(*qmenu, menu);
    return qmenu;
}

}  // namespace vintrelle
