// Thumbnails encoded on the reader's thread must be the files vips's saver
// would have written, and a picture whose pixels cannot be made must fail
// rather than leave a half-grey thumbnail.

#include <gtest/gtest.h>

#include <string>

#include "Core/Media/MediaInternal.h"
#include "Core/Media/MediaProcessor.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
using media::VImage;

namespace {

// A textured picture of the given bands (3 sRGB, 1 grey), made by vips.
VImage picture(int width, int height, int bands) {
    VipsImage* noise = nullptr;
    VipsImage* cast = nullptr;
    if (vips_gaussnoise(&noise, width, height, "sigma", 50.0, "mean", 120.0, nullptr) != 0) return VImage();
    VImage n(noise);
    VipsImage* joined = nullptr;
    if (bands == 3) {
        VipsImage* parts[3] = {n.get(), n.get(), n.get()};
        if (vips_bandjoin(parts, &joined, 3, nullptr) != 0) return VImage();
    } else {
        g_object_ref(n.get());
        joined = n.get();
    }
    VImage j(joined);
    if (vips_cast(j.get(), &cast, VIPS_FORMAT_UCHAR, nullptr) != 0) return VImage();
    VImage out(cast);
    VipsImage* tagged = nullptr;
    vips_copy(out.get(), &tagged, "interpretation", bands == 3 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_B_W,
              nullptr);
    return VImage(tagged);
}

std::string savedByVips(VipsImage* image, int quality) {
    void* buffer = nullptr;
    size_t length = 0;
    if (vips_jpegsave_buffer(image, &buffer, &length, "Q", quality, "strip", TRUE, nullptr) != 0) return {};
    std::string out(static_cast<const char*>(buffer), length);
    g_free(buffer);
    return out;
}

// A JPEG cut in the middle.
std::string cutShortJpeg() {
    const std::string whole = savedByVips(picture(400, 300, 3).get(), 90);
    return whole.substr(0, whole.size() / 2);
}

// The bytes opened lazily, with truncation an error, so that making the
// pixels fails; null when even the header cannot be read. The bytes must
// outlive the picture.
VImage loadFailingOnTruncation(const std::string& bytes) {
    VipsImage* loaded = nullptr;
    if (vips_jpegload_buffer(const_cast<char*>(bytes.data()), bytes.size(), &loaded, "fail_on",
                             VIPS_FAIL_ON_TRUNCATED, nullptr) != 0)
        return VImage();
    return VImage(loaded);
}

// The bytes opened as the photo reader opens them: read top to bottom, and
// truncation no error.
VImage loadAsTheReaderDoes(const std::string& bytes) {
    VipsImage* loaded = nullptr;
    if (vips_jpegload_buffer(const_cast<char*>(bytes.data()), bytes.size(), &loaded, "fail_on", VIPS_FAIL_ON_NONE,
                             "access", VIPS_ACCESS_SEQUENTIAL, nullptr) != 0)
        return VImage();
    return VImage(loaded);
}

}  // namespace

TEST(JpegEncoder, WritesWhatVipsSaverWritesForColourAndGrey) {
    MediaProcessor::initialize();
    for (int bands : {3, 1})
        for (int quality : {74, 82, 95}) {
            SCOPED_TRACE(std::to_string(bands) + " bands, quality " + std::to_string(quality));
            // Large enough for the output to outgrow its first buffer twice over.
            VImage image = picture(1000, 750, bands);
            ASSERT_TRUE(image);
            ASSERT_TRUE(media::encodableHere(image.get()));
            const auto here = media::encodeHere(image.get(), quality);
            ASSERT_TRUE(here);
            EXPECT_EQ(*here, savedByVips(image.get(), quality));
        }
}

TEST(JpegEncoder, OtherPicturesAreLeftToVipsAndUnmadePixelsFail) {
    MediaProcessor::initialize();
    VImage rgb = picture(64, 48, 3);
    VipsImage* alpha = nullptr;
    ASSERT_EQ(vips_bandjoin_const1(rgb.get(), &alpha, 255.0, nullptr), 0);
    VImage withAlpha(alpha);
    EXPECT_FALSE(media::encodableHere(withAlpha.get()));
    VipsImage* wide = nullptr;
    ASSERT_EQ(vips_cast(rgb.get(), &wide, VIPS_FORMAT_USHORT, nullptr), 0);
    VImage sixteen(wide);
    EXPECT_FALSE(media::encodableHere(sixteen.get()));

    const std::string cut = cutShortJpeg();
    VImage truncated = loadFailingOnTruncation(cut);
    ASSERT_TRUE(truncated);
    ASSERT_TRUE(media::encodableHere(truncated.get()));
    EXPECT_FALSE(media::encodeHere(truncated.get(), 74));
}

// A photo cut short whose pixels run out only part way down, once the output
// has outgrown its first buffer: the decoder gives up some way after a
// camera's restart markers go missing. The encoder fails, and nothing is
// freed twice on the way out.
TEST(JpegEncoder, PixelsThatRunOutPartWayDownFailCleanly) {
    MediaProcessor::initialize();
    fixtures::TempDir dir;
    fixtures::PhotoJPEGOptions options;
    options.restartInterval = 8;
    ASSERT_TRUE(fixtures::makePhotoJPEG(dir / "photo.jpg", 2048, 1536, options));
    const std::string whole = fixtures::readFile(dir / "photo.jpg");
    const std::string cut = whole.substr(0, whole.size() * 6 / 10);
    VImage truncated = loadAsTheReaderDoes(cut);
    ASSERT_TRUE(truncated);
    ASSERT_TRUE(media::encodableHere(truncated.get()));
    EXPECT_FALSE(media::encodeHere(truncated.get(), 74));

    // The top rows are there, and encode to more than the first buffer holds.
    VImage again = loadAsTheReaderDoes(cut);
    VipsImage* top = nullptr;
    ASSERT_EQ(vips_extract_area(again.get(), &top, 0, 0, 2048, 512, nullptr), 0);
    VImage topRows(top);
    const auto encoded = media::encodeHere(topRows.get(), 74);
    ASSERT_TRUE(encoded);
    EXPECT_GT(encoded->size(), size_t(64 * 1024));
}

// Pictures handed to the face analyser and the viewer are computed on the
// calling thread: the same pixels vips's writer to memory makes, and nothing
// for pixels that cannot be made.
TEST(JpegEncoder, PicturesComputedHereMatchVipsAndUnmadePixelsFail) {
    MediaProcessor::initialize();
    for (int bands : {3, 1}) {
        SCOPED_TRACE(std::to_string(bands) + " bands");
        VImage source = picture(301, 75, bands);  // rows not a whole number of strips
        ASSERT_TRUE(source);
        VipsImage* rgba = nullptr;
        VipsImage* converted = nullptr;
        ASSERT_EQ(vips_colourspace(source.get(), &converted, VIPS_INTERPRETATION_sRGB, nullptr), 0);
        VImage srgb(converted);
        ASSERT_EQ(vips_bandjoin_const1(srgb.get(), &rgba, 255.0, nullptr), 0);
        VImage expected(rgba);
        size_t size = 0;
        void* mem = vips_image_write_to_memory(expected.get(), &size);
        ASSERT_TRUE(mem);
        const std::string byVips(static_cast<const char*>(mem), size);
        g_free(mem);
        const ImageRef here = media::toImage(source.get());
        ASSERT_TRUE(here);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(here->rgba.data()), here->rgba.size()), byVips);
    }
    const std::string cut = cutShortJpeg();
    VImage truncated = loadFailingOnTruncation(cut);
    ASSERT_TRUE(truncated);
    EXPECT_FALSE(media::toImage(truncated.get()));
}

// Face pictures (RGBA in memory) are saved as vips's saver saves their colour bands.
TEST(JpegEncoder, FacePicturesAreTheBytesVipsSaverWrites) {
    MediaProcessor::initialize();
    const ImageRef face = media::toImage(picture(220, 220, 3).get());
    ASSERT_TRUE(face);
    VImage rgba(vips_image_new_from_memory(face->rgba.data(), face->rgba.size(), face->width, face->height, 4,
                                           VIPS_FORMAT_UCHAR));
    VipsImage* rgb = nullptr;
    ASSERT_EQ(vips_extract_band(rgba.get(), &rgb, 0, "n", 3, nullptr), 0);
    VImage colour(rgb);
    fixtures::TempDir dir;
    ASSERT_TRUE(MediaProcessor::writeJPEG(*face, dir / "face.jpg", 0.82));
    const std::string written = fixtures::readFile(dir / "face.jpg");
    EXPECT_EQ(written, savedByVips(colour.get(), 82));
}
