#pragma once
// The application's icon: drawn from its vector file at any size and pixel
// ratio, and handed to the desktop for the windows.

#include <QIcon>
#include <QWidget>

namespace vintrelle {

class AppIcon : public QWidget {
    Q_OBJECT
public:
    explicit AppIcon(int side, QWidget* parent = nullptr);

    static QString resource();  // ":/vintrelle.svg"
    static QIcon icon();

protected:
    void paintEvent(QPaintEvent*) override;
};

}  // namespace vintrelle
