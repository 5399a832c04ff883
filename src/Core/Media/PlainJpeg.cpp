// Thumbnails of plain JPEGs (8-bit colour or grey without a colour profile:
// what cameras and most phones write) made with libjpeg alone. Through vips
// every photo builds a pipeline of a dozen objects, each created and
// destroyed under GLib's process-wide locks, so readers on many threads
// queued for those locks more than they decoded; its loader and its
// reducers also cost twice what libjpeg and the reducers here do. The
// result is the picture vips's thumbnailer makes: the same shrink while
// decoding, the same size, kernel and pixel centres, turned upright the same
// way. Anything else, and any file libjpeg fails on, goes the vips way.

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

#include "Core/Media/JpegErrors.h"
#include "Core/Media/MediaInternal.h"

namespace vintrelle::media {

namespace {

struct Decoder {
    jpeg_decompress_struct cinfo{};
    JpegErrors errors{};
    Decoder() { errors.attach(cinfo); }
    ~Decoder() { jpeg_destroy_decompress(&cinfo); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
};

// The functions below hold the jump point: nothing of their own that the
// jump may leave changed is read after it; the caller owns the rest.

bool readHeader(Decoder& d, std::string_view bytes) {
    if (setjmp(d.errors.jump) != 0) return false;
    jpeg_create_decompress(&d.cinfo);
    jpeg_mem_src(&d.cinfo, reinterpret_cast<const unsigned char*>(bytes.data()), (unsigned long)bytes.size());
    jpeg_save_markers(&d.cinfo, JPEG_APP0 + 1, 0xffff);
    jpeg_save_markers(&d.cinfo, JPEG_APP0 + 2, 0xffff);
    return jpeg_read_header(&d.cinfo, TRUE) == JPEG_HEADER_OK;
}

// Decodes out.height rows of out.width pixels, shrunk by denominator while
// decoded; the decoder's last column or row past those is dropped, as
// vips's loader drops it.
bool decodeRows(Decoder& d, int denominator, Pixels& out, std::vector<uint8_t>& scratch) {
    if (setjmp(d.errors.jump) != 0) return false;
    d.cinfo.scale_num = 1;
    d.cinfo.scale_denom = unsigned(denominator);
    jpeg_start_decompress(&d.cinfo);
    if (d.cinfo.output_components != out.bands || int(d.cinfo.output_width) < out.width ||
        int(d.cinfo.output_height) < out.height ||
        size_t(d.cinfo.output_width) * size_t(out.bands) > scratch.size())
        return false;
    const bool direct = int(d.cinfo.output_width) == out.width;
    while (int(d.cinfo.output_scanline) < out.height) {
        const int y = int(d.cinfo.output_scanline);
        JSAMPROW row = direct ? out.row(y) : scratch.data();
        if (jpeg_read_scanlines(&d.cinfo, &row, 1) != 1) return false;
        if (!direct) std::memcpy(out.row(y), scratch.data(), out.rowBytes());
    }
    return true;
}

bool startsWith(const jpeg_saved_marker_ptr m, std::string_view prefix) {
    return m->data_length >= prefix.size() && std::memcmp(m->data, prefix.data(), prefix.size()) == 0;
}

// Whether the header read is of a plain JPEG; its EXIF block into exif.
bool isPlain(const jpeg_decompress_struct& c, std::string* exif) {
    if (c.data_precision != 8) return false;
    const bool colour = c.num_components == 3 && (c.jpeg_color_space == JCS_YCbCr || c.jpeg_color_space == JCS_RGB);
    const bool grey = c.num_components == 1 && c.jpeg_color_space == JCS_GRAYSCALE;
    if (!colour && !grey) return false;
    for (jpeg_saved_marker_ptr m = c.marker_list; m; m = m->next) {
        if (m->marker == JPEG_APP0 + 2 && startsWith(m, "ICC_PROFILE")) return false;
        if (exif && m->marker == JPEG_APP0 + 1 && startsWith(m, "Exif"))
            exif->assign(reinterpret_cast<const char*>(m->data), m->data_length);
    }
    return true;
}

// The shrink on each axis that fits a picture into a box x box square,
// never enlarging it nor taking an axis below one pixel.
struct Shrink {
    double h, v;
};

Shrink fitting(int width, int height, int box) {
    const double s = std::max({1.0, double(width) / box, double(height) / box});
    return {std::min(s, double(width)), std::min(s, double(height))};
}

}  // namespace

std::optional<PlainJpeg> plainJpeg(std::string_view bytes) {
    Decoder d;
    PlainJpeg out;
    if (!readHeader(d, bytes) || !isPlain(d.cinfo, &out.exif)) return std::nullopt;
    out.width = int(d.cinfo.image_width);
    out.height = int(d.cinfo.image_height);
    return out;
}

bool plainJpegThumbnail(std::string_view bytes, int orientation, int maxPixel, Pixels& out) {
    if (maxPixel < 1) return false;
    Decoder d;
    if (!readHeader(d, bytes) || !isPlain(d.cinfo, nullptr)) return false;
    const int width = int(d.cinfo.image_width), height = int(d.cinfo.image_height);
    if ((long long)width * height > kMaxDecodePixels) return false;
    // Shrunk while decoded by a power of two that leaves at least twice
    // the thumbnail's size: the decoder's shrink is a plain block average.
    const Shrink whole = fitting(width, height, maxPixel);
    const double common = std::min(whole.h, whole.v);
    const int denominator = common >= 16 ? 8 : common >= 8 ? 4 : common >= 4 ? 2 : 1;
    if (width / denominator < 1 || height / denominator < 1) return false;
    thread_local Pixels loaded, scaled;
    thread_local std::vector<uint8_t> scratch;
    loaded.reshape(width / denominator, height / denominator, d.cinfo.num_components);
    scratch.resize(size_t((width + denominator - 1) / denominator) * size_t(loaded.bands));
    if (!decodeRows(d, denominator, loaded, scratch)) return false;
    const Shrink rest = fitting(loaded.width, loaded.height, maxPixel);
    const int outWidth = std::max(1, int(loaded.width / rest.h + 0.5));
    const int outHeight = std::max(1, int(loaded.height / rest.v + 0.5));
    reduce(loaded, outWidth, outHeight, rest.h, rest.v, scaled);
    turnUpright(scaled, orientation, out);
    return true;
}

}  // namespace vintrelle::media
