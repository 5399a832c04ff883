// Photos: size and metadata through Exiv2, decoding and thumbnails through
// libvips. RAW files have no decoder in this stack: they are read through the
// largest preview the camera embedded.

#include "Core/Media/MediaProcessor.h"

#include <dirent.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <mutex>
#include <random>
#include <unistd.h>

#include <exiv2/exiv2.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "Core/Base/MediaTypes.h"
#include "Core/Media/MediaInternal.h"
#include <vips/vector.h>  // after vips.h, which it needs
#include "Core/Base/Text.h"

extern "C" {
#include <libavutil/log.h>
}

namespace vintrelle {

namespace media {

int jpegQ(double quality) {
    if (!std::isfinite(quality)) return 75;
    return int(std::clamp(std::lround(quality * 100.0), 1L, 100L));
}

namespace {

// Files written aside are named after their target, a full stop and this
// many letters or digits (as mkstemp names them, which earlier versions used).
constexpr size_t kAsideLetters = 6;
constexpr std::string_view kAsideAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// A new file beside url to write it aside, open for writing, its name in
// temp; -1 (errno set) when none can be made. Made readable by everyone the
// user's umask allows, as a file written in place would be.
int createAside(const std::string& url, std::string& temp) {
    thread_local std::mt19937_64 random{std::random_device{}() ^ uint64_t(::getpid()) << 32 ^
                                        uint64_t(std::chrono::steady_clock::now().time_since_epoch().count())};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = url + ".";
        for (size_t i = 0; i < kAsideLetters; ++i) temp += kAsideAlphabet[random() % kAsideAlphabet.size()];
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Whether name is that of a file written aside for a JPEG file (for target
// alone when it is given).
bool isAside(std::string_view name, std::string_view target) {
    if (name.size() < kAsideLetters + 1) return false;
    const std::string_view letters = name.substr(name.size() - kAsideLetters);
    const std::string_view of = name.substr(0, name.size() - kAsideLetters - 1);
    if (name[of.size()] != '.' || letters.find_first_not_of(kAsideAlphabet) != std::string_view::npos) return false;
    if (!target.empty()) return of == target;
    return of.size() > 4 && text::lowercased(std::string(of.substr(of.size() - 4))) == ".jpg";
}

// Writes bytes beside url and renames them over it: a reader never sees half
// a thumbnail, and a failed write leaves the old one in place.
bool writeWhole(const std::string& url, std::string_view bytes, int* writeError) {
    std::string temp;
    int error = 0;
    const int fd = createAside(url, temp);
    if (fd < 0) error = errno;
    if (fd >= 0) {
        while (error == 0 && !bytes.empty()) {
            ssize_t n = ::write(fd, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error = n < 0 ? errno : ENOSPC;
                break;
            }
            bytes.remove_prefix(size_t(n));
        }
        if (::close(fd) != 0 && error == 0) error = errno;
        if (error == 0 && std::rename(temp.c_str(), url.c_str()) != 0) error = errno;
        if (error != 0) ::unlink(temp.c_str());
    }
    if (writeError) *writeError = error;
    return error == 0;
}

}  // namespace

bool saveJPEG(VipsImage* image, const std::string& url, double quality, int* writeError) {
    if (encodableHere(image)) {
        const std::optional<std::string> bytes = encodeHere(image, jpegQ(quality));
        return bytes && writeWhole(url, *bytes, writeError);
    }
    void* buffer = nullptr;
    size_t length = 0;
    if (vips_jpegsave_buffer(image, &buffer, &length, "Q", jpegQ(quality), "strip", TRUE, nullptr) != 0) {
        vips_error_clear();
        return false;
    }
    const bool written = writeWhole(url, std::string_view(static_cast<const char*>(buffer), length), writeError);
    g_free(buffer);
    return written;
}

bool saveJPEG(const Pixels& pixels, const std::string& url, double quality, int* writeError) {
    const std::optional<std::string> bytes = encodeHere(pixels, jpegQ(quality));
    return bytes && writeWhole(url, *bytes, writeError);
}

}  // namespace media

namespace {

using media::toImage;
using media::VImage;

// Exiv2 0.27's XMP code is not thread-safe and its other readers share
// static tables; every use goes through this lock.
std::mutex& exivMutex() {
    static std::mutex m;
    return m;
}

std::string trimmedBlanks(std::string s) {
    while (!s.empty() && s.back() == '\0') s.pop_back();
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return {};
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

const Exiv2::Exifdatum* find(const Exiv2::ExifData& exif, const char* key) {
    auto it = exif.findKey(Exiv2::ExifKey(key));
    return it == exif.end() ? nullptr : &*it;
}

std::optional<std::string> textOf(const Exiv2::ExifData& exif, const char* key) {
    const auto* d = find(exif, key);
    if (!d || d->typeId() != Exiv2::asciiString) return std::nullopt;
    std::string s = d->toString();
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

// Component i of a numeric value as a double; absent for text, a missing
// component or a zero denominator.
std::optional<double> numberOf(const Exiv2::Exifdatum& d, long i) {
    if (i < 0 || i >= long(d.count())) return std::nullopt;
    const Exiv2::Value& v = d.value();
    switch (d.typeId()) {
    case Exiv2::unsignedRational: {
        const auto* r = dynamic_cast<const Exiv2::URationalValue*>(&v);
        if (!r || size_t(i) >= r->value_.size() || r->value_[size_t(i)].second == 0) return std::nullopt;
        return double(r->value_[size_t(i)].first) / double(r->value_[size_t(i)].second);
    }
    case Exiv2::signedRational: {
        const auto* r = dynamic_cast<const Exiv2::RationalValue*>(&v);
        if (!r || size_t(i) >= r->value_.size() || r->value_[size_t(i)].second == 0) return std::nullopt;
        return double(r->value_[size_t(i)].first) / double(r->value_[size_t(i)].second);
    }
    case Exiv2::unsignedByte:
    case Exiv2::unsignedShort:
    case Exiv2::unsignedLong:
    case Exiv2::signedByte:
    case Exiv2::signedShort:
    case Exiv2::signedLong:
        return double(v.toLong(i));
    case Exiv2::tiffFloat:
    case Exiv2::tiffDouble: {
        double x = double(v.toFloat(i));
        if (const auto* dv = dynamic_cast<const Exiv2::ValueType<double>*>(&v)) x = dv->value_[size_t(i)];
        return std::isfinite(x) ? std::optional<double>(x) : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

std::optional<double> numberOf(const Exiv2::ExifData& exif, const char* key) {
    const auto* d = find(exif, key);
    return d ? numberOf(*d, 0) : std::nullopt;
}

// Degrees from the up to three components (degrees, minutes, seconds).
std::optional<double> coordinateOf(const Exiv2::ExifData& exif, const char* key) {
    const auto* d = find(exif, key);
    if (!d || d->count() == 0) return std::nullopt;
    double total = 0, scale = 1;
    for (long i = 0; i < std::min<long>(3, long(d->count())); ++i, scale *= 60) {
        auto part = numberOf(*d, i);
        if (!part) return std::nullopt;
        total += *part / scale;
    }
    return total;
}

std::string firstCharacters(const std::string& s, int count) {
    size_t i = 0;
    for (int n = 0; n < count && i < s.size(); ++n) {
        ++i;
        while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    }
    return s.substr(0, i);
}

std::optional<std::string> cameraName(const std::optional<std::string>& rawMake,
                                       const std::optional<std::string>& rawModel) {
    std::string model = rawModel ? trimmedBlanks(*rawModel) : std::string();
    std::string make = rawMake ? trimmedBlanks(*rawMake) : std::string();
    if (model.empty()) return std::nullopt;
    if (make.empty()) return model;
    std::string prefix = firstCharacters(text::lowercased(make), 4);
    if (text::lowercased(model).starts_with(prefix)) return model;
    return make + " " + model;
}

// What the readers take from the EXIF block.
struct ExifFields {
    bool present = false;
    std::optional<double> taken;
    bool dateKeyFound = false;
    std::optional<int> orientation;
    std::optional<long long> pixelX, pixelY;
    std::optional<std::string> camera, lens;
    std::optional<int> iso;
    std::optional<double> fnumber, exposure, focal, lat, lon;
};

ExifFields fieldsOf(const Exiv2::ExifData& exif) {
    ExifFields f;
    f.present = true;
    for (const char* key : {"Exif.Photo.DateTimeOriginal", "Exif.Photo.DateTimeDigitized", "Exif.Image.DateTime"}) {
        if (auto t = textOf(exif, key)) {
            f.dateKeyFound = true;
            f.taken = MediaProcessor::parseExifDate(*t);
            break;
        }
    }
    if (auto o = numberOf(exif, "Exif.Image.Orientation")) f.orientation = int(*o);
    if (auto x = numberOf(exif, "Exif.Photo.PixelXDimension")) f.pixelX = (long long)*x;
    if (auto y = numberOf(exif, "Exif.Photo.PixelYDimension")) f.pixelY = (long long)*y;
    f.camera = cameraName(textOf(exif, "Exif.Image.Make"), textOf(exif, "Exif.Image.Model"));
    if (auto lens = textOf(exif, "Exif.Photo.LensModel")) {
        std::string t = trimmedBlanks(*lens);
        if (!t.empty()) f.lens = t;
    }
    f.fnumber = numberOf(exif, "Exif.Photo.FNumber");
    f.exposure = numberOf(exif, "Exif.Photo.ExposureTime");
    f.focal = numberOf(exif, "Exif.Photo.FocalLength");
    if (auto iso = numberOf(exif, "Exif.Photo.ISOSpeedRatings");
        iso && std::fabs(*iso) < 2147483647.0)
        f.iso = int(*iso);

    auto lat = coordinateOf(exif, "Exif.GPSInfo.GPSLatitude");
    auto lon = coordinateOf(exif, "Exif.GPSInfo.GPSLongitude");
    if (lat && lon) {
        if (auto ref = textOf(exif, "Exif.GPSInfo.GPSLatitudeRef"); ref && text::uppercased(*ref) == "S")
            *lat = -std::fabs(*lat);
        if (auto ref = textOf(exif, "Exif.GPSInfo.GPSLongitudeRef"); ref && text::uppercased(*ref) == "W")
            *lon = -std::fabs(*lon);
        if (std::isfinite(*lat) && std::isfinite(*lon) && std::fabs(*lat) <= 90 && std::fabs(*lon) <= 180 &&
            !(*lat == 0 && *lon == 0)) {
            f.lat = lat;
            f.lon = lon;
        }
    }
    return f;
}

// The EXIF block of a file and, for RAW files, the bytes of its largest
// embedded preview. Absent when Exiv2 cannot read the file at all.
struct ExivRead {
    ExifFields fields;
    std::string preview;
    int previewWidth = 0, previewHeight = 0;
};

std::optional<ExivRead> readWithExiv2(const std::string& url, bool wantPreview) {
    std::lock_guard lock(exivMutex());
    try {
        auto image = Exiv2::ImageFactory::open(url);
        if (!image.get()) return std::nullopt;
        image->readMetadata();
        ExivRead out;
        out.fields = fieldsOf(image->exifData());
        if (wantPreview) {
            Exiv2::PreviewManager previews(*image);
            auto list = previews.getPreviewProperties();
            // Sorted smallest first; take the largest that is a JPEG or TIFF vips can read.
            for (auto it = list.rbegin(); it != list.rend(); ++it) {
                Exiv2::PreviewImage p = previews.getPreviewImage(*it);
                if (p.size() == 0) continue;
                out.preview.assign(reinterpret_cast<const char*>(p.pData()), p.size());
                out.previewWidth = int(p.width());
                out.previewHeight = int(p.height());
                break;
            }
        }
        return out;
    } catch (...) {
        // Exiv2 reports every damaged or unknown file by throwing.
        return std::nullopt;
    }
}

// Reads an EXIF block that the decoder already took out of the file, so the
// file is not opened a second time. Absent when it is not one.
std::optional<ExifFields> decodeExifBlock(const std::string& block) {
    // The block may start with "Exif\0\0" (JPEG) or with other framing
    // (HEIC's offset word); the TIFF header is what Exiv2 reads.
    size_t start = std::string::npos;
    for (size_t i = 0; i + 4 <= block.size() && i < 16; ++i) {
        if (block.compare(i, 4, std::string("II*\0", 4)) == 0 || block.compare(i, 4, std::string("MM\0*", 4)) == 0) {
            start = i;
            break;
        }
    }
    if (start == std::string::npos || block.size() - start > UINT32_MAX) return std::nullopt;
    std::lock_guard lock(exivMutex());
    try {
        Exiv2::ExifData exif;
        Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte*>(block.data() + start),
                                  uint32_t(block.size() - start));
        return fieldsOf(exif);
    } catch (...) {
        return std::nullopt;
    }
}

// A file image or an in-memory picture (a RAW file's preview).
struct Source {
    const std::string* url = nullptr;
    const std::string* bytes = nullptr;
    // Orientation to apply instead of the decoder's own (previews carry none).
    std::optional<int> orientation;
    // An embedded colour profile to convert to sRGB from. Pictures without
    // one are taken as sRGB already (and vips 8.14 mangles 16-bit ones when
    // asked to convert them anyway).
    bool hasProfile = false;
    // A picture decoded outside vips (BMP), when there is one.
    VImage decoded;
    // A JPEG cut short (an interrupted copy, a camera that lost power) is
    // decoded as far as its data goes, as every viewer shows it; other
    // formats cut short are not decoded.
    bool decodesPartly = false;

    static Source file(const std::string& url) {
        Source s;
        s.url = &url;
        return s;
    }
    // A file read whole: the decoder sniffs, reads the header and decodes
    // from memory, instead of opening the file again for every loader it
    // asks and every pass it makes over it. The file's own orientation
    // applies; url stays for the readers that need the file itself.
    static Source fileBytes(const std::string& url, const std::string& bytes) {
        Source s;
        s.url = &url;
        s.bytes = &bytes;
        return s;
    }
    static Source preview(const std::string& bytes, int orientation) {
        Source s;
        s.bytes = &bytes;
        s.orientation = orientation;
        return s;
    }
};

// JPEG files up to this size are read whole into memory; larger ones
// (panoramas) are left to the decoder to read as it needs, and cost too
// much time for the few extra opens to matter.
constexpr off_t kReadWholeLimit = 32 << 20;

// The bytes of a JPEG file with one open and as few reads as its size
// allows; absent when it cannot be read that way (too large, not a regular
// file, a read error, not a JPEG inside), and the decoder then opens the
// file by itself. Only JPEG: the loaders of other formats from memory differ
// from those of files (PNG's cut short decodes from memory, not from a file).
std::optional<std::string> readWholeJPEG(const std::string& url) {
    const std::string ext = text::lowercased(std::filesystem::path(url).extension().string());
    if (ext != ".jpg" && ext != ".jpeg" && ext != ".jpe") return std::nullopt;
    const int fd = ::open(url.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> out;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= kReadWholeLimit) {
        std::string bytes(size_t(st.st_size), '\0');
        size_t got = 0;
        bool ok = true;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok = n == 0;  // a file cut short since the fstat: what is there
                break;
            }
            got += size_t(n);
        }
        if (ok && got >= 3 && bytes.compare(0, 3, "\xFF\xD8\xFF") == 0) {
            bytes.resize(got);
            out = std::move(bytes);
        }
    }
    ::close(fd);
    return out;
}

uint32_t le32(const unsigned char* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// This vips has no BMP loader; OpenCV's decodes them, once the header shows
// a size that is safe to decode in full.
VImage decodeBMP(const std::string& url) {
    unsigned char head[26] = {};
    FILE* f = std::fopen(url.c_str(), "rb");
    if (!f) return {};
    size_t got = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    if (got < sizeof head || head[0] != 'B' || head[1] != 'M') return {};
    long long w, h;
    if (le32(head + 14) == 12) {  // the old OS/2 header has 16-bit sizes
        w = head[18] | head[19] << 8;
        h = head[20] | head[21] << 8;
    } else {
        w = int32_t(le32(head + 18));
        h = int32_t(le32(head + 22));
    }
    h = h < 0 ? -h : h;  // negative heights store rows top-down
    if (w <= 0 || h <= 0 || w * h > media::kMaxDecodePixels) return {};
    try {
        cv::Mat bgr = cv::imread(url, cv::IMREAD_COLOR);
        if (bgr.empty()) return {};
        cv::Mat rgb;
        cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
        VImage img(vips_image_new_from_memory_copy(rgb.data, rgb.total() * rgb.elemSize(), rgb.cols, rgb.rows, 3,
                                                   VIPS_FORMAT_UCHAR));
        if (!img) vips_error_clear();
        return img;
    } catch (const cv::Exception&) {
        return {};
    }
}

// Decodes straight to at most maxPixel on the longer side, turned upright and
// in sRGB. The pipeline is lazy: decoding errors surface when it is written.
VImage thumbnail(const Source& src, int maxPixel) {
    VipsImage* out = nullptr;
    const char* exportProfile = src.hasProfile ? "srgb" : nullptr;
    const VipsFailOn failOn = src.decodesPartly ? VIPS_FAIL_ON_NONE : VIPS_FAIL_ON_TRUNCATED;
    int rc;
    if (src.decoded) {
        rc = vips_thumbnail_image(src.decoded.get(), &out, maxPixel, "height", maxPixel, "size", VIPS_SIZE_DOWN,
                                  nullptr);
    } else if (src.bytes) {
        rc = vips_thumbnail_buffer(const_cast<char*>(src.bytes->data()), src.bytes->size(), &out, maxPixel, "height",
                                   maxPixel, "size", VIPS_SIZE_DOWN, "no_rotate", src.orientation ? TRUE : FALSE,
                                   "fail_on", failOn, "export_profile", exportProfile, nullptr);
    } else {
        rc = vips_thumbnail(src.url->c_str(), &out, maxPixel, "height", maxPixel, "size", VIPS_SIZE_DOWN, "fail_on",
                            failOn, "export_profile", exportProfile, nullptr);
    }
    if (rc != 0) {
        vips_error_clear();
        return {};
    }
    VImage image(out);
    if (src.orientation && *src.orientation >= 2 && *src.orientation <= 8) {
        VipsImage* copy = nullptr;
        if (vips_copy(image.get(), &copy, nullptr) != 0) {
            vips_error_clear();
            return {};
        }
        VImage tagged(copy);
        vips_image_set_int(tagged.get(), VIPS_META_ORIENTATION, *src.orientation);
        VipsImage* turned = nullptr;
        if (vips_autorot(tagged.get(), &turned, nullptr) != 0) {
            vips_error_clear();
            return {};
        }
        image.reset(turned);
    }
    return image;
}

// Opens the header of a file that vips can decode: the stored size and the
// orientation its decoder will apply.
struct Header {
    int width = 0, height = 0, orientation = 1;
    std::string exif;  // the raw EXIF block, when the decoder found one
};

std::optional<Header> readHeader(Source& src) {
    VipsImage* img = src.bytes ? vips_image_new_from_buffer(src.bytes->data(), src.bytes->size(), "", nullptr)
                               : vips_image_new_from_file(src.url->c_str(), nullptr);
    if (!img && src.bytes && src.url) {
        // A file read whole that no loader of memory takes: the loaders of
        // files get their say, as they would have without the read.
        vips_error_clear();
        src.bytes = nullptr;
        img = vips_image_new_from_file(src.url->c_str(), nullptr);
    }
    if (!img) {
        vips_error_clear();
        if (!src.url || text::lowercased(std::filesystem::path(*src.url).extension().string()) != ".bmp")
            return std::nullopt;
        src.decoded = decodeBMP(*src.url);
        if (!src.decoded) return std::nullopt;
        img = src.decoded.get();
        g_object_ref(img);
    }
    VImage ref(img);
    Header h;
    h.width = vips_image_get_width(img);
    h.height = vips_image_get_height(img);
    // libheif applies a HEIC's own rotation while decoding and vips then drops
    // the orientation tag, so this never turns such a picture twice.
    h.orientation = vips_image_get_orientation(img);
    src.hasProfile = vips_image_get_typeof(img, VIPS_META_ICC_NAME) != 0;
    const char* loader = nullptr;
    src.decodesPartly = vips_image_get_typeof(img, VIPS_META_LOADER) != 0 &&
                        vips_image_get_string(img, VIPS_META_LOADER, &loader) == 0 && loader &&
                        std::string_view(loader).starts_with("jpegload");
    const void* data = nullptr;
    size_t length = 0;
    if (vips_image_get_typeof(img, VIPS_META_EXIF_NAME) != 0 &&
        vips_image_get_blob(img, VIPS_META_EXIF_NAME, &data, &length) == 0 && data && length > 0)
        h.exif.assign(static_cast<const char*>(data), length);
    return h;
}

bool decodable(const Header& h) {
    return h.width > 0 && h.height > 0 && (long long)h.width * (long long)h.height <= media::kMaxDecodePixels;
}

void applyFields(ProcessedMedia& r, const ExifFields& f, double fallbackDate) {
    r.taken = f.taken.value_or(fallbackDate);
    r.camera = f.camera;
    r.lens = f.lens;
    r.iso = f.iso;
    r.fnumber = f.fnumber;
    r.exposure = f.exposure;
    r.focal = f.focal;
    r.lat = f.lat;
    r.lon = f.lon;
}

}  // namespace

ImageRef media::toImage(VipsImage* in) {
    g_object_ref(in);
    VImage img(in);
    // Replaces img by the result of one vips operation on it.
    auto step = [&img](auto operation) {
        VipsImage* next = nullptr;
        if (operation(img.get(), &next) != 0) {
            vips_error_clear();
            return false;
        }
        img.reset(next);
        return true;
    };
    if (vips_image_get_interpretation(img.get()) != VIPS_INTERPRETATION_sRGB &&
        !step([](VipsImage* a, VipsImage** b) { return vips_colourspace(a, b, VIPS_INTERPRETATION_sRGB, nullptr); }))
        return nullptr;
    if (vips_image_get_format(img.get()) != VIPS_FORMAT_UCHAR &&
        !step([](VipsImage* a, VipsImage** b) { return vips_cast(a, b, VIPS_FORMAT_UCHAR, nullptr); }))
        return nullptr;
    int bands = vips_image_get_bands(img.get());
    if (bands == 3 &&
        !step([](VipsImage* a, VipsImage** b) { return vips_bandjoin_const1(a, b, 255.0, nullptr); }))
        return nullptr;
    if (bands > 4 &&
        !step([](VipsImage* a, VipsImage** b) { return vips_extract_band(a, b, 0, "n", 4, nullptr); }))
        return nullptr;
    if (vips_image_get_bands(img.get()) != 4) return nullptr;

    // Computed here a strip at a time, straight into the picture: vips's
    // writer to memory hands every tile to a worker thread of its own and
    // waits for it, two thread switches a tile, which left the face pass's
    // decoders idle more than busy on a loaded machine.
    const int width = vips_image_get_width(img.get()), height = vips_image_get_height(img.get());
    VipsRegion* region = vips_region_new(img.get());
    if (!region) {
        vips_error_clear();
        return nullptr;
    }
    auto out = std::make_shared<Image>(width, height);
    const size_t rowBytes = size_t(width) * 4;
    bool ok = true;
    for (int y = 0; ok && y < height; y += kStripRows) {
        VipsRect strip = {0, y, width, std::min(kStripRows, height - y)};
        ok = vips_region_prepare(region, &strip) == 0;
        for (int r = 0; ok && r < strip.height; ++r)
            std::memcpy(out->row(y + r), VIPS_REGION_ADDR(region, 0, y + r), rowBytes);
    }
    g_object_unref(region);
    if (!ok) vips_error_clear();
    return ok ? out : nullptr;
}

namespace MediaProcessor {

void initialize() {
    static std::once_flag once;
    std::call_once(once, [] {
        VIPS_INIT("vintrelle");
        // An open file keeps a drive from being ejected: nothing stays cached.
        vips_cache_set_max(0);
        // The processing pass runs many files at once on its own workers.
        vips_concurrency_set(1);
        // No run-time compiled vector code: vips compiles and frees it for
        // every scaling operation, and liborc 0.4.33 hands out and frees its
        // code memory without holding its lock, so workers scaling at once
        // crash now and then (a segmentation fault in liborc, a double free).
        vips_vector_set_enabled(FALSE);
        // Photos come from anywhere: only the loaders that vips trusts with hostile files.
        vips_block_untrusted_set(TRUE);
        Exiv2::XmpParser::initialize();
        Exiv2::enableBMFF(true);
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        av_log_set_level(AV_LOG_QUIET);
        // Damaged files are expected here and end as absent fields; vips's
        // warnings about them would only flood the log.
        g_log_set_handler("VIPS", G_LOG_LEVEL_WARNING, [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {},
                          nullptr);
    });
}

ProcessedMedia processPhoto(const std::string& url, double fallbackDate, const std::string& thumbURL) {
    initialize();  // a no-op after the first call; keeps a caller that forgot it safe
    ProcessedMedia r;
    r.taken = fallbackDate;
    const bool raw = MediaTypes::isRaw(url);

    std::optional<ExivRead> meta;
    std::optional<std::string> bytes;
    std::optional<media::PlainJpeg> plain;
    Source src = Source::file(url);
    std::optional<Header> header;
    if (raw) {
        meta = readWithExiv2(url, true);
        // No RAW decoder here: the camera's own largest preview stands in for
        // the picture, turned by the RAW file's orientation.
        if (!meta) return r;
        if (!meta->preview.empty()) {
            src = Source::preview(meta->preview, meta->fields.orientation.value_or(1));
            header = readHeader(src);
        }
        const auto& f = meta->fields;
        if (f.pixelX && f.pixelY && *f.pixelX > 0 && *f.pixelY > 0 && *f.pixelX < INT32_MAX &&
            *f.pixelY < INT32_MAX) {
            r.width = int(*f.pixelX);
            r.height = int(*f.pixelY);
        } else if (header) {
            r.width = header->width;
            r.height = header->height;
        }
        int o = f.orientation.value_or(1);
        if (o >= 5 && o <= 8) std::swap(r.width, r.height);
    } else {
        if (bytes = readWholeJPEG(url); bytes) src = Source::fileBytes(url, *bytes);
        // A plain JPEG is read by libjpeg alone, its orientation taken from
        // its EXIF block; one whose block Exiv2 cannot read goes the vips
        // way, whose loader reads the orientation itself.
        if (bytes && (plain = media::plainJpeg(*bytes)) && !plain->exif.empty()) {
            if (auto fields = decodeExifBlock(plain->exif)) meta = ExivRead{*fields, {}, 0, 0};
            else plain.reset();
        }
        if (plain) {
            const int o = meta ? meta->fields.orientation.value_or(1) : 1;
            header = Header{plain->width, plain->height, o >= 1 && o <= 8 ? o : 1, plain->exif};
            src.decodesPartly = true;  // should libjpeg give up on it, as vips's JPEG loader
        } else {
            header = readHeader(src);
            if (!header) return r;  // not an image: only the fallback date
            // The decoder's copy of the EXIF block when it has one (JPEG, PNG,
            // WebP, HEIC); Exiv2 reads the file itself for the rest (TIFF).
            if (!header->exif.empty()) {
                if (auto fields = decodeExifBlock(header->exif)) meta = ExivRead{*fields, {}, 0, 0};
            }
        }
        if (!meta) meta = readWithExiv2(url, false);
        r.width = header->width;
        r.height = header->height;
        if (header->orientation >= 5 && header->orientation <= 8) std::swap(r.width, r.height);
    }
    if (meta) applyFields(r, meta->fields, fallbackDate);

    if (header && decodable(*header)) {
        // Should libjpeg give up on a plain JPEG, vips's loader has its say.
        thread_local media::Pixels quick;
        if (plain && media::plainJpegThumbnail(*bytes, header->orientation, media::kThumbPixels, quick)) {
            r.thumbOK = media::saveJPEG(quick, thumbURL, media::kThumbQuality, &r.thumbWriteError);
        } else if (VImage thumb = thumbnail(src, media::kThumbPixels)) {
            r.thumbOK = media::saveJPEG(thumb.get(), thumbURL, media::kThumbQuality, &r.thumbWriteError);
            if (r.thumbOK && (r.width == 0 || r.height == 0)) {
                r.width = vips_image_get_width(thumb.get());
                r.height = vips_image_get_height(thumb.get());
            }
        }
    }
    r.duration = 0;
    return r;
}

bool writeJPEG(const Image& image, const std::string& url, double quality, int* writeError) {
    initialize();  // a no-op after the first call; keeps a caller that forgot it safe
    if (image.empty() || image.rgba.size() != size_t(image.width) * size_t(image.height) * 4) return false;
    VImage rgba(vips_image_new_from_memory(image.rgba.data(), image.rgba.size(), image.width, image.height, 4,
                                           VIPS_FORMAT_UCHAR));
    if (!rgba) {
        vips_error_clear();
        return false;
    }
    // Marked sRGB, which the pixels are, so that it is encoded on this
    // thread rather than through vips's saver and its worker threads.
    VipsImage* rgb = nullptr;
    if (vips_extract_band(rgba.get(), &rgb, 0, "n", 3, nullptr) != 0) {
        vips_error_clear();
        return false;
    }
    VImage bands(rgb);
    VipsImage* tagged = nullptr;
    if (vips_copy(bands.get(), &tagged, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr) != 0) {
        vips_error_clear();
        return false;
    }
    VImage out(tagged);
    return media::saveJPEG(out.get(), url, quality, writeError);
}

void removeUnfinishedWrites(const std::string& folder, std::string_view target) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* e = ::readdir(dir))
        if (media::isAside(e->d_name, target)) ::unlinkat(::dirfd(dir), e->d_name, 0);
    ::closedir(dir);
}

ImageRef loadImage(const std::string& url, int maxPixel) {
    initialize();  // a no-op after the first call; keeps a caller that forgot it safe
    if (maxPixel <= 0) return nullptr;
    std::optional<ExivRead> meta;
    std::optional<std::string> bytes;
    Source src = Source::file(url);
    if (MediaTypes::isRaw(url)) {
        meta = readWithExiv2(url, true);
        if (!meta || meta->preview.empty()) return nullptr;
        src = Source::preview(meta->preview, meta->fields.orientation.value_or(1));
    } else if (bytes = readWholeJPEG(url); bytes) {
        src = Source::fileBytes(url, *bytes);
    }
    auto header = readHeader(src);
    if (!header || !decodable(*header)) return nullptr;
    VImage thumb = thumbnail(src, maxPixel);
    return thumb ? toImage(thumb.get()) : nullptr;
}

}  // namespace MediaProcessor

}  // namespace vintrelle
