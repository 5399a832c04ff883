// JPEG encoding on the calling thread. vips's savers compute a picture
// through a sink that hands it to worker threads of their own and back; with
// a reader per processor, those hand-offs left the processors idle for about
// a third of a small photo's time. Pictures that need no conversion for JPEG
// (8-bit sRGB or grey) are computed here a strip at a time and encoded with
// libjpeg as the saver would: the same quality, baseline, no metadata.

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <new>
#include <string>

#include <jpeglib.h>
#include <jerror.h>  // after jpeglib.h, which it needs

#include "Core/Media/MediaInternal.h"

namespace vintrelle::media {

namespace {

// libjpeg reports a failure by calling error_exit, which must not return.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void onError(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

void onMessage(j_common_ptr) {}

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

// Compresses the picture strip by strip into the destination; false on any
// failure. Holds the jump point, so that nothing of its own that the jump may
// leave changed is read after it: the caller owns the rest.
bool compress(jpeg_compress_struct& cinfo, ErrorManager& errors, VipsRegion* region, int quality,
              StringDestination& destination) {
    if (setjmp(errors.jump) != 0) return false;
    const int width = vips_image_get_width(region->im), height = vips_image_get_height(region->im);
    const int bands = vips_image_get_bands(region->im);
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
    for (int y = 0; y < height; y += kStripRows) {
        VipsRect strip = {0, y, width, std::min(kStripRows, height - y)};
        if (vips_region_prepare(region, &strip) != 0) {
            vips_error_clear();
            return false;
        }
        for (int r = 0; r < strip.height; ++r) {
            JSAMPROW row = reinterpret_cast<JSAMPROW>(VIPS_REGION_ADDR(region, 0, y + r));
            jpeg_write_scanlines(&cinfo, &row, 1);
        }
    }
    jpeg_finish_compress(&cinfo);
    return true;
}

}  // namespace

std::optional<std::string> encodeHere(VipsImage* image, int quality) {
    VipsRegion* region = vips_region_new(image);
    if (!region) {
        vips_error_clear();
        return std::nullopt;
    }
    jpeg_compress_struct cinfo{};
    ErrorManager errors{};
    cinfo.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = onError;
    errors.base.output_message = onMessage;
    StringDestination destination;
    const bool ok = compress(cinfo, errors, region, quality, destination);
    jpeg_destroy_compress(&cinfo);
    g_object_unref(region);
    if (!ok) return std::nullopt;
    return std::move(destination.bytes);
}

}  // namespace vintrelle::media
