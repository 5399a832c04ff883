#include "UI/Kit/OverlayScrollBar.h"

#include <QProxyStyle>
#include <QScrollBar>

namespace vintrelle {

namespace {

class OverlayScrollStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* ret) const override {
        if (hint == SH_ScrollBar_Transient) return 1;
        return QProxyStyle::styleHint(hint, option, widget, ret);
    }
};

}  // namespace

void makeOverlayScrollBar(QScrollBar* bar) {
    auto* style = new OverlayScrollStyle;
    style->setParent(bar);
    bar->setStyle(style);
}

}  // namespace vintrelle
