#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QEnterEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>

#include "UI/Kit/Buttons.h"
#include "UI/Kit/CardShadow.h"
#include "UI/Kit/EmptyState.h"
#include "UI/Kit/Labels.h"
#include "UI/Kit/Theme.h"
#include "UI/Window/SettingsView.h"

using namespace vintrelle;

namespace {
void hover(QWidget& w, bool in) {
    if (in) {
        QEnterEvent e(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(&w, &e);
    } else {
        QEvent e(QEvent::Leave);
        QApplication::sendEvent(&w, &e);
    }
}
}  // namespace

TEST(BarButton, FillAndSymbolColours) {
    struct Case {
        bool active, hovering;
        std::optional<ColorRef> tint;
        ThemeColor symbol;
        std::optional<ThemeColor> fill;
    };
    const Case cases[] = {
        {false, false, std::nullopt, ThemeColor::ink2, std::nullopt},
        {true, false, std::nullopt, ThemeColor::accent, ThemeColor::selected},
        {false, true, std::nullopt, ThemeColor::ink2, ThemeColor::hover},
        // Hover wins over active for the fill; the symbol stays accent.
        {true, true, std::nullopt, ThemeColor::accent, ThemeColor::hover},
        // A tint overrides the symbol colour, never the fill.
        {true, false, ThemeColor::ink, ThemeColor::ink, ThemeColor::selected},
        {false, true, ThemeColor::accent, ThemeColor::accent, ThemeColor::hover},
    };
    for (const Case& c : cases) {
        BarButton b(QStringLiteral("heart.fill"), QStringLiteral("Favourite (F)"));
        b.resize(b.sizeHint());
        b.setActive(c.active);
        b.setTint(c.tint);
        hover(b, c.hovering);
        EXPECT_EQ(b.symbolColor(), Theme::color(c.symbol));
        EXPECT_EQ(b.fillColor(), c.fill ? Theme::color(*c.fill) : QColor(Qt::transparent));
        EXPECT_EQ(b.toolTip(), QStringLiteral("Favourite (F)"));
    }
    BarButton b(QStringLiteral("sidebar.left"), QStringLiteral("Show or hide the sidebar"));
    int clicks = 0;
    QObject::connect(&b, &BarButton::clicked, [&] { ++clicks; });
    b.click();
    EXPECT_EQ(clicks, 1);
    hover(b, true);
    hover(b, false);
    EXPECT_FALSE(b.isHovering());
}

// The pointer stays still while the button is carried away from under it,
// by a move of its own or of what it lies in: the fill goes. A menu's label
// takes no fill at all.
TEST(BarButton, HoverEndsWhenTheButtonMovesAwayFromTheStillPointer) {
    QWidget window;
    window.resize(400, 200);
    auto* strip = new QWidget(&window);
    strip->setGeometry(100, 50, 200, 60);
    auto* button = new BarButton(QStringLiteral("sidebar.left"), QStringLiteral("Show or hide the sidebar"), strip);
    auto* menu = new BarButton(QStringLiteral("rectangle.stack.badge.plus"), QStringLiteral("Add to Album"), strip);
    button->setGeometry(10, 10, 30, 28);
    menu->setGeometry(60, 10, 30, 28);
    menu->setHoverFill(false);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto pointAt = [](QWidget* w) {
        QCursor::setPos(w->mapToGlobal(w->rect().center()));
        QCoreApplication::processEvents();
    };
    auto settled = [] {
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    };

    pointAt(button);
    ASSERT_TRUE(button->isHovering());
    EXPECT_EQ(button->fillColor(), Theme::color(ThemeColor::hover));
    strip->move(0, 50);  // what it lies in moves (a column sliding over)
    settled();
    EXPECT_FALSE(button->isHovering());
    EXPECT_EQ(button->fillColor(), QColor(Qt::transparent));

    pointAt(button);
    ASSERT_TRUE(button->isHovering());
    button->move(10, 12);  // a little: still under the pointer
    settled();
    EXPECT_TRUE(button->isHovering());
    button->move(150, 10);  // away
    settled();
    EXPECT_FALSE(button->isHovering());

    // Back under the pointer, the next move over it is hover again; hidden
    // while hovered, it comes back without the fill where the pointer is not.
    pointAt(button);
    EXPECT_TRUE(button->isHovering());
    button->hide();
    pointAt(menu);
    button->show();
    EXPECT_FALSE(button->isHovering());

    pointAt(menu);
    EXPECT_TRUE(menu->isHovering());
    EXPECT_EQ(menu->fillColor(), QColor(Qt::transparent));
    EXPECT_EQ(menu->symbolColor(), Theme::color(ThemeColor::ink2));
}

TEST(EmptyState, ButtonOnlyWithTitleAndAction) {
    int runs = 0;
    auto action = [&] { ++runs; };
    EmptyState both(QStringLiteral("photo.on.rectangle.angled"), QStringLiteral("No photos in this folder"),
                    QStringLiteral("Vintrelle didn’t find any photos or videos here."), QStringLiteral("Look Again"),
                    action);
    ASSERT_NE(both.actionButton(), nullptr);
    EXPECT_EQ(both.actionButton()->text(), QStringLiteral("Look Again"));
    both.actionButton()->click();
    EXPECT_EQ(runs, 1);

    EmptyState titleOnly(QStringLiteral("map"), QStringLiteral("t"), QStringLiteral("m"), QStringLiteral("Go"));
    EXPECT_EQ(titleOnly.actionButton(), nullptr);
    EmptyState actionOnly(QStringLiteral("map"), QStringLiteral("t"), QStringLiteral("m"), std::nullopt, action);
    EXPECT_EQ(actionOnly.actionButton(), nullptr);

    // Refilled in place; texts shown as given, markup included.
    both.set(QStringLiteral("magnifyingglass"), QStringLiteral("Nothing matches “<b>”"), QStringLiteral("Try"));
    EXPECT_EQ(both.title(), QStringLiteral("Nothing matches “<b>”"));
    EXPECT_EQ(both.actionButton(), nullptr);

    // The block is centred and its long message wraps within 380 px.
    EmptyState wide(QStringLiteral("person.2"), QStringLiteral("Getting to know your photos"),
                    QStringLiteral("Vintrelle is looking through your library. People who appear in a few photos "
                                   "will gather here as it goes."));
    wide.resize(900, 600);
    wide.show();
    QCoreApplication::processEvents();
    const QImage img = wide.grab().toImage();
    int top = img.height(), bottom = 0, left = img.width(), right = 0;
    const QRgb bg = img.pixel(0, 0);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixel(x, y) != bg) {
                top = std::min(top, y), bottom = std::max(bottom, y);
                left = std::min(left, x), right = std::max(right, x);
            }
    EXPECT_LE(right - left, 380);
    EXPECT_NEAR((top + bottom) / 2.0, 300, 4);
    EXPECT_NEAR((left + right) / 2.0, 450, 4);
    // The message takes the lines it needs at that width (two here).
    for (auto* block : wide.findChildren<TextBlock*>()) {
        if (block->text() != wide.message()) continue;
        EXPECT_EQ(block->width(), 380);
        EXPECT_EQ(block->height(), block->heightForWidth(380));
        EXPECT_GT(block->height(), 2 * 13);
    }
}

TEST(CardShadow, SoftCachedAndStretched) {
    const ShadowSpec spec{0.22, 6, {0, 4}};
    auto shadowOf = [&](QSizeF card, qreal dpr) {
        const qreal m = CardShadow::margin(spec);
        QImage img(int((card.width() + 2 * m) * dpr), int((card.height() + 2 * m) * dpr),
                   QImage::Format_ARGB32_Premultiplied);
        img.setDevicePixelRatio(dpr);
        img.fill(Qt::transparent);
        QPainter p(&img);
        CardShadow::paint(p, QRectF(QPointF(m, m), card), 12, spec);
        return img;
    };
    const int before = CardShadow::cachedPatches();
    const QImage big = shadowOf({300, 200}, 1);
    shadowOf({500, 90}, 1);  // same radius and blur: the same patch
    EXPECT_EQ(CardShadow::cachedPatches(), before + 1);
    shadowOf({300, 200}, 2);  // another pixel ratio: its own
    shadowOf({30, 30}, 1);    // smaller than the patch: a shadow of its own size
    EXPECT_EQ(CardShadow::cachedPatches(), before + 3);

    const qreal m = CardShadow::margin(spec);
    auto alpha = [&](qreal x, qreal y) { return qAlpha(big.pixel(int(x), int(y))); };
    // Full opacity three blurs inside the cast edge; nothing painted deep
    // under the card, which covers it; it fades outwards, more below than
    // above (the offset), and is gone at the margin.
    EXPECT_NEAR(alpha(m + 150, m + 4 + 200 - 20), 0.22 * 255, 2);
    EXPECT_EQ(alpha(m + 150, m + 100), 0);
    EXPECT_NEAR(alpha(m + 150, m + 4), 0.22 * 255 / 2, 3);  // on the cast edge: half of it
    EXPECT_GT(alpha(m + 150, m + 200 + 4), alpha(m + 150, m - 4));
    EXPECT_LT(alpha(m + 150, m + 200 + 8), alpha(m + 150, m + 200));
    EXPECT_EQ(alpha(m + 150, 0), 0);
    // Stretching keeps the edge profile the same along the whole edge.
    EXPECT_NEAR(alpha(m + 40, m + 200 + 6), alpha(m + 260, m + 200 + 6), 1);
}

// A line of parts too long for its column wraps between whole parts, with
// tabular digits, and every line is painted inside the block.
TEST(TextBlock, WrapsBetweenWholePartsAndPaintsEveryLine) {
    const QString dot = QStringLiteral("  \u00B7  ");
    const QString text = QStringList{"HEIC", u8"3024 × 4032", "12 MP", "4.5 MB", "Live"}.join(dot);
    QWidget column;
    column.resize(268, 200);
    auto* rows = new QVBoxLayout(&column);
    rows->setContentsMargins(0, 0, 0, 0);
    auto* block = new TextBlock(text, 12, QFont::Normal, ThemeColor::ink);
    block->setTabularDigits(true);
    block->setWordWrap(true);
    block->setBreakAfter(dot);
    rows->addWidget(block);
    rows->addStretch(1);
    column.show();
    QApplication::processEvents();

    const QStringList lines = block->shownLines();
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines.join("  "), text);
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) EXPECT_TRUE(lines[i].endsWith(u8"·"));
    const qreal lineHeight = QFontMetricsF(block->font()).height();
    EXPECT_GE(block->height(), int(lines.size() * lineHeight));
    // Ink in the band of every line.
    const QImage shown = block->grab().toImage();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        int inked = 0;
        for (int y = int(i * lineHeight); y < int((i + 1) * lineHeight) && y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x) inked += qAlpha(shown.pixel(x, y)) > 100;
        EXPECT_GT(inked, 20) << "line " << i;
    }
    // Without a separator to break at, blanks are the breaks; one line when it fits.
    block->setBreakAfter({});
    column.resize(2000, 200);
    QApplication::processEvents();
    EXPECT_EQ(block->shownLines(), QStringList{text});
}

// A ring shows where the keys will go: on a control the keyboard moved the
// focus to, never on one the pointer gave it, also after the window has seen
// a Tab (which Qt marks on the window for good), and not once the control the
// keyboard reached is clicked. Every focusable control of the kit: the filled
// and quiet buttons, and the settings' switch and segmented control.
TEST(FocusRing, ShowsOnlyWhereTheKeyboardMovedTheFocus) {
    QWidget window;
    auto* column = new QVBoxLayout(&window);
    auto* field = new QLineEdit(&window);
    auto* primary = new QPushButton(QStringLiteral("Choose a Folder"), &window);
    PrimaryButtonStyle::apply(primary);
    auto* quiet = new QPushButton(QStringLiteral("Show 1 dismissed trip"), &window);
    QuietButtonStyle::apply(quiet);
    auto* destructive = new QPushButton(QStringLiteral("Delete Album"), &window);
    DestructiveButtonStyle::apply(destructive);
    auto* toggle = new ToggleSwitch(&window);
    auto* segments = new SegmentedControl({QStringLiteral("Light"), QStringLiteral("Dark")}, &window);
    for (QWidget* w : std::initializer_list<QWidget*>{field, primary, quiet, destructive, toggle, segments})
        column->addWidget(w);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    auto tabTo = [&](QWidget* control) {
        field->setFocus(Qt::MouseFocusReason);
        for (int i = 0; i < 8 && !control->hasFocus(); ++i) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_TRUE(control->hasFocus());
    };
    // Near the left end: on the segments, the one already chosen.
    auto click = [](QWidget* control) {
        QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(8, control->height() / 2));
    };
    auto away = [&] { QTest::mouseClick(field, Qt::LeftButton); };
    auto look = [](QWidget* control) { return control->grab().toImage(); };

    for (QWidget* control : std::initializer_list<QWidget*>{primary, quiet, destructive, toggle, segments}) {
        const auto* button = qobject_cast<QPushButton*>(control);
        SCOPED_TRACE(std::string(control->metaObject()->className()) + " " +
                     (button ? button->text().toStdString() : std::string()));
        tabTo(control);
        const QImage byKeys = look(control);
        away();
        EXPECT_NE(byKeys, look(control)) << "a ring where the keyboard put the focus";

        click(control);
        ASSERT_TRUE(control->hasFocus());
        const QImage byPointer = look(control);
        away();
        EXPECT_EQ(byPointer, look(control)) << "no ring where a click put the focus";

        tabTo(control);
        click(control);
        const QImage clickedAfter = look(control);
        away();
        EXPECT_EQ(clickedAfter, look(control)) << "no ring once the control the keyboard reached is clicked";
    }
}
