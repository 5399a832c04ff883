// Drive names read from paths, and the libraries found beside a portable copy
// of the application.

#include <gtest/gtest.h>

#include <filesystem>

#include "App/PortableLibraries.h"
#include "App/VolumeName.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

TEST(VolumeName, NamesTheDriveOfEachMountRoot) {
    struct Case {
        const char* path;
        std::optional<std::string> name;
    } cases[] = {
        {"/media/alice/Photo Disk/Pictures", "Photo Disk"},
        {"/media/alice/Photo Disk", "Photo Disk"},
        {"/run/media/alice/Archive/2021", "Archive"},
        {"/run/media/bob/Archive", "Archive"},
        {"/media/Archive/x", "Archive"},     // a drive mounted straight under /media
        {"/mnt/backup/Photos", "backup"},
        {"/Volumes/Photos/Lib", "Photos"},
        {"Volumes/Archive/x", "Archive"},    // only the order of the pieces counts
        {"/media", std::nullopt},
        {"/media/alice", std::nullopt},      // the user's mount folder, no drive yet
        {"/run/media/alice", std::nullopt},
        {"/mnt", std::nullopt},
        {"/home/alice/Pictures", std::nullopt},
        {"/", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(volumeName(c.path, "alice"), c.name) << c.path;
}

namespace {

void mark(const std::string& dir) { fs::create_directories(dir + "/.vintrelle"); }

}  // namespace

TEST(PortableLibraries, SearchesUpToFourLevelsAndTheirEntries) {
    fixtures::TempDir tmp;
    // tmp/a/b/c/d/app holds the executable; the search covers app, d, c, b.
    const std::string a = tmp / "a", b = a + "/b", c = b + "/c", d = c + "/d", app = d + "/app";
    fs::create_directories(app);
    mark(app);                    // the executable's own folder
    mark(d + "/Lib2");
    mark(d + "/Lib1");            // entries by name
    mark(b + "/Far");             // fourth level
    mark(a + "/TooFar");          // fifth level: not searched
    mark(c + "/.hidden");         // hidden entries are skipped
    mark(c + "/Nested/Deeper");   // entries are looked into one level only
    fixtures::writeFile(c + "/file.jpg", "x");
    fixtures::writeFile(c + "/Marked/.vintrelle", "");  // a marker file counts too
    EXPECT_EQ(findPortableLibraries(app, "/nonexistent-home", "alice"),
              (std::vector<std::string>{app, d + "/Lib1", d + "/Lib2", c + "/Marked", b + "/Far"}));
    // The home folder stops the search before it is looked into.
    EXPECT_EQ(findPortableLibraries(app, c, "alice"), (std::vector<std::string>{app, d + "/Lib1", d + "/Lib2"}));
}

TEST(PortableLibraries, OnlyTheFirstTwoHundredEntriesAreLookedInto) {
    fixtures::TempDir tmp;
    const std::string app = tmp / "app";
    fs::create_directories(app);
    char name[16];
    for (int i = 0; i < 205; ++i) {
        std::snprintf(name, sizeof name, "e%03d", i);
        fs::create_directories(app + "/" + name);
    }
    mark(app + "/e199");
    mark(app + "/e200");
    auto found = findPortableLibraries(app, "/nonexistent-home", "alice");
    EXPECT_NE(std::find(found.begin(), found.end(), app + "/e199"), found.end());
    EXPECT_EQ(std::find(found.begin(), found.end(), app + "/e200"), found.end());
}

TEST(PortableLibraries, InstalledOrMountRootLocationsFindNothing) {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/opt/vintrelle", "/media", "/mnt", "/", "relative/dir"})
        EXPECT_TRUE(findPortableLibraries(dir, "/nonexistent-home", "alice").empty()) << dir;
}
