#pragma once
// Helpers shared by the photo and movie readers; not part of the public interface.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <vips/vips.h>

#include "Core/Media/Image.h"

namespace vintrelle::media {

constexpr int kThumbPixels = 480;
constexpr double kThumbQuality = 0.74;
// Pictures larger than this are not decoded at all: a forged header must not
// cost gigabytes of memory or minutes of decoding. 16384 x 16384 leaves room
// for every real camera and most stitched panoramas.
constexpr long long kMaxDecodePixels = 16384LL * 16384LL;

// Rows of a picture computed at once when it is computed on the calling thread.
constexpr int kStripRows = 16;

// The quality 0...1 as libjpeg's Q factor 1...100.
int jpegQ(double quality);

// An 8-bit picture in memory (1 or 3 bands), rows packed.
struct Pixels {
    int width = 0, height = 0, bands = 0;
    std::vector<uint8_t> data;

    Pixels() = default;
    Pixels(int w, int h, int b) { reshape(w, h, b); }
    // Takes the new size, keeping the memory it holds (its contents are
    // left to be written).
    void reshape(int w, int h, int b) {
        width = w;
        height = h;
        bands = b;
        data.resize(size_t(w) * size_t(h) * size_t(b));
    }
    size_t rowBytes() const { return size_t(width) * size_t(bands); }
    uint8_t* row(int y) { return data.data() + size_t(y) * rowBytes(); }
    const uint8_t* row(int y) const { return data.data() + size_t(y) * rowBytes(); }
};

// The picture scaled down to width x height into out, each axis shrunk by
// its factor (input pixels per output pixel, at least 1) with the Lanczos-3
// kernel and the pixel centres vips's reducers use, edges extended.
void reduce(const Pixels& in, int width, int height, double hshrink, double vshrink, Pixels& out);
// The picture turned upright by an EXIF orientation (1...8; others copy it) into out.
void turnUpright(const Pixels& in, int orientation, Pixels& out);

// A JPEG that libjpeg decodes to what vips's loader makes of it with nothing
// left to convert: 8-bit colour or grey, no colour profile. Such files are
// thumbnailed here without building a vips pipeline.
struct PlainJpeg {
    int width = 0, height = 0;
    std::string exif;  // its EXIF block (the last one, as vips keeps), empty when none
};
std::optional<PlainJpeg> plainJpeg(std::string_view bytes);
// Its thumbnail as vips's thumbnailer makes it: shrunk while decoded where
// that leaves at least twice the size, scaled to fit a maxPixel square (never
// enlarged), turned upright, into out. False when libjpeg fails on its data.
// The memory it works in stays with the thread for the next picture.
bool plainJpegThumbnail(std::string_view bytes, int orientation, int maxPixel, Pixels& out);

// The picture as 8-bit sRGB RGBA (what every reader hands on); null when
// vips cannot make it.
ImageRef toImage(VipsImage* image);

// Encodes image as JPEG and replaces the file at url only once all bytes are
// written; false (and no file change) on any failure. A failure to write the
// encoded bytes leaves the system's errno in writeError (when given).
bool saveJPEG(VipsImage* image, const std::string& url, double quality, int* writeError = nullptr);
bool saveJPEG(const Pixels& pixels, const std::string& url, double quality, int* writeError = nullptr);

// Whether a picture is 8-bit sRGB or grey, which encodeHere takes as it is.
bool encodableHere(VipsImage* image);
// Its JPEG bytes at quality (1...100), computed and encoded on the calling
// thread; absent when its pixels cannot be made (a file cut short) or the
// encoder fails.
std::optional<std::string> encodeHere(VipsImage* image, int quality);
std::optional<std::string> encodeHere(const Pixels& pixels, int quality);

// Owns one reference of a GObject.
template <typename T>
struct GRef {
    T* p = nullptr;
    GRef() = default;
    explicit GRef(T* o) : p(o) {}
    ~GRef() { reset(); }
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    GRef(GRef&& o) noexcept : p(o.p) { o.p = nullptr; }
    GRef& operator=(GRef&& o) noexcept {
        if (this != &o) {
            reset();
            p = o.p;
            o.p = nullptr;
        }
        return *this;
    }
    void reset(T* o = nullptr) {
        if (p) g_object_unref(p);
        p = o;
    }
    T* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};
using VImage = GRef<VipsImage>;

}  // namespace vintrelle::media
