// The questions and the alert in the kit's own look: no icons on the
// buttons, the destructive action in red, Return on the confirming button,
// Escape on Cancel, and the action run once.

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include "UI/Kit/Buttons.h"
#include "UI/Kit/MessageSheet.h"
#include "UI/Kit/TextPromptSheet.h"
#include "UI/Kit/Theme.h"
#include "fixtures/Patience.h"

using namespace vintrelle;

namespace {

struct SheetSeam {
    QWidget window;
    QPointer<MessageSheet> sheet;
    SheetSeam() {
        window.resize(500, 400);
        window.show();
        MessageSheet::setPresenter([this](MessageSheet* s) {
            sheet = s;
            s->open();
        });
    }
    ~SheetSeam() {
        MessageSheet::setPresenter(nullptr);
        delete sheet.data();
    }
    // A key as the user presses it: to whatever holds the sheet's keyboard.
    void key(int k) {
        QWidget* to = sheet->focusWidget() ? sheet->focusWidget() : sheet.data();
        QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
        QApplication::sendEvent(to, &press);
        QCoreApplication::processEvents();
    }
};

// The colour a kit button is filled with, read off its pixels.
QColor fillOf(QPushButton* b) {
    const QImage shot = b->grab().toImage();
    return shot.pixelColor(shot.width() / 2, 3);
}

bool near(const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) < 12 && std::abs(a.green() - b.green()) < 12 && std::abs(a.blue() - b.blue()) < 12;
}

}  // namespace

TEST(MessageSheet, ConfirmationsAndTheAlertAnswerOnce) {
    struct Case {
        const char* what;
        Sheet::Action action;
        bool cancellable;
        int key;  // 0: the confirming button clicked
        bool confirms;
    };
    const Case cases[] = {
        {"return on a destructive question", Sheet::Action::destructive, true, Qt::Key_Return, true},
        {"keypad enter", Sheet::Action::primary, true, Qt::Key_Enter, true},
        {"escape", Sheet::Action::destructive, true, Qt::Key_Escape, false},
        {"cancel clicked", Sheet::Action::primary, true, -1, false},
        {"alert dismissed with return", Sheet::Action::primary, false, Qt::Key_Return, true},
        {"alert dismissed with escape", Sheet::Action::primary, false, Qt::Key_Escape, false},
        {"clicked twice", Sheet::Action::destructive, true, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SheetSeam seam;
        int runs = 0;
        MessageSheet::present(&seam.window,
                              {QStringLiteral("Remove \u201CPhotos\u201D from Vintrelle?"),
                               QStringLiteral("Your photos stay exactly where they are."), QStringLiteral("Remove"),
                               c.action, c.cancellable},
                              [&] { ++runs; });
        ASSERT_TRUE(seam.sheet);
        EXPECT_EQ(seam.sheet->windowModality(), Qt::WindowModal);
        EXPECT_EQ(seam.sheet->parentWidget(), &seam.window);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(seam.sheet, fixtures::patientMs));
        EXPECT_EQ(seam.sheet->cancelButton() != nullptr, c.cancellable);
        if (c.key == -1) seam.sheet->cancelButton()->click();
        else if (c.key == 0) {
            QPushButton* confirm = seam.sheet->confirmButton();
            confirm->click();
            if (seam.sheet) seam.sheet->confirm();
        } else seam.key(c.key);
        EXPECT_EQ(runs, c.confirms ? 1 : 0);
        EXPECT_TRUE(!seam.sheet || !seam.sheet->isVisible());
    }
}

TEST(MessageSheet, ButtonsAreTheKitsWithoutIconsAndTheDestructiveOneIsRed) {
    for (bool dark : {false, true}) {
        Theme::setDark(dark);
        for (Sheet::Action action : {Sheet::Action::destructive, Sheet::Action::primary}) {
            SheetSeam seam;
            MessageSheet::present(&seam.window, {QStringLiteral("Delete the album \u201CSummer\u201D?"), QString(),
                                                 QStringLiteral("Delete Album"), action});
            ASSERT_TRUE(QTest::qWaitForWindowExposed(seam.sheet, fixtures::patientMs));
            QPushButton* confirm = seam.sheet->confirmButton();
            EXPECT_TRUE(confirm->icon().isNull());
            EXPECT_TRUE(seam.sheet->cancelButton()->icon().isNull());
            // One row of buttons, one height.
            EXPECT_EQ(seam.sheet->cancelButton()->height(), confirm->height());
            const QColor fill = action == Sheet::Action::destructive ? Theme::destructive(dark)
                                                                     : Theme::color(ThemeColor::accent, dark);
            EXPECT_TRUE(near(fillOf(confirm), fill)) << fillOf(confirm).name().toStdString();
            // The confirming button holds the keyboard; Cancel takes Return only once the user tabs to it.
            EXPECT_EQ(seam.sheet->focusWidget(), confirm);
        }
    }
    Theme::setDark(false);

    // The name prompt has the same buttons.
    QWidget window;
    TextPromptSheet::setPresenter([](TextPromptSheet* s) { s->open(); });
    QPointer<TextPromptSheet> prompt = TextPromptSheet::present(
        &window, {QStringLiteral("New Album"), QStringLiteral("Name"), QString(), QStringLiteral("Create"), false}, {});
    TextPromptSheet::setPresenter(nullptr);
    EXPECT_TRUE(prompt->confirmButton()->icon().isNull());
    EXPECT_EQ(prompt->confirmButton()->style(), PrimaryButtonStyle::shared());
    delete prompt.data();
}
