// Video playback on real clips: the cost of turning one decoded frame into
// the picture on screen, by our swscale converter and by Qt's own
// QVideoFrame::toImage() (scaled to the same size), at 1080p and 4K, both in
// the same run; and the time from making the player to its first frame on
// screen for a 1080p H.264 clip and a 4K HEVC clip.
//
// Run: build/playback_bench [--runs N]. Prints one JSON object per figure.

#include <QApplication>
#include <QElapsedTimer>
#include <QMediaPlayer>
#include <QSettings>
#include <QVideoSink>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "App/AppModel.h"
#include "UI/Viewer/VideoFrames.h"
#include "UI/Viewer/VideoPlayerView.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"
#include "store/StoreFixture.h"

using namespace vintrelle;

namespace {

bool spin(const std::function<bool()>& done, int ms) { return storetest::spinUntil(done, ms); }

struct Clip {
    const char* name;
    int width, height;
    const char* codec;
};

// A frame from the middle of the clip as the platform's decoder hands it over.
std::optional<QVideoFrame> decodedFrame(const std::string& file) {
    QMediaPlayer player;
    QVideoSink sink;
    player.setVideoSink(&sink);
    std::optional<QVideoFrame> frame;
    int seen = 0;
    QObject::connect(&sink, &QVideoSink::videoFrameChanged, [&](const QVideoFrame& f) {
        if (f.isValid() && ++seen == 5) frame = f;
    });
    player.setSource(QUrl::fromLocalFile(QString::fromStdString(file)));
    player.play();
    spin([&] { return frame.has_value() || player.error() != QMediaPlayer::NoError; }, 20000);
    player.stop();
    return frame;
}

const char* formatName(QVideoFrameFormat::PixelFormat f) {
    switch (f) {
        case QVideoFrameFormat::Format_YUV420P: return "YUV420P";
        case QVideoFrameFormat::Format_NV12: return "NV12";
        case QVideoFrameFormat::Format_P010: return "P010";
        case QVideoFrameFormat::Format_YUV420P10: return "YUV420P10";
        default: return "other";
    }
}

// A new frame holding the same pixels: Qt keeps the picture toImage() made
// inside the frame, so each measured conversion needs a frame of its own.
QVideoFrame copyOf(const QVideoFrame& source) {
    QVideoFrame in = source;
    QVideoFrame out(in.surfaceFormat());
    if (!in.map(QVideoFrame::ReadOnly)) return {};
    out.map(QVideoFrame::WriteOnly);
    for (int p = 0; p < in.planeCount(); ++p)
        std::memcpy(out.bits(p), in.bits(p), size_t(std::min(in.mappedBytes(p), out.mappedBytes(p))));
    out.unmap();
    in.unmap();
    return out;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int runs = 5;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
    QApplication app(argc, argv);

    fixtures::TempDir dir;
    const Clip clips[] = {{"1080p-h264.mp4", 1920, 1080, "libx264"}, {"4k-hevc.mov", 3840, 2160, "libx265"}};
    std::vector<std::string> files;
    for (const Clip& c : clips) {
        fixtures::ClipOptions o;
        o.width = c.width, o.height = c.height, o.codec = c.codec, o.fps = 30, o.duration = 2, o.withAudio = true;
        const std::string path = dir / c.name;
        if (!fixtures::makeClip(path, o)) {
            std::fprintf(stderr, "cannot make %s\n", c.name);
            return 1;
        }
        files.push_back(path);
    }

    // Conversion: each frame to what a 1920 x 1080 screen shows of it.
    for (size_t i = 0; i < files.size(); ++i) {
        const std::optional<QVideoFrame> frame = decodedFrame(files[i]);
        if (!frame) {
            std::fprintf(stderr, "no frame from %s\n", clips[i].name);
            return 1;
        }
        const QSize target = fittedFrameSize(frame->size(), 0, QSize(1920, 1080));
        FrameConverter converter;
        std::vector<double> ours, qt;
        const int n = std::max(10, runs * 4);
        for (int k = 0; k < n; ++k) {
            const QVideoFrame forUs = copyOf(*frame), forQt = copyOf(*frame);
            QElapsedTimer t;
            t.start();
            const QImage a = converter.convert(forUs, target);
            ours.push_back(double(t.nsecsElapsed()) / 1e6);
            t.restart();
            const QImage b = FrameConverter::convertWithQt(forQt, target);
            qt.push_back(double(t.nsecsElapsed()) / 1e6);
            if (a.isNull() || b.isNull()) return 1;
        }
        std::printf("{\"figure\":\"frame_conversion\",\"clip\":\"%s\",\"format\":\"%s\",\"frame\":\"%dx%d\","
                    "\"target\":\"%dx%d\",\"swscale_ms\":%.2f,\"qt_to_image_ms\":%.2f,\"ratio\":%.1f}\n",
                    clips[i].name, formatName(frame->pixelFormat()), frame->width(), frame->height(), target.width(),
                    target.height(), median(ours), median(qt), median(qt) / std::max(1e-6, median(ours)));
    }

    // First frame: from making the player to the first picture on screen.
    AppModel model(std::make_unique<QSettings>(QString::fromStdString(dir / "bench.conf"), QSettings::IniFormat));
    for (size_t i = 0; i < files.size(); ++i) {
        std::vector<double> times;
        int64_t received = 0, dropped = 0;
        for (int r = 0; r < runs; ++r) {
            Asset a;
            a.id = 1, a.kind = MediaKind::video, a.path = clips[i].name, a.duration = 2;
            QElapsedTimer t;
            t.start();
            VideoPlayerView view(model, files[i], a);
            view.resize(1440, 810);
            view.show();
            if (!spin([&] { return view.hasFrame(); }, 20000)) {
                std::fprintf(stderr, "no first frame from %s\n", clips[i].name);
                return 1;
            }
            times.push_back(double(t.nsecsElapsed()) / 1e6);
            if (r + 1 == runs) {
                // The whole clip at the window's size: frames shown against frames replaced unconverted.
                spin([&] { return view.player()->mediaStatus() == QMediaPlayer::EndOfMedia; }, 20000);
                received = view.canvas()->framesReceived();
                dropped = view.canvas()->framesDropped();
            }
        }
        std::printf("{\"figure\":\"first_frame\",\"clip\":\"%s\",\"runs\":%d,\"median_ms\":%.1f,\"max_ms\":%.1f,"
                    "\"frames_received\":%lld,\"frames_dropped\":%lld}\n",
                    clips[i].name, runs, median(times), *std::max_element(times.begin(), times.end()),
                    (long long)received, (long long)dropped);
    }
    return 0;
}
