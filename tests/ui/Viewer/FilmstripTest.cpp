#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>

#include "UI/Viewer/Filmstrip.h"

using namespace vintrelle;

namespace {

std::shared_ptr<const AssetList> listOf(int n) {
    std::vector<Asset> list;
    for (int i = 0; i < n; ++i) {
        Asset a;
        a.id = i + 1;
        list.push_back(a);
    }
    return std::make_shared<const AssetList>(std::move(list));
}

std::optional<int> clickAt(Filmstrip& strip, QPointF at) {
    std::optional<int> stepped;
    auto c = QObject::connect(&strip, &Filmstrip::stepRequested, [&](int o) { stepped = o; });
    QMouseEvent e(QEvent::MouseButtonPress, at, strip.mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                  Qt::NoModifier);
    QApplication::sendEvent(&strip, &e);
    QObject::disconnect(c);
    return stepped;
}

}  // namespace

TEST(Filmstrip, NeighboursFollowTheWidth) {
    struct Case {
        qreal width;
        int k;
    } cases[] = {{120, 2}, {180, 2}, {200, 2}, {299, 2}, {300, 3}, {1000, 10}};
    for (const Case& c : cases) {
        EXPECT_EQ(Filmstrip::neighboursFor(c.width), c.k) << c.width;
        const auto cells = Filmstrip::cells(c.width, c.k);
        ASSERT_EQ(cells.size(), size_t(2 * c.k + 1));
        const QRectF current = cells[size_t(c.k)];
        EXPECT_DOUBLE_EQ(current.center().x(), c.width / 2);  // centred, also when wider than the strip
        EXPECT_EQ(current.width(), 58);
        EXPECT_EQ(cells.front().width(), 46);
        EXPECT_DOUBLE_EQ(cells[1].left() - cells[0].right(), 4);
    }
}

TEST(Filmstrip, CountsInTheUsersLocale) {
    EXPECT_EQ(Filmstrip::counterText(0, 12345, QLocale(QLocale::English, QLocale::UnitedStates)), "1 of 12,345");
    EXPECT_EQ(Filmstrip::counterText(1233, 12345, QLocale(QLocale::German, QLocale::Germany)), "1.234 of 12.345");
    EXPECT_EQ(Filmstrip::counterText(0, 1, QLocale(QLocale::English)), "1 of 1");
}

TEST(Filmstrip, AClickStepsByTheCellsOffsetAndBlanksDoNothing) {
    Filmstrip strip;
    strip.resize(300, Filmstrip::stripHeight);  // k = 3
    strip.setState(listOf(5), 1);
    const auto cells = Filmstrip::cells(300, 3);
    EXPECT_EQ(clickAt(strip, cells[5].center()), 2);  // two to the right
    EXPECT_EQ(clickAt(strip, cells[3].center()), 0);  // the current one: no change
    EXPECT_EQ(clickAt(strip, cells[2].center()), -1);
    EXPECT_EQ(clickAt(strip, cells[1].center()), std::nullopt);  // before the list's start
    EXPECT_EQ(clickAt(strip, {2, 2}), std::nullopt);

    strip.setState(listOf(1), 0);
    for (size_t i = 0; i < cells.size(); ++i)
        EXPECT_EQ(clickAt(strip, cells[i].center()).has_value(), i == 3) << i;
}
