#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "Core/Index/LibraryPaths.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

TEST(LibraryPaths, PortableLibraryGetsReadmeWhichIsNeverRewritten) {
    fixtures::TempDir dir;
    auto p = LibraryPaths::setUp(dir.path());
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->portable);
    EXPECT_EQ(p->dataDir, dir / ".vintrelle");
    EXPECT_TRUE(fs::is_directory(dir / ".vintrelle/thumbs/00"));
    EXPECT_TRUE(fs::is_directory(dir / ".vintrelle/faces/ff"));
    EXPECT_EQ(fixtures::readFile(dir / ".vintrelle/README.txt"), LibraryPaths::readmeText);
    fixtures::writeFile(dir / ".vintrelle/README.txt", "edited");
    LibraryPaths::resolve(dir.path()).prepare();
    EXPECT_EQ(fixtures::readFile(dir / ".vintrelle/README.txt"), "edited");
}

TEST(LibraryPaths, ReadOnlyLibraryFallsBackToUserDataFolder) {
    fixtures::TempDir dir, home;
    setenv("XDG_DATA_HOME", home.path().c_str(), 1);
    fs::create_directories(dir / "photos/.vintrelle");
    auto readOnly = [](const std::string&) { return false; };
    auto p = LibraryPaths::resolve(dir / "photos", readOnly);
    EXPECT_FALSE(p.portable);
    EXPECT_EQ(p.dataDir, home / ("Vintrelle/Libraries/" + LibraryPaths::fallbackFolderName(dir / "photos")));
    EXPECT_TRUE(fs::is_directory(p.dataDir));
    p.prepare();
    EXPECT_FALSE(fs::exists(p.dataDir + "/README.txt"));
    EXPECT_FALSE(fs::exists(dir / "photos/.vintrelle/README.txt"));
    unsetenv("XDG_DATA_HOME");
}

// Another process (a second window, the probe) may make the data folder
// between the look and the mkdir: the library keeps the one data folder.
TEST(LibraryPaths, ADataFolderMadeMeanwhileIsTheOneUsed) {
    fixtures::TempDir dir, home;
    setenv("XDG_DATA_HOME", home.path().c_str(), 1);
    const auto another = [&](const std::string& p) {
        if (p == dir.path()) fs::create_directory(dir / ".vintrelle");
        return true;
    };
    const auto p = LibraryPaths::setUp(dir.path(), another);
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->portable);
    EXPECT_EQ(p->dataDir, dir / ".vintrelle");
    EXPECT_TRUE(fs::is_directory(dir / ".vintrelle/thumbs/00"));
    EXPECT_TRUE(fs::is_empty(home.path()));
    unsetenv("XDG_DATA_HOME");
}

// A library folder that is away, or goes at any moment of the setup (its
// drive pulled, its mount point removed or left empty), is never made again:
// nothing appears at its path, and no fallback is made for it.
TEST(LibraryPaths, AGoneLibraryFolderIsNeverMade) {
    fixtures::TempDir dir, home;
    setenv("XDG_DATA_HOME", home.path().c_str(), 1);
    EXPECT_FALSE(LibraryPaths::setUp(dir / "unplugged/Photos"));
    EXPECT_EQ(LibraryPaths::resolve(dir / "unplugged/Photos").dataDir, dir / "unplugged/Photos/.vintrelle");
    EXPECT_FALSE(fs::exists(dir / "unplugged"));

    // The folder goes while the setup asks whether it may be written, after
    // the look that found it there.
    struct Case {
        const char* name;
        bool mountPointLeft;  // an empty folder takes its place
        bool writable;
    };
    for (const Case c : {Case{"removed", false, true}, Case{"removed, read-only", false, false},
                         Case{"mount point left", true, true}, Case{"mount point left, read-only", true, false}}) {
        SCOPED_TRACE(c.name);
        const std::string root = dir / "media/Photos";
        fs::create_directories(root);
        const auto goes = [&](const std::string&) {
            fs::rename(root, dir / "away");
            if (c.mountPointLeft) fs::create_directory(root);
            return c.writable;
        };
        EXPECT_FALSE(LibraryPaths::setUp(root, goes));
        EXPECT_EQ(fs::exists(root), c.mountPointLeft);
        if (c.mountPointLeft) {
            EXPECT_TRUE(fs::is_empty(root));
        }
        EXPECT_TRUE(fs::is_empty(home.path()));
        fs::remove_all(dir / "media");
        fs::remove_all(dir / "away");
    }
    unsetenv("XDG_DATA_HOME");

    // Preparing again (resetting faces) after the drive went.
    fs::create_directories(dir / "media/Photos");
    auto p = LibraryPaths::setUp(dir / "media/Photos");
    ASSERT_TRUE(p && p->portable);
    fs::remove_all(dir / "media/Photos");
    p->prepare();
    EXPECT_FALSE(fs::exists(dir / "media/Photos"));
    fs::create_directory(dir / "media/Photos");
    p->prepare();
    EXPECT_TRUE(fs::is_empty(dir / "media/Photos"));
}

// The fallback folder's name must not change between versions, or a
// read-only library loses its index.
TEST(LibraryPaths, FolderAndFileNamesAreStable) {
    EXPECT_EQ(LibraryPaths::fallbackFolderName("/Volumes/Photos"), "f8bcca6644442de5");
    EXPECT_EQ(LibraryPaths::fallbackFolderName(""), "14650fb0739d0383");
    EXPECT_NE(LibraryPaths::fallbackFolderName("/a"), LibraryPaths::fallbackFolderName("/b"));
    LibraryPaths p{"/lib", "/lib/.vintrelle", true};
    EXPECT_EQ(p.thumbURL(7), "/lib/.vintrelle/thumbs/07/7.jpg");
    EXPECT_EQ(p.thumbURL(256), "/lib/.vintrelle/thumbs/00/256.jpg");
    EXPECT_EQ(p.faceURL(4095), "/lib/.vintrelle/faces/ff/4095.jpg");
}

TEST(MediaTypes, ExtensionsAreCaseInsensitive) {
    EXPECT_EQ(MediaTypes::kindForPath("a/IMG_1.JPG"), MediaKind::photo);
    EXPECT_EQ(MediaTypes::kindForPath("clip.M2TS"), MediaKind::video);
    EXPECT_FALSE(MediaTypes::kindForPath("notes.txt"));
    EXPECT_FALSE(MediaTypes::kindForPath("README"));
    EXPECT_FALSE(MediaTypes::kindForPath("dir.jpg/README"));
    EXPECT_TRUE(MediaTypes::isRaw("x.CR2"));
}
