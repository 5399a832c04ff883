#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Core/Media/MediaProcessor.h"
#include "Core/Base/WallClock.h"
#include "fixtures/EnvScope.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace MP = vintrelle::MediaProcessor;
using fixtures::ClipOptions;

namespace {

using fixtures::wallClock;

constexpr double kFallback = 7654321.0;

class MediaVideo : public testing::Test {
protected:
    fixtures::TempDir dir;
    std::string thumb() const { return dir / "poster.jpg"; }

    ProcessedMedia clip(const std::string& name, const ClipOptions& o) {
        std::string path = dir / name;
        EXPECT_TRUE(fixtures::makeClip(path, o)) << name;
        return MP::processVideo(path, kFallback, thumb());
    }
};

}  // namespace

TEST_F(MediaVideo, QuickTimeMetadata) {
    ClipOptions o;
    o.quickTimeKeys = true;
    // A date-shaped text in another item comes first and is replaced by the
    // creation date; so is a location-shaped one by the location item.
    o.metadata = {{"date", "2018-05-06T07:08:09"},
                  {"comment", "+10.0000+020.0000/"},
                  {"com.apple.quicktime.creationdate", "2019-06-01T14:05:09+0200"},
                  {"com.apple.quicktime.location.ISO6709", "+37.3349-122.0090+012.345/"},
                  {"com.apple.quicktime.model", "iPhone 12"}};
    o.creationTime = "2020-01-02T03:04:05Z";
    ProcessedMedia m = clip("IMG_0001.mov", o);
    // The offset in the text plays no part, and creation_time is only a fallback.
    EXPECT_EQ(m.taken, wallClock(2019, 6, 1, 14, 5, 9));
    ASSERT_TRUE(m.lat);
    EXPECT_DOUBLE_EQ(*m.lat, 37.3349);
    EXPECT_DOUBLE_EQ(*m.lon, -122.009);
    EXPECT_EQ(m.camera, "iPhone 12");
    EXPECT_EQ(m.width, 160);
    EXPECT_EQ(m.height, 120);
    EXPECT_NEAR(m.duration, 1.0, 0.05);
    EXPECT_TRUE(m.thumbOK);
    EXPECT_FALSE(m.lens || m.iso || m.fnumber || m.exposure || m.focal);

    // A model of blanks is kept as it stands.
    ClipOptions blanks;
    blanks.quickTimeKeys = true;
    blanks.metadata = {{"com.apple.quicktime.model", "   "}};
    EXPECT_EQ(clip("blank.mov", blanks).camera, "   ");
}

TEST_F(MediaVideo, CreationTimeIsUtcShownInTheLocalZoneAndLocationComesFromUserData) {
    fixtures::ZoneScope zone("TST-3");
    ClipOptions o;
    o.creationTime = "2020-01-02T03:04:05Z";
    EXPECT_EQ(clip("a.mp4", o).taken, wallClock(2020, 1, 2, 6, 4, 5));

    o.creationTime = "1985-01-02T03:04:05Z";
    EXPECT_EQ(clip("old.mp4", o).taken, kFallback);

    // A date-shaped text in another item is the camera's wall clock and wins;
    // the location comes from the user-data item.
    ClipOptions dated;
    dated.creationTime = "2020-01-02T03:04:05Z";
    dated.metadata = {{"date", "2018-05-06T07:08:09"}, {"location", "-33.8688+151.2093/"}};
    ProcessedMedia m = clip("dated.mp4", dated);
    EXPECT_EQ(m.taken, wallClock(2018, 5, 6, 7, 8, 9));
    ASSERT_TRUE(m.lat);
    EXPECT_DOUBLE_EQ(*m.lat, -33.8688);
    EXPECT_DOUBLE_EQ(*m.lon, 151.2093);

    EXPECT_EQ(clip("none.mp4", ClipOptions{}).taken, kFallback);
}

TEST_F(MediaVideo, RotationTurnsSizeAndPoster) {
    std::string picture = dir / "frame.png";
    ASSERT_TRUE(fixtures::makePNG(picture, 160, 120));
    ClipOptions o;
    o.sourceImage = picture;
    o.rotation = 90;
    ProcessedMedia m = clip("portrait.mp4", o);
    EXPECT_EQ(m.width, 120);
    EXPECT_EQ(m.height, 160);
    ASSERT_TRUE(m.thumbOK);
    ImageRef poster = MP::loadImage(thumb(), 480);
    ASSERT_TRUE(poster);
    EXPECT_EQ(poster->width, 120);
    EXPECT_EQ(poster->height, 160);
    // A quarter turn counter-clockwise takes the stored top-left to the bottom-left.
    EXPECT_LT(poster->row(120)[30 * 4], 100);
    EXPECT_GT(poster->row(40)[30 * 4], 150);
    EXPECT_GT(poster->row(40)[90 * 4], 150);

    // Large frames are scaled to fit 480 x 480.
    ClipOptions big;
    big.width = 1280;
    big.height = 720;
    big.duration = 0.3;
    ProcessedMedia b = clip("big.mp4", big);
    EXPECT_EQ(b.width, 1280);
    ASSERT_TRUE(b.thumbOK);
    poster = MP::loadImage(thumb(), 4096);
    ASSERT_TRUE(poster);
    EXPECT_EQ(poster->width, 480);
    EXPECT_EQ(poster->height, 270);
}

TEST_F(MediaVideo, PosterTimeIsAThirdCappedAtOneSecond) {
    // Black until `until` seconds, then white: the poster's brightness tells
    // which side of that moment it was taken from.
    auto posterIsWhite = [&](double duration, double until, const std::string& name) {
        ClipOptions o;
        o.duration = duration;
        o.fps = 30;
        o.keyframeInterval = 300;  // one keyframe at the start: the reader must decode forward
        o.videoFilter = "drawbox=x=0:y=0:w=iw:h=ih:color=black:t=fill:enable='lt(t," + std::to_string(until) +
                        ")',drawbox=x=0:y=0:w=iw:h=ih:color=white:t=fill:enable='gte(t," +
                        std::to_string(until) + ")'";
        ProcessedMedia m = clip(name, o);
        EXPECT_TRUE(m.thumbOK);
        ImageRef p = MP::loadImage(thumb(), 480);
        return p && p->row(p->height / 2)[(p->width / 2) * 4] > 128;
    };
    EXPECT_TRUE(posterIsWhite(2.0, 0.6, "two-a.mp4"));    // poster at 0.667 s
    EXPECT_FALSE(posterIsWhite(2.0, 0.75, "two-b.mp4"));
    EXPECT_TRUE(posterIsWhite(6.0, 0.95, "six-a.mp4"));   // poster at 1 s, not 2
    EXPECT_FALSE(posterIsWhite(6.0, 1.1, "six-b.mp4"));
    // A transport stream seeks by no keyframe index; the moment holds all the same.
    EXPECT_TRUE(posterIsWhite(6.0, 0.95, "six-a.mts"));
    EXPECT_FALSE(posterIsWhite(6.0, 1.1, "six-b.mts"));
}

// Camcorder MPEG-TS (.mts, and .m2ts with its 192-byte packets) holds no
// index of keyframes, so a seek lands on any packet; with one keyframe per
// ten seconds none follows it. The poster still comes, from the design's
// moment where the stream has it.
TEST_F(MediaVideo, TransportStreamsWithLongGroupsGetTheirPoster) {
    for (const auto& [name, seconds] : {std::pair{"camcorder.mts", 3.0}, {"long.mts", 10.0}, {"bluray.m2ts", 3.0}}) {
        SCOPED_TRACE(name);
        ClipOptions o;  // the camcorder's encoder settings: x264's defaults
        o.pattern = "testsrc2";
        o.preset.clear();
        o.width = 1280;
        o.height = 720;
        o.fps = 25;
        o.duration = seconds;
        ProcessedMedia m = clip(name, o);
        EXPECT_TRUE(m.thumbOK);
        EXPECT_EQ(m.width, 1280);
        EXPECT_EQ(m.height, 720);
        EXPECT_NEAR(m.duration, seconds, 0.1);
        ImageRef poster = MP::loadImage(thumb(), 480);
        ASSERT_TRUE(poster);
        EXPECT_EQ(poster->width, 480);
        EXPECT_EQ(poster->height, 270);
    }
}

TEST_F(MediaVideo, SoundOnlyHasNoSizeAndNoPoster) {
    ClipOptions o;
    o.soundOnly = true;
    ProcessedMedia m = clip("voice.m4a.mp4", o);
    EXPECT_EQ(m.width, 0);
    EXPECT_EQ(m.height, 0);
    EXPECT_NEAR(m.duration, 1.0, 0.1);
    EXPECT_FALSE(m.thumbOK);
    EXPECT_EQ(m.taken, kFallback);
}

TEST_F(MediaVideo, AgreesWithExiftool) {
    if (fixtures::run("exiftool -ver >/dev/null 2>&1") != 0) GTEST_SKIP() << "exiftool is not installed";
    ClipOptions o;
    o.duration = 2.5;
    o.width = 320;
    o.height = 180;
    o.rotation = 90;
    o.quickTimeKeys = true;
    o.withAudio = true;
    o.metadata = {{"com.apple.quicktime.creationdate", "2022-08-09T10:11:12-0700"},
                  {"com.apple.quicktime.location.ISO6709", "+48.8583+002.2945+035.000/"},
                  {"com.apple.quicktime.model", "Pixel 7"}};
    std::string path = dir / "compare.mov";
    ASSERT_TRUE(fixtures::makeClip(path, o));
    ProcessedMedia m = MP::processVideo(path, kFallback, thumb());

    std::string out;
    ASSERT_EQ(fixtures::run("exiftool -n -j " + fixtures::shellQuoted(path), &out), 0);
    auto j = nlohmann::json::parse(out).at(0);
    EXPECT_NEAR(m.duration, j.at("Duration").get<double>(), 0.05);
    bool turned = j.at("Rotation").get<int>() % 180 != 0;
    EXPECT_EQ(m.width, j.at(turned ? "ImageHeight" : "ImageWidth").get<int>());
    EXPECT_EQ(m.height, j.at(turned ? "ImageWidth" : "ImageHeight").get<int>());
    EXPECT_EQ(m.taken, MP::parseExifDate(j.at("CreationDate").get<std::string>()));
    EXPECT_EQ(m.camera, j.at("Model").get<std::string>());
    std::string gps = j.at("GPSCoordinates").get<std::string>();  // "lat lon alt"
    double lat = std::stod(gps.substr(0, gps.find(' ')));
    double lon = std::stod(gps.substr(gps.find(' ') + 1));
    EXPECT_NEAR(*m.lat, lat, 1e-6);
    EXPECT_NEAR(*m.lon, lon, 1e-6);
}
