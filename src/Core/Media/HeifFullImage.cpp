#include "Core/Media/HeifFullImage.h"

#include <libheif/heif.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "Core/Media/MediaInternal.h"
#include "Core/Media/MediaProcessor.h"

namespace vintrelle::MediaProcessor {

namespace {

using media::VImage;

struct HeifContext {
    heif_context* p = heif_context_alloc();
    ~HeifContext() { heif_context_free(p); }
};
struct HeifHandle {
    heif_image_handle* p = nullptr;
    ~HeifHandle() {
        if (p) heif_image_handle_release(p);
    }
};
struct HeifImage {
    heif_image* p = nullptr;
    ~HeifImage() {
        if (p) heif_image_release(p);
    }
};

bool isHeif(const std::string& url) {
    unsigned char head[12] = {};
    FILE* f = std::fopen(url.c_str(), "rb");
    if (!f) return false;
    const size_t got = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return got == sizeof head && heif_check_filetype(head, int(got)) == heif_filetype_yes_supported;
}

// The primary picture as libvips's own HEIF loader makes it: RGB or RGBA,
// 8 bits, or 16 bits with the samples shifted up to fill them; turned as the
// file says (libheif applies its rotation and mirroring, so no orientation
// tag is left to apply again); with its ICC profile when it has one (an nclx
// colour description is not a profile and is left out, as libvips does).
VImage decode(const std::string& url, int threads, bool* hasProfile) {
    HeifContext ctx;
    heif_context_set_max_decoding_threads(ctx.p, threads);
    HeifHandle handle;
    if (heif_context_read_from_file(ctx.p, url.c_str(), nullptr).code != heif_error_Ok ||
        heif_context_get_primary_image_handle(ctx.p, &handle.p).code != heif_error_Ok)
        return {};
    const int width = heif_image_handle_get_width(handle.p), height = heif_image_handle_get_height(handle.p);
    const int bits = heif_image_handle_get_luma_bits_per_pixel(handle.p);
    if (width <= 0 || height <= 0 || (long long)width * height > media::kMaxDecodePixels || bits <= 0) return {};
    const bool alpha = heif_image_handle_has_alpha_channel(handle.p);
    const bool deep = bits > 8;
    const heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_BE : heif_chroma_interleaved_RRGGBB_BE)
                                    : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    HeifImage img;
    heif_decoding_options* options = heif_decoding_options_alloc();
    const heif_error decoded = heif_decode_image(handle.p, &img.p, heif_colorspace_RGB, chroma, options);
    heif_decoding_options_free(options);
    if (decoded.code != heif_error_Ok || heif_image_get_width(img.p, heif_channel_interleaved) != width ||
        heif_image_get_height(img.p, heif_channel_interleaved) != height)
        return {};
    int stride = 0;
    const uint8_t* data = heif_image_get_plane_readonly(img.p, heif_channel_interleaved, &stride);
    if (!data) return {};

    const int bands = alpha ? 4 : 3;
    const size_t rowBytes = size_t(width) * size_t(bands) * (deep ? 2 : 1);
    if (size_t(stride) < rowBytes) return {};
    std::vector<uint8_t> pixels(rowBytes * size_t(height));
    for (int y = 0; y < height; ++y) {
        const uint8_t* from = data + size_t(y) * size_t(stride);
        uint8_t* to = pixels.data() + size_t(y) * rowBytes;
        if (!deep) {
            std::memcpy(to, from, rowBytes);
            continue;
        }
        // Big-endian samples of `bits` bits to native 16-bit ones.
        const int shift = 16 - bits;
        for (size_t i = 0; i < rowBytes; i += 2) {
            const uint16_t v = uint16_t(((from[i] << 8) | from[i + 1]) << shift);
            std::memcpy(to + i, &v, 2);
        }
    }
    VImage raw(vips_image_new_from_memory_copy(pixels.data(), pixels.size(), width, height, bands,
                                               deep ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR));
    if (!raw) {
        vips_error_clear();
        return {};
    }
    VipsImage* tagged = nullptr;
    if (vips_copy(raw.get(), &tagged, "interpretation", deep ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB,
                  nullptr) != 0) {
        vips_error_clear();
        return {};
    }
    VImage out(tagged);
    const heif_color_profile_type profile = heif_image_handle_get_color_profile_type(handle.p);
    *hasProfile = false;
    if (profile == heif_color_profile_type_prof || profile == heif_color_profile_type_rICC) {
        std::vector<uint8_t> icc(heif_image_handle_get_raw_color_profile_size(handle.p));
        if (!icc.empty() && heif_image_handle_get_raw_color_profile(handle.p, icc.data()).code == heif_error_Ok) {
            vips_image_set_blob_copy(out.get(), VIPS_META_ICC_NAME, icc.data(), icc.size());
            *hasProfile = true;
        }
    }
    return out;
}

}  // namespace

ImageRef loadFullImage(const std::string& url, int maxPixel, int threads) {
    initialize();
    if (maxPixel <= 0) return nullptr;
    if (!isHeif(url)) return loadImage(url, maxPixel);
    bool hasProfile = false;
    VImage picture = decode(url, threads, &hasProfile);
    if (!picture) return nullptr;
    // Scaled and converted to sRGB exactly as the file path of loadImage does.
    VipsImage* scaled = nullptr;
    if (vips_thumbnail_image(picture.get(), &scaled, maxPixel, "height", maxPixel, "size", VIPS_SIZE_DOWN,
                             "export_profile", hasProfile ? "srgb" : nullptr, nullptr) != 0) {
        vips_error_clear();
        return nullptr;
    }
    VImage out(scaled);
    return media::toImage(out.get());
}

}  // namespace vintrelle::MediaProcessor
