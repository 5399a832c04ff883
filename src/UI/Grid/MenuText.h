#pragma once
// A name as a menu item's title: "&" would mark a shortcut letter and a tab
// would start the shortcut column, so a name holding them is written out
// literally.

#include <QString>

#include <string>

namespace vintrelle {

inline QString menuText(const std::string& name) {
    QString s = QString::fromStdString(name);
    s.replace(u'&', QStringLiteral("&&"));
    s.replace(u'\t', u' ');
    return s;
}

}  // namespace vintrelle
