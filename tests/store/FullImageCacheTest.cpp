#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Store/FullImageCache.h"
#include "fixtures/LatchedDecoder.h"
#include "fixtures/Patience.h"

using namespace vintrelle;

namespace {

using FakeDecoder = fixtures::LatchedDecoder;

FullImageCache::Key key(const std::string& lib, int64_t id, double mtime = 100) { return {lib, id, 5000, mtime}; }

struct Fixture {
    FakeDecoder decoder;
    ManualMainQueue main;
    FullImageCache cache;
    explicit Fixture(FullImageCache::Limits limits = {}) : cache(decoder.fn(), main.poster(), limits) {}
    ~Fixture() { decoder.releaseAll(); }

    // Loads and waits for the answer; returns whether a picture came.
    bool loadNow(const FullImageCache::Key& k, const std::string& file) {
        bool answered = false, picture = false;
        cache.load(k, file, [&](const QImage& img) {
            answered = true;
            picture = !img.isNull();
        });
        settle();
        EXPECT_TRUE(answered) << file;
        return picture;
    }
    void settle() {
        EXPECT_TRUE(cache.waitForIdle(fixtures::patientMs));
        main.drain();
        EXPECT_EQ(decoder.lastMaxPixel, 4096);
    }
};

}  // namespace

TEST(FullImageCache, KeysTellLibrariesAndFileVersionsApart) {
    Fixture f;
    ASSERT_TRUE(f.loadNow(key("/a", 1), "/a/x.jpg"));
    struct Case {
        FullImageCache::Key key;
        bool hit;
    } cases[] = {
        {key("/a", 1), true},
        {key("/b", 1), false},       // the same id in another library
        {key("/a", 1, 101), false},  // the file changed: new mtime
        {{"/a", 1, 5001, 100}, false},
        {key("/a", 2), false},
    };
    for (const Case& c : cases) EXPECT_EQ(f.cache.cached(c.key).has_value(), c.hit) << c.key.library << c.key.id;
    ASSERT_TRUE(f.loadNow(key("/b", 1), "/b/x.jpg"));
    EXPECT_EQ(f.decoder.seen(), (std::vector<std::string>{"/a/x.jpg", "/b/x.jpg"}));
}

TEST(FullImageCache, EvictsTheLeastRecentlyUsedAtTheEighthAndAtTheByteCeiling) {
    Fixture f;
    for (int id = 1; id <= 7; ++id) ASSERT_TRUE(f.loadNow(key("/a", id), "f" + std::to_string(id)));
    EXPECT_EQ(f.cache.count(), 7);
    ASSERT_TRUE(f.cache.cached(key("/a", 1)));  // now the most recent
    ASSERT_TRUE(f.loadNow(key("/a", 8), "f8"));
    EXPECT_EQ(f.cache.count(), 7);
    EXPECT_TRUE(f.cache.cached(key("/a", 1)));
    EXPECT_FALSE(f.cache.cached(key("/a", 2)));
    EXPECT_EQ(f.cache.totalBytes(), 7 * 40 * 30 * 4);

    // Bytes: room for two 4800-byte images; a third pushes the oldest out,
    // and one larger than the whole budget is handed over but not kept.
    Fixture small(FullImageCache::Limits{7, 10000});
    ASSERT_TRUE(small.loadNow(key("/a", 1), "f1"));
    ASSERT_TRUE(small.loadNow(key("/a", 2), "f2"));
    ASSERT_TRUE(small.loadNow(key("/a", 3), "f3"));
    EXPECT_EQ(small.cache.count(), 2);
    EXPECT_FALSE(small.cache.cached(key("/a", 1)));
    small.decoder.width = 100;
    EXPECT_TRUE(small.loadNow(key("/a", 4), "big"));
    EXPECT_FALSE(small.cache.cached(key("/a", 4)));
    EXPECT_EQ(small.cache.totalBytes(), 2 * 4800);
}

TEST(FullImageCache, TwoLoadsOfOnePhotoShareOneDecode) {
    Fixture f;
    f.decoder.setOpen(false);
    int answers = 0;
    for (int i = 0; i < 2; ++i) f.cache.load(key("/a", 1), "x", [&](const QImage& img) { answers += !img.isNull(); });
    f.decoder.setOpen(true);
    f.settle();
    EXPECT_EQ(answers, 2);
    EXPECT_EQ(f.decoder.seen().size(), 1u);
    // A hit answers before load returns and gives no ticket.
    bool now = false;
    EXPECT_EQ(f.cache.load(key("/a", 1), "x", [&](const QImage&) { now = true; }), 0u);
    EXPECT_TRUE(now);
}

TEST(FullImageCache, AFailureIsStoredNowhereAndTriedAgain) {
    Fixture f;
    f.decoder.failing = {"broken"};
    EXPECT_FALSE(f.loadNow(key("/a", 1), "broken"));
    EXPECT_EQ(f.cache.count(), 0);
    f.decoder.failing.clear();
    EXPECT_TRUE(f.loadNow(key("/a", 1), "broken"));
    EXPECT_EQ(f.decoder.seen().size(), 2u);
}

TEST(FullImageCache, ClosingALibraryDropsItsImagesAndLateResults) {
    Fixture f;
    ASSERT_TRUE(f.loadNow(key("/b", 9), "b9"));
    f.decoder.setOpen(false);
    int calls = 0;
    f.cache.load(key("/a", 1), "running1", [&](const QImage&) { ++calls; });
    f.cache.load(key("/a", 2), "running2", [&](const QImage&) { ++calls; });
    ASSERT_TRUE(f.decoder.waitForCalls(3));  // both threads are busy now
    f.cache.load(key("/a", 3), "queued", [&](const QImage&) { ++calls; });
    f.cache.closeLibrary("/a");
    f.decoder.setOpen(true);
    f.settle();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(f.cache.count(), 1);  // only the other library's image
    EXPECT_TRUE(f.cache.cached(key("/b", 9)));
    EXPECT_EQ(f.cache.decodesStarted(), 3);  // the queued one never ran
    // The library opened again loads as new.
    EXPECT_TRUE(f.loadNow(key("/a", 1), "again"));
    // Quitting stops the threads; nothing answers afterwards, nothing hangs.
    f.cache.shutdown();
    bool answered = false;
    f.cache.load(key("/a", 2), "late", [&](const QImage&) { answered = true; });
    f.main.drain();
    EXPECT_FALSE(answered);
}

TEST(FullImageCache, QueuedDecodesNobodyWantsAreDroppedAndTheShownPhotoGoesFirst) {
    Fixture f;
    f.decoder.held = {"busy1", "busy2"};
    std::vector<std::string> order;
    auto note = [&](const std::string& name) { return [&order, name](const QImage&) { order.push_back(name); }; };
    f.cache.load(key("/a", 1), "busy1", note("busy1"));
    f.cache.load(key("/a", 2), "busy2", note("busy2"));
    ASSERT_TRUE(f.decoder.waitForCalls(2));
    // Holding an arrow key: each visit asks and is left at once.
    for (int id = 10; id < 40; ++id)
        f.cache.cancel(f.cache.load(key("/a", id), "skipped" + std::to_string(id), note("skipped")));
    f.cache.load(key("/a", 50), "prefetch", note("prefetch"), FullImageCache::Priority::prefetch);
    f.cache.load(key("/a", 51), "shown", note("shown"));
    // Cancelling a started decode keeps it going into the cache.
    f.cache.cancel(f.cache.load(key("/a", 1), "busy1", note("late")));
    // One thread comes free and takes what is queued, in order.
    f.decoder.release("busy1");
    ASSERT_TRUE(f.decoder.waitForCalls(4));
    f.decoder.release("busy2");
    f.settle();
    const auto seen = f.decoder.seen();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[2], "shown");
    EXPECT_EQ(seen[3], "prefetch");
    EXPECT_EQ(std::count(order.begin(), order.end(), "skipped"), 0);
    EXPECT_TRUE(f.cache.cached(key("/a", 1)));
}

TEST(FullImageCache, WrapsTheDecodedPixelsWithoutCopying) {
    auto image = std::make_shared<Image>(3, 2);
    image->row(1)[4] = 77;
    const uint8_t* pixels = image->rgba.data();
    QImage wrapped = FullImageCache::wrap(image);
    image.reset();  // the QImage keeps the buffer alive
    EXPECT_EQ(wrapped.constBits(), pixels);
    EXPECT_EQ(qRed(wrapped.pixel(1, 1)), 77);
    EXPECT_TRUE(FullImageCache::wrap(nullptr).isNull());
}
