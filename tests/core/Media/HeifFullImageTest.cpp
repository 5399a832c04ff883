// The viewer's HEIF decode on libheif's own threads gives the very picture
// the photo readers give: same size, orientation, colour and alpha, for files
// written by libvips and tiled ones as phones write them; broken files give
// nothing, other formats go the usual way.

#include <gtest/gtest.h>

#include <vips/vips.h>

#include <filesystem>
#include <fstream>

#include "Core/Media/HeifFullImage.h"
#include "Core/Media/MediaProcessor.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace MP = vintrelle::MediaProcessor;

namespace {

// A HEIC that libvips writes from photo-like pixels, with alpha or 10 bits.
bool vipsHEIC(const std::string& path, int w, int h, bool alpha, int bitdepth) {
    std::vector<uint8_t> rgb = fixtures::photoPixels(w, h, 7);
    const int bands = alpha ? 4 : 3;
    std::vector<uint16_t> deep(size_t(w) * size_t(h) * size_t(bands));
    std::vector<uint8_t> shallow(deep.size());
    for (size_t i = 0, n = size_t(w) * size_t(h); i < n; ++i)
        for (int c = 0; c < bands; ++c) {
            const uint8_t v = c < 3 ? rgb[i * 3 + size_t(c)] : uint8_t(i % 251);  // a varied alpha
            shallow[i * size_t(bands) + size_t(c)] = v;
            deep[i * size_t(bands) + size_t(c)] = uint16_t(v * 257);
        }
    const bool wide = bitdepth > 8;
    VipsImage* raw = wide ? vips_image_new_from_memory(deep.data(), deep.size() * 2, w, h, bands, VIPS_FORMAT_USHORT)
                          : vips_image_new_from_memory(shallow.data(), shallow.size(), w, h, bands, VIPS_FORMAT_UCHAR);
    if (!raw) return false;
    VipsImage* tagged = nullptr;
    int rc = vips_copy(raw, &tagged, "interpretation", wide ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB,
                       nullptr);
    g_object_unref(raw);
    if (rc != 0) return false;
    rc = vips_heifsave(tagged, path.c_str(), "Q", 70, "bitdepth", bitdepth, nullptr);
    g_object_unref(tagged);
    vips_error_clear();
    return rc == 0;
}

std::string displayP3() {
    size_t length = 0;
    VipsBlob* blob = nullptr;
    if (vips_profile_load("p3", &blob, nullptr) != 0) return {};
    const void* data = vips_blob_get(blob, &length);
    std::string profile(static_cast<const char*>(data), length);
    vips_area_unref(VIPS_AREA(blob));
    return profile;
}

}  // namespace

TEST(MediaHeifFullImage, IsThePictureThePhotoReadersMake) {
    MP::initialize();
    fixtures::TempDir dir;
    fixtures::TiledHEICOptions turnedP3;
    turnedP3.rotation = 90;
    turnedP3.iccProfile = displayP3();
    ASSERT_FALSE(turnedP3.iccProfile.empty());
    struct Case {
        const char* name;
        std::function<bool(const std::string&)> make;
        int maxPixel;
    } cases[] = {
        {"written by libvips", [](const std::string& p) { return fixtures::makeHEIC(p, 300, 200); }, 4096},
        {"written by libvips, turned", [](const std::string& p) { return fixtures::makeHEIC(p, 300, 200, {}, 6); }, 4096},
        {"with alpha", [](const std::string& p) { return vipsHEIC(p, 320, 240, true, 8); }, 4096},
        {"ten bits", [](const std::string& p) { return vipsHEIC(p, 320, 240, false, 10); }, 4096},
        {"tiled", [](const std::string& p) { return fixtures::makeTiledHEIC(p, 1100, 700, 3); }, 4096},
        {"tiled, turned, Display P3", [&](const std::string& p) { return fixtures::makeTiledHEIC(p, 1100, 700, 4, turnedP3); },
         4096},
        {"tiled, scaled down", [](const std::string& p) { return fixtures::makeTiledHEIC(p, 1100, 700, 5); }, 640},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir / (std::string(c.name) + ".heic");
        ASSERT_TRUE(c.make(file));
        const ImageRef expected = MP::loadImage(file, c.maxPixel);
        ASSERT_TRUE(expected);
        for (int threads : {0, 1, 4}) {
            const ImageRef got = MP::loadFullImage(file, c.maxPixel, threads);
            ASSERT_TRUE(got) << threads;
            EXPECT_EQ(got->width, expected->width);
            EXPECT_EQ(got->height, expected->height);
            EXPECT_TRUE(got->rgba == expected->rgba) << "pixels differ on " << threads << " threads";
        }
    }
    // The turn and the profile were there to keep: the grid stands upright,
    // and its colours differ from the same pixels without a profile.
    fixtures::TiledHEICOptions turned;
    turned.rotation = 90;
    const std::string plain = dir / "turned, no profile.heic";
    ASSERT_TRUE(fixtures::makeTiledHEIC(plain, 1100, 700, 4, turned));
    const ImageRef withProfile = MP::loadFullImage(dir / "tiled, turned, Display P3.heic", 4096, 4);
    const ImageRef without = MP::loadFullImage(plain, 4096, 4);
    ASSERT_TRUE(withProfile && without);
    EXPECT_EQ(withProfile->width, 700);
    EXPECT_EQ(withProfile->height, 1100);
    EXPECT_FALSE(withProfile->rgba == without->rgba);
}

TEST(MediaHeifFullImage, BrokenFilesGiveNothingAndOtherFormatsGoTheUsualWay) {
    MP::initialize();
    fixtures::TempDir dir;
    const std::string tiled = dir / "tiled.heic";
    ASSERT_TRUE(fixtures::makeTiledHEIC(tiled, 1100, 700, 9));
    std::string bytes;
    {
        std::ifstream in(tiled, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::string cut = dir / "cut.heic", header = dir / "header.heic";
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    std::ofstream(header, std::ios::binary) << bytes.substr(0, 12);
    for (const std::string& file : {cut, header, std::string(dir / "missing.heic")}) {
        SCOPED_TRACE(file);
        EXPECT_FALSE(MP::loadImage(file, 4096));
        EXPECT_FALSE(MP::loadFullImage(file, 4096, 4));
    }
    const std::string jpeg = dir / "a.jpg";
    fixtures::ExifTags turned;
    turned.orientation = 6;
    ASSERT_TRUE(fixtures::makeJPEG(jpeg, 120, 80, {}, turned));
    const ImageRef usual = MP::loadImage(jpeg, 4096);
    const ImageRef full = MP::loadFullImage(jpeg, 4096, 4);
    ASSERT_TRUE(usual && full);
    EXPECT_EQ(full->width, 80);
    EXPECT_TRUE(full->rgba == usual->rgba);
    EXPECT_FALSE(MP::loadFullImage(tiled, 0, 4));
}
