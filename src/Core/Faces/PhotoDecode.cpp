#include "Core/Faces/PhotoDecode.h"

#include <cstring>
#include <mutex>

#include <vips/vips.h>

namespace vintrelle::faces {

ImageRef decodeUpright(const std::string& path, int maxPixel) {
    static std::once_flag once;
    std::call_once(once, [] { vips_init("vintrelle"); });
    // vips_thumbnail sniffs the loader from the file's bytes and turns the
    // picture upright by its orientation tag.
    VipsImage* thumb = nullptr;
    if (vips_thumbnail(path.c_str(), &thumb, maxPixel, "size", VIPS_SIZE_DOWN, "height", maxPixel, nullptr) != 0) {
        vips_error_clear();
        return nullptr;
    }
    VipsImage* srgb = nullptr;
    VipsImage* rgba = nullptr;
    VipsImage* bytes = nullptr;
    ImageRef result;
    if (vips_colourspace(thumb, &srgb, VIPS_INTERPRETATION_sRGB, nullptr) == 0) {
        VipsImage* three = nullptr;
        const int bands = vips_image_get_bands(srgb);
        int ok = bands >= 3 ? vips_extract_band(srgb, &three, 0, "n", 3, nullptr) : -1;
        if (ok == 0) ok = vips_bandjoin_const1(three, &rgba, 255, nullptr);
        if (ok == 0) ok = vips_cast_uchar(rgba, &bytes, nullptr);
        if (three) g_object_unref(three);
        size_t size = 0;
        void* mem = ok == 0 ? vips_image_write_to_memory(bytes, &size) : nullptr;
        if (mem) {
            auto img = std::make_shared<Image>(vips_image_get_width(bytes), vips_image_get_height(bytes));
            if (size == img->rgba.size()) {
                std::memcpy(img->rgba.data(), mem, size);
                result = img;
            }
            g_free(mem);
        }
    }
    for (VipsImage* i : {thumb, srgb, rgba, bytes})
        if (i) g_object_unref(i);
    if (!result) vips_error_clear();
    return result;
}

}  // namespace vintrelle::faces
