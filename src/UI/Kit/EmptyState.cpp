#include "UI/Kit/EmptyState.h"

#include <QPushButton>
#include <QVBoxLayout>

#include "UI/Kit/Buttons.h"
#include "UI/Kit/Labels.h"

namespace vintrelle {

EmptyState::EmptyState(const QString& symbol, const QString& title, const QString& message,
                       std::optional<QString> actionTitle, std::function<void()> action, QWidget* parent)
    : QWidget(parent) {
    symbol_ = new SymbolView(symbol, 30, QFont::Light, ThemeColor::ink3, this);
    title_ = new TextBlock(title, 22, QFont::Bold, ThemeColor::ink, this);
    title_->setAlignment(Qt::AlignHCenter);
    message_ = new TextBlock(message, 13, QFont::Normal, ThemeColor::ink2, this);
    message_->setWordWrap(true);
    message_->setAlignment(Qt::AlignHCenter);
    message_->setLineSpacing(3);
    message_->setMaximumWidth(380);
    button_ = new QPushButton(this);
    QuietButtonStyle::apply(button_);
    connect(button_, &QPushButton::clicked, this, [this] {
        if (action_) action_();
    });

    // Rows 10 px apart, 6 more below the symbol and 8 more above the button,
    // written out so a missing button leaves no gap behind.
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(40, 40, 40, 40);
    column->setSpacing(0);
    column->addStretch(1);
    column->addWidget(symbol_, 0, Qt::AlignHCenter);
    column->addSpacing(10 + 6);
    column->addWidget(title_, 0, Qt::AlignHCenter);
    column->addSpacing(10);
    column->addWidget(message_, 0, Qt::AlignHCenter);
    buttonGap_ = new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Fixed);
    column->addSpacerItem(buttonGap_);
    column->addWidget(button_, 0, Qt::AlignHCenter);
    column->addStretch(1);
    set(symbol, title, message, std::move(actionTitle), std::move(action));
}

void EmptyState::set(const QString& symbol, const QString& title, const QString& message,
                     std::optional<QString> actionTitle, std::function<void()> action) {
    symbol_->setSymbol(symbol);
    title_->setText(title);
    message_->setText(message);
    const bool complete = actionTitle.has_value() && bool(action);
    action_ = complete ? std::move(action) : nullptr;
    button_->setText(complete ? *actionTitle : QString());
    button_->setVisible(complete);
    buttonGap_->changeSize(0, complete ? 10 + 8 : 0, QSizePolicy::Minimum, QSizePolicy::Fixed);
    layout()->invalidate();
}

QString EmptyState::symbol() const { return symbol_->symbol(); }
QString EmptyState::title() const { return title_->text(); }
QString EmptyState::message() const { return message_->text(); }
QPushButton* EmptyState::actionButton() const { return button_->isHidden() ? nullptr : button_; }

}  // namespace vintrelle
