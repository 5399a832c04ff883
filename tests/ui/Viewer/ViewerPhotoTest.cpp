#include <gtest/gtest.h>

#include <QApplication>

#include <filesystem>

#include "UI/Viewer/ViewerPhoto.h"
#include "UI/Viewer/ZoomableImage.h"
#include "fixtures/LatchedDecoder.h"
#include "fixtures/TempDir.h"
#include "store/StoreFixture.h"

using namespace vintrelle;
using Stage = ViewerPhoto::Stage;

namespace {

using storetest::spinUntil;

// A library folder whose thumbnails exist on disk (48 x 32, never the size
// of a decoded full image) and a pane over a cache with a latched decoder.
struct Pane {
    fixtures::TempDir dir;
    LibraryPaths paths;
    std::shared_ptr<ThumbnailCache> thumbs = std::make_shared<ThumbnailCache>();
    fixtures::LatchedDecoder decoder;
    FullImageCache cache{decoder.fn()};
    ViewerPhoto pane{cache};

    Pane() {
        paths.root = dir.path();
        paths.dataDir = dir / ".data";
        pane.resize(600, 400);
    }
    ~Pane() { decoder.releaseAll(); }  // a failed test must not leave a decode held
    Asset photo(int64_t id, MediaKind kind = MediaKind::photo) {
        Asset a;
        a.id = id;
        a.kind = kind;
        a.path = std::to_string(id) + ".jpg";
        a.thumbState = 1;
        const std::string thumb = paths.thumbURL(id);
        std::filesystem::create_directories(std::filesystem::path(thumb).parent_path());
        QImage img(48, 32, QImage::Format_RGB32);
        img.fill(QColor::fromHsv(int(id * 40 % 360), 200, 200));
        img.save(QString::fromStdString(thumb), "JPG");
        return a;
    }
    std::string file(int64_t id) const { return paths.root + "/" + std::to_string(id) + ".jpg"; }
    void show(const Asset& a, std::vector<Asset> neighbours = {}) { pane.setPhoto(paths, thumbs, a, neighbours); }
    // Until no decode runs and the pane waits for none.
    bool settled() {
        for (int i = 0; i < 100; ++i) {
            if (!spinUntil([&] { return cache.waitForIdle(0); })) return false;
            QApplication::processEvents();  // the posted results
            if (cache.waitForIdle(0) && !pane.isLoading()) return true;
        }
        return false;
    }
};

}  // namespace

TEST(ViewerPhoto, ShowsTheThumbnailThenTheFullImageAndAHitAtOnce) {
    Pane p;
    const Asset a = p.photo(1), b = p.photo(2);
    p.decoder.held = {p.file(1)};
    p.show(a);
    // The thumbnail is not in memory: the first frame shows nothing.
    EXPECT_EQ(p.pane.stage(), Stage::none);
    EXPECT_TRUE(p.pane.zoom()->image().isNull());
    ASSERT_TRUE(spinUntil([&] { return p.pane.stage() == Stage::thumbnail; }));
    EXPECT_EQ(p.pane.image().width(), 48);
    p.decoder.release(p.file(1));
    ASSERT_TRUE(spinUntil([&] { return p.pane.stage() == Stage::full; }));
    EXPECT_EQ(p.pane.image().width(), 40);
    EXPECT_EQ(p.pane.zoom()->image().cacheKey(), p.pane.image().cacheKey());

    // Away and back: the full image shows in the first frame, no decode.
    p.show(b);
    p.show(a);
    EXPECT_EQ(p.pane.stage(), Stage::full);
    ASSERT_TRUE(p.settled());
    const auto seen = p.decoder.seen();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), p.file(1)), 1);
}

TEST(ViewerPhoto, APhotoLeftNeverReplacesTheOneShown) {
    Pane p;
    const Asset a = p.photo(1), b = p.photo(2);
    p.thumbs->load(p.paths.thumbURL(2)).waitForFinished();  // b's thumbnail is in memory
    p.decoder.held = {p.file(1), p.file(2)};
    p.show(a);
    ASSERT_TRUE(p.decoder.waitForCalls(1));  // a's decode has started: it will finish
    p.show(b);
    EXPECT_EQ(p.pane.shownID(), 2);
    EXPECT_EQ(p.pane.stage(), Stage::thumbnail);
    p.decoder.release(p.file(1));
    ASSERT_TRUE(spinUntil([&] { return p.cache.cached(FullImageCache::keyFor(p.paths.root, a)).has_value(); }));
    EXPECT_EQ(p.pane.shownID(), 2);
    EXPECT_EQ(p.pane.stage(), Stage::thumbnail);  // a's image went into the cache only
    EXPECT_EQ(p.pane.image().width(), 48);
    p.decoder.release(p.file(2));
    ASSERT_TRUE(spinUntil([&] { return p.pane.stage() == Stage::full; }));
    EXPECT_EQ(p.pane.zoom()->assetID(), 2);
}

TEST(ViewerPhoto, PrefetchesNextThenPreviousSkippingVideosAndStopsOnAStep) {
    {
        Pane p;
        const Asset cur = p.photo(2), video = p.photo(3, MediaKind::video), next = p.photo(4), prev = p.photo(1);
        p.show(cur, {video, next, prev});
        ASSERT_TRUE(p.settled());
        EXPECT_EQ(p.decoder.seen(), (std::vector<std::string>{p.file(2), p.file(4), p.file(1)}));
    }
    {
        Pane p;
        const Asset cur = p.photo(2), next = p.photo(3), prev = p.photo(1), other = p.photo(9);
        p.decoder.held = {p.file(3)};
        p.show(cur, {next, prev});
        ASSERT_TRUE(spinUntil([&] { return p.decoder.seen().size() == 2; }));  // the next one is being decoded
        p.show(other);                           // the user steps on: no more prefetching
        p.decoder.release(p.file(3));
        ASSERT_TRUE(p.settled());
        EXPECT_EQ(p.decoder.seen(), (std::vector<std::string>{p.file(2), p.file(3), p.file(9)}));
        EXPECT_TRUE(p.cache.cached(FullImageCache::keyFor(p.paths.root, next)));  // a started decode lands
    }
}

TEST(ViewerPhoto, AnUnreadablePhotoWithoutThumbnailStaysEmpty) {
    Pane p;
    Asset a = p.photo(1);
    a.thumbState = 0;
    p.decoder.failing = {p.file(1)};
    p.show(a);
    ASSERT_TRUE(p.settled());
    EXPECT_EQ(p.pane.stage(), Stage::none);
    EXPECT_TRUE(p.pane.zoom()->image().isNull());
}
