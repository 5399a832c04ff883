// The reader of suspects as a real process: what it reads must be what a
// reading in the indexer gives, to the last bit, and what it says must
// survive the way there.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "Core/Engine/ReaderProcess.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

void expectSame(const ProcessedMedia& a, const ProcessedMedia& b) {
    EXPECT_EQ(a.taken, b.taken);
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, b.height);
    EXPECT_EQ(a.duration, b.duration);
    EXPECT_EQ(a.lat, b.lat);
    EXPECT_EQ(a.lon, b.lon);
    EXPECT_EQ(a.camera, b.camera);
    EXPECT_EQ(a.lens, b.lens);
    EXPECT_EQ(a.iso, b.iso);
    EXPECT_EQ(a.fnumber, b.fnumber);
    EXPECT_EQ(a.exposure, b.exposure);
    EXPECT_EQ(a.focal, b.focal);
    EXPECT_EQ(a.thumbOK, b.thumbOK);
    EXPECT_EQ(a.thumbWriteError, b.thumbWriteError);
}

}  // namespace

TEST(ReaderProcess, ReadsApartWhatIsReadHere) {
    MediaProcessor::initialize();
    fixtures::TempDir dir;
    fixtures::ExifTags exif;
    exif.dateTimeOriginal = "2021:07:14 18:30:05";
    exif.make = "Canon";
    exif.model = "EOS R6";
    exif.lensModel = "RF24-105mm F4 L IS USM";
    exif.gpsLatitude = 38.722252;
    exif.gpsLatitudeRef = "N";
    exif.gpsLongitude = 9.139337;
    exif.gpsLongitudeRef = "W";
    exif.iso = {400};
    exif.fnumber = 5.6;
    exif.exposure = 1.0 / 250;
    exif.focal = 70;
    ASSERT_TRUE(fixtures::makeJPEG(dir / "photo.jpg", 900, 600, {}, exif));
    ASSERT_TRUE(fixtures::makeHEIC(dir / "turned.heic", 320, 240, {}, 6));
    fixtures::ClipOptions clip;
    clip.duration = 0.6;
    clip.creationTime = "2020-01-02T03:04:05Z";
    ASSERT_TRUE(fixtures::makeClip(dir / "clip.mp4", clip));
    fixtures::writeFile(dir / "broken.jpg", "\xff\xd8 not a picture");

    const std::atomic<bool> stopped{false};
    const std::string reader = ReaderProcess::besideThisProgram();
    struct Case {
        const char* name;
        MediaKind kind;
    };
    for (const Case c : {Case{"photo.jpg", MediaKind::photo}, Case{"turned.heic", MediaKind::photo},
                         Case{"clip.mp4", MediaKind::video}, Case{"broken.jpg", MediaKind::photo}}) {
        SCOPED_TRACE(c.name);
        const std::string file = dir / c.name, apartThumb = dir / (std::string(c.name) + ".apart.jpg"),
                          hereThumb = dir / (std::string(c.name) + ".here.jpg");
        const double fallback = 1'600'000'123.25;
        const ReaderProcess::Outcome o = ReaderProcess::read(reader, c.kind, file, fallback, apartThumb, stopped);
        ASSERT_EQ(o.end, ReaderProcess::Outcome::End::read);
        EXPECT_TRUE(o.reading);
        const ProcessedMedia here = c.kind == MediaKind::video
                                        ? MediaProcessor::processVideo(file, fallback, hereThumb)
                                        : MediaProcessor::processPhoto(file, fallback, hereThumb);
        expectSame(o.media, here);
        EXPECT_EQ(fs::exists(apartThumb), here.thumbOK);
        if (here.thumbOK) {
            EXPECT_EQ(fixtures::readFile(apartThumb), fixtures::readFile(hereThumb));
        }
    }
}

// The reader works from "/", so paths relative to the indexer's own folder
// (a library given as "Photos" on the command line) still name its files.
TEST(ReaderProcess, RelativePathsNameTheIndexersFiles) {
    MediaProcessor::initialize();
    fixtures::TempDir dir;
    ASSERT_TRUE(fixtures::makeJPEG(dir / "photo.jpg", 90, 60));
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    const std::atomic<bool> stopped{false};
    const ReaderProcess::Outcome o =
        ReaderProcess::read(ReaderProcess::besideThisProgram(), MediaKind::photo, "photo.jpg", 0, "thumb.jpg", stopped);
    fs::current_path(before);
    ASSERT_EQ(o.end, ReaderProcess::Outcome::End::read);
    EXPECT_EQ(o.media.width, 90);
    EXPECT_TRUE(o.media.thumbOK);
    EXPECT_TRUE(fs::exists(dir / "thumb.jpg"));
}

// Texts that are no UTF-8 and numbers with every bit set pass unchanged;
// output cut short, or with anything after its end, is no reading.
TEST(ReaderProcess, WhatTheReaderSaysSurvivesTheWayThere) {
    ProcessedMedia m;
    m.taken = 1'234'567'890.123456789;
    m.width = 4032;
    m.height = 3024;
    m.duration = 0.1 + 0.2;
    m.lat = -33.868820000000007;
    m.camera = std::string("Ca\xffnon \n\0x", 10);
    m.iso = 12800;
    m.exposure = 1.0 / 3;
    m.thumbOK = true;
    m.thumbWriteError = 28;  // no room left for the thumbnail
    const std::string text = ReaderProcess::encode(m);
    const auto back = ReaderProcess::decode(text);
    ASSERT_TRUE(back);
    expectSame(*back, m);
    expectSame(*ReaderProcess::decode(ReaderProcess::encode({})), ProcessedMedia{});

    for (const std::string& bad : {text.substr(0, text.size() - 4), text + "width 1\n", std::string("width 1\nend"),
                                   std::string("width one\nend\n"), std::string("camera 4g\nend\n"), std::string()})
        EXPECT_FALSE(ReaderProcess::decode(bad)) << bad;
}

// A reader that never finishes is ended at its deadline, and that is no
// evidence against the file: it is left for a later scan.
TEST(ReaderProcess, AHungReaderIsEndedAndCondemnsNothing) {
    fixtures::TempDir dir;
    const std::string reader = dir / "hung-reader";
    fixtures::writeFile(reader, "#!/bin/sh\nsleep 600\n");
    fs::permissions(reader, fs::perms::owner_all);
    fixtures::writeFile(dir / "photo.jpg", "\xff\xd8");
    const std::atomic<bool> stopped{false};
    const ReaderProcess::Outcome o = ReaderProcess::read(reader, MediaKind::photo, dir / "photo.jpg", 0,
                                                         dir / "thumb.jpg", stopped, std::chrono::milliseconds(300));
    EXPECT_EQ(o.end, ReaderProcess::Outcome::End::overran);
}

// How a reader ended is told apart: a fault, a kill from outside, a failure,
// each while it read the file or before it turned to it, a reader that
// cannot be run at all or will not take the request (both installation
// faults), one that cannot be started for the moment, and our stop. Only a
// reader that never turned to the file by its own doing is at fault.
TEST(ReaderProcess, EachEndIsToldApart) {
    using End = ReaderProcess::Outcome::End;
    fixtures::TempDir dir;
    fixtures::writeFile(dir / "photo.jpg", "\xff\xd8");
    const std::string real = ReaderProcess::besideThisProgram();
    const std::string reading = "echo " + std::string(ReaderProcess::readingLine.substr(0, 7)) + "\n";
    struct Case {
        const char* name;
        std::string script;  // empty: no reader there at all
        End end;
        bool reading, readerAtFault;
    } cases[] = {
        {"a fault as it starts", "#!/bin/sh\nulimit -c 0\nkill -SEGV $$\n", End::crashed, false, true},
        {"a fault", "#!/bin/sh\nulimit -c 0\n" + reading + "kill -SEGV $$\n", End::crashed, true, false},
        {"killed as it starts", "#!/bin/sh\nkill -KILL $$\n", End::killed, false, false},
        {"killed", "#!/bin/sh\n" + reading + "kill -KILL $$\n", End::killed, true, false},
        {"ended by another's SIGTERM", "#!/bin/sh\n" + reading + "kill -TERM $$\n", End::killed, true, false},
        {"an error on anything", "#!/bin/sh\nexit 1\n", End::failed, false, true},
        {"an error", "#!/bin/sh\n" + reading + "exit 1\n", End::failed, true, false},
        {"nothing said", "#!/bin/sh\necho garbage\n", End::failed, false, true},
        {"an error after starting to read", "#!/bin/sh\n" + reading + "echo taken 1\nexit 2\n", End::failed, true,
         false},
        {"cannot run the program", "#!/bin/sh\nexec '" + std::string(dir / "nowhere") + "'\n", End::unstarted, false,
         true},
        {"another version", "#!/bin/sh\nexec '" + real + "' \"$@\" more\n", End::refused, false, true},
        {"started by another", "#!/bin/sh\n'" + real + "' \"$@\"\n", End::refused, false, true},
        {"not executable", "", End::unstarted, false, true},
        {"missing", "", End::unstarted, false, true},
    };
    const std::atomic<bool> stopped{false};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string reader = dir / c.name;
        if (!c.script.empty()) {
            fixtures::writeFile(reader, c.script);
            fs::permissions(reader, fs::perms::owner_all);
        } else if (std::string(c.name) == "not executable") {
            fixtures::writeFile(reader, "#!/bin/sh\n");
        }
        const ReaderProcess::Outcome o =
            ReaderProcess::read(reader, MediaKind::photo, dir / "photo.jpg", 0, dir / "thumb.jpg", stopped);
        EXPECT_EQ(o.end, c.end) << ReaderProcess::describe(o);
        EXPECT_EQ(o.reading, c.reading);
        EXPECT_EQ(ReaderProcess::readerAtFault(o), c.readerAtFault) << ReaderProcess::describe(o);
        EXPECT_FALSE(ReaderProcess::describe(o).empty());
        EXPECT_FALSE(ReaderProcess::unstartedForNow(o));
    }
    // A reader being written (an update replacing it) cannot be started for
    // the moment; the installation is not at fault.
    {
        const std::string updating = dir / "updating";
        fixtures::writeFile(updating, "#!/bin/sh\nexec '" + real + "' \"$@\"\n");
        fs::permissions(updating, fs::perms::owner_all);
        const int writer = ::open(updating.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(writer, 0);
        const ReaderProcess::Outcome o =
            ReaderProcess::read(updating, MediaKind::photo, dir / "photo.jpg", 0, dir / "thumb.jpg", stopped);
        ::close(writer);
        EXPECT_EQ(o.end, End::unstarted) << ReaderProcess::describe(o);
        EXPECT_TRUE(ReaderProcess::unstartedForNow(o)) << ReaderProcess::describe(o);
        EXPECT_FALSE(ReaderProcess::readerAtFault(o));
    }
    const std::atomic<bool> stopping{true};
    const std::string slow = dir / "slow";
    fixtures::writeFile(slow, "#!/bin/sh\nexec sleep 60\n");
    fs::permissions(slow, fs::perms::owner_all);
    EXPECT_EQ(ReaderProcess::read(slow, MediaKind::photo, dir / "photo.jpg", 0, dir / "thumb.jpg", stopping).end,
              End::stopped);
}
