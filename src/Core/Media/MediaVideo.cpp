// Movies through FFmpeg: duration, display size, container metadata and the
// poster frame.

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}
#include <unicode/utf8.h>

#include "Core/Media/MediaInternal.h"
#include "Core/Media/MediaProcessor.h"
#include "Core/Base/WallClock.h"

namespace vintrelle {

namespace {

using media::VImage;
using Clock = std::chrono::steady_clock;

// A damaged file must not keep a worker forever: every blocking FFmpeg call
// gives up at this deadline.
constexpr auto kReadBudget = std::chrono::seconds(20);
// Frames the poster search may decode before it settles for what it has.
constexpr int kMaxPosterPackets = 2000;
constexpr double kPosterTolerance = 2.0;

int interrupted(void* opaque) { return Clock::now() > *static_cast<Clock::time_point*>(opaque) ? 1 : 0; }

struct FormatContext {
    AVFormatContext* ctx = nullptr;
    ~FormatContext() {
        if (ctx) avformat_close_input(&ctx);
    }
};

struct CodecContext {
    AVCodecContext* ctx = nullptr;
    ~CodecContext() {
        if (ctx) avcodec_free_context(&ctx);
    }
};

struct Frame {
    AVFrame* f = av_frame_alloc();
    ~Frame() { av_frame_free(&f); }
};

struct Packet {
    AVPacket* p = av_packet_alloc();
    ~Packet() { av_packet_free(&p); }
};

bool endsWith(std::string_view s, std::string_view suffix) { return s.ends_with(suffix); }

// The first stream that is a real video track (cover art is not one).
int videoStreamIndex(const AVFormatContext* fmt) {
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return int(i);
    }
    return -1;
}

const int32_t* displayMatrix(const AVStream* st) {
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
    return data && size >= 9 * sizeof(int32_t) ? reinterpret_cast<const int32_t*>(data) : nullptr;
}

// Clockwise quarter turns that bring the stored picture upright.
int quarterTurns(const AVStream* st) {
    const int32_t* m = displayMatrix(st);
    if (!m) return 0;
    double ccw = av_display_rotation_get(m);
    if (!std::isfinite(ccw)) return 0;
    long cw = std::lround(-ccw / 90.0);
    return int(((cw % 4) + 4) % 4);
}

double sampleAspect(AVRational sar) { return sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0; }

// The stored size times the sample aspect, as the display matrix turns it.
std::pair<int, int> displaySize(const AVStream* st) {
    double w = double(st->codecpar->width), h = double(st->codecpar->height);
    AVRational sar = st->codecpar->sample_aspect_ratio;
    if (sar.num <= 0 || sar.den <= 0) sar = st->sample_aspect_ratio;
    w *= sampleAspect(sar);
    double rw = w, rh = h;
    if (const int32_t* m = displayMatrix(st)) {
        double ccw = av_display_rotation_get(m);
        if (std::isfinite(ccw)) {
            double a = ccw * M_PI / 180.0;
            double c = std::fabs(std::cos(a)), s = std::fabs(std::sin(a));
            // Keep exact quarter turns exact.
            if (c < 1e-9) c = 0;
            if (s < 1e-9) s = 0;
            rw = w * c + h * s;
            rh = w * s + h * c;
        }
    }
    auto toInt = [](double v) { return std::isfinite(v) && v >= 0 && v < 1e9 ? int(std::lround(v)) : 0; };
    return {toInt(rw), toInt(rh)};
}

size_t scalarCount(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

// The n-th Unicode scalar (0-based) of s, as its UTF-8 bytes.
std::string_view scalarAt(std::string_view s, size_t n) {
    size_t i = 0;
    for (size_t k = 0; i < s.size(); ++k) {
        size_t start = i++;
        while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
        if (k == n) return s.substr(start, i - start);
    }
    return {};
}

bool dateShaped(std::string_view s) {
    return scalarCount(s) >= 19 && scalarAt(s, 4) == "-" && scalarAt(s, 7) == "-" && scalarAt(s, 10) == "T";
}

bool locationShaped(std::string_view s) { return s.ends_with('/') && (s.front() == '+' || s.front() == '-'); }

// Decodes from where the demuxer stands to the first frame at or past
// target, each attempt on a budget of packets. out keeps the last frame
// decoded (the one wanted, or the latest before the end); the result is its
// time from the stream's start, or nothing when no frame came out.
std::optional<double> decodeTo(AVFormatContext* fmt, int index, AVCodecContext* dec, double target, Frame& out) {
    const AVStream* st = fmt->streams[index];
    const double tb = av_q2d(st->time_base);
    const int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
    double frameLength = 0;
    if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0) frameLength = 1.0 / av_q2d(st->avg_frame_rate);

    Frame frame;
    Packet pkt;
    std::optional<double> have;
    auto take = [&]() -> int {  // 1 when the frame is the one wanted
        int64_t pts = frame.f->best_effort_timestamp;
        double t = pts == AV_NOPTS_VALUE || tb <= 0 ? target : double(pts - start) * tb;
        av_frame_unref(out.f);
        av_frame_move_ref(out.f, frame.f);
        have = t;
        return t + frameLength / 2 >= target ? 1 : 0;
    };
    auto drain = [&]() -> int {
        while (true) {
            int rc = avcodec_receive_frame(dec, frame.f);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
            if (rc < 0) return -1;
            if (take()) return 1;
        }
    };
    for (int packets = 0; packets < kMaxPosterPackets; ++packets) {
        int rc = av_read_frame(fmt, pkt.p);
        if (rc < 0) break;
        if (pkt.p->stream_index == index) {
            rc = avcodec_send_packet(dec, pkt.p);
            av_packet_unref(pkt.p);
            if (rc < 0 && rc != AVERROR(EAGAIN)) continue;  // a damaged packet: try the next
            int got = drain();
            if (got == 1) return out.f->width > 0 ? have : std::nullopt;
            if (got < 0) continue;
        } else {
            av_packet_unref(pkt.p);
        }
    }
    avcodec_send_packet(dec, nullptr);
    drain();
    return out.f->width > 0 && out.f->height > 0 ? have : std::nullopt;
}

// Back to the first packet. By byte where the format allows it: a stream
// without an index (MPEG-TS) seeks by any packet's time, and the packet
// found for the start time may already lie past the first keyframe.
bool rewind(AVFormatContext* fmt, int index) {
    if (!(fmt->iformat->flags & AVFMT_NO_BYTE_SEEK) && av_seek_frame(fmt, -1, 0, AVSEEK_FLAG_BYTE) >= 0) return true;
    const AVStream* st = fmt->streams[index];
    return av_seek_frame(fmt, index, st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time, AVSEEK_FLAG_BACKWARD) >= 0;
}

// The decoded frame nearest the requested time, or nullptr.
Frame* posterFrame(AVFormatContext* fmt, int index, double target, Frame& out) {
    AVStream* st = fmt->streams[index];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) return nullptr;
    CodecContext dec;
    dec.ctx = avcodec_alloc_context3(codec);
    if (!dec.ctx || avcodec_parameters_to_context(dec.ctx, st->codecpar) < 0) return nullptr;
    dec.ctx->thread_count = 1;
    if (avcodec_open2(dec.ctx, codec, nullptr) < 0) return nullptr;

    const double tb = av_q2d(st->time_base);
    const int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
    const bool sought = target > 0 && tb > 0;
    if (sought) {
        auto ts = int64_t(target / tb) + start;
        if (av_seek_frame(fmt, index, ts, AVSEEK_FLAG_BACKWARD) < 0) av_seek_frame(fmt, index, start, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(dec.ctx);
    }
    std::optional<double> t = decodeTo(fmt, index, dec.ctx, target, out);
    // Where the demuxer knows no keyframes (MPEG-TS, as camcorders write
    // it), the seek lands on any packet before the target: with long groups
    // of pictures no keyframe may follow it, and the decoder gives nothing,
    // or only a frame far past the target. Decoding forward from the start
    // reaches the target itself.
    if (sought && (!t || *t > target + kPosterTolerance) && rewind(fmt, index)) {
        avcodec_flush_buffers(dec.ctx);
        Frame again;
        if (std::optional<double> fromStart = decodeTo(fmt, index, dec.ctx, target, again)) {
            av_frame_unref(out.f);
            av_frame_move_ref(out.f, again.f);
            t = fromStart;
        }
    }
    return t ? &out : nullptr;
}

// The frame as an RGB picture that fits in 480 x 480, turned upright.
VImage posterImage(const AVFrame* f, const AVStream* st) {
    if (f->format < 0 || f->width <= 0 || f->height <= 0) return {};
    AVRational sar = f->sample_aspect_ratio;
    if (sar.num <= 0 || sar.den <= 0) sar = st->codecpar->sample_aspect_ratio;
    double dw = f->width * sampleAspect(sar), dh = f->height;
    double scale = std::min(1.0, double(media::kThumbPixels) / std::max(dw, dh));
    int w = std::max(1, int(std::lround(dw * scale)));
    int h = std::max(1, int(std::lround(dh * scale)));
    if (w > 4 * media::kThumbPixels || h > 4 * media::kThumbPixels) return {};

    SwsContext* sws = sws_getContext(f->width, f->height, AVPixelFormat(f->format), w, h, AV_PIX_FMT_RGB24,
                                     SWS_AREA, nullptr, nullptr, nullptr);
    if (!sws) return {};
    const int stride = FFALIGN(w * 3, 64);
    std::vector<uint8_t> rgb(size_t(stride) * size_t(h) + 64);
    uint8_t* dst[4] = {rgb.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {stride, 0, 0, 0};
    int rows = sws_scale(sws, f->data, f->linesize, 0, f->height, dst, dstStride);
    sws_freeContext(sws);
    if (rows != h) return {};
    std::vector<uint8_t> packed(size_t(w) * size_t(h) * 3);
    for (int y = 0; y < h; ++y) std::memcpy(&packed[size_t(y) * size_t(w) * 3], &rgb[size_t(y) * size_t(stride)], size_t(w) * 3);

    VImage img(vips_image_new_from_memory_copy(packed.data(), packed.size(), w, h, 3, VIPS_FORMAT_UCHAR));
    if (!img) {
        vips_error_clear();
        return {};
    }
    static constexpr VipsAngle angles[] = {VIPS_ANGLE_D0, VIPS_ANGLE_D90, VIPS_ANGLE_D180, VIPS_ANGLE_D270};
    if (int turns = quarterTurns(st)) {
        VipsImage* turned = nullptr;
        if (vips_rot(img.get(), &turned, angles[turns], nullptr) != 0) {
            vips_error_clear();
            return {};
        }
        img.reset(turned);
    }
    return img;
}

}  // namespace

namespace MediaProcessor {

ProcessedMedia processVideo(const std::string& url, double fallbackDate, const std::string& thumbURL) {
    initialize();  // a no-op after the first call; keeps a caller that forgot it safe
    ProcessedMedia r;
    r.taken = fallbackDate;

    Clock::time_point deadline = Clock::now() + kReadBudget;
    FormatContext fmt;
    fmt.ctx = avformat_alloc_context();
    if (!fmt.ctx) return r;
    fmt.ctx->interrupt_callback = {interrupted, &deadline};
    if (avformat_open_input(&fmt.ctx, url.c_str(), nullptr, nullptr) < 0) {
        fmt.ctx = nullptr;  // freed by avformat_open_input on failure
        return r;
    }
    {
        // Probing decodes a few frames; keep it on this thread too.
        std::vector<AVDictionary*> options(fmt.ctx->nb_streams, nullptr);
        for (auto& o : options) av_dict_set(&o, "threads", "1", 0);
        int rc = avformat_find_stream_info(fmt.ctx, options.empty() ? nullptr : options.data());
        for (auto& o : options) av_dict_free(&o);
        if (rc < 0) return r;
    }

    // Duration of the container; an unknown or negative one counts as 0.
    if (fmt.ctx->duration != AV_NOPTS_VALUE && fmt.ctx->duration >= 0)
        r.duration = double(fmt.ctx->duration) / double(AV_TIME_BASE);

    const int video = videoStreamIndex(fmt.ctx);
    if (video >= 0) std::tie(r.width, r.height) = displaySize(fmt.ctx->streams[video]);

    // Container metadata. QuickTime keys arrive under their full names and
    // "©xyz" as "location". creation_time is the file's own UTC creation date,
    // not a wall-clock text: it is only the fallback below.
    double workingDate = fallbackDate;
    bool dateFound = false;
    std::optional<std::pair<double, double>> location;
    std::optional<std::string> creationUTC;
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(fmt.ctx->metadata, "", e, AV_DICT_IGNORE_SUFFIX))) {
        if (!e->key || !e->value) continue;
        std::string_view key = e->key, value = e->value;
        if (key == "creation_time") {
            creationUTC = std::string(value);
        } else if (endsWith(key, "com.apple.quicktime.creationdate")) {
            if (auto d = parseExifDate(value)) {
                workingDate = *d;
                dateFound = true;
            }
        } else if (endsWith(key, "com.apple.quicktime.location.ISO6709") || endsWith(key, "\xC2\xA9xyz") ||
                   key == "location") {
            if (auto l = parseISO6709(value)) location = l;
        } else if (endsWith(key, "com.apple.quicktime.model")) {
            if (!value.empty()) r.camera = std::string(value);
        } else {
            if (!dateFound && dateShaped(value)) {
                if (auto d = parseExifDate(value)) {
                    workingDate = *d;
                    dateFound = true;
                    continue;
                }
            }
            if (!location && !value.empty() && locationShaped(value)) {
                if (auto l = parseISO6709(value)) location = l;
            }
        }
    }
    if (!dateFound && creationUTC) {
        // The UTC moment (its first 19 characters read as a civil date and
        // time) shown in the zone this computer is set to now.
        if (auto utc = parseExifDate(*creationUTC)) {
            std::time_t t = std::time_t(*utc);
            std::tm local{};
            tzset();
            if (localtime_r(&t, &local) && local.tm_year + 1900 >= 1991)
                workingDate = *utc + double(WallClock::localOffset(*utc));
        }
    }
    r.taken = workingDate;
    if (location) {
        r.lat = location->first;
        r.lon = location->second;
    }

    if (video >= 0) {
        double target = std::min(r.duration / 3.0, 1.0);
        Frame poster;
        if (posterFrame(fmt.ctx, video, target, poster)) {
            if (VImage img = posterImage(poster.f, fmt.ctx->streams[video])) {
                int pw = vips_image_get_width(img.get()), ph = vips_image_get_height(img.get());
                if (r.width == 0 || r.height == 0) {
                    r.width = pw;
                    r.height = ph;
                }
                r.thumbOK = media::saveJPEG(img.get(), thumbURL, media::kThumbQuality, &r.thumbWriteError);
            }
        }
    }
    return r;
}

}  // namespace MediaProcessor

}  // namespace vintrelle
