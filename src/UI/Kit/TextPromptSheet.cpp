#include "UI/Kit/TextPromptSheet.h"

#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "UI/Kit/Fonts.h"

namespace vintrelle {

namespace {

TextPromptSheet::Presenter& presenter() {
    static TextPromptSheet::Presenter p;
    return p;
}

// Blanks are spaces and tabs; a name of only those is no name.
bool blank(const QString& text) {
    for (QChar c : text)
        if (c != u' ' && c != u'\t') return false;
    return true;
}

}  // namespace

TextPromptSheet::TextPromptSheet(const TextPrompt& prompt, OnConfirm onConfirm, QWidget* parent)
    : Sheet(prompt.title, prompt.confirm, Action::primary, true, {}, parent),
      prompt_(prompt),
      onConfirm_(std::move(onConfirm)) {
    field_ = new QLineEdit(this);
    field_->setPlaceholderText(prompt.label);
    field_->setFont(Fonts::font(13));
    field_->setClearButtonEnabled(false);
    rows()->addWidget(field_);
    // The field keeps the keyboard: Cancel never becomes the default.
    cancelButton()->setAutoDefault(false);
    confirmButton()->setAutoDefault(false);

    // Return reaches the dialog's default button (the field passes it on),
    // which is the one way in: the field's own returnPressed is left alone,
    // so a confirmation happens once.
    connect(confirmButton(), &QPushButton::clicked, this, &TextPromptSheet::commit);
    connect(field_, &QLineEdit::textChanged, this, [this] { confirmButton()->setEnabled(canConfirm()); });
    field_->setText(prompt.initial);
    confirmButton()->setEnabled(canConfirm());
}

TextPromptSheet* TextPromptSheet::present(QWidget* window, const TextPrompt& prompt, OnConfirm onConfirm) {
    return Sheet::present(new TextPromptSheet(prompt, std::move(onConfirm), window ? window->window() : nullptr),
                          presenter());
}

void TextPromptSheet::setPresenter(Presenter p) { presenter() = std::move(p); }

bool TextPromptSheet::canConfirm() const { return prompt_.allowEmpty || !blank(field_->text()); }

void TextPromptSheet::commit() {
    if (committed_ || !canConfirm()) return;
    committed_ = true;
    // Taken before closing: a sheet that deletes itself on close may be gone
    // by the time the receiver runs.
    const QString text = field_->text();
    const OnConfirm confirm = onConfirm_;
    accept();
    if (confirm) confirm(text);
}

void TextPromptSheet::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    // Each presentation starts from the initial text, with the field taking
    // the keyboard and the text selected, ready to be typed over.
    field_->setText(prompt_.initial);
    field_->selectAll();
    field_->setFocus(Qt::OtherFocusReason);
}

}  // namespace vintrelle
