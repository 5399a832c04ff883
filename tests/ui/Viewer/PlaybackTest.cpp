#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QAudioOutput>
#include <QMediaPlayer>
#include <QPointer>
#include <QTimer>
#include <QVideoFrame>

#include <filesystem>
#include <fstream>

#include "App/AppModel.h"
#include "UI/Kit/Buttons.h"
#include "Store/FullImageCache.h"
#include "UI/Viewer/LiveMovieView.h"
#include "UI/Viewer/MoviePlayback.h"
#include "UI/Viewer/Playback.h"
#include "UI/Viewer/VideoControls.h"
#include "UI/Viewer/VideoFrames.h"
#include "UI/Viewer/VideoPlayerView.h"
#include "UI/Viewer/ViewerPhoto.h"
#include "UI/Viewer/ViewerView.h"
#include "app/AppFixture.h"
#include "fixtures/LatchedDecoder.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
using apptest::spinUntil;

namespace {

constexpr int kFrameWaitMs = fixtures::patientMs;

// Clips are made once per run: x265 is slow enough to matter.
struct Clips {
    fixtures::TempDir dir;
    std::string source = dir / "source.jpg";
    Clips() { fixtures::makeJPEG(source, 320, 180, {200, 200, 200}); }
    std::string make(const std::string& name, fixtures::ClipOptions o) {
        const std::string path = dir / name;
        if (!std::filesystem::exists(path)) {
            o.sourceImage = o.sourceImage.empty() ? source : o.sourceImage;
            EXPECT_TRUE(fixtures::makeClip(path, o)) << name;
        }
        return path;
    }
    std::string broken(const std::string& name) {
        const std::string path = dir / name;
        std::ofstream(path) << std::string(4096, 'x');
        return path;
    }
};
Clips& clips() {
    static Clips c;
    return c;
}

// A live photo's movie cut short: its index is there, its media data is not.
std::string liveStub() {
    const std::string path = clips().dir / "live-stub.mov";
    if (std::filesystem::exists(path)) return path;
    fixtures::ClipOptions o;
    o.duration = 1.5;
    o.withAudio = true;
    o.moovFirst = true;
    std::filesystem::copy_file(clips().make("live-moov-first.mov", o), path);
    EXPECT_TRUE(fixtures::truncateMediaData(path, 0));
    return path;
}

double luma(const QImage& image, QPointF at) {
    const QColor c = image.pixelColor(at.toPoint());
    return 0.299 * c.red() + 0.587 * c.green() + 0.114 * c.blue();
}

// Which quarter of a picture is the dark one: 0 top-left, 1 top-right,
// 2 bottom-left, 3 bottom-right.
int darkQuarter(const QImage& image, QRectF r) {
    int best = -1;
    double lowest = 1e9;
    for (int q = 0; q < 4; ++q) {
        const QPointF at(r.left() + r.width() * (q % 2 ? 0.75 : 0.25), r.top() + r.height() * (q / 2 ? 0.75 : 0.25));
        const double l = luma(image, at);
        if (l < lowest) lowest = l, best = q;
    }
    return best;
}

// How ffmpeg itself shows the clip's first frame, turned as its rotation says.
QImage ffmpegFrame(const std::string& clip) {
    const std::string png = clip + ".png";
    fixtures::run("ffmpeg -nostdin -hide_banner -loglevel error -y -i " + fixtures::shellQuoted(clip) +
                  " -frames:v 1 " + fixtures::shellQuoted(png));
    return QImage(QString::fromStdString(png));
}

Asset videoAsset(int64_t id) {
    Asset a;
    a.id = id;
    a.kind = MediaKind::video;
    a.path = "clip.mp4";
    a.duration = 1;
    return a;
}

}  // namespace

TEST(Playback, RotatedTenBitAndOddlyNamedClipsShowTheirFirstFrameUpright) {
    struct Case {
        const char* name;
        const char* codec;
        const char* pixelFormat;
        std::optional<int> rotation;
    } cases[] = {
        {"h264-rot90.mp4", "libx264", "yuv420p", 90},
        {"hevc-rot90.mov", "libx265", "yuv420p", 90},
        {"hevc-rot270.mov", "libx265", "yuv420p", 270},
        {"hevc10.mov", "libx265", "yuv420p10le", std::nullopt},
        {"clip #1? of 2.mp4", "libx264", "yuv420p", std::nullopt},  // characters a URL would read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::ClipOptions o;
        o.codec = c.codec;
        o.pixelFormat = c.pixelFormat;
        o.rotation = c.rotation;
        const std::string clip = clips().make(c.name, o);
        const QImage truth = ffmpegFrame(clip);
        ASSERT_FALSE(truth.isNull());

        apptest::Model model;
        VideoPlayerView view(*model, clip, videoAsset(1));
        view.resize(600, 600);
        view.show();
        ASSERT_TRUE(spinUntil([&] { return view.hasFrame(); }, kFrameWaitMs));
        const QRectF r = view.canvas()->pictureRect();
        // Shown in the shape and the orientation ffmpeg shows it in.
        EXPECT_NEAR(r.width() / r.height(), double(truth.width()) / truth.height(), 0.02);
        const QImage shown = view.canvas()->grab().toImage();
        EXPECT_EQ(darkQuarter(shown, QRectF(r.topLeft() * shown.devicePixelRatio(), r.size() * shown.devicePixelRatio())),
                  darkQuarter(truth, QRectF(truth.rect())));
        EXPECT_FALSE(view.failed());
    }
}

TEST(Playback, TheToggleTokenPausesResumesAndRestartsOncePerRaise) {
    fixtures::ClipOptions o;
    o.withAudio = true;
    const std::string clip = clips().make("sound.mp4", o);
    apptest::Model model;
    model->raiseVideoToggleToken();  // standing before the player: no request
    VideoPlayerView view(*model, clip, videoAsset(1));
    view.resize(400, 300);
    view.show();
    QMediaPlayer* player = view.player();
    ASSERT_TRUE(spinUntil([&] { return view.playback()->running(); }, kFrameWaitMs));

    model->raiseVideoToggleToken();
    EXPECT_EQ(player->playbackState(), QMediaPlayer::PausedState);
    // Re-laying out and re-reading the model ask for nothing.
    view.resize(500, 300);
    model->setShowInfo(!model->showInfo());
    QApplication::processEvents();
    EXPECT_EQ(player->playbackState(), QMediaPlayer::PausedState);
    model->raiseVideoToggleToken();
    EXPECT_EQ(player->playbackState(), QMediaPlayer::PlayingState);

    ASSERT_TRUE(spinUntil([&] { return player->mediaStatus() == QMediaPlayer::EndOfMedia; }));
    ASSERT_TRUE(view.ended());
    EXPECT_EQ(view.controls()->elapsedText(), view.controls()->durationText());
    model->raiseVideoToggleToken();  // after the end: from the start
    EXPECT_EQ(player->playbackState(), QMediaPlayer::PlayingState);
    EXPECT_TRUE(spinUntil([&] { return player->position() > 0 && player->position() < 900; }));

    // The controls act as the space bar does; a pause asked for before the
    // restarted clock is seen to run takes effect once it runs.
    view.controls()->playButton()->click();
    EXPECT_FALSE(view.playing());
    EXPECT_EQ(view.controls()->playButton()->symbol(), "play.fill");
    EXPECT_TRUE(spinUntil([&] { return player->playbackState() == QMediaPlayer::PausedState; }));
}

// Frame 0 is the first picture, the clock starts only once it is on screen,
// and pauses and plays that come while the movie gets going (the space bar
// pressed twice as it opens) never leave it stuck.
TEST(Playback, AMovieOpensOnItsFirstFrameAndPlaysOnFromIt) {
    const std::string blue = clips().dir / "blue.jpg";
    ASSERT_TRUE(fixtures::makeJPEG(blue, 320, 180, {20, 40, 230}));
    struct Case {
        const char* name;
        bool sound;
        int toggleAfterMs;  // -1: no toggles
    } cases[] = {
        {"silent", false, -1},
        {"with sound", true, -1},
        {"with sound, paused and resumed as it starts", true, 0},
        {"silent, paused and resumed as it starts", false, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::ClipOptions o;
        o.duration = 1.5;
        o.fps = 30;
        o.withAudio = c.sound;
        o.sourceImage = blue;
        o.videoFilter = "drawbox=c=red:t=fill:enable='lt(n,3)'";
        const std::string clip = clips().make(std::string("red-first-") + (c.sound ? "sound" : "silent") + ".mp4", o);
        apptest::Model model;
        VideoPlayerView view(*model, clip, videoAsset(1));
        view.resize(320, 180);
        QMediaPlayer* player = view.player();
        QColor first;
        QMediaPlayer::PlaybackState stateAtFirst = QMediaPlayer::PlayingState;
        qint64 positionAtFirst = -1;
        QObject::connect(&view, &VideoPlayerView::firstFrame, &view, [&] {
            first = view.canvas()->grab().toImage().pixelColor(160, 90);
            stateAtFirst = player->playbackState();
            positionAtFirst = player->position();
            if (c.toggleAfterMs >= 0)
                QTimer::singleShot(c.toggleAfterMs, &view, [&] {
                    model->raiseVideoToggleToken();
                    model->raiseVideoToggleToken();
                });
        });
        view.show();
        ASSERT_TRUE(spinUntil([&] { return first.isValid(); }, kFrameWaitMs));
        EXPECT_GT(first.red(), 200);
        EXPECT_LT(first.blue(), 60);
        EXPECT_EQ(stateAtFirst, QMediaPlayer::PausedState);  // the clock had not started
        EXPECT_EQ(positionAtFirst, 0);
        EXPECT_TRUE(spinUntil([&] { return player->mediaStatus() == QMediaPlayer::EndOfMedia; }));
        EXPECT_FALSE(view.failed());
    }
}

TEST(Playback, LeavingTheVideoSilencesItAtOnceAndRemovingItEndsThePlayer) {
    fixtures::ClipOptions o;
    o.withAudio = true;
    const std::string clip = clips().make("sound.mp4", o);
    apptest::Model model;
    auto list = std::make_shared<const AssetList>(std::vector<Asset>{videoAsset(1), videoAsset(2)});
    model->setViewer(ViewerState{list, 0});
    auto* view = new VideoPlayerView(*model, clip, videoAsset(1));
    view->show();
    QPointer<QMediaPlayer> player = view->player();
    ASSERT_TRUE(spinUntil([&] { return view->playback()->running(); }, kFrameWaitMs));

    model->setViewer(ViewerState{list, 1});  // stepped: the old player stays only for the moment
    EXPECT_EQ(player->playbackState(), QMediaPlayer::PausedState);
    EXPECT_EQ(view->audio()->volume(), 0);
    model->setViewer(ViewerState{list, 0});
    EXPECT_EQ(view->audio()->volume(), 1);

    delete view;
    EXPECT_TRUE(player.isNull());
}

TEST(Playback, AVideoThatCannotPlayKeepsItsThumbnailAndHidesItsControls) {
    apptest::Library lib({videoAsset(7)});
    apptest::Model model;
    model->setStore(lib.store);
    const std::string thumb = lib.store->paths().thumbURL(7);
    std::filesystem::create_directories(std::filesystem::path(thumb).parent_path());
    QImage poster(64, 48, QImage::Format_RGB32);
    poster.fill(QColor(30, 160, 90));
    ASSERT_TRUE(poster.save(QString::fromStdString(thumb), "JPG"));
    Asset asset = videoAsset(7);
    asset.thumbState = 1;

    fixtures::ClipOptions o;
    o.duration = 8;
    o.withAudio = true;
    o.moovFirst = true;
    const std::string stub = clips().dir / "stub-moov.mp4";
    std::filesystem::copy_file(clips().make("moov-first.mp4", o), stub, std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(fixtures::truncateMediaData(stub, 0));
    struct Case {
        const char* name;
        std::string file;
    } cases[] = {
        {"not a movie", clips().broken("broken.mp4")},
        {"an index whose media data is missing", stub},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VideoPlayerView view(*model, c.file, asset);
        view.resize(400, 300);
        view.show();
        ASSERT_TRUE(spinUntil([&] { return view.failed(); }, kFrameWaitMs));
        ASSERT_TRUE(spinUntil([&] { return !view.canvas()->pictureRect().isEmpty(); }));
        EXPECT_FALSE(view.hasFrame());
        EXPECT_FALSE(view.controls()->isVisible());
        const QImage shown = view.grab().toImage();
        const QColor middle = shown.pixelColor(shown.rect().center());
        EXPECT_NEAR(middle.green(), 160, 20);
        view.toggle();  // nothing to play: no error, no state
        EXPECT_TRUE(view.failed());
        EXPECT_FALSE(view.playing());
    }
}

TEST(Playback, AClipCutShortEndsWhereItsFramesEnd) {
    fixtures::ClipOptions o;
    o.duration = 4;
    o.withAudio = true;
    o.moovFirst = true;
    const std::string cut = clips().dir / "cut-in-half.mp4";
    std::filesystem::copy_file(clips().make("moov-first-4s.mp4", o), cut, std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(fixtures::truncateMediaData(cut, 0.5));
    apptest::Model model;
    Asset asset = videoAsset(1);
    asset.duration = 4;
    VideoPlayerView view(*model, cut, asset);
    view.resize(320, 240);
    view.show();
    ASSERT_TRUE(spinUntil([&] { return view.ended(); }));
    EXPECT_FALSE(view.failed());
    EXPECT_TRUE(view.hasFrame());
    EXPECT_TRUE(view.controls()->isVisible());
    EXPECT_EQ(view.controls()->playButton()->symbol(), "play.fill");
    // The bar stays where the pictures stopped, not at the file's duration.
    EXPECT_EQ(view.controls()->durationText(), "0:04");
    EXPECT_GT(view.controls()->position(), 1000);
    EXPECT_LT(view.controls()->position(), 3500);
    view.toggle();  // from the start again
    EXPECT_TRUE(view.playing());
    EXPECT_TRUE(spinUntil([&] { return view.player()->position() > 0 && view.player()->position() < 1000; }));
}

TEST(Playback, ALiveMovieFinishesExactlyOnceEvenWhenItCannotPlay) {
    fixtures::ClipOptions o;
    o.duration = 0.5;
    o.withAudio = true;
    struct Case {
        const char* name;
        std::string file;
        bool removeEarly;
        int finishes;
    } cases[] = {
        {"plays to its end", clips().make("live.mov", o), false, 1},
        {"broken file", clips().broken("live-broken.mov"), false, 1},
        {"missing file", clips().dir / "missing.mov", false, 1},
        {"removed before its end", clips().make("live.mov", o), true, 0},
        {"broken and removed at once", clips().broken("live-broken2.mov"), true, 0},
        {"cut short: its media data missing", liveStub(), false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QWidget still;
        still.resize(320, 180);
        int finished = 0;
        auto* movie = new LiveMovieView(c.file, [&] { ++finished; }, &still);
        movie->resize(still.size());
        still.show();
        EXPECT_FALSE(movie->hasFrame());  // nothing over the still until a frame
        if (c.removeEarly) {
            delete movie;
            movie = nullptr;
        }
        // A movie that reports is waited for; one that must not is given a
        // while past the stall's deadline to (wrongly) report.
        spinUntil([&] { return finished > 0; }, c.finishes > 0 ? fixtures::patientMs : 3000 + MoviePlayback::stallMs);
        spinUntil([] { return false; }, 300);  // room for a second report
        EXPECT_EQ(finished, c.finishes);
    }
}

TEST(Playback, TheLiveControlGetsTheStillBackWhenTheMovieEndsOrFails) {
    fixtures::ClipOptions o;
    o.duration = 0.5;
    fixtures::TempDir dir;
    std::filesystem::copy_file(clips().make("live.mov", o), dir / "IMG_1.MOV");
    std::filesystem::copy_file(clips().broken("live-broken.mov"), dir / "IMG_2.MOV");
    std::filesystem::copy_file(liveStub(), dir / "IMG_3.MOV");
    fixtures::LatchedDecoder decoder;
    FullImageCache cache(decoder.fn());
    ViewerPhoto pane(cache);
    pane.resize(400, 300);
    pane.setLiveMovieFactory([](const std::string& file, std::function<void()> done, QWidget* parent) -> QWidget* {
        return new LiveMovieView(file, std::move(done), parent);
    });
    pane.show();
    LibraryPaths paths;
    paths.root = dir.path();
    paths.dataDir = dir / ".data";
    for (int id : {1, 2, 3}) {
        SCOPED_TRACE(id);
        Asset a;
        a.id = id;
        a.path = "IMG_" + std::to_string(id) + ".HEIC";
        a.liveVideo = "IMG_" + std::to_string(id) + ".MOV";
        pane.setPhoto(paths, nullptr, a, {});
        ASSERT_TRUE(pane.liveControl()->isVisible());
        pane.liveControl()->click();
        EXPECT_TRUE(pane.playingLive());
        ASSERT_NE(pane.liveMovie(), nullptr);
        EXPECT_TRUE(pane.liveMovie()->testAttribute(Qt::WA_TransparentForMouseEvents));
        EXPECT_TRUE(spinUntil([&] { return !pane.playingLive(); }));
        EXPECT_EQ(pane.liveMovie(), nullptr);
    }
    // A second click stops a playing movie at once.
    pane.liveControl()->click();
    pane.liveControl()->click();
    EXPECT_FALSE(pane.playingLive());
    EXPECT_EQ(pane.liveMovie(), nullptr);
    decoder.releaseAll();
}

// ---- frame conversion ----------------------------------------------------------

namespace {

// A frame of one colour in a planar or semi-planar layout, 8 or 16 bits per
// sample (10-bit samples stored as their formats store them).
QVideoFrame solidFrame(QVideoFrameFormat::PixelFormat format, QSize size, int y, int u, int v,
                       QVideoFrameFormat::ColorSpace space, QVideoFrameFormat::ColorRange range) {
    QVideoFrameFormat f(size, format);
    f.setColorSpace(space);
    f.setColorRange(range);
    QVideoFrame frame(f);
    frame.map(QVideoFrame::WriteOnly);
    auto fill16 = [](uchar* row, int count, int value) {
        for (int i = 0; i < count; ++i) reinterpret_cast<uint16_t*>(row)[i] = uint16_t(value);
    };
    const int w = size.width(), h = size.height();
    for (int row = 0; row < h; ++row) {
        switch (format) {
            case QVideoFrameFormat::Format_YUV420P:
                std::memset(frame.bits(0) + row * frame.bytesPerLine(0), y, size_t(w));
                if (row < h / 2) {
                    std::memset(frame.bits(1) + row * frame.bytesPerLine(1), u, size_t(w / 2));
                    std::memset(frame.bits(2) + row * frame.bytesPerLine(2), v, size_t(w / 2));
                }
                break;
            case QVideoFrameFormat::Format_NV12:
                std::memset(frame.bits(0) + row * frame.bytesPerLine(0), y, size_t(w));
                if (row < h / 2)
                    for (int i = 0; i < w / 2; ++i) {
                        frame.bits(1)[row * frame.bytesPerLine(1) + 2 * i] = uchar(u);
                        frame.bits(1)[row * frame.bytesPerLine(1) + 2 * i + 1] = uchar(v);
                    }
                break;
            case QVideoFrameFormat::Format_P010:  // 10 bits in the high bits of 16
                fill16(frame.bits(0) + row * frame.bytesPerLine(0), w, (y << 2) << 6);
                if (row < h / 2)
                    for (int i = 0; i < w / 2; ++i) {
                        auto* c = reinterpret_cast<uint16_t*>(frame.bits(1) + row * frame.bytesPerLine(1));
                        c[2 * i] = uint16_t((u << 2) << 6);
                        c[2 * i + 1] = uint16_t((v << 2) << 6);
                    }
                break;
            case QVideoFrameFormat::Format_YUV420P10:  // 10 bits in the low bits of 16
                fill16(frame.bits(0) + row * frame.bytesPerLine(0), w, y << 2);
                if (row < h / 2) {
                    fill16(frame.bits(1) + row * frame.bytesPerLine(1), w / 2, u << 2);
                    fill16(frame.bits(2) + row * frame.bytesPerLine(2), w / 2, v << 2);
                }
                break;
            default: break;
        }
    }
    frame.unmap();
    return frame;
}

}  // namespace

TEST(FrameConverter, HonoursTheLayoutMatrixAndRangeOfEachFrame) {
    using F = QVideoFrameFormat;
    struct Case {
        F::PixelFormat format;
        F::ColorSpace space;
        F::ColorRange range;
        int y, u, v;
        QColor expected;
    } cases[] = {
        // Pure red in each matrix and range.
        {F::Format_YUV420P, F::ColorSpace_BT601, F::ColorRange_Video, 81, 90, 240, QColor(255, 0, 0)},
        {F::Format_YUV420P, F::ColorSpace_BT709, F::ColorRange_Video, 63, 102, 240, QColor(255, 0, 0)},
        {F::Format_YUV420P, F::ColorSpace_BT601, F::ColorRange_Full, 76, 85, 255, QColor(255, 0, 0)},
        {F::Format_NV12, F::ColorSpace_BT709, F::ColorRange_Video, 63, 102, 240, QColor(255, 0, 0)},
        {F::Format_P010, F::ColorSpace_BT709, F::ColorRange_Video, 63, 102, 240, QColor(255, 0, 0)},
        {F::Format_YUV420P10, F::ColorSpace_BT709, F::ColorRange_Video, 63, 102, 240, QColor(255, 0, 0)},
        // Video-range white and black stay white and black.
        {F::Format_NV12, F::ColorSpace_BT709, F::ColorRange_Video, 235, 128, 128, QColor(255, 255, 255)},
        {F::Format_NV12, F::ColorSpace_BT709, F::ColorRange_Video, 16, 128, 128, QColor(0, 0, 0)},
    };
    FrameConverter converter;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << c.format << " space " << c.space << " range " << c.range);
        ASSERT_TRUE(FrameConverter::handles(c.format));
        const QVideoFrame frame = solidFrame(c.format, QSize(64, 48), c.y, c.u, c.v, c.space, c.range);
        const QImage out = converter.convert(frame, QSize(40, 30));
        ASSERT_EQ(out.size(), QSize(40, 30));
        const QColor got = out.pixelColor(20, 15);
        EXPECT_NEAR(got.red(), c.expected.red(), 6);
        EXPECT_NEAR(got.green(), c.expected.green(), 6);
        EXPECT_NEAR(got.blue(), c.expected.blue(), 6);
    }
}

TEST(FrameConverter, APictureStillHeldIsNeverWrittenOverAndOutlivesItsConverter) {
    using F = QVideoFrameFormat;
    const QVideoFrame red = solidFrame(F::Format_NV12, QSize(64, 48), 63, 102, 240, F::ColorSpace_BT709, F::ColorRange_Video);
    const QVideoFrame white = solidFrame(F::Format_NV12, QSize(64, 48), 235, 128, 128, F::ColorSpace_BT709, F::ColorRange_Video);
    QImage held;
    {
        FrameConverter converter;
        held = converter.convert(red, QSize(32, 24));
        for (int i = 0; i < 8; ++i) {  // buffers come and go around the one held
            const QImage other = converter.convert(white, QSize(32, 24));
            ASSERT_EQ(other.pixelColor(5, 5).red(), 255);
            ASSERT_NE(other.constBits(), held.constBits());
        }
    }
    EXPECT_NEAR(held.pixelColor(16, 12).red(), 255, 6);
    EXPECT_NEAR(held.pixelColor(16, 12).green(), 0, 6);
}

TEST(FrameConverter, FitsTurnedFramesIntoTheirBox) {
    EXPECT_EQ(fittedFrameSize({1920, 1080}, 0, {960, 960}), QSize(960, 540));
    EXPECT_EQ(fittedFrameSize({1920, 1080}, 90, {960, 960}), QSize(960, 540));  // shown 540 x 960
    EXPECT_EQ(fittedFrameSize({1920, 1080}, 270, {400, 1000}), QSize(711, 400));
    EXPECT_EQ(fittedFrameSize({160, 120}, 0, {640, 480}), QSize(640, 480));  // small clips fill the pane
    EXPECT_TRUE(fittedFrameSize({1920, 1080}, 0, {0, 500}).isEmpty());
    EXPECT_TRUE(FrameConverter().convert(QVideoFrame(), {10, 10}).isNull());
}

TEST(Playback, TheViewerPlaysALibraryVideoAndDropsThePlayerOnAStep) {
    apptest::Model model;
    storetest::Library lib;
    std::filesystem::copy_file(clips().make("library clip.mp4", {}), lib.dir / "library clip.mp4");
    Asset video = apptest::makeAsset(1, "library clip.mp4", 2e5);
    video.kind = MediaKind::video;
    video.width = 160, video.height = 120;
    lib.add({video, apptest::makeAsset(2, "a.jpg", 1e5)});
    lib.store->start(false);
    fixtures::LatchedDecoder decoder;
    FullImageCache cache(decoder.fn());
    QWidget window;
    window.resize(900, 600);
    auto* viewer = new ViewerView(*model, cache, &window);
    installPlayback(*viewer);
    window.show();
    model->setStore(lib.store);
    ASSERT_TRUE(spinUntil([&] { return lib.store->assets().size() == 2; }));

    model->open(lib.store->assets()[0], lib.store->assets());
    QPointer<VideoPlayerView> player = qobject_cast<VideoPlayerView*>(viewer->videoPlayer());
    ASSERT_TRUE(player);
    EXPECT_TRUE(spinUntil([&] { return player->hasFrame(); }, kFrameWaitMs));
    EXPECT_FALSE(player->failed());
    model->setViewer(ViewerState{model->viewer()->assets, 1});
    EXPECT_TRUE(spinUntil([&] { return player.isNull(); }));
    EXPECT_FALSE(viewer->videoPlayer());
    decoder.releaseAll();
}
