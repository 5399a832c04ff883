#pragma once
// What the kit's sheets share: a window-modal dialog on the card colour,
// 360 px wide, an optional picture, a bold heading, the sheet's own rows, and
// a row of "Cancel" and the confirming button. The buttons are the kit's own
// (no icons): the confirming one filled in the accent colour, or in red for
// an action that cannot be undone. Return presses the confirming button
// while nothing else holds the keyboard, Escape cancels. Opened with open(),
// never exec().

#include <QDialog>
#include <QIcon>

#include <functional>

class QPushButton;
class QVBoxLayout;

namespace vintrelle {

class TextBlock;

class Sheet : public QDialog {
    Q_OBJECT
public:
    static constexpr int sheetWidth = 360;
    static constexpr int margin = 22;

    enum class Action { primary, destructive };

    QPushButton* confirmButton() const { return confirm_; }
    // Null on a sheet with one button.
    QPushButton* cancelButton() const { return cancel_; }
    QString heading() const;

protected:
    Sheet(const QString& heading, const QString& confirm, Action action, bool cancellable, const QIcon& icon,
          QWidget* parent);
    // The sheet's own rows, between the heading and the buttons.
    QVBoxLayout* rows() const { return rows_; }
    // Deleted when closed, and opened, or handed to the tests' presenter.
    template <class S>
    static S* present(S* sheet, const std::function<void(S*)>& presenter) {
        sheet->setAttribute(Qt::WA_DeleteOnClose);
        if (presenter) presenter(sheet);
        else sheet->open();
        return sheet;
    }

    void paintEvent(QPaintEvent* e) override;

private:
    TextBlock* heading_;
    QVBoxLayout* rows_;
    QPushButton* confirm_;
    QPushButton* cancel_ = nullptr;
};

}  // namespace vintrelle
