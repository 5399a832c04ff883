#pragma once
// The sheet that asks for one line of text: a new album's name, or a new name
// for an album, a person or a trip. The text goes to onConfirm as typed (its
// receivers trim it), once, and only when it may be confirmed.

#include <functional>

#include "UI/Kit/Sheet.h"

class QLineEdit;

namespace vintrelle {

struct TextPrompt {
    QString title;    // the heading
    QString label;    // the field's placeholder
    QString initial;  // the text the field starts with
    QString confirm;  // the confirm button's title
    bool allowEmpty = false;
};

class TextPromptSheet : public Sheet {
    Q_OBJECT
public:
    using OnConfirm = std::function<void(const QString&)>;

    TextPromptSheet(const TextPrompt& prompt, OnConfirm onConfirm, QWidget* parent = nullptr);

    // Shows a sheet over window (window-modal, deleted when closed) and
    // returns it. With a presenter installed, the presenter gets the sheet
    // instead of it being opened: tests drive it from there.
    static TextPromptSheet* present(QWidget* window, const TextPrompt& prompt, OnConfirm onConfirm);
    using Presenter = std::function<void(TextPromptSheet*)>;
    static void setPresenter(Presenter presenter);

    bool canConfirm() const;
    // Confirms the text when it may be confirmed; at most once per sheet.
    void commit();

    QLineEdit* field() const { return field_; }

protected:
    void showEvent(QShowEvent* e) override;

private:
    TextPrompt prompt_;
    OnConfirm onConfirm_;
    bool committed_ = false;
    QLineEdit* field_;
};

}  // namespace vintrelle
