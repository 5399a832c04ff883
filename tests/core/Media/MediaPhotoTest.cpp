#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include <nlohmann/json.hpp>

#include "Core/Media/MediaProcessor.h"
#include "Core/Base/WallClock.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace MP = vintrelle::MediaProcessor;
namespace fs = std::filesystem;
using fixtures::ExifTags;

namespace {

using fixtures::wallClock;

constexpr double kFallback = 1234567.0;

class MediaPhoto : public testing::Test {
protected:
    fixtures::TempDir dir;
    std::string thumb() const { return dir / "thumb.jpg"; }

    ProcessedMedia jpegWith(const ExifTags& tags, int w = 64, int h = 48) {
        std::string path = dir / ("p" + std::to_string(counter_++) + ".jpg");
        EXPECT_TRUE(fixtures::makeJPEG(path, w, h, {}, tags));
        return MP::processPhoto(path, kFallback, thumb());
    }

private:
    int counter_ = 0;
};

// Which quarter of a picture is the dark one: 0 top-left, 1 top-right,
// 2 bottom-left, 3 bottom-right; -1 when none or several.
int darkQuarter(const Image& img) {
    int found = -1;
    for (int q = 0; q < 4; ++q) {
        int x = (q % 2 == 0 ? 1 : 3) * img.width / 4;
        int y = (q < 2 ? 1 : 3) * img.height / 4;
        const uint8_t* p = img.row(y) + size_t(x) * 4;
        if (p[0] < 100) {
            if (found >= 0) return -1;
            found = q;
        }
    }
    return found;
}

}  // namespace

TEST_F(MediaPhoto, OrientationTurnsSizeAndThumbnail) {
    struct Case {
        int orientation;
        int width, height, dark;
    } cases[] = {{1, 64, 48, 0}, {3, 64, 48, 3}, {6, 48, 64, 1}, {8, 48, 64, 2}, {9, 64, 48, 0}};
    for (const auto& c : cases) {
        ExifTags tags;
        tags.orientation = c.orientation;
        ProcessedMedia m = jpegWith(tags);
        EXPECT_EQ(m.width, c.width) << c.orientation;
        EXPECT_EQ(m.height, c.height) << c.orientation;
        ASSERT_TRUE(m.thumbOK);
        ImageRef t = MP::loadImage(thumb(), 480);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->width, c.width);
        EXPECT_EQ(t->height, c.height);
        EXPECT_EQ(darkQuarter(*t), c.dark) << "orientation " << c.orientation;
    }
}

TEST_F(MediaPhoto, ThumbnailIsAtMost480AndNeverEnlarged) {
    ProcessedMedia big = jpegWith({}, 1200, 900);
    EXPECT_EQ(big.width, 1200);
    ASSERT_TRUE(big.thumbOK);
    ImageRef t = MP::loadImage(thumb(), 4096);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->width, 480);
    EXPECT_EQ(t->height, 360);

    // The file at the thumbnail path is replaced.
    auto before = fs::file_size(thumb());
    ProcessedMedia small = jpegWith({}, 40, 30);
    ASSERT_TRUE(small.thumbOK);
    EXPECT_NE(fs::file_size(thumb()), before);
    t = MP::loadImage(thumb(), 4096);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->width, 40);
    EXPECT_EQ(t->height, 30);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);
}

TEST_F(MediaPhoto, CaptureTimeSources) {
    const double good = wallClock(2021, 7, 4, 18, 30, 5);
    auto taken = [&](auto set) {
        ExifTags t;
        set(t);
        return jpegWith(t).taken;
    };
    EXPECT_EQ(taken([](ExifTags& t) { t.dateTimeOriginal = "2021:07:04 18:30:05"; }), good);
    EXPECT_EQ(taken([](ExifTags& t) { t.dateTimeDigitized = "2021:07:04 18:30:05"; }), good);
    EXPECT_EQ(taken([](ExifTags& t) { t.dateTime = "2021:07:04 18:30:05"; }), good);
    EXPECT_EQ(taken([](ExifTags& t) {
                  t.dateTimeOriginal = "2020:01:01 00:00:00";
                  t.dateTimeDigitized = "2021:07:04 18:30:05";
              }),
              wallClock(2020, 1, 1, 0, 0, 0));
    // A present but unreadable first key wins over a good later one.
    EXPECT_EQ(taken([](ExifTags& t) {
                  t.dateTimeOriginal = "not a date";
                  t.dateTimeDigitized = "2021:07:04 18:30:05";
              }),
              kFallback);
    EXPECT_EQ(taken([](ExifTags& t) { t.dateTimeOriginal = "0000:00:00 00:00:00"; }), kFallback);
    EXPECT_EQ(taken([](ExifTags&) {}), kFallback);
}

TEST_F(MediaPhoto, CameraFromMakeAndModel) {
    struct Case {
        std::optional<std::string> make, model, camera;
    } cases[] = {
        {"Canon", "Canon EOS R5", "Canon EOS R5"},
        {"NIKON CORPORATION", "NIKON D750", "NIKON D750"},
        {"Apple", "iPhone 12", "Apple iPhone 12"},
        {"Canon", std::nullopt, std::nullopt},
        {std::nullopt, "iPhone 12", "iPhone 12"},
        {"  Apple\t", " iPhone 12  ", "Apple iPhone 12"},
        {"   ", "X100V", "X100V"},
        {"FUJIFILM", "   ", std::nullopt},
        {"OM", "om-1", "om-1"},  // make shorter than four characters, case ignored
    };
    for (const auto& c : cases) {
        ExifTags t;
        t.make = c.make;
        t.model = c.model;
        EXPECT_EQ(jpegWith(t).camera, c.camera) << c.make.value_or("-") << " / " << c.model.value_or("-");
    }
}

TEST_F(MediaPhoto, ExposureLensAndIso) {
    ExifTags t;
    t.lensModel = "  RF 35mm F1.8  ";
    t.fnumber = 1.8;
    t.exposure = 1.0 / 250;
    t.focal = 35;
    t.iso = {800, 1600};
    ProcessedMedia m = jpegWith(t);
    EXPECT_EQ(m.lens, "RF 35mm F1.8");
    EXPECT_DOUBLE_EQ(*m.fnumber, 1.8);
    EXPECT_DOUBLE_EQ(*m.exposure, 0.004);
    EXPECT_DOUBLE_EQ(*m.focal, 35);
    EXPECT_EQ(m.iso, 800);

    // Text where numbers belong, and a blank lens: only those fields go.
    ExifTags bad;
    bad.asText = {{"Exif.Photo.FNumber", "1.8"}, {"Exif.Photo.ISOSpeedRatings", "100"}};
    bad.lensModel = "   ";
    bad.focal = 50;
    m = jpegWith(bad);
    EXPECT_FALSE(m.fnumber);
    EXPECT_FALSE(m.iso);
    EXPECT_FALSE(m.lens);
    EXPECT_DOUBLE_EQ(*m.focal, 50);

    ExifTags empty;
    empty.extra = {{"Exif.Photo.ISOSpeedRatings", ""}};
    EXPECT_FALSE(jpegWith(empty).iso);

    // A zero denominator is not a number.
    ExifTags zero;
    zero.extra = {{"Exif.Photo.ExposureTime", "1/0"}};
    EXPECT_FALSE(jpegWith(zero).exposure);
}

TEST_F(MediaPhoto, Location) {
    auto where = [&](double lat, std::optional<std::string> latRef, double lon, std::optional<std::string> lonRef) {
        ExifTags t;
        t.gpsLatitude = lat;
        t.gpsLatitudeRef = std::move(latRef);
        t.gpsLongitude = lon;
        t.gpsLongitudeRef = std::move(lonRef);
        ProcessedMedia m = jpegWith(t);
        EXPECT_EQ(m.lat.has_value(), m.lon.has_value());
        return m;
    };
    ProcessedMedia m = where(33.8688, "S", 151.2093, "W");
    ASSERT_TRUE(m.lat);
    EXPECT_NEAR(*m.lat, -33.8688, 1e-6);
    EXPECT_NEAR(*m.lon, -151.2093, 1e-6);
    m = where(38.7223, "N", 9.1393, "E");
    EXPECT_NEAR(*m.lat, 38.7223, 1e-6);
    EXPECT_NEAR(*m.lon, 9.1393, 1e-6);
    m = where(38.7223, "s", 9.1393, std::nullopt);
    EXPECT_NEAR(*m.lat, -38.7223, 1e-6);
    EXPECT_NEAR(*m.lon, 9.1393, 1e-6);
    EXPECT_FALSE(where(0, "N", 0, "E").lat);
    EXPECT_FALSE(where(91, "N", 10, "E").lat);

    ExifTags latOnly;
    latOnly.gpsLatitude = 10;
    EXPECT_FALSE(jpegWith(latOnly).lat);
}

TEST_F(MediaPhoto, HeicIsNotTurnedTwice) {
    // The EXIF block says 6, but libheif hands over the picture as it is to be
    // shown: neither the size nor the thumbnail may be turned again.
    std::string path = dir / "a.heic";
    ExifTags tags;
    tags.dateTimeOriginal = "2021:07:04 18:30:05";
    tags.make = "Apple";
    tags.model = "iPhone 14";
    tags.gpsLatitude = 51.5;
    tags.gpsLatitudeRef = "N";
    tags.gpsLongitude = 0.12;
    tags.gpsLongitudeRef = "W";
    ASSERT_TRUE(fixtures::makeHEIC(path, 64, 48, {}, 6, tags));
    ProcessedMedia m = MP::processPhoto(path, kFallback, thumb());
    EXPECT_EQ(m.taken, wallClock(2021, 7, 4, 18, 30, 5));
    EXPECT_EQ(m.camera, "Apple iPhone 14");
    ASSERT_TRUE(m.lon);
    EXPECT_NEAR(*m.lon, -0.12, 1e-6);
    EXPECT_EQ(m.width, 64);
    EXPECT_EQ(m.height, 48);
    ASSERT_TRUE(m.thumbOK);
    ImageRef t = MP::loadImage(thumb(), 480);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->width, 64);
    EXPECT_EQ(darkQuarter(*t), 0);
    ImageRef full = MP::loadImage(path, 32);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->width, 32);
    EXPECT_EQ(full->height, 24);
}

TEST_F(MediaPhoto, WidePngAndCmykBecomeSrgbThumbnails) {
    std::string png = dir / "deep.png";
    ASSERT_TRUE(fixtures::makePNG(png, 40, 30, 16, {200, 120, 40}));
    ProcessedMedia m = MP::processPhoto(png, kFallback, thumb());
    EXPECT_EQ(m.width, 40);
    ASSERT_TRUE(m.thumbOK);
    ImageRef t = MP::loadImage(thumb(), 480);
    ASSERT_TRUE(t);
    const uint8_t* p = t->row(25) + 35 * 4;
    EXPECT_NEAR(p[0], 200, 6);
    EXPECT_NEAR(p[1], 120, 6);
    EXPECT_NEAR(p[2], 40, 6);

    std::string cmyk = dir / "print.jpg";
    ASSERT_TRUE(fixtures::makeCMYKJPEG(cmyk, 40, 30));
    m = MP::processPhoto(cmyk, kFallback, thumb());
    EXPECT_EQ(m.width, 40);
    ASSERT_TRUE(m.thumbOK);
    t = MP::loadImage(thumb(), 480);
    ASSERT_TRUE(t);
    p = t->row(25) + 35 * 4;
    // Mostly magenta and yellow ink: a warm red-orange, not a negative.
    EXPECT_GT(p[0], 150);
    EXPECT_LT(p[2], 120);
}

TEST_F(MediaPhoto, BmpHasSizeAndThumbnail) {
    std::string path = dir / "scan.bmp";
    ASSERT_TRUE(fixtures::makeBMP(path, 60, 40, {220, 160, 30}));
    ProcessedMedia m = MP::processPhoto(path, kFallback, thumb());
    EXPECT_EQ(m.width, 60);
    EXPECT_EQ(m.height, 40);
    ASSERT_TRUE(m.thumbOK);
    ImageRef t = MP::loadImage(thumb(), 480);
    ASSERT_TRUE(t);
    EXPECT_EQ(darkQuarter(*t), 0);
    EXPECT_NEAR(t->row(30)[50 * 4], 220, 6);
    EXPECT_NEAR(t->row(30)[50 * 4 + 2], 30, 6);
    ImageRef full = MP::loadImage(path, 30);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->width, 30);
}

TEST_F(MediaPhoto, RawFilesUseTheirLargestPreview) {
    std::string path = dir / "shot.dng";
    ExifTags t;
    t.orientation = 6;
    t.make = "Canon";
    t.model = "Canon EOS R5";
    t.extra = {{"Exif.Photo.PixelXDimension", "8192"}, {"Exif.Photo.PixelYDimension", "5464"}};
    ASSERT_TRUE(fixtures::makeRawLike(path, 160, 120, t));
    ProcessedMedia m = MP::processPhoto(path, kFallback, thumb());
    EXPECT_EQ(m.camera, "Canon EOS R5");
    EXPECT_EQ(m.width, 5464);
    EXPECT_EQ(m.height, 8192);
    ASSERT_TRUE(m.thumbOK);
    ImageRef thumbImage = MP::loadImage(thumb(), 480);
    ASSERT_TRUE(thumbImage);
    EXPECT_EQ(thumbImage->width, 120);
    EXPECT_EQ(thumbImage->height, 160);
    EXPECT_EQ(darkQuarter(*thumbImage), 1);
    ImageRef full = MP::loadImage(path, 4096);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->width, 120);

    // Without pixel dimensions the preview gives the size.
    std::string plain = dir / "plain.nef";
    ASSERT_TRUE(fixtures::makeRawLike(plain, 160, 120));
    m = MP::processPhoto(plain, kFallback, thumb());
    EXPECT_EQ(m.width, 160);
    EXPECT_EQ(m.height, 120);
}

TEST_F(MediaPhoto, WriteAndLoadRoundTrip) {
    Image img(20, 10);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x) {
            uint8_t* p = img.row(y) + x * 4;
            p[0] = 10;
            p[1] = 200;
            p[2] = 90;
            p[3] = 255;
        }
    std::string out = dir / "crop.jpg";
    ASSERT_TRUE(MP::writeJPEG(img, out, 0.82));
    ImageRef back = MP::loadImage(out, 100);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, 20);
    EXPECT_NEAR(back->row(5)[10 * 4 + 1], 200, 6);
    EXPECT_EQ(back->row(5)[10 * 4 + 3], 255);
    EXPECT_FALSE(MP::writeJPEG(Image(), dir / "empty.jpg", 0.74));
    EXPECT_FALSE(MP::writeJPEG(img, dir / "no/such/folder/x.jpg", 0.74));
    EXPECT_FALSE(fs::exists(dir / "empty.jpg"));
}

TEST_F(MediaPhoto, ConcurrentReadersAgree) {
    ExifTags t;
    t.dateTimeOriginal = "2021:07:04 18:30:05";
    t.model = "X100V";
    t.gpsLatitude = 1.5;
    t.gpsLongitude = 2.5;
    std::string path = dir / "shared.jpg";
    ASSERT_TRUE(fixtures::makeJPEG(path, 320, 240, {}, t));
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int i = 0; i < 6; ++i) {
        threads.emplace_back([&, i] {
            for (int k = 0; k < 10; ++k) {
                auto m = MP::processPhoto(path, kFallback, dir / ("t" + std::to_string(i) + ".jpg"));
                if (m.thumbOK && m.camera == "X100V" && m.taken == wallClock(2021, 7, 4, 18, 30, 5) && m.lat) ++good;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(good.load(), 60);
}

TEST_F(MediaPhoto, AgreesWithExiftool) {
    if (fixtures::run("exiftool -ver >/dev/null 2>&1") != 0) GTEST_SKIP() << "exiftool is not installed";
    ExifTags t;
    t.orientation = 8;
    t.dateTimeOriginal = "2019:03:02 01:02:03";
    t.make = "FUJIFILM";
    t.model = "X-T4";
    t.lensModel = "XF23mmF2 R WR";
    t.gpsLatitude = 45.4375;
    t.gpsLatitudeRef = "N";
    t.gpsLongitude = 12.3358;
    t.gpsLongitudeRef = "W";
    t.iso = {640};
    t.fnumber = 2.0;
    t.exposure = 1.0 / 125;
    t.focal = 23;
    std::string path = dir / "compare.jpg";
    ASSERT_TRUE(fixtures::makeJPEG(path, 120, 80, {}, t));
    ProcessedMedia m = MP::processPhoto(path, kFallback, thumb());

    std::string out;
    ASSERT_EQ(fixtures::run("exiftool -n -j " + fixtures::shellQuoted(path), &out), 0);
    auto j = nlohmann::json::parse(out).at(0);
    bool turned = j.at("Orientation").get<int>() >= 5;
    EXPECT_EQ(m.width, j.at(turned ? "ImageHeight" : "ImageWidth").get<int>());
    EXPECT_EQ(m.height, j.at(turned ? "ImageWidth" : "ImageHeight").get<int>());
    EXPECT_EQ(m.taken, MP::parseExifDate(j.at("DateTimeOriginal").get<std::string>()));
    EXPECT_EQ(m.camera, j.at("Make").get<std::string>() + " " + j.at("Model").get<std::string>());
    EXPECT_EQ(m.lens, j.at("LensModel").get<std::string>());
    EXPECT_NEAR(*m.lat, j.at("GPSLatitude").get<double>(), 1e-6);
    EXPECT_NEAR(*m.lon, j.at("GPSLongitude").get<double>(), 1e-6);
    EXPECT_EQ(m.iso, j.at("ISO").get<int>());
    EXPECT_DOUBLE_EQ(*m.fnumber, j.at("FNumber").get<double>());
    EXPECT_DOUBLE_EQ(*m.exposure, j.at("ExposureTime").get<double>());
    EXPECT_DOUBLE_EQ(*m.focal, j.at("FocalLength").get<double>());
}
