#include <gtest/gtest.h>

#include <QApplication>
#include <QPainter>
#include <QWidget>

#include "UI/Kit/Fonts.h"
#include "UI/Kit/Icons.h"
#include "UI/Kit/Theme.h"

using namespace vintrelle;

namespace {

struct DarkScope {
    // Qt hands the new application palette to widgets through posted events.
    explicit DarkScope(bool dark) {
        Theme::setDark(dark);
        QCoreApplication::processEvents();
    }
    ~DarkScope() {
        Theme::setDark(false);
        QCoreApplication::processEvents();
    }
};

QRgb probe(QWidget& w, QPoint at) {
    const QImage img = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
    return img.pixel(at) & 0xFFFFFF;
}

// What a translucent palette entry looks like once laid over an opaque one.
QRgb composite(QColor top, QColor bottom) {
    const double a = top.alphaF();
    auto mix = [a](int t, int b) { return int(std::lround(t * a + b * (1 - a))); };
    return qRgb(mix(top.red(), bottom.red()), mix(top.green(), bottom.green()), mix(top.blue(), bottom.blue())) &
           0xFFFFFF;
}

bool near(QRgb a, QRgb b, int tol = 1) {
    return std::abs(qRed(a) - qRed(b)) <= tol && std::abs(qGreen(a) - qGreen(b)) <= tol &&
           std::abs(qBlue(a) - qBlue(b)) <= tol;
}

}  // namespace

TEST(Theme, WidgetsRepaintInTheNewAppearance) {
    // A canvas with a sidebar strip, a 1-px rule and a hover fill, painted
    // from the palette as every screen paints.
    struct Probe : QWidget {
        void paintEvent(QPaintEvent*) override {
            QPainter p(this);
            p.fillRect(rect(), Theme::canvas());
            p.fillRect(QRect(0, 0, 20, height()), Theme::sidebar());
            p.fillRect(QRect(20, 0, 1, height()), Theme::line());
            p.fillRect(QRect(40, 0, 10, height()), Theme::hover());
        }
    } w;
    w.resize(60, 20);
    QWidget plain;  // no painting of its own: the Fusion window colour
    plain.resize(10, 10);
    int changes = 0;
    const auto connection = QObject::connect(&Theme::instance(), &Theme::appearanceChanged, [&] { ++changes; });
    for (bool dark : {false, true}) {
        DarkScope scope(dark);
        const QColor canvas = Theme::canvas();
        EXPECT_EQ(probe(w, {30, 5}), canvas.rgb() & 0xFFFFFF) << dark;
        EXPECT_EQ(probe(w, {5, 5}), Theme::sidebar().rgb() & 0xFFFFFF) << dark;
        EXPECT_TRUE(near(probe(w, {20, 5}), composite(Theme::line(), canvas))) << dark;
        EXPECT_TRUE(near(probe(w, {45, 5}), composite(Theme::hover(), canvas))) << dark;
        EXPECT_EQ(probe(plain, {5, 5}), canvas.rgb() & 0xFFFFFF) << dark;
        EXPECT_EQ(QApplication::palette().color(QPalette::Text), Theme::ink()) << dark;
    }
    // Light -> dark -> light; setting the current appearance again says nothing.
    Theme::setDark(false);
    EXPECT_EQ(changes, 2);
    QObject::disconnect(connection);
}

TEST(Icons, EverySymbolDrawsInEveryWeight) {
    const QStringList all = Icons::symbols();
    ASSERT_GE(all.size(), 40);
    for (const QString& s : all) {
        for (QFont::Weight w : {QFont::Light, QFont::Medium, QFont::Bold}) {
            const QImage img = Icons::image(s, 16, Qt::black, 1, w);
            ASSERT_FALSE(img.isNull()) << s.toStdString();
            int ink = 0;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x) ink += qAlpha(img.pixel(x, y));
            EXPECT_GT(ink, 3 * 255) << s.toStdString() << " weight " << w;
        }
    }
    EXPECT_FALSE(Icons::has(QStringLiteral("no.such.symbol")));
    EXPECT_TRUE(Icons::pixmap(QStringLiteral("no.such.symbol"), 13, Qt::black, 1).isNull());
    EXPECT_EQ(Icons::filled(QStringLiteral("heart")), QStringLiteral("heart.fill"));
    EXPECT_EQ(Icons::filled(QStringLiteral("gearshape")), QStringLiteral("gearshape"));
    // Heavier weights draw heavier strokes, the Tabler ones included.
    for (const char* s : {"folder", "livephoto"}) {
        auto ink = [&](QFont::Weight w) {
            const QImage img = Icons::image(QString::fromLatin1(s), 24, Qt::black, 2, w);
            double sum = 0;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x) sum += qAlpha(img.pixel(x, y));
            return sum;
        };
        EXPECT_LT(ink(QFont::Light), ink(QFont::Normal)) << s;
        EXPECT_LT(ink(QFont::Normal), ink(QFont::Bold)) << s;
    }
}

TEST(Icons, TintedAndCachedByNameSizeColourAndRatio) {
    Icons::clearCache();
    const QColor accent = Theme::color(ThemeColor::accent, false);
    const QPixmap a = Icons::pixmap(QStringLiteral("heart.fill"), 16, accent, 1);
    ASSERT_FALSE(a.isNull());
    EXPECT_EQ(a.width(), 20);
    EXPECT_EQ(Icons::cachedPixmaps(), 1);
    // Same request: the same pixmap, not a new one.
    EXPECT_EQ(Icons::pixmap(QStringLiteral("heart.fill"), 16, accent, 1).cacheKey(), a.cacheKey());
    EXPECT_EQ(Icons::cachedPixmaps(), 1);

    // The centre of a filled heart is exactly the tint, with its alpha.
    const QImage img = a.toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(img.pixelColor(10, 10).rgba(), accent.rgba());
    const QColor ink2 = Theme::color(ThemeColor::ink2, true);
    const QImage faint =
        Icons::pixmap(QStringLiteral("heart.fill"), 16, ink2, 1).toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_NEAR(faint.pixelColor(10, 10).alpha(), ink2.alpha(), 1);
    EXPECT_NEAR(faint.pixelColor(10, 10).red(), ink2.red(), 2);

    // Each of name, size, colour, weight and ratio makes its own entry.
    const QPixmap others[] = {
        Icons::pixmap(QStringLiteral("heart"), 16, accent, 1),
        Icons::pixmap(QStringLiteral("heart.fill"), 20, accent, 1),
        Icons::pixmap(QStringLiteral("heart.fill"), 16, Qt::white, 1),
        Icons::pixmap(QStringLiteral("heart"), 16, accent, 1, QFont::Bold),
        Icons::pixmap(QStringLiteral("heart.fill"), 16, accent, 2),
        Icons::pixmap(QStringLiteral("heart.fill"), 16, accent, 1.5),
    };
    EXPECT_EQ(Icons::cachedPixmaps(), 8);  // with the ink2 one above
    for (const QPixmap& o : others) EXPECT_NE(o.cacheKey(), a.cacheKey());
    EXPECT_EQ(others[4].width(), 40);
    EXPECT_DOUBLE_EQ(others[4].devicePixelRatio(), 2.0);
    EXPECT_EQ(others[5].width(), 30);

    // Painting honours the device's ratio.
    QImage canvas(40, 40, QImage::Format_ARGB32_Premultiplied);
    canvas.setDevicePixelRatio(2);
    canvas.fill(Qt::white);
    QPainter p(&canvas);
    Icons::paint(p, QRectF(0, 0, 20, 20), QStringLiteral("heart.fill"), 16, Qt::red);
    p.end();
    EXPECT_EQ(canvas.pixelColor(20, 20), QColor(Qt::red));
    EXPECT_EQ(canvas.pixelColor(1, 1), QColor(Qt::white));
}

TEST(Fonts, DesignPixelsAreLogicalPixels) {
    for (qreal px : {10.0, 13.0, 22.0}) {
        const QFont f = Fonts::font(px, QFont::DemiBold);
        EXPECT_NEAR(f.pointSizeF() * Fonts::logicalDpi() / 72.0, px, 0.01);
        EXPECT_EQ(f.weight(), QFont::DemiBold);
    }
    EXPECT_EQ(Fonts::family(), QStringLiteral("Inter"));  // fonts-inter is a setup package
    EXPECT_EQ(QApplication::font().family(), Fonts::family());

    // Counts that differ only in their digits take the same width.
    const QFont f = Fonts::font(13);
    EXPECT_DOUBLE_EQ(TabularDigits::width(f, u"1,111"), TabularDigits::width(f, u"8,888"));
    EXPECT_GT(TabularDigits::width(f, u"1,111"), QFontMetricsF(f).horizontalAdvance(QStringLiteral("1,111")) - 0.01);
    // Drawn text lands inside its cells.
    QImage img(80, 20, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setFont(f);
    p.setPen(Qt::black);
    TabularDigits::draw(p, QRectF(0, 0, 80, 20), Qt::AlignRight | Qt::AlignVCenter, u"12");
    p.end();
    int left = 80;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 80; ++x)
            if (qGray(img.pixel(x, y)) < 128) left = std::min(left, x);
    EXPECT_GT(left, 80 - int(2 * TabularDigits::cellWidth(QFontMetricsF(f))) - 1);

    // Each font keeps its own digit widths, asked in any order.
    for (const QFont& g : {Fonts::font(11), Fonts::font(20, QFont::Bold), Fonts::font(13), Fonts::font(20)}) {
        const QFontMetricsF fm(g);
        const qreal cell = TabularDigits::cellWidth(fm);
        EXPECT_DOUBLE_EQ(TabularDigits::width(g, u"2024"), 4 * cell) << g.key().toStdString();
        EXPECT_DOUBLE_EQ(TabularDigits::width(g, u"7 of 9"),
                         2 * cell + fm.horizontalAdvance(QStringLiteral(" of "))) << g.key().toStdString();
    }
}
