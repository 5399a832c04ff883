#include <gtest/gtest.h>

#include <QImage>

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "Store/ThumbnailCache.h"
#include "StoreFixture.h"

using namespace storetest;

namespace {

std::string writeJpeg(const fixtures::TempDir& dir, const std::string& name, int w = 48, int h = 32) {
    const std::string path = dir / name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::blue);
    EXPECT_TRUE(img.save(QString::fromStdString(path + ".tmp"), "JPG"));
    std::filesystem::rename(path + ".tmp", path);
    return path;
}

TEST(ThumbnailCache, AHitAnswersAtOnce) {
    fixtures::TempDir dir;
    ThumbnailCache cache;
    const std::string path = writeJpeg(dir, "thumbs/01/1.jpg");
    QImage first;
    auto op = cache.load(path, [&](const QImage& img) { first = img; });
    ASSERT_TRUE(op);
    EXPECT_TRUE(first.isNull());  // never synchronous on a miss
    ASSERT_TRUE(spinUntil([&] { return !first.isNull(); }));
    EXPECT_EQ(first.width(), 48);
    EXPECT_EQ(cache.totalCost(), first.bytesPerLine() * first.height());

    bool called = false;
    auto again = cache.load(path, [&](const QImage& img) { called = img.width() == 48; });
    EXPECT_FALSE(again);
    EXPECT_TRUE(called);
}

TEST(ThumbnailCache, ACancelledLoadNeverCallsBack) {
    fixtures::TempDir dir;
    ThumbnailCache cache;
    std::vector<std::string> paths;
    for (int i = 0; i < 20; ++i) paths.push_back(writeJpeg(dir, std::to_string(i) + ".jpg"));
    int calls = 0;
    std::vector<ThumbnailCache::Operation> ops;
    for (const auto& p : paths) ops.push_back(*cache.load(p, [&](const QImage&) { ++calls; }));
    for (auto& op : ops) op.cancel();
    ASSERT_TRUE(cache.waitForIdle(fixtures::patientMs));
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 0);

    // Cleared while pending (as closing does): nothing calls back and nothing stays behind.
    ThumbnailCache fresh;
    for (const auto& p : paths) fresh.load(p, [&](const QImage&) { ++calls; });
    fresh.cancelAllAndClear();
    ASSERT_TRUE(fresh.waitForIdle(fixtures::patientMs));
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(fresh.count(), 0);
}

TEST(ThumbnailCache, AnAwaitedLoadDroppedAtClosingGivesNothing) {
    fixtures::TempDir dir;
    std::vector<std::string> paths;
    for (int i = 0; i < 40; ++i) paths.push_back(writeJpeg(dir, std::to_string(i) + ".jpg", 1200, 900));
    ThumbnailCache cache;
    std::vector<QFuture<QImage>> futures;
    for (const auto& p : paths) futures.push_back(cache.load(p));
    cache.cancelAllAndClear();  // closing: the queued decodes never run
    ASSERT_TRUE(cache.waitForIdle(fixtures::patientMs));
    // A view awaiting its image is answered either way, never left without a result.
    for (auto& f : futures) {
        ASSERT_TRUE(f.isFinished());
        ASSERT_EQ(f.resultCount(), 1);
        EXPECT_TRUE(f.result().isNull() || f.result().width() == 1200);
    }
}

TEST(ThumbnailCache, AMissingFileIsTriedAgain) {
    fixtures::TempDir dir;
    ThumbnailCache cache;
    const std::string path = dir / "thumbs/02/2.jpg";
    bool done = false;
    QImage got;
    cache.load(path, [&](const QImage& img) {
        got = img;
        done = true;
    });
    ASSERT_TRUE(spinUntil([&] { return done; }));
    EXPECT_TRUE(got.isNull());
    EXPECT_EQ(cache.count(), 0);

    writeJpeg(dir, "thumbs/02/2.jpg");
    EXPECT_EQ(cache.load(path).result().width(), 48);  // the awaiting form
    EXPECT_TRUE(cache.cached(path));

    // Half a file never becomes an entry.
    const std::string broken = dir / "broken.jpg";
    fixtures::writeFile(broken, fixtures::readFile(path).substr(0, 20));
    EXPECT_TRUE(cache.load(broken).result().isNull());
}

TEST(ThumbnailCache, AnEvictedEntryIsDecodedAnew) {
    fixtures::TempDir dir;
    ThumbnailCache cache;
    const std::string path = writeJpeg(dir, "3.jpg", 48, 32);
    EXPECT_EQ(cache.load(path).result().width(), 48);
    writeJpeg(dir, "3.jpg", 64, 40);
    EXPECT_EQ(cache.load(path).result().width(), 48);  // still the cached one
    cache.remove(path);
    EXPECT_EQ(cache.load(path).result().width(), 64);
}

// A thumbnail rewritten while its old file is being decoded: the old picture
// may reach the caller that asked for it, but must not stay in the cache.
TEST(ThumbnailCache, ADecodeOverlappingAnEvictionIsNotKept) {
    fixtures::TempDir dir;
    const std::string bytes = fixtures::readFile(writeJpeg(dir, "source.jpg"));
    ThumbnailCache cache;
    for (bool awaited : {true, false}) {
        const std::string path = dir / (awaited ? "4.jpg" : "5.jpg");
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);  // the decode waits until we write
        QImage delivered;
        QFuture<QImage> future;
        if (awaited) future = cache.load(path);
        else cache.load(path, [&](const QImage& img) { delivered = img; });
        cache.remove(path);  // the engine replaced the file meanwhile
        const int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        ::close(fd);
        if (awaited) EXPECT_EQ(future.result().width(), 48);
        else ASSERT_TRUE(spinUntil([&] { return !delivered.isNull(); }));
        ASSERT_TRUE(cache.waitForIdle(fixtures::patientMs));
        EXPECT_FALSE(cache.cached(path)) << path;
        // Once no decode is under way, no eviction needs remembering: an
        // import that evicts every thumbnail it writes leaves nothing behind.
        EXPECT_EQ(cache.rememberedRemovals(), 0u);
    }
    for (int i = 0; i < 1000; ++i) cache.remove(dir / (std::to_string(i) + ".jpg"));
    EXPECT_EQ(cache.rememberedRemovals(), 0u);
}

}  // namespace
