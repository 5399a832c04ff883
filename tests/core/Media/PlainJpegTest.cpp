// Thumbnails of plain JPEGs made without vips must be the pictures vips's
// thumbnailer makes of the same files: the same size, the same way up, and
// the same pixels but for rounding, whatever the shrink while decoding; any
// other JPEG is left to vips.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "Core/Media/MediaInternal.h"
#include "Core/Media/MediaProcessor.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
using media::VImage;

namespace {

struct Difference {
    int largest = 0;
    double mean = 0;
};

// What vips's thumbnailer makes of the bytes, against the pixels.
::testing::AssertionResult sameAsVips(const std::string& bytes, const media::Pixels& pixels, Difference& d) {
    VipsImage* made = nullptr;
    if (vips_thumbnail_buffer(const_cast<char*>(bytes.data()), bytes.size(), &made, 480, "height", 480, "size",
                              VIPS_SIZE_DOWN, nullptr) != 0)
        return ::testing::AssertionFailure() << "vips made no thumbnail";
    VImage thumb(made);
    const int w = vips_image_get_width(made), h = vips_image_get_height(made), bands = vips_image_get_bands(made);
    if (w != pixels.width || h != pixels.height || bands != pixels.bands)
        return ::testing::AssertionFailure() << "vips " << w << " x " << h << " x " << bands << ", here "
                                             << pixels.width << " x " << pixels.height << " x " << pixels.bands;
    size_t length = 0;
    auto* theirs = static_cast<uint8_t*>(vips_image_write_to_memory(made, &length));
    if (!theirs || length != pixels.data.size()) return ::testing::AssertionFailure() << "no pixels from vips";
    double total = 0;
    d = {};
    for (size_t i = 0; i < length; ++i) {
        const int diff = std::abs(int(theirs[i]) - int(pixels.data[i]));
        d.largest = std::max(d.largest, diff);
        total += diff;
    }
    g_free(theirs);
    d.mean = total / double(length);
    return ::testing::AssertionSuccess();
}

std::string greyJpeg(int width, int height) {
    VipsImage *noise = nullptr, *grey = nullptr;
    void* buffer = nullptr;
    size_t length = 0;
    vips_gaussnoise(&noise, width, height, "sigma", 40.0, "mean", 120.0, nullptr);
    VImage n(noise);
    vips_cast(noise, &grey, VIPS_FORMAT_UCHAR, nullptr);
    VImage g(grey);
    vips_jpegsave_buffer(grey, &buffer, &length, "Q", 90, nullptr);
    std::string out(static_cast<const char*>(buffer), length);
    g_free(buffer);
    return out;
}

}  // namespace

TEST(PlainJpeg, ThumbnailsAreWhatVipsThumbnailerMakes) {
    MediaProcessor::initialize();
    fixtures::TempDir dir;
    struct Case {
        int width, height, orientation;
        bool progressive = false;
    };
    // No shrink while decoding, and shrinks by 2, 4 and 8; a picture barely
    // larger than the thumbnail, thin ones, one smaller than it; every way up.
    std::vector<Case> cases = {{640, 480, 1},   {2016, 1512, 1, true}, {4032, 3024, 1}, {7800, 300, 1},
                               {481, 300, 1},   {3000, 14, 1},         {17, 2600, 1},   {300, 200, 1},
                               {1001, 667, 6}};
    for (int o = 2; o <= 8; ++o) cases.push_back({900, 700, o});
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " turned " +
                     std::to_string(c.orientation));
        fixtures::PhotoJPEGOptions options;
        options.seed = unsigned(++n);
        options.progressive = c.progressive;
        options.exif.orientation = c.orientation;
        const std::string path = dir / ("p" + std::to_string(n) + ".jpg");
        ASSERT_TRUE(fixtures::makePhotoJPEG(path, c.width, c.height, options));
        const std::string bytes = fixtures::readFile(path);
        ASSERT_TRUE(media::plainJpeg(bytes));
        media::Pixels pixels;
        ASSERT_TRUE(media::plainJpegThumbnail(bytes, c.orientation, 480, pixels));
        Difference d;
        ASSERT_TRUE(sameAsVips(bytes, pixels, d));
        EXPECT_LE(d.largest, 3);
        EXPECT_LT(d.mean, 0.3);
    }
    const std::string grey = greyJpeg(1500, 1100);
    media::Pixels pixels;
    ASSERT_TRUE(media::plainJpegThumbnail(grey, 1, 480, pixels));
    Difference d;
    ASSERT_TRUE(sameAsVips(grey, pixels, d));
    EXPECT_LE(d.largest, 3);
    EXPECT_LT(d.mean, 0.3);
}

// Colour that needs converting (a colour profile, CMYK) is vips's to do,
// and so is anything libjpeg cannot make out.
TEST(PlainJpeg, OtherJpegsAreLeftToVips) {
    MediaProcessor::initialize();
    fixtures::TempDir dir;
    ASSERT_TRUE(fixtures::makeJPEG(dir / "plain.jpg", 300, 200));
    VipsImage* loaded = vips_image_new_from_file((dir / "plain.jpg").c_str(), nullptr);
    ASSERT_TRUE(loaded);
    VImage in(loaded);
    VipsImage *profiled = nullptr, *cmyk = nullptr;
    ASSERT_EQ(vips_icc_transform(loaded, &profiled, "srgb", nullptr), 0);
    VImage p(profiled);
    ASSERT_EQ(vips_colourspace(loaded, &cmyk, VIPS_INTERPRETATION_CMYK, nullptr), 0);
    VImage c(cmyk);
    for (auto [name, image] : {std::pair{"profiled.jpg", profiled}, std::pair{"cmyk.jpg", cmyk}}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(vips_jpegsave(image, (dir / name).c_str(), nullptr), 0);
        const std::string bytes = fixtures::readFile(dir / name);
        EXPECT_FALSE(media::plainJpeg(bytes));
        media::Pixels pixels;
        EXPECT_FALSE(media::plainJpegThumbnail(bytes, 1, 480, pixels));
        EXPECT_TRUE(MediaProcessor::processPhoto(dir / name, 0, dir / "t.jpg").thumbOK);
    }
    const std::string plain = fixtures::readFile(dir / "plain.jpg");
    EXPECT_TRUE(media::plainJpeg(plain));
    media::Pixels pixels;
    for (const std::string& bad : {std::string("\xff\xd8\xff\xe0 no more"), plain.substr(0, 40), std::string()})
        EXPECT_FALSE(media::plainJpegThumbnail(bad, 1, 480, pixels));
}
