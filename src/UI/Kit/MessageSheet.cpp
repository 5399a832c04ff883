#include "UI/Kit/MessageSheet.h"

#include <QPushButton>
#include <QVBoxLayout>

#include "UI/Kit/Labels.h"

namespace vintrelle {

namespace {

MessageSheet::Presenter& presenter() {
    static MessageSheet::Presenter p;
    return p;
}

}  // namespace

MessageSheet::MessageSheet(const MessagePrompt& prompt, OnConfirm onConfirm, QWidget* parent)
    : Sheet(prompt.heading, prompt.confirm, prompt.action, prompt.cancellable, prompt.icon, parent),
      onConfirm_(std::move(onConfirm)) {
    // The heading is read inside; the title bar names the application.
    setWindowTitle(QString());
    message_ = new TextBlock(prompt.message, 13, QFont::Normal, ThemeColor::ink2, this);
    message_->setWordWrap(true);
    message_->setLineSpacing(2);
    message_->setFixedWidth(sheetWidth - 2 * margin);
    message_->setVisible(!prompt.message.isEmpty());
    rows()->addWidget(message_);
    connect(confirmButton(), &QPushButton::clicked, this, &MessageSheet::confirm);
}

MessageSheet* MessageSheet::present(QWidget* window, const MessagePrompt& prompt, OnConfirm onConfirm) {
    return Sheet::present(new MessageSheet(prompt, std::move(onConfirm), window ? window->window() : nullptr),
                          presenter());
}

void MessageSheet::setPresenter(Presenter p) { presenter() = std::move(p); }

QString MessageSheet::message() const { return message_->text(); }

void MessageSheet::setMessage(const QString& message) {
    message_->setText(message);
    message_->setVisible(!message.isEmpty());
}

void MessageSheet::showEvent(QShowEvent* e) {
    Sheet::showEvent(e);
    // The confirming button holds the keyboard, so Return presses it; a
    // button the user tabs to takes Return over, as buttons do.
    confirmButton()->setFocus(Qt::OtherFocusReason);
}

void MessageSheet::confirm() {
    if (confirmed_) return;
    confirmed_ = true;
    // Taken before closing: the sheet deletes itself once closed.
    const OnConfirm action = onConfirm_;
    accept();
    if (action) action();
}

}  // namespace vintrelle
