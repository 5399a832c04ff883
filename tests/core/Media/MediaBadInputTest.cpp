#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <optional>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "Core/Media/MediaProcessor.h"
#include "Core/Base/WallClock.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace MP = vintrelle::MediaProcessor;
namespace fs = std::filesystem;

namespace {

constexpr double kFallback = 4242.0;

void expectNothingRead(const ProcessedMedia& m) {
    EXPECT_EQ(m.taken, kFallback);
    EXPECT_EQ(m.width, 0);
    EXPECT_EQ(m.height, 0);
    EXPECT_EQ(m.duration, 0);
    EXPECT_FALSE(m.lat || m.lon || m.camera || m.lens || m.iso || m.fnumber || m.exposure || m.focal);
    EXPECT_FALSE(m.thumbOK);
}

}  // namespace

TEST(MediaBadInput, EmptyMissingAndForeignFiles) {
    fixtures::TempDir dir;
    const std::string thumb = dir / "t.jpg";
    for (const char* name : {"empty.jpg", "empty.heic", "empty.png", "empty.mp4", "empty.mov", "empty.dng"}) {
        fixtures::writeFile(dir / name, "");
        bool video = fs::path(name).extension() == ".mp4" || fs::path(name).extension() == ".mov";
        SCOPED_TRACE(name);
        expectNothingRead(video ? MP::processVideo(dir / name, kFallback, thumb)
                                : MP::processPhoto(dir / name, kFallback, thumb));
        EXPECT_FALSE(MP::loadImage(dir / name, 480));
    }
    // Listed, then gone before it is read.
    expectNothingRead(MP::processPhoto(dir / "vanished.jpg", kFallback, thumb));
    expectNothingRead(MP::processVideo(dir / "vanished.mov", kFallback, thumb));

    std::mt19937 rng(7);
    std::string noise(20000, '\0');
    for (char& c : noise) c = char(rng());
    fixtures::writeFile(dir / "noise.heic", noise);
    fixtures::writeFile(dir / "noise.mp4", noise);
    expectNothingRead(MP::processPhoto(dir / "noise.heic", kFallback, thumb));
    expectNothingRead(MP::processVideo(dir / "noise.mp4", kFallback, thumb));

    // A movie named as a photo.
    ASSERT_TRUE(fixtures::makeClip(dir / "clip.mp4", {}));
    expectNothingRead(MP::processPhoto(dir / "clip.mp4", kFallback, thumb));
    EXPECT_FALSE(fs::exists(thumb));
}

TEST(MediaBadInput, HugeHeaderIsNotDecoded) {
    fixtures::TempDir dir;
    std::string path = dir / "huge.png";
    ASSERT_TRUE(fixtures::makePNGHeaderOnly(path, 30000, 30000));
    ProcessedMedia m = MP::processPhoto(path, kFallback, dir / "t.jpg");
    EXPECT_EQ(m.width, 30000);
    EXPECT_EQ(m.height, 30000);
    EXPECT_FALSE(m.thumbOK);
    EXPECT_FALSE(MP::loadImage(path, 1600));

    // A BMP header of the same size, and nothing behind it.
    std::string bmp("BM\0\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0", 18);
    for (uint32_t v : {30000u, 30000u})
        for (int i = 0; i < 4; ++i) bmp.push_back(char((v >> (8 * i)) & 0xff));
    bmp += std::string("\x01\0\x18\0", 4);
    fixtures::writeFile(dir / "huge.bmp", bmp);
    EXPECT_FALSE(MP::processPhoto(dir / "huge.bmp", kFallback, dir / "t.jpg").thumbOK);
    EXPECT_FALSE(MP::loadImage(dir / "huge.bmp", 1600));
}

// A JPEG cut short (by its end marker alone, or by much more) keeps its
// metadata and gets a thumbnail of what its data holds, as every viewer shows
// it; a PNG cut short is not decoded.
TEST(MediaBadInput, JpegCutShortIsDecodedAsFarAsItsDataGoes) {
    fixtures::TempDir dir;
    fixtures::ExifTags tags;
    tags.dateTimeOriginal = "2021:07:04 18:30:05";
    tags.model = "X100V";
    const std::string path = dir / "cut.jpg", thumb = dir / "t.jpg";
    ASSERT_TRUE(fixtures::makeJPEG(path, 400, 300, {}, tags));
    const std::string bytes = fixtures::readFile(path);
    for (size_t keep : {bytes.size() - 2, bytes.size() - 16, bytes.size() - 100, bytes.size() / 2}) {
        SCOPED_TRACE(keep);
        fs::remove(thumb);
        fixtures::writeFile(path, bytes.substr(0, keep));
        ProcessedMedia m = MP::processPhoto(path, kFallback, thumb);
        EXPECT_EQ(m.width, 400);
        EXPECT_EQ(m.camera, "X100V");
        EXPECT_EQ(m.taken, MP::parseExifDate("2021:07:04 18:30:05"));
        ASSERT_TRUE(m.thumbOK);
        ImageRef t = MP::loadImage(thumb, 480);
        ASSERT_TRUE(t);
        EXPECT_LT(t->row(t->height / 4)[size_t(t->width / 4) * 4], 100) << "the dark top-left quarter";
        EXPECT_TRUE(MP::loadImage(path, 200));
    }

    ASSERT_TRUE(fixtures::makePNG(dir / "cut.png", 400, 300));
    const std::string png = fixtures::readFile(dir / "cut.png");
    fixtures::writeFile(dir / "cut.png", png.substr(0, png.size() / 2));
    fs::remove(thumb);
    EXPECT_FALSE(MP::processPhoto(dir / "cut.png", kFallback, thumb).thumbOK);
}

// Photos as cameras write them (three sizes; baseline with restart markers,
// and progressive; upright, and turned by their orientation tag; with EXIF),
// cut at many lengths as a download or a copy in progress leaves them, read
// on three threads at once. A cut baseline file runs into a missing restart
// marker for every interval cut off, and the decoder gives up part way
// through the picture: never a crash, the metadata from the head of the
// file, an upright thumbnail or none at all, and nothing left beside it.
TEST(MediaBadInput, CameraJpegsCutAtManyLengths) {
    fixtures::TempDir dir;
    fixtures::PhotoJPEGOptions options;
    options.exif.dateTimeOriginal = "2021:07:04 18:30:05";
    options.exif.model = "X100V";
    options.exif.gpsLatitude = 48.85;
    options.exif.gpsLongitude = 2.35;
    struct Cut {
        std::string bytes;
        int width, height;  // as shown
        bool loadWhole;
    };
    std::vector<Cut> cuts;
    int made = 0;
    const std::pair<int, int> sizes[] = {{640, 480}, {2016, 1512}, {4032, 3024}};
    for (auto [width, height] : sizes)
        for (bool progressive : {false, true})
            for (bool turned : {false, true}) {
                options.progressive = progressive;
                options.restartInterval = progressive ? 0 : width / 128;
                options.exif.orientation = turned ? std::optional(6) : std::nullopt;
                options.seed = unsigned(++made);
                const std::string whole = dir / ("whole" + std::to_string(made) + ".jpg");
                ASSERT_TRUE(fixtures::makePhotoJPEG(whole, width, height, options));
                const std::string bytes = fixtures::readFile(whole);
                fs::remove(whole);
                for (int percent = 4; percent < 100; percent += 7)
                    cuts.push_back({bytes.substr(0, bytes.size() * size_t(percent) / 100), turned ? height : width,
                                    turned ? width : height, percent % 3 == 0});
            }

    std::atomic<size_t> next{0};
    std::atomic<int> thumbs{0};
    auto worker = [&](int id) {
        const std::string path = dir / ("cut" + std::to_string(id) + ".jpg");
        const std::string thumb = dir / ("thumb" + std::to_string(id) + ".jpg");
        for (size_t i = next++; i < cuts.size(); i = next++) {
            const Cut& cut = cuts[i];
            SCOPED_TRACE(std::to_string(cut.width) + " x " + std::to_string(cut.height) + ", " +
                         std::to_string(cut.bytes.size()) + " bytes");
            fixtures::writeFile(path, cut.bytes);
            fs::remove(thumb);
            const ProcessedMedia m = MP::processPhoto(path, kFallback, thumb);
            EXPECT_EQ(m.width, cut.width);
            EXPECT_EQ(m.height, cut.height);
            EXPECT_EQ(m.camera, "X100V");
            EXPECT_EQ(m.taken, MP::parseExifDate("2021:07:04 18:30:05"));
            EXPECT_TRUE(m.lat && std::fabs(*m.lat - 48.85) < 1e-3);
            EXPECT_EQ(m.thumbOK, fs::exists(thumb));
            // Whether the wider side lies across, as the photo is shown.
            const bool across = cut.width > cut.height;
            if (m.thumbOK) {
                ++thumbs;
                const ImageRef t = MP::loadImage(thumb, 480);
                EXPECT_TRUE(t && std::max(t->width, t->height) == 480 && (t->width > t->height) == across);
            }
            if (cut.loadWhole) {
                const ImageRef full = MP::loadImage(path, 1600);
                EXPECT_TRUE(!full || (std::max(full->width, full->height) <= 1600 &&
                                      (full->width > full->height) == across));
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back(worker, t);
    for (auto& t : threads) t.join();
    EXPECT_GT(thumbs.load(), int(cuts.size()) / 3) << "many cut photos still show what their data holds";
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_TRUE(entry.path().filename().string().find(".jpg.") == std::string::npos)
            << "a half-written thumbnail left behind: " << entry.path();
}

// JPEG files are read whole into memory and decoded from there; a file that
// only bears the name is decoded by what its contents are, as before, so a
// PNG cut short under a JPEG name is still refused rather than half shown.
TEST(MediaBadInput, APngUnderAJpegNameIsReadAsThePngItIs) {
    fixtures::TempDir dir;
    const std::string thumb = dir / "t.jpg";
    ASSERT_TRUE(fixtures::makePNG(dir / "real.png", 400, 300));
    const std::string png = fixtures::readFile(dir / "real.png");
    fixtures::writeFile(dir / "named.jpg", png);
    ProcessedMedia m = MP::processPhoto(dir / "named.jpg", kFallback, thumb);
    EXPECT_EQ(m.width, 400);
    EXPECT_TRUE(m.thumbOK);
    EXPECT_TRUE(MP::loadImage(dir / "named.jpg", 200));
    fixtures::writeFile(dir / "cut.jpg", png.substr(0, png.size() / 2));
    fs::remove(thumb);
    EXPECT_FALSE(MP::processPhoto(dir / "cut.jpg", kFallback, thumb).thumbOK);
}

// Every generated kind of file, damaged a few hundred times over (cut short,
// bits flipped, bytes overwritten) with a fixed seed, read on four threads at
// once: no crash, no hang, and every result stays within its bounds.
TEST(MediaBadInput, MutatedFilesNeverCrash) {
    fixtures::TempDir dir;
    fixtures::ExifTags tags;
    tags.orientation = 6;
    tags.dateTimeOriginal = "2021:07:04 18:30:05";
    tags.make = "Canon";
    tags.model = "Canon EOS R5";
    tags.gpsLatitude = 10;
    tags.gpsLatitudeRef = "S";
    tags.gpsLongitude = 20;
    tags.iso = {100};
    tags.fnumber = 2.8;

    struct Seed {
        std::string name;
        bool video;
        std::string bytes;
    };
    std::vector<Seed> seeds;
    auto add = [&](const std::string& name, bool video, bool made) {
        ASSERT_TRUE(made) << name;
        seeds.push_back({name, video, fixtures::readFile(dir / name)});
    };
    add("seed.jpg", false, fixtures::makeJPEG(dir / "seed.jpg", 48, 32, {}, tags));
    add("seed.heic", false, fixtures::makeHEIC(dir / "seed.heic", 48, 32, {}, 6));
    add("seed.png", false, fixtures::makePNG(dir / "seed.png", 48, 32, 16));
    add("cmyk.jpg", false, fixtures::makeCMYKJPEG(dir / "cmyk.jpg", 48, 32));
    add("seed.bmp", false, fixtures::makeBMP(dir / "seed.bmp", 48, 32));
    add("seed.dng", false, fixtures::makeRawLike(dir / "seed.dng", 48, 32, tags));
    fixtures::ClipOptions clip;
    clip.width = 48;
    clip.height = 32;
    clip.duration = 0.5;
    clip.withAudio = true;
    add("seed.mp4", true, fixtures::makeClip(dir / "seed.mp4", clip));
    clip.quickTimeKeys = true;
    clip.rotation = 90;
    clip.metadata = {{"com.apple.quicktime.creationdate", "2019-06-01T14:05:09+0200"},
                     {"com.apple.quicktime.location.ISO6709", "+37.3349-122.0090+012.345/"}};
    add("seed.mov", true, fixtures::makeClip(dir / "seed.mov", clip));

    constexpr int kCopies = 200;
    constexpr int kThreads = 4;
    std::atomic<int> next{0}, done{0}, thumbs{0};
    const int total = int(seeds.size()) * kCopies;
    auto worker = [&](int id) {
        for (int i = next++; i < total; i = next++) {
            const Seed& seed = seeds[size_t(i / kCopies)];
            std::mt19937 rng{uint32_t(i)};
            std::string path = dir / ("w" + std::to_string(id) + "-" + seed.name);
            fixtures::writeFile(path, fixtures::mutate(seed.bytes, rng));
            std::string thumb = dir / ("w" + std::to_string(id) + ".jpg");
            ProcessedMedia m = seed.video ? MP::processVideo(path, kFallback, thumb)
                                          : MP::processPhoto(path, kFallback, thumb);
            bool sane = std::isfinite(m.taken) && m.width >= 0 && m.height >= 0 && std::isfinite(m.duration) &&
                        m.duration >= 0 && m.lat.has_value() == m.lon.has_value() &&
                        (!m.lat || (std::fabs(*m.lat) <= 90 && std::fabs(*m.lon) <= 180));
            EXPECT_TRUE(sane) << seed.name << " copy " << i;
            if (m.thumbOK) ++thumbs;
            if (!seed.video) (void)MP::loadImage(path, 64);
            ++done;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (auto& t : threads) t.join();
    EXPECT_EQ(done.load(), total);
    // Many damaged copies still give a picture: the test is not only reading errors.
    EXPECT_GT(thumbs.load(), total / 10);
}
