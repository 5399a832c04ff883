#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include "UI/Kit/TextPromptSheet.h"

using namespace vintrelle;

namespace {

// Opens sheets as the application does (open(), never exec()) and keeps the
// last one for the test to drive.
struct PromptSeam {
    QPointer<TextPromptSheet> sheet;
    QWidget window;
    PromptSeam() {
        window.resize(400, 300);
        window.show();
        TextPromptSheet::setPresenter([this](TextPromptSheet* s) {
            sheet = s;
            s->open();
        });
    }
    ~PromptSeam() {
        TextPromptSheet::setPresenter(nullptr);
        delete sheet.data();
    }
    void key(int k) {
        QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
        QKeyEvent release(QEvent::KeyRelease, k, Qt::NoModifier);
        QWidget* target = sheet->focusWidget() ? sheet->focusWidget() : sheet.data();
        QApplication::sendEvent(target, &press);
        if (sheet) QApplication::sendEvent(sheet->focusWidget() ? sheet->focusWidget() : sheet.data(), &release);
        QCoreApplication::processEvents();
    }
};

}  // namespace

TEST(TextPromptSheet, ConfirmRules) {
    struct Case {
        const char* what;
        bool allowEmpty;
        QString typed;
        int key;
        bool confirms;
    };
    const Case cases[] = {
        {"album name typed", false, QStringLiteral("  Rome 2021 "), Qt::Key_Return, true},
        {"enter key", false, QStringLiteral("Rome"), Qt::Key_Enter, true},
        {"album name of blanks", false, QStringLiteral(" \t  "), Qt::Key_Return, false},
        {"empty album name", false, QString(), Qt::Key_Return, false},
        {"rename to nothing", true, QString(), Qt::Key_Return, true},
        {"escape", true, QStringLiteral("Ann"), Qt::Key_Escape, false},
    };
    for (const Case& c : cases) {
        PromptSeam seam;
        QStringList confirmed;
        TextPromptSheet::present(&seam.window, {QStringLiteral("New Album"), QStringLiteral("Name"), QString(),
                                                QStringLiteral("Create"), c.allowEmpty},
                                 [&](const QString& t) { confirmed << t; });
        ASSERT_TRUE(seam.sheet) << c.what;
        EXPECT_EQ(seam.sheet->windowModality(), Qt::WindowModal);
        seam.sheet->field()->setText(c.typed);
        EXPECT_EQ(seam.sheet->confirmButton()->isEnabled(), c.key == Qt::Key_Escape || c.confirms) << c.what;
        seam.key(c.key);
        if (c.confirms) {
            // Once, and as typed: the receivers trim.
            EXPECT_EQ(confirmed, QStringList{c.typed}) << c.what;
        } else {
            EXPECT_TRUE(confirmed.isEmpty()) << c.what;
        }
        const bool closes = c.confirms || c.key == Qt::Key_Escape;
        EXPECT_EQ(!seam.sheet || !seam.sheet->isVisible(), closes) << c.what;
        if (seam.sheet && seam.sheet->isVisible()) {
            // A refused Return leaves the sheet waiting for a name.
            seam.sheet->field()->setText(QStringLiteral("Lisbon"));
            seam.key(Qt::Key_Return);
            EXPECT_EQ(confirmed, QStringList{QStringLiteral("Lisbon")}) << c.what;
        }
    }
}

TEST(TextPromptSheet, OpensOnTheInitialTextAndConfirmsOnce) {
    PromptSeam seam;
    int calls = 0;
    TextPromptSheet::present(&seam.window,
                             {QStringLiteral("Rename Person"), QStringLiteral("Name"), QStringLiteral("Ann"),
                              QStringLiteral("Rename"), true},
                             [&](const QString&) { ++calls; });
    ASSERT_TRUE(seam.sheet);
    EXPECT_TRUE(seam.sheet->isVisible());
    EXPECT_EQ(seam.sheet->parentWidget(), &seam.window);
    EXPECT_EQ(seam.sheet->field()->text(), QStringLiteral("Ann"));
    EXPECT_EQ(seam.sheet->field()->selectedText(), QStringLiteral("Ann"));
    EXPECT_EQ(seam.sheet->focusWidget(), seam.sheet->field());
    EXPECT_EQ(seam.sheet->width(), 360);
    // The button and Return both lead to one confirmation, however often.
    seam.sheet->confirmButton()->click();
    seam.sheet->commit();
    if (seam.sheet) seam.key(Qt::Key_Return);
    EXPECT_EQ(calls, 1);
}
