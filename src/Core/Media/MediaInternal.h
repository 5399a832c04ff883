#pragma once
// Helpers shared by the photo and movie readers; not part of the public interface.

#include <optional>
#include <string>
#include <string_view>

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

// The picture as 8-bit sRGB RGBA (what every reader hands on); null when
// vips cannot make it.
ImageRef toImage(VipsImage* image);

// Encodes image as JPEG and replaces the file at url only once all bytes are
// written; false (and no file change) on any failure. A failure to write the
// encoded bytes leaves the system's errno in writeError (when given).
bool saveJPEG(VipsImage* image, const std::string& url, double quality, int* writeError = nullptr);

// Whether a picture is 8-bit sRGB or grey, which encodeHere takes as it is.
bool encodableHere(VipsImage* image);
// Its JPEG bytes at quality (1...100), computed and encoded on the calling
// thread; absent when its pixels cannot be made (a file cut short) or the
// encoder fails.
std::optional<std::string> encodeHere(VipsImage* image, int quality);

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
