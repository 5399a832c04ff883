#include <gtest/gtest.h>

#include <QApplication>

#include <algorithm>
#include <filesystem>

#include "Store/ThumbnailCache.h"
#include "UI/Kit/StoredImage.h"
#include "UI/Kit/Theme.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"
#include "store/StoreFixture.h"

using namespace vintrelle;

namespace {

struct StoredImageFixture : testing::Test {
    fixtures::TempDir dir;
    std::shared_ptr<ThumbnailCache> cache = std::make_shared<ThumbnailCache>();
    std::string red = dir / "thumbs/01/1.jpg", blue = dir / "thumbs/02/2.jpg";

    void SetUp() override {
        std::filesystem::create_directories(dir / "thumbs/01");
        std::filesystem::create_directories(dir / "thumbs/02");
        ASSERT_TRUE(fixtures::makeJPEG(red, 64, 48, {220, 30, 30}));
        ASSERT_TRUE(fixtures::makeJPEG(blue, 48, 64, {30, 30, 220}));
    }
    // Lets every queued decode finish, its answer reach the main thread and
    // any fade-in run its course.
    void settle() {
        ASSERT_TRUE(cache->waitForIdle(fixtures::patientMs));
        QCoreApplication::sendPostedEvents();
        EXPECT_TRUE(storetest::spinUntil([] {
            const QWidgetList all = QApplication::allWidgets();
            return std::none_of(all.begin(), all.end(), [](QWidget* w) {
                auto* v = qobject_cast<StoredImage*>(w);
                return v && (v->isLoading() || v->isFading());
            });
        }));
    }
    static QRgb centre(StoredImage& v) {
        return v.grab().toImage().pixel(v.width() / 2, v.height() / 2) & 0xFFFFFF;
    }
    static bool reddish(QRgb c) { return qRed(c) > 150 && qBlue(c) < 100; }
    static bool bluish(QRgb c) { return qBlue(c) > 150 && qRed(c) < 100; }
};

}  // namespace

TEST_F(StoredImageFixture, DecodedPictureFadesInOverThePlaceholder) {
    StoredImage view;
    view.resize(40, 40);
    view.show();
    view.setSource(red, cache, 0);
    EXPECT_TRUE(view.isLoading());
    EXPECT_TRUE(view.image().isNull());
    EXPECT_EQ(centre(view), Theme::placeholder().rgb() & 0xFFFFFF);
    settle();
    ASSERT_FALSE(view.image().isNull());
    EXPECT_FALSE(view.isLoading());
    EXPECT_TRUE(reddish(centre(view)));

    // A new revision with the picture still in memory shows it at once, no fade.
    StoredImage again;
    again.resize(40, 40);
    again.show();
    again.setSource(red, cache, 1);
    EXPECT_FALSE(again.image().isNull());
    EXPECT_FALSE(again.isFading());

    // Evicted, the same path at a new revision is decoded again, and the old
    // picture stays until the new one is there.
    cache->remove(red);
    view.setSource(red, cache, 2);
    EXPECT_TRUE(view.isLoading());
    EXPECT_FALSE(view.image().isNull());
    settle();
    EXPECT_FALSE(view.isLoading());

    // No path: the placeholder only, the picture cleared.
    view.setSource(std::nullopt, cache, 2);
    EXPECT_TRUE(view.image().isNull());
    EXPECT_EQ(centre(view), Theme::placeholder().rgb() & 0xFFFFFF);
}

TEST_F(StoredImageFixture, LateResultIsDropped) {
    StoredImage view;
    view.resize(40, 40);
    view.show();
    // Blue is in memory; red must be decoded.
    ASSERT_FALSE(cache->load(blue).result().isNull());
    int changes = 0;
    QObject::connect(&view, &StoredImage::imageChanged, [&] { ++changes; });

    view.setSource(red, cache, 0);
    view.setSource(blue, cache, 0);  // answered at once
    EXPECT_EQ(changes, 1);
    settle();  // red's decode lands now, for a load that no longer counts
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(bluish(centre(view)));

    // The same with only the revision moving on, and with a view that went
    // away before its answer came.
    cache->remove(red);
    view.setSource(red, cache, 1);
    view.setSource(std::nullopt, cache, 2);
    auto* gone = new StoredImage;
    gone->show();
    gone->setSource(red, cache, 3);
    delete gone;
    settle();
    EXPECT_TRUE(view.image().isNull());
}

TEST_F(StoredImageFixture, UnreadableOrHiddenLeavesThePlaceholder) {
    fixtures::writeFile(dir / "thumbs/03/3.jpg", "not a jpeg");
    StoredImage view;
    view.resize(30, 30);
    view.setCircular(true);
    view.show();
    view.setSource(dir / "thumbs/03/3.jpg", cache, 0);
    settle();
    EXPECT_TRUE(view.image().isNull());
    EXPECT_EQ(centre(view), Theme::placeholder().rgb() & 0xFFFFFF);
    // The circle leaves its corners to what lies behind.
    EXPECT_EQ(view.grab().toImage().pixel(0, 0) & 0xFFFFFF, Theme::canvas().rgb() & 0xFFFFFF);

    // A view that is not on screen does not load; it does when it appears.
    StoredImage hidden;
    hidden.resize(30, 30);
    hidden.setSource(red, cache, 0);
    settle();
    EXPECT_TRUE(hidden.image().isNull());
    EXPECT_FALSE(hidden.isLoading());
    hidden.show();
    settle();
    EXPECT_FALSE(hidden.image().isNull());
}
