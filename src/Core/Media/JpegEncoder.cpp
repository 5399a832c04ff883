// JPEG encoding on the calling thread. vips's savers compute a picture
// through a sink that hands it to worker threads of their own and back; with
// a reader per processor, those hand-offs left the processors idle for about
// a third of a small photo's time. Pictures that need no conversion for JPEG
// (8-bit sRGB or grey, from vips a strip at a time or already in memory) are
// encoded here with libjpeg as the saver would: the same quality, baseline,
// no metadata.

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <functional>
#include <new>
#include <string>

#include <jpeglib.h>
#include <jerror.h>  // after jpeglib.h, which it needs

#include "Core/Media/JpegErrors.h"
#include "Core/Media/MediaInternal.h"

namespace vintrelle::media {

namespace {

// The compressed bytes go into a string of the caller's, never into libjpeg's
// memory destination: that one frees its buffer and takes a larger one each
// time it fills, and hands the last one back only when compression finishes,
// so after a failure half way (a JPEG cut short whose pixels ran out) the
// caller holds a pointer to a buffer already freed.
struct StringDestination {
    jpeg_destination_mgr base{};
    std::string bytes;
};

constexpr size_t kFirstOutputBytes = 64 * 1024;

StringDestination& destinationOf(j_compress_ptr cinfo) {
    return *reinterpret_cast<StringDestination*>(cinfo->dest);
}

// Makes room for size bytes in all, used of them written already; out of
// memory, it leaves through libjpeg's error handler like any other failure.
void makeRoom(j_compress_ptr cinfo, size_t used, size_t size) {
    StringDestination& d = destinationOf(cinfo);
    bool made = true;
    try {
        d.bytes.resize(size);
    } catch (const std::bad_alloc&) {
        made = false;
    }
    if (!made) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);  // jumps: nothing of this frame is left to destroy
    d.base.next_output_byte = reinterpret_cast<JOCTET*>(d.bytes.data() + used);
    d.base.free_in_buffer = size - used;
}

void startOutput(j_compress_ptr cinfo) { makeRoom(cinfo, 0, kFirstOutputBytes); }

// Called with the whole buffer full.
boolean growOutput(j_compress_ptr cinfo) {
    const size_t used = destinationOf(cinfo).bytes.size();
    makeRoom(cinfo, used, used * 2);
    return TRUE;
}

void finishOutput(j_compress_ptr cinfo) {
    StringDestination& d = destinationOf(cinfo);
    d.bytes.resize(d.bytes.size() - d.base.free_in_buffer);
}

}  // namespace

bool encodableHere(VipsImage* image) {
    const int bands = vips_image_get_bands(image);
    const VipsInterpretation in = vips_image_get_interpretation(image);
    return vips_image_get_format(image) == VIPS_FORMAT_UCHAR &&
           ((bands == 3 && in == VIPS_INTERPRETATION_sRGB) || (bands == 1 && in == VIPS_INTERPRETATION_B_W));
}

namespace {

// Hands out the rows of a picture in order, 8-bit, packed; null when a row
// cannot be made.
using RowSource = std::function<const uint8_t*(int y)>;

// Compresses the picture row by row into the destination; false on any
// failure. Holds the jump point, so that nothing of its own that the jump may
// leave changed is read after it: the caller owns the rest.
bool compress(jpeg_compress_struct& cinfo, JpegErrors& errors, int width, int height, int bands,
              const RowSource& rows, int quality, StringDestination& destination) {
    if (setjmp(errors.jump) != 0) return false;
    jpeg_create_compress(&cinfo);
    destination.base.init_destination = startOutput;
    destination.base.empty_output_buffer = growOutput;
    destination.base.term_destination = finishOutput;
    cinfo.dest = &destination.base;
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = bands;
    cinfo.in_color_space = bands == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.write_JFIF_header = FALSE;  // no metadata at all, as the saver strips it
    // As the saver: full-resolution colour from quality 90 on.
    if (quality >= 90 && bands == 3)
        for (int c = 0; c < 3; ++c) cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    jpeg_start_compress(&cinfo, TRUE);
    for (int y = 0; y < height; ++y) {
        JSAMPROW row = const_cast<JSAMPROW>(rows(y));
        if (!row) return false;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    return true;
}

std::optional<std::string> encode(int width, int height, int bands, const RowSource& rows, int quality) {
    jpeg_compress_struct cinfo{};
    JpegErrors errors{};
    errors.attach(cinfo);
    StringDestination destination;
    const bool ok = compress(cinfo, errors, width, height, bands, rows, quality, destination);
    jpeg_destroy_compress(&cinfo);
    if (!ok) return std::nullopt;
    return std::move(destination.bytes);
}

}  // namespace

std::optional<std::string> encodeHere(VipsImage* image, int quality) {
    VipsRegion* region = vips_region_new(image);
    if (!region) {
        vips_error_clear();
        return std::nullopt;
    }
    const int width = vips_image_get_width(image);
    // Computed a strip at a time.
    auto row = [&](int y) -> const uint8_t* {
        if (y % kStripRows == 0) {
            VipsRect strip = {0, y, width, std::min(kStripRows, vips_image_get_height(image) - y)};
            if (vips_region_prepare(region, &strip) != 0) {
                vips_error_clear();
                return nullptr;
            }
        }
        return reinterpret_cast<const uint8_t*>(VIPS_REGION_ADDR(region, 0, y));
    };
    auto out = encode(width, vips_image_get_height(image), vips_image_get_bands(image), row, quality);
    g_object_unref(region);
    return out;
}

std::optional<std::string> encodeHere(const Pixels& pixels, int quality) {
    if ((pixels.bands != 1 && pixels.bands != 3) || pixels.width < 1 || pixels.height < 1) return std::nullopt;
    return encode(pixels.width, pixels.height, pixels.bands, [&](int y) { return pixels.row(y); }, quality);
}

}  // namespace vintrelle::media
