#include "UI/Kit/Sheet.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "UI/Kit/Buttons.h"
#include "UI/Kit/Labels.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

namespace {
constexpr int iconSide = 48;
}

Sheet::Sheet(const QString& heading, const QString& confirm, Action action, bool cancellable, const QIcon& icon,
             QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(heading);
    setWindowModality(Qt::WindowModal);
    setModal(true);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(margin, margin, margin, margin);
    column->setSpacing(14);
    column->setSizeConstraint(QLayout::SetFixedSize);
    if (!icon.isNull()) {
        auto* picture = new QLabel(this);
        picture->setPixmap(icon.pixmap(iconSide, iconSide));
        picture->setFixedSize(iconSide, iconSide);
        column->addWidget(picture);
    }
    heading_ = new TextBlock(heading, 20, QFont::Bold, ThemeColor::ink, this);
    heading_->setWordWrap(true);
    heading_->setFixedWidth(sheetWidth - 2 * margin);
    column->addWidget(heading_);
    rows_ = new QVBoxLayout;
    rows_->setContentsMargins(0, 0, 0, 0);
    rows_->setSpacing(14);
    column->addLayout(rows_);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addStretch(1);
    if (cancellable) {
        cancel_ = new QPushButton(tr("Cancel"), this);
        QuietButtonStyle::apply(cancel_, QuietButtonStyle::Size::besidePrimary);
        connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
        buttons->addWidget(cancel_);
    }
    confirm_ = new QPushButton(confirm, this);
    if (action == Action::destructive) DestructiveButtonStyle::apply(confirm_);
    else PrimaryButtonStyle::apply(confirm_);
    confirm_->setDefault(true);
    buttons->addWidget(confirm_);
    column->addSpacing(4);
    column->addLayout(buttons);
}

QString Sheet::heading() const { return heading_->text(); }

void Sheet::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Theme::card());
}

}  // namespace vintrelle
