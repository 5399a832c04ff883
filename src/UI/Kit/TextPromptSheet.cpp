#include "UI/Kit/TextPromptSheet.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "UI/Kit/Fonts.h"
#include "UI/Kit/Labels.h"
#include "UI/Kit/Theme.h"

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
    : QDialog(parent), prompt_(prompt), onConfirm_(std::move(onConfirm)) {
    setWindowTitle(prompt.title);
    setWindowModality(Qt::WindowModal);
    setModal(true);

    auto* title = new TextBlock(prompt.title, 20, QFont::Bold, ThemeColor::ink, this);
    field_ = new QLineEdit(this);
    field_->setPlaceholderText(prompt.label);
    field_->setFont(Fonts::font(13));
    field_->setClearButtonEnabled(false);
    cancel_ = new QPushButton(tr("Cancel"), this);
    cancel_->setAutoDefault(false);
    confirm_ = new QPushButton(prompt.confirm, this);
    confirm_->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cancel_);
    buttons->addWidget(confirm_);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(22, 22, 22, 22);
    column->setSpacing(14);
    column->addWidget(title);
    column->addWidget(field_);
    column->addLayout(buttons);
    column->setSizeConstraint(QLayout::SetFixedSize);
    title->setFixedWidth(360 - 2 * 22);  // the sheet is 360 px wide

    // Return reaches the dialog's default button (the field passes it on),
    // which is the one way in: the field's own returnPressed is left alone,
    // so a confirmation happens once.
    connect(confirm_, &QPushButton::clicked, this, &TextPromptSheet::commit);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(field_, &QLineEdit::textChanged, this, [this] { confirm_->setEnabled(canConfirm()); });
    field_->setText(prompt.initial);
    confirm_->setEnabled(canConfirm());
}

TextPromptSheet* TextPromptSheet::present(QWidget* window, const TextPrompt& prompt, OnConfirm onConfirm) {
    auto* sheet = new TextPromptSheet(prompt, std::move(onConfirm), window ? window->window() : nullptr);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    if (presenter()) presenter()(sheet);
    else sheet->open();
    return sheet;
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

void TextPromptSheet::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Theme::card());
}

}  // namespace vintrelle
