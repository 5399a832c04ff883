#pragma once
// The sheet that asks a question before an action (forget a library, start
// over with people, merge two people, delete an album) or tells the user
// something (the application's alert, with one button). The action runs
// once, on the confirming button or Return; Escape and "Cancel" close the
// sheet and run nothing.

#include <functional>
#include <utility>

#include "UI/Kit/Sheet.h"

namespace vintrelle {

class TextBlock;

struct MessagePrompt {
    MessagePrompt(QString heading, QString message, QString confirm, Sheet::Action action = Sheet::Action::primary,
                  bool cancellable = true, QIcon icon = {})
        : heading(std::move(heading)),
          message(std::move(message)),
          confirm(std::move(confirm)),
          action(action),
          cancellable(cancellable),
          icon(std::move(icon)) {}

    QString heading;
    QString message;   // plain text under the heading; none when empty
    QString confirm;   // the confirming button ("OK" for an alert)
    Sheet::Action action = Sheet::Action::primary;
    bool cancellable = true;  // false: the confirming button alone
    QIcon icon;               // shown above the heading when set
};

class MessageSheet : public Sheet {
    Q_OBJECT
public:
    using OnConfirm = std::function<void()>;

    MessageSheet(const MessagePrompt& prompt, OnConfirm onConfirm, QWidget* parent = nullptr);

    // Shows a sheet over window (window-modal, deleted when closed) and
    // returns it. With a presenter installed, the presenter gets the sheet
    // instead of it being opened: tests drive it from there.
    static MessageSheet* present(QWidget* window, const MessagePrompt& prompt, OnConfirm onConfirm = {});
    using Presenter = std::function<void(MessageSheet*)>;
    static void setPresenter(Presenter presenter);

    QString message() const;
    void setMessage(const QString& message);
    // Runs the action (at most once per sheet) and closes the sheet.
    void confirm();

protected:
    void showEvent(QShowEvent* e) override;

private:
    OnConfirm onConfirm_;
    bool confirmed_ = false;
    TextBlock* message_;
};

}  // namespace vintrelle
